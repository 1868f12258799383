// libFuzzer target: an execution context's operations in any order, from
// two clients at once (each byte of the input is one call, alternately for
// each client): start, stop, set_rate, activate, deactivate and reset of
// its owner, get_component_state, get_profile. Any answer is fine; no
// interleaving may crash or leave the context without its thread.
#include <cstdint>
#include <cstdlib>
#include <thread>

#include <rtm/DataFlowComponentBase.h>
#include <rtm/Manager.h>
#include <rtm/PeriodicExecutionContext.h>

namespace
{
  RTC::RTObject_impl* owner()
  {
    static RTC::RTObject_impl* c = [] {
      const char* args[] = {"fuzz_ec", "-o", "naming.enable:NO", "-o", "exec_cxt.periodic.rate:1000", nullptr};
      RTC::Manager* m = RTC::Manager::init(5, const_cast<char**>(args));
      m->activateManager();
      static const char* spec[] = {"implementation_id", "Owner", "type_name", "Owner", ""};
      coil::Properties p(spec);
      m->registerFactory(p, [](RTC::Manager* mm) -> RTC::RTObject_impl* { return new RTC::DataFlowComponentBase(mm); },
                         [](RTC::RTObject_impl*) {});
      return m->createComponent("Owner");
    }();
    return c;
  }

  void call(RTC::PeriodicExecutionContext& ec, RTC::LightweightRTObject_ptr rtc, std::uint8_t op)
  {
    switch (op % 8)
      {
      case 0: ec.start(); break;
      case 1: ec.stop(); break;
      case 2: ec.set_rate(op < 128 ? 500.0 : 2000.0); break;
      case 3: ec.activate_component(rtc); break;
      case 4: ec.deactivate_component(rtc); break;
      case 5: ec.reset_component(rtc); break;
      case 6: ec.get_component_state(rtc); break;
      default: delete ec.get_profile(); break;
      }
  }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  RTC::RTObject_impl* c = owner();
  RTC::PeriodicExecutionContext& ec = *c->ownedContext();
  RTC::RTObject_var rtc = c->getObjRef();
  std::thread other([&] {
      for (std::size_t i = 1; i < size; i += 2)
        call(ec, rtc, data[i]);
    });
  for (std::size_t i = 0; i < size; i += 2)
    call(ec, rtc, data[i]);
  other.join();
  // Whatever happened, the context can be brought back to running.
  ec.start();
  if (!ec.is_running())
    std::abort();
  return 0;
}
