// The module host (vorlinde-rtcd) as its users drive it: by configuration,
// and through its manager object with the calls rtmgr and rtcat make, in
// their order; what a careless or hostile caller sends is refused with its
// answer, and the host stays up.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include <rtm/idl/Manager.hh>

#include "peer.h"

namespace
{
  using namespace testing_support;
  using Clock = std::chrono::steady_clock;

  std::string moduleDirs()
  {
    return builtProgram("tests/modules") + ", " + builtProgram("component");
  }

  // A host with the tests' naming service, the modules' folders, and its
  // manager object at a port of its own; options after those.
  struct Host
  {
    int port = freePort();
    std::unique_ptr<Process> process;

    explicit Host(std::vector<std::string> options, bool master = true)
    {
      std::vector<std::string> argv = {builtProgram("tools/vorlinde-rtcd"),
                                       "-o", "corba.nameservers:" + naming(),
                                       "-o", "manager.modules.load_path:" + moduleDirs(),
                                       "-o", "corba.master_manager:127.0.0.1:" + std::to_string(port)};
      if (master)
        argv.push_back("-d");
      else
        argv.insert(argv.end(), {"-p", std::to_string(port)});
      argv.insert(argv.end(), options.begin(), options.end());
      process.reset(new Process(argv));
    }

