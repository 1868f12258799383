// The component across real processes: a headless host of Vorlinde, the
// angle sender and this test (as a tool would be) talk CORBA through the
// naming service that the test fixture started.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <thread>

#include <rtm/Manager.h>

#include "NVUtil.h"
#include "Naming.h"
#include "peer.h"
#include "process.h"
#include "sender.h"

using namespace RTC;
using testing_support::Process;
using Clock = std::chrono::steady_clock;

using namespace testing_support;

TEST(ToolFlows, ListingInspectionAndEditorSyncAnswerWithoutRaising)
{
  auto probe = startProbe({});
  RTObject_var rtc = component();
  ASSERT_FALSE(CORBA::is_nil(rtc)) << "not bound as " << componentPath();

  for (const char* id : {"IDL:openrtm.aist.go.jp/OpenRTM/DataFlowComponent:1.0",
                         "IDL:omg.org/RTC/RTObject:1.0", "IDL:omg.org/RTC/DataFlowComponent:1.0",
                         "IDL:omg.org/RTC/LightweightRTObject:1.0", "IDL:omg.org/RTC/ComponentAction:1.0",
                         "IDL:omg.org/RTC/DataFlowComponentAction:1.0", "IDL:org.omg/SDOPackage/SDO:1.0",
                         "IDL:org.omg/SDOPackage/SDOSystemElement:1.0"})
    EXPECT_TRUE(rtc->_is_a(id)) << id;
  for (const char* id : {"IDL:omg.org/RTC/FsmParticipantAction:1.0",
                         "IDL:omg.org/RTC/MultiModeComponentAction:1.0", "IDL:RTM/Manager:1.0"})
    EXPECT_FALSE(rtc->_is_a(id)) << id;

  // rtls -l / rtcat -ll
  ComponentProfile_var profile = rtc->get_component_profile();
  EXPECT_STREQ(profile->instance_name, "Vorlinde0");
  EXPECT_STREQ(profile->type_name, "Vorlinde");
  EXPECT_STREQ(profile->description, "VorlindeComp");
  EXPECT_STREQ(profile->category, "TEST");
  EXPECT_TRUE(CORBA::is_nil(profile->parent));
  EXPECT_EQ(nv(profile->properties, "vendor"), "Zelvaro");
  ExecutionContext_var ec = ownedContext(rtc);
  ASSERT_FALSE(CORBA::is_nil(ec));
  EXPECT_EQ(rtc->get_context_handle(ec), 0);
  EXPECT_TRUE(ec->_is_a("IDL:omg.org/RTC/ExecutionContextService:1.0"));
  EXPECT_FALSE(ec->_is_a("IDL:openrtm.aist.go.jp/OpenRTM/ExtTrigExecutionContextService:1.0"));
  ExecutionContextService_var ecs = ExecutionContextService::_narrow(ec);
  ExecutionContextProfile_var ecp = ecs->get_profile();
  EXPECT_EQ(ecp->kind, PERIODIC);
  EXPECT_EQ(ecp->participants.length(), 0u);
  EXPECT_EQ(nv(ecp->properties, "type"), "PeriodicExecutionContext");
  EXPECT_EQ(nv(ecp->properties, "rate"), "1");
  EXPECT_TRUE(rtc->is_alive(ec));
  EXPECT_EQ(ec->get_component_state(rtc), INACTIVE_STATE);
  EXPECT_TRUE(ec->is_running());
  EXPECT_EQ(ec->get_kind(), PERIODIC);
  ExecutionContextList_var participating = rtc->get_participating_contexts();
  EXPECT_EQ(participating->length(), 0u);
  SDOPackage::OrganizationList_var owned = rtc->get_owned_organizations();
  SDOPackage::OrganizationList_var orgs = rtc->get_organizations();
  EXPECT_EQ(owned->length() + orgs->length(), 0u);
  CORBA::String_var sdoId = rtc->get_sdo_id();
  CORBA::String_var sdoType = rtc->get_sdo_type();
  EXPECT_STREQ(sdoId, "Vorlinde0");
  EXPECT_STREQ(sdoType, "VorlindeComp");
  EXPECT_THROW(rtc->get_monitoring(), SDOPackage::InterfaceNotImplemented);

  // Ports, as rtcon and the editor read them.
  PortServiceList_var ports = rtc->get_ports();
  ASSERT_EQ(ports->length(), 1u);
  EXPECT_TRUE(ports[0]->_is_a("IDL:org.omg/SDOPackage/SDOService:1.0"));
  PortProfile_var port = ports[0]->get_port_profile();
  EXPECT_STREQ(port->name, "Vorlinde0.Angle");
  EXPECT_EQ(port->interfaces.length(), 0u);
  EXPECT_TRUE(port->owner->_is_equivalent(rtc));
  EXPECT_EQ(nv(port->properties, "port.port_type"), "DataInPort");
  EXPECT_EQ(nv(port->properties, "dataport.data_type"), "IDL:RTC/TimedFloatSeq:1.0");
  EXPECT_EQ(nv(port->properties, "dataport.dataflow_type"), "push");
  EXPECT_EQ(nv(port->properties, "dataport.interface_type"), "corba_cdr");
  EXPECT_EQ(nv(port->properties, "dataport.subscription_type"), "Any");
  ConnectorProfileList_var connectors = ports[0]->get_connector_profiles();
  EXPECT_EQ(connectors->length(), 0u);
  EXPECT_EQ(ports[0]->disconnect("unknown"), BAD_PARAMETER);
  EXPECT_EQ(ports[0]->notify_disconnect("unknown"), BAD_PARAMETER);

  // The editor's configuration poll and its status observer.
  SDOPackage::Configuration_var config = rtc->get_configuration();
  SDOPackage::ConfigurationSetList_var sets = config->get_configuration_sets();
  ASSERT_EQ(sets->length(), 3u);  // default, then the editor's hidden sets
  EXPECT_STREQ(sets[0].id, "default");
  SDOPackage::ConfigurationSet_var active = config->get_active_configuration_set();
  EXPECT_STREQ(active->id, "default");
  SDOPackage::ServiceProfile observer;
  observer.id = CORBA::string_dup("observer");
  observer.interface_type = CORBA::string_dup("IDL:OpenRTM/ComponentObserver:1.0");
  EXPECT_FALSE(config->add_service_profile(observer));
}

