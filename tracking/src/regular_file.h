// The files the program reads at start (camera parameters, the pattern,
// the video configuration) are opened only when they are regular files of
// a sane size: a FIFO would block the start for ever, a device or a huge
// file would be read without end.
#ifndef AR_SRC_REGULAR_FILE_H
#define AR_SRC_REGULAR_FILE_H

#include <cstddef>
#include <cstdio>
#include <string>

namespace ar
{
  const std::size_t MAX_START_FILE_BYTES = 1024 * 1024;

  // path opened for reading (mode "r" or "rb"), or null with why: "does
  // not exist", "is a directory, not a regular file", "is larger than
  // 1 MiB", ...
  std::FILE* openRegularFile(const char* path, std::size_t max_bytes, const char* mode, std::string& why);

  // The whole text of path, under the same rules.
  bool readRegularFile(const char* path, std::size_t max_bytes, std::string& text, std::string& why);
}

#endif