    // The manager object, as rtmgr reaches it by corbaloc.
    RTM::Manager_ptr manager(int timeout_ms = 10000)
    {
      CORBA::ORB_var orb = client().getORB();
      const std::string where = "corbaloc::127.0.0.1:" + std::to_string(port) + "/manager";
      const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
      for (;;)
        {
          try
            {
              CORBA::Object_var obj = orb->string_to_object(where.c_str());
              if (obj->_is_a("IDL:RTM/Manager:1.0"))
                return RTM::Manager::_narrow(obj);
            }
          catch (const CORBA::Exception&)
            {
            }
          if (Clock::now() > deadline)
            return RTM::Manager::_nil();
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
  };

  std::vector<std::string> instances(RTM::Manager_ptr mgr)
  {
    std::vector<std::string> names;
    RTC::RTCList_var list = mgr->get_components();
    for (CORBA::ULong i = 0; i < list->length(); ++i)
      {
        RTC::ComponentProfile_var p = list[i]->get_component_profile();
        names.push_back(static_cast<const char*>(p->instance_name));
      }
    return names;
  }

  std::string key(const SDOPackage::NVList& list, CORBA::ULong i)
  {
    return static_cast<const char*>(list[i].name);
  }
}

TEST(ModuleHost, LoadsCreatesConnectsAndActivatesByConfiguration)
{
  Host host({"-o", "manager.modules.preload:Sample, Missing.so, Vorlinde.so(NoSuchInit), Vorlinde.so",
             "-o", "manager.components.precreate:Vorlinde?instance_name=arm&exec_cxt.periodic.rate=5, Sample, Nothing",
             "-o", "manager.components.preactivation:arm",
             "-o", "manager.components.preconnect:SampleType0.Out?port=arm.Angle&subscription_type=new, nope.Out?port=arm.Angle"},
            false);
  ASSERT_TRUE(waitBound(naming(), componentPath("arm"), true, 10000)) << host.process->errorText();
  EXPECT_TRUE(waitBound(naming(), componentPath("SampleType0"), true, 5000));
  RTC::RTObject_var arm = component("arm");
  RTC::ExecutionContext_var ec = ownedContext(arm);
  EXPECT_DOUBLE_EQ(ec->get_rate(), 5.0);
  // Names are bound as each component is created; connections and
  // activations come after the last one.
  for (int i = 0; i < 100 && ec->get_component_state(arm) != RTC::ACTIVE_STATE; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(ec->get_component_state(arm), RTC::ACTIVE_STATE);
  // Connected as the configuration said.
  RTC::PortServiceList_var ports = arm->get_ports();
  RTC::ConnectorProfileList_var connectors = ports[0]->get_connector_profiles();
  ASSERT_EQ(connectors->length(), 1u);
  EXPECT_EQ(nv(connectors[0].properties, "dataport.subscription_type"), "new");
  // A datum reaches it.
  std::string out;
  EXPECT_EQ(anglesend({"arm:Angle", "10", "20", "30"}, &out), 0) << out;

  // A sender started where a host's rtc.conf lies loads and creates
  // nothing of it.
  char dir[] = "/tmp/vorlinde-conf-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  {
    std::ofstream conf(std::string(dir) + "/rtc.conf");
    conf << "manager.modules.preload: Missing.so\nmanager.components.precreate: Nothing\n"
         << "manager.components.preactivation: nobody\nmanager.is_master: YES\n";
  }
  Process sender({builtProgram("tools/anglesend"), "-n", naming(), "-q", "arm:Angle", "1", "2", "3"}, {}, dir);
  EXPECT_EQ(sender.wait(10000), 0);
  EXPECT_EQ(sender.errorText(), "");
  std::remove((std::string(dir) + "/rtc.conf").c_str());
  rmdir(dir);

  // One line for each entry that failed, naming it; the rest went on.
  const std::string err = host.process->errorText();
  EXPECT_NE(err.find("\"Missing.so\": not found in manager.modules.load_path"), std::string::npos) << err;
  EXPECT_NE(err.find("no init function \"NoSuchInit\""), std::string::npos) << err;
  EXPECT_NE(err.find("\"Nothing\""), std::string::npos) << err;
  EXPECT_NE(err.find("preconnect \"nope.Out?port=arm.Angle\": no such port here"), std::string::npos) << err;

  // SIGTERM: names removed, status 0.
  host.process->signal(SIGTERM);
  EXPECT_EQ(host.process->wait(5000), 0);
  CORBA::Object_var gone = lookup(naming(), componentPath("arm"));
  EXPECT_TRUE(CORBA::is_nil(gone));
}

TEST(ModuleHost, RtmgrLoadsCreatesAndDeletesThroughTheManagerObject)
{
  Host host({});
  RTM::Manager_var mgr = host.manager();
  ASSERT_FALSE(CORBA::is_nil(mgr)) << host.process->errorText();
  EXPECT_TRUE(mgr->is_master());
  // A master is bound as HOST.host_cxt/manager.mgr, the node rtls shows.
  ASSERT_TRUE(waitBound(naming(), testing_support::host() + ".host_cxt/manager.mgr", true, 5000));

  // rtmgr PATH -l Sample.so:SampleInit -c Sample?instance_name=x
  EXPECT_TRUE(instances(mgr).empty());
  RTM::ManagerList_var slaves = mgr->get_slave_managers();
  EXPECT_EQ(slaves->length(), 0u);
  RTM::ManagerProfile_var profile = mgr->get_profile();
  ASSERT_GT(profile->properties.length(), 4u);
  EXPECT_EQ(key(profile->properties, 0), "instance_name");
  EXPECT_EQ(key(profile->properties, 1), "name");
  EXPECT_EQ(nv(profile->properties, "pid"), std::to_string(host.process->pid()));
  EXPECT_EQ(nv(profile->properties, "is_master"), "YES");
  EXPECT_EQ(mgr->load_module("Sample.so", "SampleInit"), RTC::RTC_OK);
  RTC::RTObject_var x = mgr->create_component("Sample?instance_name=x");
  ASSERT_FALSE(CORBA::is_nil(x));
  EXPECT_EQ(instances(mgr), std::vector<std::string>{"x"});
  EXPECT_TRUE(waitBound(naming(), componentPath("x"), true, 5000));

  // rtcat: the profile, the loaded and the loadable modules.
  RTM::ModuleProfileList_var loaded = mgr->get_loaded_modules();
  ASSERT_EQ(loaded->length(), 1u);
  EXPECT_EQ(nv(loaded[0].properties, "file_path"), builtProgram("tests/modules") + "/Sample.so");
  RTM::ModuleProfileList_var loadable = mgr->get_loadable_modules();
  std::vector<std::string> files;
  for (CORBA::ULong i = 0; i < loadable->length(); ++i)
    files.push_back(nv(loadable[i].properties, "module_file_name") + " " +
                    nv(loadable[i].properties, "implementation_id"));
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"Sample.so Sample", "Vorlinde.so Vorlinde"}));

  // rtmgr PATH -d x; an unknown name is a BAD_PARAMETER.
  EXPECT_EQ(mgr->delete_component("x"), RTC::RTC_OK);
  EXPECT_TRUE(waitBound(naming(), componentPath("x"), false, 2000));
  EXPECT_EQ(mgr->delete_component("nope"), RTC::BAD_PARAMETER);
  EXPECT_EQ(mgr->delete_component(""), RTC::BAD_PARAMETER);

  // A type not loaded yet is found among the loadable modules; one
  // unloaded on purpose is not brought back but by load_module.
  RTC::RTObject_var v = mgr->create_component("Vorlinde");
  EXPECT_FALSE(CORBA::is_nil(v));
  loaded = mgr->get_loaded_modules();
  EXPECT_EQ(loaded->length(), 2u);
  EXPECT_EQ(mgr->unload_module((builtProgram("tests/modules") + "/Sample.so").c_str()), RTC::RTC_OK);
  RTC::RTObject_var none = mgr->create_component("Sample");
  EXPECT_TRUE(CORBA::is_nil(none));
  loaded = mgr->get_loaded_modules();
  EXPECT_EQ(loaded->length(), 1u);

  // A master stays without components; shutdown() ends it, names unbound.
  EXPECT_EQ(mgr->shutdown(), RTC::RTC_OK);
  EXPECT_EQ(host.process->wait(5000), 0);
  EXPECT_TRUE(waitBound(naming(), testing_support::host() + ".host_cxt/manager.mgr", false, 1000));
  EXPECT_TRUE(waitBound(naming(), componentPath("Vorlinde0"), false, 1000));
}

