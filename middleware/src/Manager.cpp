// The manager: configuration, ORB, factories and components.
#include "ManagerImpl.h"

#include <dlfcn.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ComponentArgs.h"
#include "ConnectionGuard.h"
#include "ManagerConfig.h"
#include "Report.h"
#include "Tls.h"

RTM_NAMESPACE_BEGIN(RTC)
  namespace
  {
    Manager* g_manager = nullptr;
    Manager::Impl* g_impl = nullptr;
    std::mutex g_initMutex;

    void unbindAtExit()
    {
      if (g_manager != nullptr)
        g_manager->unbindAll();
    }

    // What the configuration says of this process and host, for the
    // manager's profile and its tools.
    void describeProcess(coil::Properties& config)
    {
      utsname u;
      if (uname(&u) == 0)
        {
          config.setProperty("os.name", u.sysname);
          config.setProperty("os.release", u.release);
          config.setProperty("os.version", u.version);
          config.setProperty("os.arch", u.machine);
        }
      config.setProperty("os.hostname", hostName());
      config.setProperty("manager.pid", std::to_string(getpid()));
    }

    // A master listens on the port of corba.master_manager (2810), before
    // any other endpoint, on every interface.
    std::string masterEndpoint(const coil::Properties& config)
    {
      const std::vector<std::string> parts = split(config.getProperty("corba.master_manager"), ':');
      char* end = nullptr;
      const long port = parts.size() == 2 ? std::strtol(parts[1].c_str(), &end, 10) : 0;
      return "giop:tcp::" + std::to_string(parts.size() == 2 && *end == '\0' && port > 0 && port < 65536 ? port : 2810);
    }

    void loadConfigFile(const std::string& path, coil::Properties& prop)
    {
      std::string error;
      if (!path.empty() && !readConfigFile(path, prop, error))
        warn("component " + error + "; not used");
    }
  }

  void warn(const std::string& text)
  {
    std::fprintf(stderr, "rtc: %s\n", text.c_str());
    std::fflush(stderr);
  }

  std::string hostName()
  {
    char name[256] = {0};
    if (gethostname(name, sizeof name - 1) != 0)
      return "localhost";
    return name;
  }

  bool yesValue(const std::string& value)
  {
    std::string v = coil::trim(value);
    std::transform(v.begin(), v.end(), v.begin(), ::toupper);
    return v == "YES" || v == "TRUE" || v == "1";
  }

  bool Manager::Impl::yes(const char* key) const { return yesValue(config.getProperty(key)); }

  // --------------------------------------------------------------- start

  Manager::Manager() : m_impl(new Impl) {}
  Manager::~Manager() { delete m_impl; }

  Manager* Manager::init(int argc, char** argv)
  {
    std::lock_guard<std::mutex> lock(g_initMutex);
    if (g_manager != nullptr)
      return g_manager;
    Manager* m = new Manager;
    Impl& d = *m->m_impl;
    installStopSignals();  // before the ORB starts any thread
    Report::limitOrbLog();

    ManagerArgs args = parseManagerArgs(argc, argv);
    for (const std::string& w : args.warnings)
      warn(w);
    setManagerDefaults(d.config);
    std::string error;
    if (!loadManagerConfig(args, d.config, error))
      {
        warn(error);
        std::exit(1);
      }
    describeProcess(d.config);
    // TLS is part of this runtime; a module that brings it elsewhere is
    // not needed (nor loaded).
    for (const std::string& entry : splitList(d.config.getProperty("manager.preload.modules")))
      if (entry == "SSLTransport" || entry == "SSLTransport.so")
        warn("manager.preload.modules: " + entry + " is not loaded: TLS is built into this runtime, "
             "the corba.ssl.* keys turn it on");
    if (Tls::configured(d.config) && !Tls::prepare(d.config, error))
      {
        warn(error);
        std::exit(1);
      }

    d.orbArgs.push_back(argc > 0 && argv != nullptr && argv[0] != nullptr ? argv[0] : "rtc");
    if (d.yes("manager.is_master"))
      d.orbArgs.insert(d.orbArgs.end(), {"-ORBendPoint", masterEndpoint(d.config)});
    std::vector<std::string> orbArgs;
    if (!orbArguments(d.config, orbArgs, error))
      {
        warn(error);
        std::exit(1);
      }
    d.orbArgs.insert(d.orbArgs.end(), orbArgs.begin(), orbArgs.end());
    for (std::string& a : d.orbArgs)
      d.orbArgv.push_back(&a[0]);
    d.orbArgv.push_back(nullptr);
    int orbArgc = static_cast<int>(d.orbArgs.size());
    try
      {
        char** av = d.orbArgv.data();
        d.orb = CORBA::ORB_init(orbArgc, av);
        CORBA::Object_var obj = d.orb->resolve_initial_references("RootPOA");
        d.poa = PortableServer::POA::_narrow(obj);
        ConnectionGuard::install(ConnectionGuard::fromConfig(d.config));
      }
    catch (const CORBA::Exception& e)
      {
        warn(std::string("the ORB cannot start (") + e._name() + "); check corba.endpoints and corba.args");
        std::exit(1);
      }

    d.servers = splitList(d.config.getProperty("corba.nameservers"));
    d.warned.assign(d.servers.size(), false);
    // Between a tenth of a second (naming services are not to be flooded)
    // and a day (longer waits do not fit the clock).
    const std::string interval = d.config.getProperty("naming.update.interval");
    d.retryInterval = std::atof(interval.c_str());
    if (!(d.retryInterval >= 0.1 && d.retryInterval <= 86400.0))
      {
        warn("naming.update.interval \"" + interval + "\" is not a number of seconds from 0.1 to 86400; using 10");
        d.retryInterval = 10.0;
      }
    d.rebindEachTime = d.yes("naming.update.rebind");
    d.verifyEachTime = d.yes("naming.update.enable");

    g_manager = m;
    g_impl = m->m_impl;
    std::atexit(unbindAtExit);
    return m;
  }

  Manager& Manager::instance()
  {
    {
      std::lock_guard<std::mutex> lock(g_initMutex);
      if (g_manager != nullptr)
        return *g_manager;
    }
    return *init(0, nullptr);
  }

  Manager* currentManager() { return g_manager; }
  Manager::Impl* currentImpl() { return g_impl; }

  std::string Manager::Impl::setting(const std::string& key) const
  {
    const auto it = remoteSettings.find(key);
    return it != remoteSettings.end() ? it->second : config.getProperty(key);
  }

  void Manager::setModuleInitProc(ModuleInitProc proc) { m_impl->initProc = proc; }

  namespace
  {
    // "file" or "file(initfunc)"; a file without a dot is given ".so".
    void preload(Manager& m, const std::string& entry)
    {
      std::string file = entry, init;
      const std::string::size_type open = entry.find('(');
      if (open != std::string::npos && entry.back() == ')')
        {
          file = coil::trim(entry.substr(0, open));
          init = coil::trim(entry.substr(open + 1, entry.size() - open - 2));
        }
      if (file.find('.') == std::string::npos)
        file += ".so";
      m.load(file, init);
    }
  }

  bool Manager::activateManager()
  {
    Impl& d = *m_impl;
    try
      {
        PortableServer::POAManager_var pman = d.poa->the_POAManager();
        pman->activate();
      }
    catch (const CORBA::Exception& e)
      {
        warn(std::string("the POA manager cannot be activated (") + e._name() + ")");
        return false;
      }
    if (d.yes("manager.corba_servant") && d.servant == nullptr)
      {
        d.servant = new RTM::ManagerServant;
        d.servant->start();
      }
    try
      {
        for (const std::string& entry : splitList(d.config.getProperty("manager.modules.preload")))
          preload(*this, entry);
        if (d.initProc != nullptr)
          d.initProc(this);
        for (const std::string& c : splitList(d.config.getProperty("manager.components.precreate")))
          if (createComponent(c.c_str()) == nullptr)
            warn("precreate: \"" + c + "\" was not created");
        d.preconnect(*this);
        d.preactivate(*this);
      }
    catch (const CORBA::Exception& e)
      {
        warn(std::string("module initialisation raised ") + e._name());
      }
    catch (const omniORB::fatalException& e)
      {
        warn(std::string("omniORB fatal error in module initialisation: ") + e.errmsg());
      }
    return true;
  }

  coil::Properties& Manager::getConfig() { return m_impl->config; }
  CORBA::ORB_ptr Manager::getORB() { return CORBA::ORB::_duplicate(m_impl->orb); }
  PortableServer::POA_ptr Manager::getPOA() { return PortableServer::POA::_duplicate(m_impl->poa); }

  RTM::ManagerServant& Manager::getManagerServant()
  {
    if (m_impl->servant == nullptr)
      m_impl->servant = new RTM::ManagerServant;  // not served, but there to ask
    return *m_impl->servant;
  }

  // ------------------------------------------------------------ factories

  bool Manager::registerFactory(coil::Properties& profile, RtcNewFunc new_func,
                                RtcDeleteFunc delete_func)
  {
    // A module of ours loaded by another middleware's host is handed that
    // host's manager: nothing of it may be touched.
    if (this != g_manager)
      {
        Dl_info where;
        const char* module = dladdr(reinterpret_cast<void*>(new_func), &where) != 0 && where.dli_fname != nullptr
                               ? where.dli_fname
                               : "a module";
        const char* slash = std::strrchr(module, '/');
        warn(std::string(slash != nullptr ? slash + 1 : module) + ": loaded by a host whose middleware is not " +
             RTM_RUNTIME_NAME + "; factory \"" + profile.getProperty("implementation_id") +
             "\" not registered. Build the module against the host's middleware (cmake -DVORLINDE_OPENRTM=...)");
        return false;
      }
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    const std::string id = profile.getProperty("implementation_id");
    for (const Impl::Factory& f : m_impl->factories)
      if (f.profile.getProperty("implementation_id") == id)
        return false;
    m_impl->factories.push_back(Impl::Factory{profile, new_func, delete_func, m_impl->loading});
    return true;
  }

  std::vector<coil::Properties> Manager::getFactoryProfiles()
  {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    std::vector<coil::Properties> list;
    for (const Impl::Factory& f : m_impl->factories)
      list.push_back(f.profile);
    return list;
  }

  std::vector<std::string> Manager::getModulesFactories()
  {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    std::vector<std::string> ids;
    for (const Impl::Factory& f : m_impl->factories)
      ids.push_back(f.profile.getProperty("implementation_id"));
    return ids;
  }

  // ----------------------------------------------------------- components

  namespace
  {
    // Components at most, in all (a peer creating them without end; a
    // peer is held to each factory's max_instance too).
    int componentLimit(const coil::Properties& config)
    {
      const int limit = std::atoi(config.getProperty("manager.components.max", "64").c_str());
      return limit > 0 ? limit : 64;
    }
  }

  RTObject_impl* Manager::createComponent(const char* comp_args) { return m_impl->create(*this, comp_args, false); }

  RTObject_impl* Manager::Impl::create(Manager& m, const char* comp_args, bool remote)
  {
    Impl& d = *this;
    ComponentArgs args;
    if (comp_args == nullptr || !parseComponentArgs(comp_args, args))
      {
        warn("createComponent: \"" + Report::quote(comp_args != nullptr ? comp_args : "") +
             "\" names no component (ID[?key=value&...])");
        return nullptr;
      }
    Impl::Factory factory;
    for (int attempt = 0;; ++attempt)
      {
        std::lock_guard<std::mutex> lock(d.mutex);
        auto f = std::find_if(d.factories.begin(), d.factories.end(),
                              [&](const Impl::Factory& x) { return matchesFactory(args, x.profile); });
        if (f != d.factories.end())
          {
            factory = *f;
            break;
          }
        if (attempt == 1 || !d.yes("manager.modules.search_auto"))
          {
            warn("createComponent: no factory is registered for \"" + Report::quote(args.id) + "\"");
            return nullptr;
          }
        d.mutex.unlock();  // a module may be found for it among the loadable ones
        const bool loaded = d.loadModuleFor(m, comp_args);
        d.mutex.lock();
        if (!loaded)
          {
            warn("createComponent: no factory and no module for \"" + Report::quote(args.id) + "\"");
            return nullptr;
          }
      }
    const std::string id = factory.profile.getProperty("implementation_id");
    Impl::Component slot;
    if (!d.reserve(factory, args, remote, slot))
      return nullptr;
    // The slot is held until the component is listed or has failed: two
    // callers at once get two numbers, and one name is given once.
    struct Release
    {
      Impl& d;
      const Impl::Component& slot;
      ~Release()
      {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.creating.erase(std::remove_if(d.creating.begin(), d.creating.end(),
                                        [&](const Impl::Component& c) { return c.instance == slot.instance; }),
                         d.creating.end());
      }
    } release{d, slot};
    const std::string& instance = slot.instance;
    const int number = slot.number;

    coil::Properties prop = factory.profile;
    const std::string category = prop.getProperty("category");
    const std::string type = prop.getProperty("type_name");
    // Configuration wins over the profile: global execution-context keys,
    // then <category>.<type_name>.*, then <category>.<instance>.*.
    for (const std::string& key : d.config.propertyNames())
      if (key.compare(0, 9, "exec_cxt.") == 0 && d.config.isSet(key))
        prop.setProperty(key, d.config.getProperty(key));
    coil::Properties typeNode = d.config.getNode(category + "." + type);
    coil::Properties instNode = d.config.getNode(category + "." + instance);
    loadConfigFile(typeNode.getProperty("config_file"), prop);
    prop << typeNode;
    loadConfigFile(instNode.getProperty("config_file"), prop);
    prop << instNode;
    prop << args.extra;
    prop.setProperty("instance_name", instance);

    RTObject_impl* rtc = factory.create != nullptr ? factory.create(&m) : nullptr;
    if (rtc == nullptr)
      return nullptr;
    rtc->setProperties(prop);
    try
      {
        rtc->activateObject();
        if (rtc->initialize() != RTC_OK)
          {
            warn("createComponent: " + instance + " did not initialise");
            rtc->deactivateObjects();
            if (factory.destroy != nullptr)
              factory.destroy(rtc);
            return nullptr;
          }
      }
    catch (const CORBA::Exception& e)
      {
        warn("createComponent: " + instance + ": " + e._name());
        return nullptr;
      }
    {
      std::lock_guard<std::mutex> lock(d.mutex);
      d.components.push_back(Impl::Component{rtc, id, instance, number, factory.destroy});
      ++d.created;
      if (d.yes("naming.enable"))
        {
          RTObject_var ref = rtc->getObjRef();
          d.addBindings(rtc, ref, d.config.getProperty("naming.formats"), prop, number);
        }
    }
    d.syncNames(false);
    return rtc;
  }

  bool Manager::Impl::reserve(const Factory& factory, const ComponentArgs& args, bool remote, Component& slot)
  {
    std::lock_guard<std::mutex> lock(mutex);
    const std::string id = factory.profile.getProperty("implementation_id");
    std::vector<const Component*> all;
    for (const Component& c : components)
      all.push_back(&c);
    for (const Component& c : creating)
      all.push_back(&c);
    // The lowest number no instance of this factory uses.
    int number = 0, alive = 0;
    for (const Component* c : all)
      alive += c->factoryId == id;
    while (std::any_of(all.begin(), all.end(), [&](const Component* c) { return c->factoryId == id && c->number == number; }))
      ++number;
    const std::string instance =
      args.extra.getProperty("instance_name", factory.profile.getProperty("type_name") + std::to_string(number));
    const int most = std::atoi(factory.profile.getProperty("max_instance").c_str());
    std::string refusal;
    if (std::any_of(all.begin(), all.end(), [&](const Component* c) { return c->instance == instance; }))
      refusal = "an instance named \"" + Report::quote(instance) + "\" exists";
    else if (remote && most > 0 && alive >= most)
      refusal = "\"" + id + "\" has its max_instance of " + std::to_string(most);
    else if (static_cast<int>(all.size()) >= componentLimit(config))
      refusal = std::to_string(all.size()) + " components exist (manager.components.max)";
    if (!refusal.empty())
      {
        Report::sometimes("createComponent refused " + id, "createComponent: not created: " + refusal);
        return false;
      }
    slot = Component{nullptr, id, instance, number, nullptr};
    creating.push_back(slot);
    return true;
  }

  RTObject_impl* Manager::Impl::findComponent(const std::string& instance) const
  {
    for (const Component& c : components)
      if (c.instance == instance)
        return c.rtc;
    return nullptr;
  }

  void Manager::deleteComponent(RTObject_impl* comp)
  {
    Impl& d = *m_impl;
    std::vector<Impl::Binding> gone;
    {
      std::lock_guard<std::mutex> lock(d.mutex);
      const auto it = std::find_if(d.components.begin(), d.components.end(),
                                   [&](const Impl::Component& c) { return c.rtc == comp; });
      if (it != d.components.end())
        {
          d.retired.push_back(Impl::Retired{comp, it->destroy, Clock::now()});
          d.components.erase(it);
        }
      for (auto it = d.bindings.begin(); it != d.bindings.end();)
        if (it->rtc == comp)
          {
            gone.push_back(*it);
            it = d.bindings.erase(it);
          }
        else
          ++it;
    }
    {
      std::lock_guard<std::mutex> lock(d.namingMutex);
      d.releaseNames(gone, Clock::now() + std::chrono::seconds(2));
    }
    comp->deactivateObjects();
    d.reap(false);
  }

  // A component taken out of service may still be in a call (its own
  // exit(), say): it is destroyed once the ORB holds it no more and a while
  // has passed, or when the ORB has ended.
  void Manager::Impl::reap(bool all)
  {
    std::vector<Retired> now;
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (auto it = retired.begin(); it != retired.end();)
        if (all || (Clock::now() - it->since > std::chrono::seconds(20) && it->rtc->_refcount_value() <= 1))
          {
            now.push_back(*it);
            it = retired.erase(it);
          }
        else
          ++it;
    }
    for (const Retired& r : now)
      {
        try
          {
            if (r.destroy != nullptr)
              r.destroy(r.rtc);
          }
        catch (...)
          {
          }
      }
  }

  void Manager::deleteComponent(const char* instance_name)
  {
    RTObject_impl* rtc = getComponent(instance_name);
    if (rtc == nullptr)
      {
        warn(std::string("deleteComponent: no component \"") + Report::quote(instance_name ? instance_name : "") + "\"");
        return;
      }
    // As exit() ends it: deactivated, finalized, out of service.
    rtc->exit();
  }

  RTObject_impl* Manager::getComponent(const char* instance_name)
  {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return instance_name != nullptr ? m_impl->findComponent(instance_name) : nullptr;
  }

  std::vector<RTObject_impl*> Manager::getComponents() const
  {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    std::vector<RTObject_impl*> list;
    for (const Impl::Component& c : m_impl->components)
      list.push_back(c.rtc);
    return list;
  }
RTM_NAMESPACE_END
