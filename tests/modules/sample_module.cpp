// Sample.so: a module for the host's tests. SampleInit registers "Sample"
// (no instance limit, one OutPort "Out"); ThrowingInit throws, as a
// broken module's init may; SlowInit takes seven seconds first.
#include <chrono>
#include <stdexcept>
#include <thread>

#include <rtm/idl/BasicDataTypeSkel.h>
#include <rtm/DataFlowComponentBase.h>
#include <rtm/Manager.h>
#include <rtm/OutPort.h>

namespace
{
  class Sample : public RTC::DataFlowComponentBase
  {
  public:
    explicit Sample(RTC::Manager* m) : RTC::DataFlowComponentBase(m), m_data(), m_out("Out", m_data) {}
    RTC::ReturnCode_t onInitialize() override
    {
      addOutPort("Out", m_out);
      return RTC::RTC_OK;
    }

  private:
    RTC::TimedFloatSeq m_data;
    RTC::OutPort<RTC::TimedFloatSeq> m_out;
  };

  RTC::RTObject_impl* create(RTC::Manager* m) { return new Sample(m); }
  void destroy(RTC::RTObject_impl* rtc) { delete rtc; }

  const char* spec[] = {"implementation_id", "Sample", "type_name", "SampleType", "description", "a test module",
                              "version", "1.0", "vendor", "Lab", "category", "example", "activity_type", "PERIODIC",
                              "kind", "DataFlowComponent", "max_instance", "0", "language", "C++", "lang_type",
                              "compile", ""};
}

extern "C" void SampleInit(RTC::Manager* manager)
{
  coil::Properties profile(spec);
  manager->registerFactory(profile, create, destroy);
}

extern "C" void SlowInit(RTC::Manager* manager)
{
  std::this_thread::sleep_for(std::chrono::seconds(7));
  SampleInit(manager);
}

extern "C" void ThrowingInit(RTC::Manager*)
{
  throw std::runtime_error("this module cannot start");
}
