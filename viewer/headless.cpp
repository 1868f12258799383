// The viewer's stand-in until the window exists: keeps the process (and
// with it the component) running until SIGINT or SIGTERM, then exits
// normally so that the component's names are removed.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

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
  while (stop_signal == 0)
    usleep(50 * 1000);
  std::exit(0);
}
