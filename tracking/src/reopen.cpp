#include "reopen.h"

#include <cstdio>
#include <thread>

namespace ar
{
  bool readOrReopen(const std::function<bool()>& read, const std::function<bool()>& reopen,
                    const std::string& what, const std::atomic<bool>& stop,
                    std::chrono::milliseconds interval)
  {
    if (read())
      return true;
    std::fprintf(stderr, "arVideo: %s stopped sending frames; opening it again every %.3g s until it returns\n",
                 what.c_str(), std::chrono::duration<double>(interval).count());
    std::fflush(stderr);
    for (;;)
      {
        const auto next = std::chrono::steady_clock::now() + interval;
        while (std::chrono::steady_clock::now() < next)
          {
            if (stop)
              return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
          }
        if (reopen() && read())
          {
            std::fprintf(stderr, "arVideo: %s is back\n", what.c_str());
            std::fflush(stderr);
            return true;
          }
      }
  }
}
