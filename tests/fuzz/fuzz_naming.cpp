// libFuzzer target: naming formats (naming.formats) expanded with the
// component's profile, and the text of names turned into CosNaming names
// and back, which must settle after one round.
#include <cstdint>
#include <cstdlib>
#include <string>

#include <coil/Properties.h>

#include "ManagerConfig.h"
#include "Naming.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  const std::string format(reinterpret_cast<const char*>(data), size);
  static const char* profile[] = {"instance_name", "Vorlinde0", "type_name", "Vorlinde",
                                  "implementation_id", "Vorlinde", "version", "1.0.0",
                                  "vendor", "Zelvaro", "category", "TEST", ""};
  static const coil::Properties prop(profile);
  static const RTC::NameContext context{"host.example", "manager", 1234, 0};
  for (const std::string& one : RTC::splitList(format))
    {
      const std::string path = RTC::expandNameFormat(one, prop, context);
      const std::string once = RTC::NamingClient::toString(RTC::NamingClient::toName(path));
      const std::string twice = RTC::NamingClient::toString(RTC::NamingClient::toName(once));
      if (once != twice)
        std::abort();
    }
  return 0;
}
