#include "regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ar
{
  namespace
  {
    const char* kindOf(mode_t mode)
    {
      if (S_ISDIR(mode))
        return "a directory";
      if (S_ISFIFO(mode))
        return "a FIFO";
      if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
      if (S_ISSOCK(mode))
        return "a socket";
      return "not a plain file";
    }

    std::string sizeText(std::size_t bytes)
    {
      if (bytes % (1024 * 1024) == 0)
        return std::to_string(bytes / (1024 * 1024)) + " MiB";
      return std::to_string(bytes) + " bytes";
    }
  }

  std::FILE* openRegularFile(const char* path, std::size_t max_bytes, const char* mode, std::string& why)
  {
    if (path == nullptr || *path == '\0')
      {
        why = "no file name";
        return nullptr;
      }
    // Opened without blocking, then looked at: a FIFO put in place of the
    // file cannot hold the open itself.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
      {
        why = errno == ENOENT ? "does not exist" : std::string("cannot be opened: ") + std::strerror(errno);
        return nullptr;
      }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
      {
        why = std::string("is ") + (fstat(fd, &st) == 0 ? kindOf(st.st_mode) : "unreadable") + ", not a regular file";
        close(fd);
        return nullptr;
      }
    if (static_cast<unsigned long long>(st.st_size) > max_bytes)
      {
        why = "is larger than " + sizeText(max_bytes) + "; no such file is that long";
        close(fd);
        return nullptr;
      }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* f = fdopen(fd, mode);
    if (f == nullptr)
      {
        why = std::string("cannot be read: ") + std::strerror(errno);
        close(fd);
      }
    return f;
  }

  bool readRegularFile(const char* path, std::size_t max_bytes, std::string& text, std::string& why)
  {
    std::FILE* f = openRegularFile(path, max_bytes, "rb", why);
    if (f == nullptr)
      return false;
    // At most one byte more than allowed: a file that grew since it was
    // looked at is still refused.
    text.assign(max_bytes + 1, '\0');
    const std::size_t n = std::fread(&text[0], 1, text.size(), f);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    text.resize(n);
    if (failed)
      {
        why = "cannot be read";
        return false;
      }
    if (n > max_bytes)
      {
        why = "is larger than " + sizeText(max_bytes) + "; no such file is that long";
        return false;
      }
    return true;
  }
}