namespace
{
  std::string valueOf(const SDOPackage::ConfigurationSet& set, const char* name)
  {
    for (CORBA::ULong i = 0; i < set.configuration_data.length(); ++i)
      if (std::strcmp(set.configuration_data[i].name, name) == 0)
        {
          const char* value = nullptr;
          if (set.configuration_data[i].value >>= value)
            return value;
          return "<not a string>";
        }
    return "<absent>";
  }

  // A set of one parameter, as a tool sends it.
  SDOPackage::ConfigurationSet oneValue(const char* id, const char* name, const char* value)
  {
    SDOPackage::ConfigurationSet set;
    set.id = CORBA::string_dup(id);
    set.description = CORBA::string_dup("");
    set.configuration_data.length(1);
    set.configuration_data[0].name = CORBA::string_dup(name);
    set.configuration_data[0].value <<= value;
    return set;
  }

  // What rtconf PATH [-s SET] set NAME VALUE sends first: the set as read,
  // one value replaced (the activation follows when SET is the active set).
  void rtconfSet(SDOPackage::Configuration_ptr config, const char* set_id, const char* name, const char* value)
  {
    SDOPackage::ConfigurationSet_var set = config->get_configuration_set(set_id);
    for (CORBA::ULong i = 0; i < set->configuration_data.length(); ++i)
      if (std::strcmp(set->configuration_data[i].name, name) == 0)
        set->configuration_data[i].value <<= value;
    EXPECT_TRUE(config->set_configuration_set_values(set));
  }
}

// rtconf list / set / -s SET act, RT System Editor's edits, and the bound
// variables following on the execution context's thread.
// The window follows the parameters in every state: a change to the
// active set, or another set made active, reaches what the viewer reads
// within a second although nothing activates the component.
TEST(Configuration, TheViewerFollowsTheParametersWhileInactive)
{
  auto probe = startProbe({});
  RTObject_var rtc = component();
  ASSERT_FALSE(CORBA::is_nil(rtc));
  ExecutionContext_var ec = ownedContext(rtc);
  ASSERT_EQ(ec->get_component_state(rtc), INACTIVE_STATE);
  SDOPackage::Configuration_var config = rtc->get_configuration();
  rtconfSet(config, "default", "threshold", "auto");
  EXPECT_TRUE(probe->waitForOutput("tuning -1 80", 1000)) << "rtconf set threshold auto";
  EXPECT_TRUE(config->add_configuration_set(oneValue("big", "marker_width", "160")));
  EXPECT_TRUE(config->activate_configuration_set("big"));
  EXPECT_TRUE(probe->waitForOutput("tuning -1 160", 1000)) << "a set with only the width";
  rtconfSet(config, "big", "marker_width", "abc");
  rtconfSet(config, "big", "marker_width", "120");
  EXPECT_TRUE(probe->waitForOutput("tuning -1 120", 1000)) << "a bad value changed nothing on the way";
  EXPECT_EQ(ec->get_component_state(rtc), INACTIVE_STATE);
}

