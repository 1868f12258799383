#include "ComponentArgs.h"

#include "ManagerConfig.h"

RTM_NAMESPACE_BEGIN(RTC)
  bool parseComponentArgs(const std::string& given, ComponentArgs& out)
  {
    out = ComponentArgs();
    std::string text = coil::trim(given);
    while (!text.empty() && (text.back() == '&' || text.back() == '?'))
      text.pop_back();
    if (text.empty())
      return false;
    const std::string::size_type q = text.find('?');
    if (q != std::string::npos && text.find('?', q + 1) != std::string::npos)
      return false;
    const std::string id = coil::trim(text.substr(0, q));
    if (id.compare(0, 4, "RTC:") == 0)
      {
        const std::vector<std::string> fields = split(id, ':');
        if (fields.size() != 6)
          return false;
        out.vendor = fields[1];
        out.category = fields[2];
        out.id = fields[3];
        out.language = fields[4];
        out.version = fields[5];
      }
    else
      out.id = id;
    if (out.id.empty())
      return false;
    if (q == std::string::npos)
      return true;
    for (const std::string& pair : split(text.substr(q + 1), '&'))
      {
        const std::vector<std::string> kv = split(pair, '=');
        if (kv.size() == 2 && !coil::trim(kv[0]).empty())
          out.extra.setProperty(coil::trim(kv[0]), coil::trim(kv[1]));
      }
    return true;
  }

  bool matchesFactory(const ComponentArgs& args, const coil::Properties& profile)
  {
    const auto same = [&](const std::string& wanted, const char* key) {
      return wanted.empty() || wanted == profile.getProperty(key);
    };
    return args.id == profile.getProperty("implementation_id") && same(args.vendor, "vendor") &&
           same(args.category, "category") && same(args.language, "language") && same(args.version, "version");
  }
RTM_NAMESPACE_END
