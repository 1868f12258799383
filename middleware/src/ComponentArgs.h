// What createComponent and create_component are given: "ID[?key=value&...]",
// ID an implementation id or "RTC:vendor:category:id:language:version"
// (empty fields match any factory).
#ifndef RTM_SRC_COMPONENTARGS_H
#define RTM_SRC_COMPONENTARGS_H

#include <string>

#include <coil/Properties.h>
#include <rtm/config_rtc.h>

RTM_NAMESPACE_BEGIN(RTC)
  struct ComponentArgs
  {
    std::string id, vendor, category, language, version;
    coil::Properties extra;  // the key=value pairs
  };

  // False for an empty text, two '?', or an "RTC:" id without its six
  // fields. A trailing '&' or '?' is dropped, and so is a pair that is not
  // exactly key=value.
  bool parseComponentArgs(const std::string& text, ComponentArgs& out);

  // The factory's profile answers the id, and the vendor, category,
  // language and version where they are given.
  bool matchesFactory(const ComponentArgs& args, const coil::Properties& profile);
RTM_NAMESPACE_END

#endif
