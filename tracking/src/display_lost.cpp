// The X server going away (it stopped, or the network to it broke).
#include <X11/Xlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "internal.h"

namespace
{
  // Xlib would print its own lines and exit, and the program end in an
  // abort from whatever it was doing. End it here in one line, with its
  // exit handlers run (they take the program's names out of the naming
  // service); should one of them touch the display again, at once.
  int onDisplayLost(Display*)
  {
    static std::atomic<bool> lost(false);
    if (lost.exchange(true))
      _exit(1);
    std::fprintf(stderr, "argMainLoop: the connection to the X display was lost; exiting\n");
    std::exit(1);
  }
}

namespace ar
{
  void endQuietlyWhenDisplayIsLost()
  {
    XSetIOErrorHandler(onDisplayLost);
  }
}