TEST(ModuleHost, RefusesWhatAPeerMustNotLoadAndSaysWhy)
{
  Host host({"-o", "manager.components.max:4"});
  RTM::Manager_var mgr = host.manager();
  ASSERT_FALSE(CORBA::is_nil(mgr)) << host.process->errorText();
  const std::string sample = builtProgram("tests/modules") + "/Sample.so";
  EXPECT_EQ(mgr->load_module("", ""), RTC::BAD_PARAMETER);
  EXPECT_EQ(mgr->load_module("Missing.so", ""), RTC::BAD_PARAMETER);
  EXPECT_EQ(mgr->load_module(sample.c_str(), ""), RTC::PRECONDITION_NOT_MET);  // an absolute path
  EXPECT_EQ(mgr->load_module("/lib/x86_64-linux-gnu/libc.so.6", ""), RTC::PRECONDITION_NOT_MET);
  EXPECT_EQ(mgr->load_module("../../../../../../../../lib/x86_64-linux-gnu/libc.so.6", ""),
            RTC::PRECONDITION_NOT_MET);  // out of the load path
  EXPECT_EQ(mgr->load_module("http://example.org/Sample.so", ""), RTC::PRECONDITION_NOT_MET);
  EXPECT_EQ(mgr->unload_module("Sample.so"), RTC::BAD_PARAMETER);

  // A missing init symbol, an init that throws: the file is loaded, nothing
  // registered, the host goes on.
  EXPECT_EQ(mgr->load_module("Sample.so", "NoSuchInit"), RTC::RTC_ERROR);
  EXPECT_EQ(mgr->load_module("Sample.so", "ThrowingInit"), RTC::RTC_ERROR);
  RTM::ModuleProfileList_var loaded = mgr->get_loaded_modules();
  EXPECT_EQ(loaded->length(), 1u);
  RTM::ModuleProfileList_var factories = mgr->get_factory_profiles();
  EXPECT_EQ(factories->length(), 0u);
  EXPECT_EQ(mgr->load_module("Sample.so", ""), RTC::RTC_OK);  // SampleInit
  factories = mgr->get_factory_profiles();
  EXPECT_EQ(factories->length(), 1u);

  // The argument grammar: named instances still take a number.
  struct Case
  {
    const char* args;
    const char* instance;  // "" for nil
  } cases[] = {{"Sample", "SampleType0"},
               {"Sample?instance_name=foo&exec_cxt.periodic.rate=10", "foo"},
               {"RTC:Lab:example:Sample:C++:1.0", "SampleType2"},
               {"RTC:::Sample::&", "SampleType3"},
               {"RTC:Lab:example:Sample:1.0", ""},  // five fields
               {"Sample?a=1?b=2", ""},
               {"SampleType", ""},  // the type name is no id
               {"RTC:Other:example:Sample:C++:1.0", ""},
               {"", ""},
               {"Sample", ""}};  // manager.components.max: 4
  for (const Case& c : cases)
    {
      RTC::RTObject_var obj = mgr->create_component(c.args);
      if (c.instance[0] == '\0')
        {
          EXPECT_TRUE(CORBA::is_nil(obj)) << c.args;
          continue;
        }
      ASSERT_FALSE(CORBA::is_nil(obj)) << c.args;
      RTC::ComponentProfile_var p = obj->get_component_profile();
      EXPECT_STREQ(p->instance_name, c.instance) << c.args;
    }
  RTC::RTCList_var foo = mgr->get_components_by_name("example/foo");
  ASSERT_EQ(foo->length(), 1u);
  RTC::ExecutionContextList_var ecs = foo[0]->get_owned_contexts();
  EXPECT_DOUBLE_EQ(ecs[0]->get_rate(), 10.0);
  foo = mgr->get_components_by_name("*/foo/ignored");
  EXPECT_EQ(foo->length(), 1u);
  foo = mgr->get_components_by_name("other/foo");
  EXPECT_EQ(foo->length(), 0u);
  // A second "foo" would steal the first one's name.
  EXPECT_EQ(mgr->delete_component("SampleType0"), RTC::RTC_OK);
  RTC::RTObject_var again = mgr->create_component("Sample?instance_name=foo");
  EXPECT_TRUE(CORBA::is_nil(again));

  // Peers registering: itself, twice, nil; a flood of settings.
  EXPECT_EQ(mgr->add_slave_manager(mgr), RTC::BAD_PARAMETER);
  EXPECT_EQ(mgr->add_slave_manager(RTM::Manager::_nil()), RTC::BAD_PARAMETER);
  EXPECT_EQ(mgr->remove_slave_manager(mgr), RTC::BAD_PARAMETER);
  RTC::ReturnCode_t last = RTC::RTC_OK;
  for (int i = 0; i < 300 && last == RTC::RTC_OK; ++i)
    last = mgr->set_configuration(("flood." + std::to_string(i)).c_str(), "x");
  EXPECT_EQ(last, RTC::OUT_OF_RESOURCES);
  EXPECT_EQ(mgr->set_configuration("manager.shutdown_on_nortcs", "NO"), RTC::RTC_OK);
  SDOPackage::NVList_var conf = mgr->get_configuration();
  EXPECT_EQ(nv(conf, "manager.shutdown_on_nortcs"), "NO");
  EXPECT_EQ(mgr->fork(), RTC::RTC_OK);
  CORBA::Object_var service = mgr->get_service("anything");
  EXPECT_TRUE(CORBA::is_nil(service));
  EXPECT_TRUE(host.process->running());
  host.process->signal(SIGINT);
  EXPECT_EQ(host.process->wait(5000), 0);
}

