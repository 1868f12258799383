// libFuzzer target: pattern files of any content.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include <AR/ar.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  static const std::string path = "/dev/shm/vorlinde-fuzz-patt-" + std::to_string(getpid());
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr)
    return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  int id = arLoadPatt(path.c_str());
  if (id >= 0)
    arFreePatt(id);
  return 0;
}
