// coil::stringTo: a configuration value (a string) into a variable, as
// configuration parameters convert their values.
#ifndef COIL_STRINGUTIL_H
#define COIL_STRINGUTIL_H

#include <coil/config_coil.h>
#include <cctype>
#include <sstream>
#include <string>

RTM_NAMESPACE_BEGIN(coil)
  // Stream extraction: leading blanks skipped, trailing text ignored;
  // false when no value can be read (or it is out of range).
  template <typename To>
  bool stringTo(To& val, const char* str)
  {
    if (str == 0)
      return false;
    std::istringstream s(str);
    To read;
    if (!(s >> read))
      return false;
    val = read;
    return true;
  }

  // The whole value, blanks included; never fails.
  template <>
  inline bool stringTo<std::string>(std::string& val, const char* str)
  {
    if (str == 0)
      return false;
    val = str;
    return true;
  }

  // true, 1, yes, on / false, 0, no, off, in any case, blanks around
  // ignored.
  template <>
  inline bool stringTo<bool>(bool& val, const char* str)
  {
    if (str == 0)
      return false;
    std::string word(str);
    const std::string::size_type first = word.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
      return false;
    word = word.substr(first, word.find_last_not_of(" \t\r\n") - first + 1);
    for (std::string::size_type i = 0; i < word.size(); ++i)
      word[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(word[i])));
    if (word == "true" || word == "1" || word == "yes" || word == "on")
      val = true;
    else if (word == "false" || word == "0" || word == "no" || word == "off")
      val = false;
    else
      return false;
    return true;
  }
RTM_NAMESPACE_END

#endif