TEST(Configuration, ToolCallsGetThePeersAnswersAndTheComponentFollows)
{
  auto probe = startProbe({"-o", "exec_cxt.periodic.rate:50", "-o", "TEST.Vorlinde.conf.default.threshold:auto"});
  RTObject_var rtc = component();
  ASSERT_FALSE(CORBA::is_nil(rtc));
  ExecutionContextList_var contexts = rtc->get_owned_contexts();
  ASSERT_EQ(contexts[0]->activate_component(rtc), RTC_OK);
  SDOPackage::Configuration_var config = rtc->get_configuration();

  // list
  SDOPackage::ConfigurationSetList_var sets = config->get_configuration_sets();
  ASSERT_EQ(sets->length(), 3u);
  EXPECT_STREQ(sets[0].id, "default");
  EXPECT_EQ(valueOf(sets[0], "threshold"), "auto");
  EXPECT_EQ(valueOf(sets[0], "marker_width"), "80.0");
  EXPECT_STREQ(sets[1].id, "__constraints__");
  EXPECT_STREQ(sets[2].id, "__widget__");
  EXPECT_EQ(valueOf(sets[2], "threshold"), "text");

  // set on the active set: applied within a couple of periods.
  rtconfSet(config, "default", "marker_width", "160");
  SDOPackage::ConfigurationSet_var edited = config->get_active_configuration_set();
  EXPECT_EQ(valueOf(edited, "marker_width"), "160") << "answered as stored, never NotAvailable";
  EXPECT_TRUE(config->activate_configuration_set("default"));
  EXPECT_TRUE(probe->waitForOutput("tuning -1 160", 3000)) << "with rtc.conf's threshold from the start";
  rtconfSet(config, "default", "threshold", "60");
  EXPECT_TRUE(config->activate_configuration_set("default"));
  EXPECT_TRUE(probe->waitForOutput("tuning 60 160", 3000));

  // A value the parameter does not take: one warning, the value stays.
  rtconfSet(config, "default", "marker_width", "0");
  EXPECT_TRUE(config->activate_configuration_set("default"));
  rtconfSet(config, "default", "threshold", "70");
  EXPECT_TRUE(config->activate_configuration_set("default"));
  EXPECT_TRUE(probe->waitForOutput("tuning 70 160", 3000));
  SDOPackage::ConfigurationSet_var active = config->get_active_configuration_set();
  EXPECT_EQ(valueOf(active, "marker_width"), "0") << "the bad string stays in the set";
  EXPECT_TRUE(probe->waitForError("marker_width: \"0\" is not a value it takes; it keeps \"", 3000))
    << probe->errorText();

  // An unknown parameter name: kept in the set, never applied.
  EXPECT_TRUE(config->set_configuration_set_values(oneValue("default", "nosuch", "1")));
  EXPECT_TRUE(config->activate_configuration_set("default"));
  active = config->get_active_configuration_set();
  EXPECT_EQ(valueOf(active, "nosuch"), "1");
  EXPECT_EQ(valueOf(active, "threshold"), "70") << "the other values stay";

  // Another set: stored, applied only when activated.
  const SDOPackage::ConfigurationSet dim = oneValue("dim", "threshold", "auto_otsu");
  EXPECT_TRUE(config->add_configuration_set(dim));
  EXPECT_FALSE(config->add_configuration_set(dim)) << "an existing id";
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(config->activate_configuration_set("dim"));
  EXPECT_TRUE(probe->waitForOutput("tuning -3 160", 3000)) << "only the set's parameters change";
  EXPECT_FALSE(config->remove_configuration_set("dim")) << "the active set";
  EXPECT_TRUE(config->activate_configuration_set("default"));
  EXPECT_TRUE(config->remove_configuration_set("dim"));
  EXPECT_FALSE(config->remove_configuration_set("default"));

  // A peer adding sets without end, or one huge value, is refused before
  // the sets pass what every tool can still read (said once).
  int added = 0;
  for (int i = 0; i < 200; ++i)
    added += config->add_configuration_set(oneValue(("flood" + std::to_string(i)).c_str(), "threshold", "1"));
  EXPECT_EQ(added, 64 - 3);
  EXPECT_FALSE(config->set_configuration_set_values(oneValue("default", "threshold", std::string(300000, '7').c_str())));
  sets = config->get_configuration_sets();
  EXPECT_EQ(sets->length(), 64u);
  const std::string flood = probe->errorText();
  EXPECT_NE(flood.find("configuration change refused: too many sets"), std::string::npos) << flood;

  // Unknown sets and empty ids, with the exceptions peers raise.
  EXPECT_THROW(config->get_configuration_set("nosuch"), SDOPackage::InternalError);
  EXPECT_THROW(config->get_configuration_set(""), SDOPackage::InternalError);
  EXPECT_THROW(config->activate_configuration_set("nosuch"), SDOPackage::InvalidParameter);
  EXPECT_THROW(config->activate_configuration_set("__widget__"), SDOPackage::InvalidParameter);
  EXPECT_THROW(config->activate_configuration_set(""), SDOPackage::InvalidParameter);
  EXPECT_THROW(config->remove_configuration_set(""), SDOPackage::InvalidParameter);
  EXPECT_THROW(config->get_configuration_parameter_value(""), SDOPackage::InvalidParameter);
  SDOPackage::ParameterList_var params = config->get_configuration_parameters();
  EXPECT_EQ(params->length(), 0u);
  EXPECT_TRUE(config->set_configuration_parameter("threshold", CORBA::Any()));
}

