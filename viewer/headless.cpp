// The viewer's stand-in until the window exists: keeps the process (and
// with it the component) running until SIGINT or SIGTERM, printing the
// joint angles whenever they change, then exits normally so that the
// component's names are removed.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "arm_angle.h"
#include "viewer.h"

static std::atomic<int> stop_signal(0);

static void onStopSignal(int signo)
{
  stop_signal = signo;
}

void runViewer(int argc, char** argv)
{
  struct sigaction action = {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, NULL);
  sigaction(SIGTERM, &action, NULL);
  std::fprintf(stderr, "VorlindeComp: the camera window is not part of this build yet; "
                       "serving the component until Ctrl-C.\n");
  std::fflush(stderr);
  float shown[3] = {0.0f, 0.0f, 0.0f};
  while (stop_signal == 0)
    {
      usleep(20 * 1000);
      float now[3] = {arm_angle[0], arm_angle[1], arm_angle[2]};
      if (now[0] == shown[0] && now[1] == shown[1] && now[2] == shown[2])
        continue;
      for (int i = 0; i < 3; ++i)
        shown[i] = now[i];
      std::printf("VorlindeComp: joint angles %.1f %.1f %.1f\n", now[0], now[1], now[2]);
      std::fflush(stdout);
    }
  std::exit(0);
}
