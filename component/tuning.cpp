#include "tuning.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

std::atomic<int> tuned_threshold(100);
std::atomic<double> tuned_marker_width(80.0);

namespace
{
  std::string trimmed(const char* text)
  {
    std::string s(text);
    const std::string::size_type first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
      return "";
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
  }
}

bool parseThreshold(int& value, const char* text)
{
  if (text == 0)
    return false;
  const std::string s = trimmed(text);
  static const struct
  {
    const char* name;
    int code;
  } modes[] = {{"auto", TUNED_THRESHOLD_AUTO},
               {"auto_median", TUNED_THRESHOLD_AUTO_MEDIAN},
               {"auto_otsu", TUNED_THRESHOLD_AUTO_OTSU},
               {"auto_adaptive", TUNED_THRESHOLD_AUTO_ADAPTIVE}};
  for (const auto& m : modes)
    if (s == m.name)
      {
        value = m.code;
        return true;
      }
  if (s.empty())
    return false;
  char* end = 0;
  errno = 0;
  const long n = std::strtol(s.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || n < 0 || n > 255)
    return false;
  value = static_cast<int>(n);
  return true;
}

bool parseMarkerWidth(double& value, const char* text)
{
  if (text == 0)
    return false;
  const std::string s = trimmed(text);
  if (s.empty())
    return false;
  char* end = 0;
  errno = 0;
  const double w = std::strtod(s.c_str(), &end);
  // From 0.01 mm to 100 m: what can be printed and seen; 1e-300 is no
  // width, and would leave the pose as it was.
  if (errno != 0 || *end != '\0' || !std::isfinite(w) || !(w >= 0.01) || w > 100000.0)
    return false;
  value = w;
  return true;
}