class SendOrder : public ::testing::TestWithParam<const char*> {};

TEST_P(SendOrder, SenderDeliversAndDisconnects)
{
  auto probe = startProbe({"-o", "exec_cxt.periodic.rate:50"});
  std::string output;
  ASSERT_EQ(anglesend({"--connect-on", GetParam(), "Vorlinde0:Angle", "30", "-45", "90"}, &output), 0)
    << output;
  EXPECT_TRUE(probe->waitForOutput("angle 30 -45 90", 3000));
  ASSERT_EQ(anglesend({"--connect-on", GetParam(), componentPath() + ":Angle", "5"}, &output), 0)
    << output;
  EXPECT_TRUE(probe->waitForOutput("angle 5 -45 90", 3000)) << "one float changes joint 0 only";
  RTObject_var rtc = component();
  PortServiceList_var ports = rtc->get_ports();
  ConnectorProfileList_var connectors = ports[0]->get_connector_profiles();
  EXPECT_EQ(connectors->length(), 0u) << "the sender left its connector behind";
}

INSTANTIATE_TEST_SUITE_P(BothOrders, SendOrder, ::testing::Values("in", "out"));

TEST(Activation, InactiveComponentKeepsDataUntilActivatedAndAnswersFast)
{
  auto probe = startProbe({});  // the profile's 1.0 Hz
  std::string output;
  ASSERT_EQ(anglesend({"--no-activate", "--hold", "0", "Vorlinde0:Angle", "1", "2", "3"}, &output), 0)
    << output;
  std::string line;
  EXPECT_FALSE(probe->readLine(line, 1500)) << "copied while inactive: " << line;

  RTObject_var rtc = component();
  ExecutionContext_var ec = ownedContext(rtc);
  auto start = Clock::now();
  EXPECT_EQ(ec->activate_component(rtc), RTC_OK);
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_LT(seconds, 0.5);
  EXPECT_EQ(ec->get_component_state(rtc), ACTIVE_STATE);
  EXPECT_EQ(ec->activate_component(rtc), PRECONDITION_NOT_MET);
  EXPECT_TRUE(probe->waitForOutput("angle 1 2 3", 2500));

  start = Clock::now();
  EXPECT_EQ(ec->deactivate_component(rtc), RTC_OK);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 0.5);
  EXPECT_EQ(ec->deactivate_component(rtc), PRECONDITION_NOT_MET);
  EXPECT_EQ(ec->reset_component(rtc), PRECONDITION_NOT_MET);
  for (double rate : {0.0, -1.0, 1e-300, 1e300, HUGE_VAL, std::nan("")})
    EXPECT_EQ(ec->set_rate(rate), BAD_PARAMETER) << rate;
  EXPECT_DOUBLE_EQ(ec->get_rate(), 1.0);
}

