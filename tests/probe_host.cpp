// A headless host of the Vorlinde component for the integration tests.
// Starts the manager as VorlindeComp does, then prints a line
// "angle <a0> <a1> <a2>" whenever arm_angle changes, and "ready" once the
// component exists, and "tuning <threshold> <marker width>" whenever the
// component's parameters as the viewer reads them change after that.
// Standard input commands: "exit" calls exit(0) from a new thread;
// "shutdown" ends the middleware as the program does at ESC, then prints
// "down" and calls exit(0); "key <j>" adds 10 to joint j as the viewer's
// keys do; end of input returns from main.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "Vorlinde.h"
#include "arm_angle.h"
#include "tuning.h"

static void hostModule(RTC::Manager* manager)
{
  registerVorlindeFactory(manager);
  if (manager->createComponent("Vorlinde") == NULL)
    {
      std::fprintf(stderr, "Component create failed.\n");
      std::abort();
    }
}

static void printAngles()
{
  std::printf("angle %g %g %g\n", static_cast<double>(arm_angle[0].load()),
              static_cast<double>(arm_angle[1].load()), static_cast<double>(arm_angle[2].load()));
  std::fflush(stdout);
}

int main(int argc, char** argv)
{
  RTC::Manager* manager = RTC::Manager::init(argc, argv);
  manager->setModuleInitProc(hostModule);
  manager->activateManager();
  manager->runManager(true);
  std::printf("ready\n");
  std::fflush(stdout);

  float last[3] = {0, 0, 0};
  int lastThreshold = tuned_threshold;
  double lastWidth = tuned_marker_width;
  std::string pending;
  for (;;)
    {
      pollfd p = {0, POLLIN, 0};
      if (poll(&p, 1, 1) > 0)
        {
          char buffer[256];
          ssize_t n = read(0, buffer, sizeof buffer);
          if (n <= 0)
            return 0;
          pending.append(buffer, static_cast<std::size_t>(n));
          std::string::size_type nl;
          while ((nl = pending.find('\n')) != std::string::npos)
            {
              std::string command = pending.substr(0, nl);
              pending.erase(0, nl + 1);
              if (command == "exit")
                std::thread([] { std::exit(0); }).detach();
              else if (command == "shutdown")
                std::thread([manager] {
                    manager->shutdown();
                    std::printf("down\n");
                    std::fflush(stdout);
                    std::exit(0);
                  }).detach();
              else if (command.compare(0, 4, "key ") == 0)
                {
                  int j = std::atoi(command.c_str() + 4);
                  if (j >= 0 && j < 3)
                    arm_angle[j] = static_cast<float>(arm_angle[j].load() + 10.0);
                }
            }
        }
      if (tuned_threshold != lastThreshold || tuned_marker_width != lastWidth)
        {
          lastThreshold = tuned_threshold;
          lastWidth = tuned_marker_width;
          std::printf("tuning %d %g\n", lastThreshold, lastWidth);
          std::fflush(stdout);
        }
      float now[3] = {arm_angle[0], arm_angle[1], arm_angle[2]};
      if (now[0] != last[0] || now[1] != last[1] || now[2] != last[2])
        {
          last[0] = now[0];
          last[1] = now[1];
          last[2] = now[2];
          printAngles();
        }
    }
}