TEST(ModuleHost, EndsWhenNoComponentIsLeftOrNoneCame)
{
  // Nothing to do: it ends after manager.auto_shutdown_duration.
  Host idle({"-o", "manager.auto_shutdown_duration:1"}, false);
  // The last component deleted: it ends about a second later.
  Host last({"-o", "manager.components.precreate:Sample", "-o", "manager.modules.preload:Sample.so"}, false);
  RTM::Manager_var mgr = last.manager();
  ASSERT_FALSE(CORBA::is_nil(mgr));
  EXPECT_FALSE(mgr->is_master());
  ASSERT_EQ(instances(mgr).size(), 1u);
  EXPECT_EQ(mgr->delete_component("SampleType0"), RTC::RTC_OK);
  EXPECT_EQ(last.process->wait(4000), 0);
  EXPECT_EQ(idle.process->wait(4000), 0);
}

TEST(ModuleHost, ASlaveRegistersWithItsMasterWhichCreatesThere)
{
  Host master({});
  RTM::Manager_var mgr = master.manager();
  ASSERT_FALSE(CORBA::is_nil(mgr));
  // The slave finds its master at corba.master_manager.
  Process slave({builtProgram("tools/vorlinde-rtcd"), "-o", "corba.nameservers:" + naming(),
                 "-o", "manager.modules.load_path:" + moduleDirs(),
                 "-o", "corba.master_manager:127.0.0.1:" + std::to_string(master.port),
                 "-o", "manager.shutdown_auto:NO"});
  RTM::ManagerList_var slaves;
  for (int i = 0; i < 100; ++i)
    {
      slaves = mgr->get_slave_managers();
      if (slaves->length() > 0)
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  ASSERT_EQ(slaves->length(), 1u) << slave.errorText();
  // The master has no factory for it: the slave loads the module and
  // creates it; the master lists it.
  RTC::RTObject_var obj = mgr->create_component("Sample?instance_name=there");
  ASSERT_FALSE(CORBA::is_nil(obj));
  EXPECT_EQ(instances(mgr), std::vector<std::string>{"there"});
  EXPECT_EQ(slaves[0]->delete_component("there"), RTC::RTC_OK);
  // A slave that ends tells its master.
  EXPECT_EQ(slaves[0]->shutdown(), RTC::RTC_OK);
  EXPECT_EQ(slave.wait(5000), 0);
  slaves = mgr->get_slave_managers();
  EXPECT_EQ(slaves->length(), 0u);
  mgr->shutdown();
  EXPECT_EQ(master.process->wait(5000), 0);
}

TEST(ModuleHost, CallersAtTheSameMomentGetOneNameEach)
{
  Host host({"-o", "manager.modules.preload:Sample.so"});
  RTM::Manager_var mgr = host.manager();
  ASSERT_FALSE(CORBA::is_nil(mgr));
  std::vector<std::string> made(16);
  std::vector<std::thread> callers;
  for (int i = 0; i < 16; ++i)
    callers.emplace_back([&, i]() {
        // Half ask for one name, half for any; each also loads the module.
        mgr->load_module("Sample.so", "");
        RTC::RTObject_var obj = mgr->create_component(i % 2 == 0 ? "Sample?instance_name=same" : "Sample");
        if (!CORBA::is_nil(obj))
          {
            RTC::ComponentProfile_var p = obj->get_component_profile();
            made[static_cast<std::size_t>(i)] = static_cast<const char*>(p->instance_name);
          }
      });
  for (std::thread& t : callers)
    t.join();
  std::vector<std::string> names;
  for (const std::string& n : made)
    if (!n.empty())
      names.push_back(n);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(std::count(names.begin(), names.end(), "same"), 1);
  EXPECT_EQ(names.size(), 9u);
  EXPECT_TRUE(std::adjacent_find(names.begin(), names.end()) == names.end()) << "a name given twice";
  EXPECT_EQ(instances(mgr).size(), 9u);
  RTM::ModuleProfileList_var loaded = mgr->get_loaded_modules();
  EXPECT_EQ(loaded->length(), 1u);
  mgr->shutdown();
  EXPECT_EQ(host.process->wait(5000), 0);
}

TEST(ModuleHost, EveryCallIsAnsweredWhileAModuleTakesLongToLoad)
{
  Host host({});
  RTM::Manager_var mgr = host.manager();
  ASSERT_FALSE(CORBA::is_nil(mgr));
  const auto start = Clock::now();
  std::thread loader([&]() { EXPECT_EQ(mgr->load_module("Sample.so", "SlowInit"), RTC::RTC_OK); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // Meanwhile: listing, profiles, another load, a creation.
  EXPECT_TRUE(instances(mgr).empty());
  RTM::ManagerProfile_var profile = mgr->get_profile();
  RTM::ModuleProfileList_var loaded = mgr->get_loaded_modules();
  EXPECT_EQ(loaded->length(), 1u);
  EXPECT_EQ(mgr->load_module("Missing.so", ""), RTC::BAD_PARAMETER);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  loader.join();  // answered before the init ended
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(6500));
  mgr->shutdown();
  EXPECT_EQ(host.process->wait(10000), 0);
}
