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

namespace
{
  // A memory stream whose length check does not wrap in 32 bits, as the
  // ORB's own network stream does not: else a length of 4 GB passes it
  // and this harness, not the component, allocates for it.
  class Bounded : public cdrMemoryStream
  {
  public:
    Bounded(void* buffer, size_t length) : cdrMemoryStream(buffer, length) {}
    _CORBA_Boolean checkInputOverrun(_CORBA_ULong itemSize, _CORBA_ULong nItems, omni::alignment_t align) override
    {
      const omni::ptr_arith_t at = omni::align_to(reinterpret_cast<omni::ptr_arith_t>(pd_inb_mkr), align);
      const omni::ptr_arith_t end = reinterpret_cast<omni::ptr_arith_t>(pd_inb_end);
      return at <= end && static_cast<unsigned long long>(itemSize) * nItems <= end - at;
    }
  };
}

// omniORB keeps the type code of an any it could not finish reading (a
// truncated stream); that is the ORB's own, not the configuration's.
extern "C" const char* __lsan_default_suppressions()
{
  return "leak:libomniDynamic4\n";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  // Strings are read through the ORB's code sets.
  static CORBA::ORB_var orb = [] {
    int argc = 1;
    char name[] = "fuzz_configset";
    char* argv[] = {name, nullptr};
    return CORBA::ORB_init(argc, argv);
  }();
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

  Bounded in(const_cast<std::uint8_t*>(data), size);
  try
    {
      while (in.checkInputOverrun(1, 1, omni::ALIGN_1))
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
  catch (...)
    {
      // bytes that are no ConfigurationSet: the ORB refuses them likewise
      // (some, a fixed-point number out of range say, with an exception
      // of its own that its request handling catches)
    }
  const std::vector<RTC::ConfigAdmin::Set> sets = admin.sets();
  if (sets.size() > RTC::ConfigAdmin::kMaxSets)
    std::abort();
  return 0;
}
