// A camera that vanishes while running (unplugged, its driver reset) is
// opened again once a second until it returns; the video thread waits
// meanwhile and the application keeps the last picture.
#ifndef AR_SRC_REOPEN_H
#define AR_SRC_REOPEN_H

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

namespace ar
{
  // read() the next frame; when it fails, say so in one line naming what,
  // then call reopen() and read() every interval until a frame comes (and
  // say so) or stop is set. False only when stopped.
  bool readOrReopen(const std::function<bool()>& read, const std::function<bool()>& reopen,
                    const std::string& what, const std::atomic<bool>& stop,
                    std::chrono::milliseconds interval = std::chrono::seconds(1));
}

#endif
