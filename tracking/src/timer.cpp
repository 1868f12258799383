// Timing utilities: seconds since a reset, and sleeping in milliseconds.
#include "internal.h"

#include <chrono>
#include <thread>

namespace
{
  typedef std::chrono::steady_clock Clock;
  // Before any reset the timer counts from the library's loading.
  Clock::time_point g_start = Clock::now();
}

extern "C" void arUtilTimerReset(void)
{
  g_start = Clock::now();
}

extern "C" double arUtilTimer(void)
{
  double seconds = std::chrono::duration<double>(Clock::now() - g_start).count();
  // Never exactly 0, so that a rate computed from it is finite.
  return seconds > 0 ? seconds : 1e-9;
}

extern "C" void arUtilSleep(int msec)
{
  if (msec > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(msec));
}
