// libFuzzer target: configuration text and manager command lines. The
// input is a configuration file; its lines, split at NUL bytes, are also
// an argument vector (with -f, -o, -p ...), which must come back unchanged.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <coil/Properties.h>

#include "ManagerConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  const std::string text(reinterpret_cast<const char*>(data), size);

  coil::Properties config;
  RTC::setManagerDefaults(config);
  std::istringstream file(text);
  config.load(file);
  for (const std::string& key : config.propertyNames())
    config.getNode(key);
  RTC::orbArguments(config);

  std::vector<std::string> words = {"program"};
  std::string::size_type start = 0;
  for (std::string::size_type i = 0; i <= text.size(); ++i)
    if (i == text.size() || text[i] == '\0')
      {
        words.push_back(text.substr(start, i - start));
        start = i + 1;
      }
  std::vector<char*> argv;
  for (std::string& w : words)
    argv.push_back(&w[0]);
  argv.push_back(nullptr);
  const std::vector<char*> before = argv;
  RTC::ManagerArgs args = RTC::parseManagerArgs(static_cast<int>(words.size()), argv.data());
  if (argv != before)
    std::abort();
  for (const auto& kv : args.overrides)
    if (kv.first != coil::trim(kv.first) || kv.second != coil::trim(kv.second))
      std::abort();
  return 0;
}
