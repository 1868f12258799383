// libFuzzer target: video option strings.
#include <cstdint>
#include <string>

#include "video_options.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  std::string text(reinterpret_cast<const char*>(data), size);
  ar::VideoOptions options;
  std::string error;
  ar::parseVideoOptions(text, options, error);
  return 0;
}