TEST(Activation, MalformedDatumIsRefusedAcrossProcesses)
{
  auto probe = startProbe({"-o", "exec_cxt.periodic.rate:50"});
  RTObject_var rtc = component();
  ExecutionContext_var ec = ownedContext(rtc);
  ASSERT_EQ(ec->activate_component(rtc), RTC_OK);
  PortServiceList_var ports = rtc->get_ports();
  BarePort* bare;
  PortService_var peer = barePort(bare);
  ConnectorProfile profile = connector({ports[0], peer});
  ASSERT_EQ(ports[0]->connect(profile), RTC_OK);
  std::string ior;
  ASSERT_TRUE(NVUtil::getString(profile.properties, "dataport.corba_cdr.inport_ior", ior));
  CORBA::ORB_var orb = client().getORB();
  CORBA::Object_var obj = orb->string_to_object(ior.c_str());
  OpenRTM::InPortCdr_var sink = OpenRTM::InPortCdr::_narrow(obj);
  OpenRTM::CdrData bad;
  bad.length(15);  // 12 + 4·1 - 1
  std::memset(bad.get_buffer(), 0, 15);
  bad[8] = 1;
  EXPECT_EQ(sink->put(bad), OpenRTM::PORT_ERROR);
  std::string line;
  EXPECT_FALSE(probe->readLine(line, 300)) << line;
  EXPECT_EQ(ports[0]->disconnect(profile.connector_id), RTC_OK);
}

TEST(Execution, AtMostOneDatumPerPeriod)
{
  auto probe = startProbe({"-o", "exec_cxt.periodic.rate:10"});
  Process feeder({testing_support::builtProgram("tools/anglesend"), "-n", naming(), "--no-activate",
                  "-q", "Vorlinde0:Angle", "-"});
  feeder.write("1\n2\n3\n4\n5\n");
  feeder.closeInput();
  ASSERT_EQ(feeder.wait(10000), 0) << feeder.errorText();
  RTObject_var rtc = component();
  ExecutionContext_var ec = ownedContext(rtc);
  ASSERT_EQ(ec->activate_component(rtc), RTC_OK);
  std::vector<Clock::time_point> seen;
  std::string line;
  for (int expected = 1; expected <= 5; ++expected)
    {
      ASSERT_TRUE(probe->readLine(line, 2000));
      EXPECT_EQ(line, "angle " + std::to_string(expected) + " 0 0");
      seen.push_back(Clock::now());
    }
  for (std::size_t i = 1; i < seen.size(); ++i)
    EXPECT_GT(std::chrono::duration<double>(seen[i] - seen[i - 1]).count(), 0.06);
}

TEST(Rate, ProfileValueUnlessConfigured)
{
  char confPath[] = "/tmp/vorlinde-rtc-XXXXXX";
  int fd = mkstemp(confPath);
  ASSERT_GE(fd, 0);
  close(fd);
  std::ofstream(confPath) << "TEST.Vorlinde.exec_cxt.periodic.rate: 40\n";
  struct Case { std::vector<std::string> options; double rate; } cases[] = {
    {{}, 1.0},
    {{"-o", "exec_cxt.periodic.rate:25"}, 25.0},
    {{"-f", confPath}, 40.0},
    {{"-f", confPath, "-o", "TEST.Vorlinde0.exec_cxt.periodic.rate:50"}, 50.0},
  };
  for (const Case& c : cases)
    {
      auto probe = startProbe(c.options);
      RTObject_var rtc = component();
      ASSERT_FALSE(CORBA::is_nil(rtc));
      ExecutionContext_var ec = ownedContext(rtc);
      EXPECT_DOUBLE_EQ(ec->get_rate(), c.rate) << ::testing::PrintToString(c.options);
      probe->closeInput();
      EXPECT_EQ(probe->wait(5000), 0);
    }
  unlink(confPath);
}

