// The manager as an RTM::Manager object.
#include <rtm/ManagerServant.h>

#include <omniORB4/IIOP.h>
#include <omniORB4/omniIOR.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

#include "ComponentArgs.h"
#include "ConnectionGuard.h"
#include "ManagerConfig.h"
#include "ManagerImpl.h"
#include "NVUtil.h"
#include "Report.h"

RTM_NAMESPACE_BEGIN(RTM)
  namespace
  {
    typedef RTC::Manager Host;

    // Calls to other managers are bounded: a master or slave that stops
    // answering must not hold a call of ours, nor the end of the process.
    const unsigned PEER_CALL_MS = 3000;
    // Managers that may register with this one: a peer adding itself
    // without end is refused past this.
    const std::size_t MAX_PEERS = 64;
    // Keys a peer may set, and their sizes.
    const std::size_t MAX_SETTINGS = 256, MAX_KEY = 256, MAX_VALUE = 4096;

    Host& manager() { return Host::instance(); }

    ModuleProfileList* toProfiles(const std::vector<coil::Properties>& list)
    {
      ModuleProfileList_var out = new ModuleProfileList;
      out->length(static_cast<CORBA::ULong>(list.size()));
      for (std::size_t i = 0; i < list.size(); ++i)
        out[static_cast<CORBA::ULong>(i)].properties = RTC::NVUtil::fromProperties(list[i]);
      return out._retn();
    }

    void append(RTC::RTCList& list, RTC::RTObject_ptr obj)
    {
      const CORBA::ULong n = list.length();
      list.length(n + 1);
      list[n] = RTC::RTObject::_duplicate(obj);
    }

    ManagerList* toList(const std::vector<Manager_var>& refs)
    {
      ManagerList_var out = new ManagerList;
      out->length(static_cast<CORBA::ULong>(refs.size()));
      for (std::size_t i = 0; i < refs.size(); ++i)
        out[static_cast<CORBA::ULong>(i)] = RTM::Manager::_duplicate(refs[i]);
      return out._retn();
    }

    // The profile's keys in the order other managers give them.
    const char* const PROFILE_KEYS[] = {
      "instance_name", "name", "naming_formats", "pid", "refstring_path", "modules.load_path",
      "modules.abs_path_allowed", "modules.C++.manager_cmd", "modules.C++.profile_cmd", "modules.C++.suffixes",
      "modules.C++.load_paths", "modules.search_auto", "modules.config_path", "modules.download_allowed",
      "modules.init_func_suffix", "modules.init_func_prefix", "modules.preload", "is_master", "corba_servant",
      "shutdown_on_nortcs", "shutdown_auto", "auto_shutdown_duration", "termination_waittime",
      "components.naming_policy", "components.precreate", "components.preconnect", "components.preactivation",
      "command", "nameservers", "language", "supported_languages", "preload.modules",
      "local_service.enabled_services", "local_service.modules"};
  }

  ManagerServant::ManagerServant() : m_master(false) {}
  ManagerServant::~ManagerServant() {}

  CORBA::Boolean ManagerServant::_dispatch(omniCallHandle& handle)
  {
    RTC::ConnectionGuard::admitRequest(handle, RTC::ConnectionGuard::messageLimit());
    return POA_RTM::Manager::_dispatch(handle);
  }

  // ------------------------------------------------------------ modules

  RTC::ReturnCode_t ManagerServant::load_module(const char* pathname, const char* initfunc)
  {
    // The load runs on a thread of its own: an init that takes long does
    // not keep the caller past five seconds (the answer is then RTC_OK,
    // as the load goes on), nor any other caller at all.
    struct Outcome
    {
      std::mutex mutex;
      std::condition_variable done;
      bool finished = false;
      RTC::ReturnCode_t code = RTC::RTC_OK;
      std::string why;
    };
    auto outcome = std::make_shared<Outcome>();
    const std::string path = pathname, init = initfunc;
    std::thread([outcome, path, init]() {
        std::string why;
        Host& m = manager();
        const RTC::ReturnCode_t code = m.m_impl->loadModule(m, path, init, true, why);
        std::lock_guard<std::mutex> lock(outcome->mutex);
        outcome->code = code;
        outcome->why = why;
        outcome->finished = true;
        outcome->done.notify_all();
      }).detach();
    std::unique_lock<std::mutex> lock(outcome->mutex);
    if (!outcome->done.wait_for(lock, std::chrono::seconds(5), [&] { return outcome->finished; }))
      {
        RTC::warn("load_module \"" + RTC::Report::quote(path) + "\": still loading after 5 s; answered RTC_OK");
        return RTC::RTC_OK;
      }
    if (outcome->code != RTC::RTC_OK)
      RTC::Report::sometimes("load_module", "load_module: " + outcome->why);
    return outcome->code;
  }

  RTC::ReturnCode_t ManagerServant::unload_module(const char* pathname)
  {
    return manager().m_impl->unloadModule(pathname) ? RTC::RTC_OK : RTC::BAD_PARAMETER;
  }

  ModuleProfileList* ManagerServant::get_loadable_modules() { return toProfiles(manager().getLoadableModules()); }
  ModuleProfileList* ManagerServant::get_loaded_modules() { return toProfiles(manager().getLoadedModules()); }
  ModuleProfileList* ManagerServant::get_factory_profiles() { return toProfiles(manager().getFactoryProfiles()); }

  // --------------------------------------------------------- components

  RTC::RTObject_ptr ManagerServant::create_component(const char* module_name)
  {
    Host& m = manager();
    RTC::ComponentArgs args;
    if (!RTC::parseComponentArgs(module_name, args))
      return RTC::RTObject::_nil();
    // A master without the factory asks its slaves first; it creates the
    // component itself when it has the factory or none of them did.
    if (m_master)
      {
        const std::vector<coil::Properties> here = m.getFactoryProfiles();
        const bool local = std::any_of(here.begin(), here.end(),
                                       [&](const coil::Properties& p) { return RTC::matchesFactory(args, p); });
        const std::string language = args.language.empty() ? "C++" : args.language;
        std::vector<Manager_var> slaves;
        {
          std::lock_guard<std::mutex> lock(m_mutex);
          slaves = m_slaves;
        }
        for (std::size_t i = 0; !local && i < slaves.size(); ++i)
          {
            try
              {
                NVList_var conf = slaves[i]->get_configuration();
                std::string theirs = "C++";
                RTC::NVUtil::getString(conf, "manager.language", theirs);
                if (theirs != language)
                  continue;
                RTC::RTObject_var obj = slaves[i]->create_component(module_name);
                if (!CORBA::is_nil(obj))
                  return obj._retn();
              }
            catch (const CORBA::Exception&)
              {
              }
          }
      }
    RTC::RTObject_impl* rtc = m.m_impl->create(m, module_name, true);
    return rtc != nullptr ? rtc->getObjRef() : RTC::RTObject::_nil();
  }

  RTC::ReturnCode_t ManagerServant::delete_component(const char* instance_name)
  {
    RTC::RTObject_impl* rtc = manager().getComponent(instance_name);
    if (rtc == nullptr || instance_name[0] == '\0')
      return RTC::BAD_PARAMETER;
    rtc->exit();
    return RTC::RTC_OK;
  }

  RTC::RTCList* ManagerServant::get_components()
  {
    RTC::RTCList_var list = new RTC::RTCList;
    for (RTC::RTObject_impl* rtc : manager().getComponents())
      {
        RTC::RTObject_var ref = rtc->getObjRef();
        append(list, ref);
      }
    // Then each slave's; managers that list each other are asked once.
    static std::atomic<int> asking{0};
    if (asking.fetch_add(1) == 0)
      {
        std::vector<Manager_var> slaves;
        {
          std::lock_guard<std::mutex> lock(m_mutex);
          slaves = m_slaves;
        }
        // Dead slaves cost a time-out each: five seconds for all of them.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (Manager_var& slave : slaves)
          {
            if (std::chrono::steady_clock::now() >= deadline)
              break;
            try
              {
                RTC::RTCList_var theirs = slave->get_components();
                for (CORBA::ULong i = 0; i < theirs->length(); ++i)
                  append(list, theirs[i]);
              }
            catch (const CORBA::Exception&)
              {
              }
          }
      }
    asking.fetch_sub(1);
    return list._retn();
  }

  RTC::ComponentProfileList* ManagerServant::get_component_profiles()
  {
    RTC::RTCList_var list = get_components();
    RTC::ComponentProfileList_var out = new RTC::ComponentProfileList;
    for (CORBA::ULong i = 0; i < list->length(); ++i)
      {
        try
          {
            RTC::ComponentProfile_var p = list[i]->get_component_profile();
            const CORBA::ULong n = out->length();
            out->length(n + 1);
            out[n] = p.in();
          }
        catch (const CORBA::Exception&)
          {
          }
      }
    return out._retn();
  }

  RTC::RTCList* ManagerServant::get_components_by_name(const char* name)
  {
    RTC::RTCList_var list = new RTC::RTCList;
    const std::vector<std::string> parts = RTC::split(name, '/');
    if (parts.empty() || std::string(name).empty())
      return list._retn();
    const std::string category = parts.size() >= 2 ? parts[0] : "*";
    const std::string instance = parts.size() >= 2 ? parts[1] : parts[0];
    for (RTC::RTObject_impl* rtc : manager().getComponents())
      {
        const coil::Properties& p = rtc->getProperties();
        if (p.getProperty("instance_name") == instance &&
            (category == "*" || p.getProperty("category") == category))
          {
            RTC::RTObject_var ref = rtc->getObjRef();
            append(list, ref);
          }
      }
    return list._retn();
  }

  // ------------------------------------------------------ configuration

  ManagerProfile* ManagerServant::get_profile()
  {
    Host::Impl& d = *manager().m_impl;
    // In the order other managers give them, then the rest of manager.*,
    // then what rtcat asks about the host.
    std::vector<std::pair<std::string, std::string> > entries;
    {
      std::lock_guard<std::mutex> lock(d.mutex);
      for (const char* key : PROFILE_KEYS)
        entries.emplace_back(key, d.setting(std::string("manager.") + key));
      for (const std::string& key : d.config.getNode("manager").propertyNames())
        if (std::none_of(entries.begin(), entries.end(), [&](const std::pair<std::string, std::string>& e) {
              return e.first == key;
            }))
          entries.emplace_back(key, d.setting("manager." + key));
      for (const char* key : {"os.version", "os.arch", "os.release", "os.hostname", "os.name"})
        entries.emplace_back(key, d.config.getProperty(key));
    }
    ManagerProfile_var profile = new ManagerProfile;
    for (const auto& e : entries)
      RTC::NVUtil::appendString(profile->properties, e.first.c_str(), e.second);
    return profile._retn();
  }

  NVList* ManagerServant::get_configuration()
  {
    Host::Impl& d = *manager().m_impl;
    coil::Properties prop;
    std::lock_guard<std::mutex> lock(d.mutex);
    for (const std::string& key : d.config.propertyNames())
      prop.setProperty(key, d.setting(key));
    for (const auto& kv : d.remoteSettings)
      prop.setProperty(kv.first, kv.second);
    NVList_var list = new NVList(RTC::NVUtil::fromProperties(prop));
    return list._retn();
  }

  RTC::ReturnCode_t ManagerServant::set_configuration(const char* name, const char* value)
  {
    Host::Impl& d = *manager().m_impl;
    const std::string key = coil::trim(name);
    if (key.empty() || key.size() > MAX_KEY || std::string(value).size() > MAX_VALUE)
      return RTC::BAD_PARAMETER;
    std::lock_guard<std::mutex> lock(d.mutex);
    const std::vector<std::string> known = d.config.propertyNames();
    if (d.remoteSettings.size() >= MAX_SETTINGS && d.remoteSettings.count(key) == 0 &&
        std::find(known.begin(), known.end(), key) == known.end())
      return RTC::OUT_OF_RESOURCES;
    d.remoteSettings[key] = value;
    return RTC::RTC_OK;
  }

  CORBA::Boolean ManagerServant::is_master() { return m_master; }

  // ------------------------------------------------- masters and slaves

  bool ManagerServant::hasEquivalent(const std::vector<Manager_var>& list, Manager_ptr mgr) const
  {
    return std::any_of(list.begin(), list.end(), [&](const Manager_var& x) { return x->_is_equivalent(mgr); });
  }

  namespace
  {
    struct Endpoint
    {
      std::string host;
      unsigned port;
      std::string key;
    };

    // The TCP endpoints an object reference names.
    std::vector<Endpoint> endpoints(CORBA::Object_ptr obj)
    {
      std::vector<Endpoint> out;
      omniIOR* ior = obj->_PR_getobj()->_getIOR();
      const IOP::TaggedProfileList& profiles = ior->iopProfiles();
      for (CORBA::ULong i = 0; i < profiles.length(); ++i)
        {
          if (profiles[i].tag != IOP::TAG_INTERNET_IOP)
            continue;
          IIOP::ProfileBody body;
          try
            {
              IIOP::unmarshalProfile(profiles[i], body);
            }
          catch (const CORBA::Exception&)
            {
              continue;
            }
          out.push_back(Endpoint{static_cast<const char*>(body.address.host), body.address.port,
                                 std::string(reinterpret_cast<const char*>(body.object_key.get_buffer()),
                                             body.object_key.length())});
        }
      ior->release();
      return out;
    }

    bool isLoopback(const std::string& host)
    {
      return host.compare(0, 4, "127.") == 0 || host == "localhost" || host == "::1" || host == RTC::hostName();
    }
  }

  // Whether mgr is this very object, however the caller came by its
  // reference: a corbaloc one (127.0.0.1, our port, our key) is not
  // equivalent to ours, yet it is us.
  bool ManagerServant::isSelf(Manager_ptr mgr) const
  {
    if (CORBA::is_nil(mgr) || CORBA::is_nil(m_objref))
      return false;
    if (mgr->_is_equivalent(m_objref))
      return true;
    const std::vector<Endpoint> ours = endpoints(m_objref);
    for (const Endpoint& theirs : endpoints(mgr))
      for (const Endpoint& e : ours)
        if (theirs.key == e.key && theirs.port == e.port && (theirs.host == e.host || isLoopback(theirs.host)))
          return true;
    return false;
  }

  namespace
  {
    RTC::ReturnCode_t addPeer(std::vector<Manager_var>& list, Manager_ptr mgr, bool self, bool known)
    {
      if (CORBA::is_nil(mgr) || known || self)
        return RTC::BAD_PARAMETER;
      if (list.size() >= MAX_PEERS)
        return RTC::OUT_OF_RESOURCES;
      Manager_var ref = RTM::Manager::_duplicate(mgr);
      omniORB::setClientCallTimeout(ref, PEER_CALL_MS);
      list.push_back(ref);
      return RTC::RTC_OK;
    }

    RTC::ReturnCode_t removePeer(std::vector<Manager_var>& list, Manager_ptr mgr)
    {
      if (CORBA::is_nil(mgr))
        return RTC::BAD_PARAMETER;
      const auto it = std::find_if(list.begin(), list.end(), [&](const Manager_var& x) { return x->_is_equivalent(mgr); });
      if (it == list.end())
        return RTC::BAD_PARAMETER;
      list.erase(it);
      return RTC::RTC_OK;
    }
  }

  ManagerList* ManagerServant::get_master_managers()
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    return toList(m_masters);
  }

  RTC::ReturnCode_t ManagerServant::add_master_manager(Manager_ptr mgr)
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    return addPeer(m_masters, mgr, isSelf(mgr), !CORBA::is_nil(mgr) && hasEquivalent(m_masters, mgr));
  }

  RTC::ReturnCode_t ManagerServant::remove_master_manager(Manager_ptr mgr)
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    return removePeer(m_masters, mgr);
  }

  ManagerList* ManagerServant::get_slave_managers()
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    return toList(m_slaves);
  }

  RTC::ReturnCode_t ManagerServant::add_slave_manager(Manager_ptr mgr)
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    return addPeer(m_slaves, mgr, isSelf(mgr), !CORBA::is_nil(mgr) && hasEquivalent(m_slaves, mgr));
  }

  RTC::ReturnCode_t ManagerServant::remove_slave_manager(Manager_ptr mgr)
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    return removePeer(m_slaves, mgr);
  }

  RTC::ReturnCode_t ManagerServant::fork() { return RTC::RTC_OK; }
  RTC::ReturnCode_t ManagerServant::restart() { return RTC::RTC_OK; }
  CORBA::Object_ptr ManagerServant::get_service(const char*) { return CORBA::Object::_nil(); }

  // The answer first, then the end: status 0, names unbound.
  RTC::ReturnCode_t ManagerServant::shutdown()
  {
    std::thread([]() {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        Host& m = manager();
        bool blocking = false;
        {
          std::lock_guard<std::mutex> lock(m.m_impl->mutex);
          blocking = m.m_impl->blocking;
        }
        m.shutdown();
        if (blocking)
          return;  // runManager() returns, and main with it
        // A program that does not wait in runManager() is given a moment to
        // end on its own (its component is gone), then ends here.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        std::fflush(nullptr);
        _exit(0);
      }).detach();
    return RTC::RTC_OK;
  }
RTM_NAMESPACE_END
