// Vorlinde.so as a middleware manager loads it: dlopen, the init symbol,
// then a component created from the factory it registered.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdio>
#include <string>

#include <rtm/idl/BasicDataTypeSkel.h>
#include <rtm/DataFlowComponentBase.h>
#include <rtm/Manager.h>
#include <rtm/OutPort.h>

namespace
{
  // A source of angles in the same process.
  class Source : public RTC::DataFlowComponentBase
  {
  public:
    explicit Source(RTC::Manager* m) : RTC::DataFlowComponentBase(m), data(), port("Out", data) {}
    RTC::ReturnCode_t onInitialize() override
    {
      registerOutPort("Out", port);
      return RTC::RTC_OK;
    }
    RTC::TimedFloatSeq data;
    RTC::OutPort<RTC::TimedFloatSeq> port;
  };
  RTC::RTObject_impl* makeSource(RTC::Manager* m) { return new Source(m); }
  void dropSource(RTC::RTObject_impl* r) { delete r; }
  const char* source_spec[] = {"implementation_id", "Source", "type_name", "Source", "category", "Test",
                               "max_instance", "1", ""};
}

TEST(VorlindeModule, LoadsRegistersAndCreates)
{
  // The port's own keys, as rtc.conf gives them for this instance.
  const char* args[] = {"module_test", "-o", "naming.enable:NO", "-o",
                        "TEST.Vorlinde0.port.inport.Angle.connection_limit:1", nullptr};
  RTC::Manager* manager = RTC::Manager::init(5, const_cast<char**>(args));
  manager->activateManager();

  std::string path = std::string(PROJ_BINARY_DIR) + "/component/Vorlinde.so";
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  typedef void (*InitFunc)(RTC::Manager*);
  InitFunc init = reinterpret_cast<InitFunc>(dlsym(module, "VorlindeInit"));
  ASSERT_NE(init, nullptr) << "VorlindeInit is not exported";
  EXPECT_NE(dlsym(module, "registerVorlindeFactory"), nullptr);
  init(manager);

  RTC::RTObject_impl* rtc = manager->createComponent("Vorlinde");
  ASSERT_NE(rtc, nullptr);
  EXPECT_EQ(rtc->getInstanceName(), "Vorlinde0");
  RTC::ComponentProfile_var profile = rtc->get_component_profile();
  EXPECT_STREQ(profile->type_name, "Vorlinde");
  EXPECT_STREQ(profile->vendor, "Zelvaro");
  ASSERT_EQ(profile->port_profiles.length(), 1u);
  EXPECT_STREQ(profile->port_profiles[0].name, "Vorlinde0.Angle");

  // Registered once the component was named: its name and its keys.
  coil::Properties spec(source_spec);
  manager->registerFactory(spec, makeSource, dropSource);
  Source* source = dynamic_cast<Source*>(manager->createComponent("Source"));
  ASSERT_NE(source, nullptr);
  RTC::PortServiceList_var ports = rtc->get_ports();
  RTC::PortService_var out = source->port.getPortRef();
  ASSERT_EQ(ports->length(), 1u);
  for (int n = 0; n < 2; ++n)
    {
      RTC::ConnectorProfile p;
      p.name = CORBA::string_dup("angles");
      p.connector_id = CORBA::string_dup("");
      p.ports.length(2);
      p.ports[0] = RTC::PortService::_duplicate(out);
      p.ports[1] = RTC::PortService::_duplicate(ports[0]);
      EXPECT_EQ(out->connect(p), n == 0 ? RTC::RTC_OK : RTC::RTC_ERROR)
        << "connector " << n + 1 << " against a limit of 1";
    }
}

// Our module in a host of another middleware: it registers nothing, says
// why in one line, and the host goes on.
TEST(VorlindeModule, AForeignHostIsToldAndGoesOn)
{
  const std::string host = std::string(PROJ_BINARY_DIR) + "/tests/foreign_host";
  const std::string module = std::string(PROJ_BINARY_DIR) + "/component/Vorlinde.so";
  const std::string command = host + " " + module + " 2>&1";
  FILE* p = popen(command.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, p) != nullptr)
    out += buffer;
  const int status = pclose(p);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out,
            "rtc: Vorlinde.so: loaded by a host whose middleware is not vorlinde-rtm; factory \"Vorlinde\" not "
            "registered. Build the module against the host's middleware (cmake -DVORLINDE_OPENRTM=...)\n"
            "foreign host: still here\n");
}