namespace
{
  bool namesObject(const std::string& server, const std::string& path, CORBA::Object_ptr obj, int timeout_ms)
  {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    do
      {
        CORBA::Object_var found = lookup(server, path);
        if (!CORBA::is_nil(found) && found->_is_equivalent(obj))
          return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    while (Clock::now() < deadline);
    return false;
  }
}

TEST(Process, NameServiceAbsentAtStartIsBoundWhenItAppears)
{
  testing_support::NamingServer names(testing_support::freePort());
  auto probe = startProbe({"-o", "naming.update.interval:0.5", "-display", ":1"}, names.address());
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // a few retries
  std::string err = probe->errorText();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;  // once
  EXPECT_NE(err.find("corbaloc::" + names.address() + "/NameService"), std::string::npos) << err;

  ASSERT_TRUE(names.start());
  EXPECT_TRUE(waitBound(names.address(), componentPath(), true, 5000));
  probe->closeInput();  // return from main
  EXPECT_EQ(probe->wait(5000), 0);
  EXPECT_TRUE(waitBound(names.address(), componentPath(), false, 1000)) << "name left behind";
}

TEST(Process, NameServiceRestartedEmptyHasTheNameBackWithinOneInterval)
{
  testing_support::NamingServer names(testing_support::freePort());
  ASSERT_TRUE(names.start());
  auto probe = startProbe({"-o", "naming.update.interval:0.5"}, names.address());
  ASSERT_TRUE(waitBound(names.address(), componentPath(), true, 3000));
  for (int restart = 0; restart < 2; ++restart)
    {
      names.stop();
      ASSERT_TRUE(names.start());
      auto restarted = Clock::now();
      EXPECT_TRUE(waitBound(names.address(), componentPath(), true, 3000)) << "restart " << restart;
      EXPECT_LT(std::chrono::duration<double>(Clock::now() - restarted).count(), 0.5 + 0.3);
    }
  std::string err = probe->errorText();
  EXPECT_NE(err.find("Vorlinde0.rtc\" was gone"), std::string::npos) << err;
}

// The component's endpoint, the naming service and the sender each on an
// address of their own, as on three machines: the component publishes and
// listens on its endpoint only, the sender finds it through the naming
// service and reaches it there.
TEST(Process, ComponentNamingServiceAndSenderOnThreeAddresses)
{
  testing_support::NamingServer names(testing_support::freePort(), "127.0.0.3");
  ASSERT_TRUE(names.start());
  auto probe = startProbe({"-o", "corba.endpoints:127.0.0.2:"}, names.address());
  ASSERT_TRUE(waitBound(names.address(), componentPath(), true, 3000));
  Process sender({testing_support::builtProgram("tools/anglesend"), "-n", names.address(), "Vorlinde0:Angle", "30",
                  "-45", "90"},
                 {"ORBendPoint=giop:tcp:127.0.0.4:"});
  EXPECT_EQ(sender.wait(20000), 0) << sender.errorText();
  EXPECT_TRUE(probe->waitForOutput("angle 30 -45 90", 5000)) << probe->errorText();
}

TEST(Process, TwoInstancesOfOneNameNeverUnbindEachOther)
{
  const std::vector<std::string> often = {"-o", "naming.update.interval:0.5"};
  auto first = startProbe(often);
  CORBA::Object_var firstRef = lookup(naming(), componentPath());
  ASSERT_FALSE(CORBA::is_nil(firstRef));

  // A second instance takes the name, and says so once.
  auto second = startProbe(often);
  CORBA::Object_var secondRef = lookup(naming(), componentPath());
  ASSERT_FALSE(secondRef->_is_equivalent(firstRef));
  std::string err = second->errorText();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_NE(err.find(componentPath() + "\" already names a live component"), std::string::npos) << err;

  // It leaves: the first has the name again within an interval.
  second->closeInput();
  EXPECT_EQ(second->wait(5000), 0);
  EXPECT_TRUE(namesObject(naming(), componentPath(), firstRef, 1500)) << "the survivor was not bound again";

  // A third takes it; the first leaves and does not take the third's name.
  auto third = startProbe(often);
  CORBA::Object_var thirdRef = lookup(naming(), componentPath());
  ASSERT_FALSE(thirdRef->_is_equivalent(firstRef));
  std::this_thread::sleep_for(std::chrono::milliseconds(700));  // the first has looked
  first->closeInput();
  EXPECT_EQ(first->wait(5000), 0);
  EXPECT_TRUE(namesObject(naming(), componentPath(), thirdRef, 100)) << "the first unbound the third's name";
  third->closeInput();
  EXPECT_EQ(third->wait(5000), 0);
  EXPECT_TRUE(waitBound(naming(), componentPath(), false, 1000));
}

TEST(Process, AConfigurationThatIsNoFileEndsTheStartInOneLine)
{
  Process probe({testing_support::builtProgram("tests/probe_host"), "-f", "/dev/zero"});
  EXPECT_EQ(probe.wait(3000), 1) << "read /dev/zero for ever";
  EXPECT_EQ(probe.errorText(), "rtc: configuration file \"/dev/zero\" is not a regular file\n");
}

TEST(Process, ProgramsStartedBesideTheRuntimeGetTheUsualSignals)
{
  client();  // the runtime handles SIGTERM in this process
  Process child({"/bin/sh", "-c", "kill -TERM $$; sleep 5"});
  EXPECT_EQ(child.wait(2000), 128 + SIGTERM) << "the child started with SIGTERM blocked";
}

TEST(Process, NameRemovedWhenExitIsCalledFromAnotherThread)
{
  auto probe = startProbe({});
  ASSERT_TRUE(waitBound(naming(), componentPath(), true, 3000));
  probe->write("exit\n");
  EXPECT_EQ(probe->wait(5000), 0);
  EXPECT_TRUE(waitBound(naming(), componentPath(), false, 1000));
}

TEST(Connectors, ASenderThatDiesIsDroppedWhenThePortIsRead)
{
  auto probe = startProbe({});
  Process sender({testing_support::builtProgram("tools/anglesend"), "-n", naming(), "--no-activate", "--hold",
                  "60", "Vorlinde0:Angle", "1"});
  RTObject_var rtc = component();
  ASSERT_FALSE(CORBA::is_nil(rtc));
  PortServiceList_var ports = rtc->get_ports();
  auto connectors = [&] {
    ConnectorProfileList_var list = ports[0]->get_connector_profiles();
    return list->length();
  };
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (connectors() == 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(connectors(), 1u);
  sender.signal(SIGKILL);
  sender.wait(5000);
  EXPECT_EQ(connectors(), 0u) << "the dead sender's connector is still listed";
}

TEST(Sender, FailuresGiveOneLineAndStatusOne)
{
  auto probe = startProbe({});
  struct Case { std::vector<std::string> args; const char* message; } cases[] = {
    {{"Nobody0:Angle", "1"}, "no component \"Nobody0\""},
    {{"-n", "127.0.0.1:1", "Vorlinde0:Angle", "1"},
     "naming service corbaloc::127.0.0.1:1/NameService cannot be reached"},
    {{"Vorlinde0:Nothing", "1"}, "has no port \"Nothing\""},
    {{"Vorlinde0", "1"}, "must name a port"},
    {{"Vorlinde0:Angle"}, "exactly one of"},
    {{"Vorlinde0:Angle", "1", "x"}, "unknown argument"},
    {{"--rate", "fast", "--motion", "Vorlinde0:Angle"}, "--rate"},
    {{"--rate", "1e-300", "--motion", "Vorlinde0:Angle"}, "--rate needs datums per second"},
    {{"--rate", "2e6", "--motion", "Vorlinde0:Angle"}, "--rate needs datums per second"},
    {{"--count", "1e300", "--motion", "Vorlinde0:Angle"}, "--count"},
    {{"--hold", "1e300", "Vorlinde0:Angle", "1"}, "--hold"},
  };
  for (const Case& c : cases)
    {
      std::string output;
      EXPECT_EQ(anglesend(c.args, &output), 1) << output;
      EXPECT_NE(output.find(c.message), std::string::npos) << output;
      EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
    }
  Process feeder({testing_support::builtProgram("tools/anglesend"), "-n", naming(), "-q",
                  "Vorlinde0:Angle", "-"});
  feeder.write("1 2 3\nnot numbers\n");
  feeder.closeInput();
  EXPECT_EQ(feeder.wait(5000), 1);
  EXPECT_NE(feeder.errorText().find("line 2"), std::string::npos);
  std::string help;
  EXPECT_EQ(anglesend({"--help"}, &help), 0);
  EXPECT_NE(help.find("--connect-on"), std::string::npos);
}

// A motion sent faster than the component takes data: said once, with
// the key that changes it; not said when the rate keeps up.
TEST(Sender, SaysWhenTheTargetsRateIsBelowItsOwn)
{
  const std::string advice = "anglesend: Vorlinde0 takes one datum per period at 1 Hz; raise exec_cxt.periodic.rate "
                             "(e.g. -o exec_cxt.periodic.rate:30)\n";
  {
    auto probe = startProbe({});
    std::string output;
    EXPECT_EQ(anglesend({"--motion", "--rate", "20", "--count", "3", "Vorlinde0:Angle"}, &output), 0) << output;
    EXPECT_NE(output.find(advice), std::string::npos) << output;
    EXPECT_EQ(output.find(advice), output.rfind(advice)) << "once";
  }
  auto probe = startProbe({"-o", "exec_cxt.periodic.rate:50"});
  std::string output;
  EXPECT_EQ(anglesend({"--motion", "--rate", "20", "--count", "3", "Vorlinde0:Angle"}, &output), 0) << output;
  EXPECT_EQ(output.find("takes one datum per period"), std::string::npos) << output;
}

// A sender restarted on the same fixed endpoint: the component reaches
// the new process although it kept a connection to the old one, whichever
// side the connection is asked of.
TEST(Sender, RestartedOnAFixedEndpointDeliversEveryTime)
{
  auto probe = startProbe({});
  const std::string endpoint = "ORBendPoint=giop:tcp:127.0.0.3:" + std::to_string(testing_support::freePort());
  for (const char* side : {"out", "in"})
    for (int run = 1; run <= 5; ++run)
      {
        Process sender({builtProgram("tools/anglesend"), "-n", naming(), "--connect-on", side, "Vorlinde0:Angle",
                        std::to_string(run), "2", "3"},
                       {endpoint});
        EXPECT_EQ(sender.wait(10000), 0) << side << " run " << run << ": " << sender.errorText();
        EXPECT_TRUE(sender.waitForOutput("1 datum(s) sent", 1000)) << side << " run " << run;
      }
  EXPECT_TRUE(probe->running());
}

TEST(HostilePeer, ConnectorsThatLoopAreRefusedAndTheProcessLives)
{
  auto probe = startProbe({});
  RTObject_var rtc = component();
  ASSERT_FALSE(CORBA::is_nil(rtc));
  PortServiceList_var ports = rtc->get_ports();
  PortService_ptr angle = ports[0];
  BarePort* bare;
  PortService_var peer = barePort(bare);

  // Listed twice, or alone: a chain that would come back to the port.
  for (ConnectorProfile p : {connector({angle, angle}), connector({angle, peer, angle}), connector({angle})})
    {
      ConnectorProfile copy = p;
      EXPECT_EQ(angle->notify_connect(p), BAD_PARAMETER);
      EXPECT_EQ(angle->connect(copy), BAD_PARAMETER);
    }
  // A peer that hands every call back to us.
  bare->loopBack = true;
  bare->first = PortService::_duplicate(angle);
  ConnectorProfile looping = connector({angle, peer});
  EXPECT_EQ(angle->notify_connect(looping), BAD_PARAMETER);
  bare->loopBack = false;
  ConnectorProfile stored = connector({angle, peer});
  ASSERT_EQ(angle->notify_connect(stored), RTC_OK);
  bare->loopBack = true;
  EXPECT_EQ(angle->notify_disconnect(stored.connector_id), BAD_PARAMETER);

  EXPECT_TRUE(probe->running());
  ConnectorProfileList_var left = angle->get_connector_profiles();
  EXPECT_EQ(left->length(), 0u);
  ComponentProfile_var profile = rtc->get_component_profile();
  EXPECT_STREQ(profile->instance_name, "Vorlinde0");
}

TEST(HostilePeer, ContextsAttachedWithoutEndAreBounded)
{
  auto probe = startProbe({});
  RTObject_var rtc = component();
  ASSERT_FALSE(CORBA::is_nil(rtc));
  ExecutionContext_var ec = ownedContext(rtc);
  std::vector<ExecutionContextHandle_t> handles;
  for (int i = 0; i < 100; ++i)
    handles.push_back(rtc->attach_context(ec));
  EXPECT_EQ(std::count(handles.begin(), handles.end(), -1), 100 - 64);
  EXPECT_EQ(handles[63], 1063);
  ExecutionContextList_var listed = rtc->get_participating_contexts();
  EXPECT_EQ(listed->length(), 64u);
  // A slot given back is given out again: attach and detach do not grow.
  for (int i = 0; i < 50; ++i)
    {
      ASSERT_EQ(rtc->detach_context(1010), RTC_OK);
      ASSERT_EQ(rtc->attach_context(ec), 1010);
    }
  listed = rtc->get_participating_contexts();
  EXPECT_EQ(listed->length(), 64u);
}

TEST(HostilePeer, AConnectorFloodStopsAtTheLimitWithOneWarning)
{
  auto probe = startProbe({});
  RTObject_var rtc = component();
  ASSERT_FALSE(CORBA::is_nil(rtc));
  PortServiceList_var ports = rtc->get_ports();
  BarePort* bare;
  PortService_var peer = barePort(bare);
  int accepted = 0, refused = 0;
  for (int i = 0; i < 300; ++i)
    {
      ConnectorProfile p = connector({ports[0], peer});
      ReturnCode_t rc = ports[0]->notify_connect(p);
      accepted += rc == RTC_OK;
      refused += rc == RTC_ERROR;
    }
  EXPECT_EQ(accepted, 64);
  EXPECT_EQ(refused, 300 - 64);
  // Every tool's question is still answered.
  ComponentProfile_var profile = rtc->get_component_profile();
  ASSERT_EQ(profile->port_profiles.length(), 1u);
  EXPECT_EQ(profile->port_profiles[0].connector_profiles.length(), 64u);
  ConnectorProfileList_var listed = ports[0]->get_connector_profiles();
  EXPECT_EQ(listed->length(), 64u);
  std::string err = probe->errorText();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_NE(err.find("Vorlinde0.Angle: connector refused: connection_limit 64"), std::string::npos) << err;
  EXPECT_EQ(ports[0]->disconnect_all(), RTC_OK);
}
