// libFuzzer target: what tools send to a component's configuration. The
// input is a CDR stream of ConfigurationSet values (as
// set_configuration_set_values and add_configuration_set receive them),
// each preceded by one byte that picks the operation; between them the
// execution context's update runs. The sets must stay within their bounds.
#include <cstdint>
#include <cstdlib>

#include <rtm/ConfigAdmin.h>
#include <rtm/RTC.h>

#include "Configuration.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  RTC::ConfigAdmin admin;
  coil::Properties props;
  props.setProperty("conf.default.threshold", "100");
  props.setProperty("conf.__widget__.threshold", "text");
  admin.load(props, "fuzz");
  int threshold = 0;
  double width = 0;
  admin.bindParameter("threshold", threshold, "100");
  admin.bindParameter("marker_width", width, "80.0");
  RTC::Configuration_impl config(admin);

  cdrMemoryStream in(const_cast<std::uint8_t*>(data), size);
  try
    {
      while (in.checkInputOverrun(1, 1))
        {
          const CORBA::Octet op = in.unmarshalOctet();
          SDOPackage::ConfigurationSet set;
          set <<= in;
          try
            {
              switch (op % 5)
                {
                case 0: config.set_configuration_set_values(set); break;
                case 1: config.add_configuration_set(set); break;
                case 2: config.remove_configuration_set(set.id); break;
                case 3: config.activate_configuration_set(set.id); break;
                default: delete config.get_configuration_set(set.id); break;
                }
            }
          catch (const CORBA::UserException&)
            {
              // the answers tools get for empty or unknown ids
            }
          admin.update();
          SDOPackage::ConfigurationSet_var active = config.get_active_configuration_set();
        }
    }
  catch (const CORBA::SystemException&)
    {
      // bytes that are no ConfigurationSet: the ORB refuses them likewise
    }
  const std::vector<RTC::ConfigAdmin::Set> sets = admin.sets();
  if (sets.size() > RTC::ConfigAdmin::kMaxSets)
    std::abort();
  return 0;
}
