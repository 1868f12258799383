// The manager: configuration, ORB, factories, components and their names.
#include <rtm/config_rtc.h>
#include <rtm/Manager.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "ConnectionGuard.h"
#include "ManagerConfig.h"
#include "Naming.h"
#include "Report.h"

RTM_NAMESPACE_BEGIN(RTC)
  namespace
  {
    Manager* g_manager = nullptr;
    std::mutex g_initMutex;

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

    void unbindAtExit()
    {
      if (g_manager != nullptr)
        g_manager->unbindAll();
    }

    // SIGINT and SIGTERM, when nothing else handles them, end the process
    // as they would, but after the component names have been removed and
    // the output written. The handler only wakes a thread of ours through
    // a pipe; no signal is blocked, so that the programs this process
    // starts get the usual signal mask. A second signal ends it at once.
    int g_signalPipe[2] = {-1, -1};
    volatile sig_atomic_t g_stopping = 0;

    void onStopSignal(int sig)
    {
      if (g_stopping)
        {
          signal(sig, SIG_DFL);
          raise(sig);
          return;
        }
      g_stopping = 1;
      const int saved = errno;
      const unsigned char byte = static_cast<unsigned char>(sig);
      if (write(g_signalPipe[1], &byte, 1) < 0)
        {
          signal(sig, SIG_DFL);
          raise(sig);
        }
      errno = saved;
    }

    void handleStopSignals()
    {
      std::vector<int> mine;
      for (int sig : {SIGINT, SIGTERM})
        {
          struct sigaction current;
          if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_DFL &&
              !(current.sa_flags & SA_SIGINFO))
            mine.push_back(sig);
        }
      if (mine.empty() || pipe2(g_signalPipe, O_CLOEXEC) != 0)
        return;
      std::thread([]() {
          unsigned char byte = 0;
          while (read(g_signalPipe[0], &byte, 1) < 0 && errno == EINTR)
            {
            }
          if (g_manager != nullptr)
            g_manager->unbindAll();
          std::fflush(stdout);
          std::fflush(stderr);
          signal(byte, SIG_DFL);
          raise(byte);
        }).detach();
      struct sigaction action;
      std::memset(&action, 0, sizeof action);
      action.sa_handler = onStopSignal;
      sigemptyset(&action.sa_mask);
      action.sa_flags = SA_RESTART;
      for (int sig : mine)
        sigaction(sig, &action, nullptr);
    }

    bool yes(const std::string& value)
    {
      std::string v = value;
      std::transform(v.begin(), v.end(), v.begin(), ::toupper);
      return v == "YES" || v == "TRUE" || v == "1";
    }
  }

  typedef std::chrono::steady_clock Clock;

  struct Manager::Impl
  {
    struct Factory
    {
      coil::Properties profile;
      RtcNewFunc create;
      RtcDeleteFunc destroy;
    };
    struct Component
    {
      RTObject_impl* rtc;
      std::string factoryId;
      int number;
    };
    // Where one name stands on one naming service: not bound by us yet,
    // bound to our object, or left to another live component that took it.
    enum NameState { UNBOUND, BOUND, YIELDED };
    struct Binding
    {
      RTObject_impl* rtc;
      std::string path;
      CORBA::Object_var obj;
      std::vector<NameState> state;  // per name server
      std::vector<bool> contested;   // "another component" said once
    };

    coil::Properties config;
    std::vector<std::string> orbArgs;
    std::vector<char*> orbArgv;
    CORBA::ORB_var orb;
    PortableServer::POA_var poa;
    ModuleInitProc initProc = nullptr;
    std::vector<Factory> factories;
    std::vector<Component> components;

    std::vector<std::string> servers;
    std::vector<bool> warned;
    std::vector<Binding> bindings;
    bool retryStarted = false;
    std::condition_variable retryWake;
    std::condition_variable runWake;  // runManager(false) waits here for good
    bool exiting = false;
    std::atomic<bool> shutdownStarted{false};
    double retryInterval = 10.0;
    bool rebindEachTime = false;
    bool verifyEachTime = true;  // naming.update.enable
    mutable std::mutex mutex;
    std::mutex namingMutex;  // serialises naming traffic

    void syncNames(bool all);
    bool placeName(NamingClient& client, Binding& b, std::size_t server);
    // Unbinds what still names our objects; every call ends by deadline.
    void releaseNames(const std::vector<Binding>& names, Clock::time_point deadline);
    void ensureRetryThread();
  };

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
    handleStopSignals();  // before the ORB starts any thread
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

    d.orbArgs.push_back(argc > 0 && argv != nullptr && argv[0] != nullptr ? argv[0] : "rtc");
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
    d.rebindEachTime = yes(d.config.getProperty("naming.update.rebind"));
    d.verifyEachTime = yes(d.config.getProperty("naming.update.enable"));

    g_manager = m;
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

  void Manager::setModuleInitProc(ModuleInitProc proc) { m_impl->initProc = proc; }

  bool Manager::activateManager()
  {
    try
      {
        PortableServer::POAManager_var pman = m_impl->poa->the_POAManager();
        pman->activate();
      }
    catch (const CORBA::Exception& e)
      {
        warn(std::string("the POA manager cannot be activated (") + e._name() + ")");
        return false;
      }
    try
      {
        if (m_impl->initProc != nullptr)
          m_impl->initProc(this);
        for (const std::string& c : splitList(m_impl->config.getProperty("manager.components.precreate")))
          if (createComponent(c.c_str()) == nullptr)
            warn("precreate: \"" + c + "\" was not created");
      }
    catch (const CORBA::SystemException& e)
      {
        warn(std::string("module initialisation raised ") + e._name());
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

  // omniORB serves requests on its own threads once the POA manager is
  // active, so nothing has to sit in ORB::run(). Nothing does: a thread
  // waiting there deadlocks exit(), whose clean-up destroys the condition
  // that ORB::run() waits on.
  void Manager::runManager(bool no_block)
  {
    if (no_block)
      return;
    std::unique_lock<std::mutex> lock(m_impl->mutex);
    m_impl->runWake.wait(lock, [] { return false; });
  }

  coil::Properties& Manager::getConfig() { return m_impl->config; }
  CORBA::ORB_ptr Manager::getORB() { return CORBA::ORB::_duplicate(m_impl->orb); }
  PortableServer::POA_ptr Manager::getPOA() { return PortableServer::POA::_duplicate(m_impl->poa); }

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
    m_impl->factories.push_back(Impl::Factory{profile, new_func, delete_func});
    return true;
  }

  namespace
  {
    // "id?key=value&key=value", where id may be RTC:vendor:category:id:lang:version.
    void parseComponentArgs(const std::string& text, std::string& id, coil::Properties& extra)
    {
      std::string::size_type q = text.find('?');
      id = coil::trim(text.substr(0, q));
      if (id.compare(0, 4, "RTC:") == 0)
        {
          std::vector<std::string> parts = split(id, ':');
          id = parts.size() > 3 ? parts[3] : "";
        }
      if (q == std::string::npos)
        return;
      for (const std::string& pair : split(text.substr(q + 1), '&'))
        {
          std::string::size_type eq = pair.find('=');
          if (eq != std::string::npos)
            extra.setProperty(coil::trim(pair.substr(0, eq)), coil::trim(pair.substr(eq + 1)));
        }
    }

    void loadConfigFile(const std::string& path, coil::Properties& prop)
    {
      std::string error;
      if (!path.empty() && !readConfigFile(path, prop, error))
        warn("component " + error + "; not used");
    }
  }

  RTObject_impl* Manager::createComponent(const char* comp_args)
  {
    if (comp_args == nullptr)
      return nullptr;
    std::string id;
    coil::Properties extra;
    parseComponentArgs(comp_args, id, extra);

    Impl& d = *m_impl;
    Impl::Factory factory;
    int number = 0;
    {
      std::lock_guard<std::mutex> lock(d.mutex);
      auto f = std::find_if(d.factories.begin(), d.factories.end(), [&](const Impl::Factory& x) {
          return x.profile.getProperty("implementation_id") == id;
        });
      if (f == d.factories.end())
        {
          warn("createComponent: no factory is registered for \"" + id + "\"");
          return nullptr;
        }
      factory = *f;
      // The lowest number no live instance of this factory uses.
      while (std::any_of(d.components.begin(), d.components.end(), [&](const Impl::Component& c) {
            return c.factoryId == id && c.number == number;
          }))
        ++number;
    }

    coil::Properties prop = factory.profile;
    const std::string category = prop.getProperty("category");
    const std::string type = prop.getProperty("type_name");
    const std::string instance = extra.getProperty("instance_name", type + std::to_string(number));
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
    prop << extra;
    prop.setProperty("instance_name", instance);

    RTObject_impl* rtc = factory.create != nullptr ? factory.create(this) : nullptr;
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

    NameContext context{hostName(), d.config.getProperty("manager.instance_name"),
                        static_cast<long>(getpid()), number};
    {
      std::lock_guard<std::mutex> lock(d.mutex);
      d.components.push_back(Impl::Component{rtc, id, number});
      if (yes(d.config.getProperty("naming.enable")))
        for (const std::string& format : splitList(d.config.getProperty("naming.formats")))
          {
            Impl::Binding b;
            b.rtc = rtc;
            b.path = expandNameFormat(format, prop, context);
            b.obj = rtc->getObjRef();
            b.state.assign(d.servers.size(), Impl::UNBOUND);
            b.contested.assign(d.servers.size(), false);
            d.bindings.push_back(b);
          }
    }
    d.syncNames(false);
    return rtc;
  }

  void Manager::deleteComponent(RTObject_impl* comp)
  {
    Impl& d = *m_impl;
    std::vector<Impl::Binding> gone;
    {
      std::lock_guard<std::mutex> lock(d.mutex);
      d.components.erase(std::remove_if(d.components.begin(), d.components.end(),
                                        [&](const Impl::Component& c) { return c.rtc == comp; }),
                         d.components.end());
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
  }

  std::vector<RTObject_impl*> Manager::getComponents() const
  {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    std::vector<RTObject_impl*> list;
    for (const Impl::Component& c : m_impl->components)
      list.push_back(c.rtc);
    return list;
  }

  // --------------------------------------------------------------- naming

  namespace
  {
    void warnAbout(const NamingClient& client, const std::string& path, const char* what)
    {
      warn("naming service " + client.address() + ": \"" + path + "\" " + what);
    }
  }

  bool Manager::Impl::placeName(NamingClient& client, Binding& b, std::size_t s)
  {
    CORBA::Object_var current;
    const NamingClient::Lookup found = client.lookup(b.path, current);
    if (found == NamingClient::UNREACHABLE)
      return false;
    NameState& state = b.state[s];
    if (found == NamingClient::FOUND && current->_is_equivalent(b.obj))
      {
        state = BOUND;
        return !rebindEachTime || client.bind(b.path, b.obj);
      }
    if (found == NamingClient::FOUND && client.alive(current))
      {
        // Another live component holds the name. A newcomer takes it, as
        // peers do; a name taken from us is left to its new holder, so
        // that two processes do not take it from each other for ever.
        const bool take = state == UNBOUND || rebindEachTime;
        if (!b.contested[s])
          warnAbout(client, b.path,
                    take ? "already names a live component of another process; this one takes the name"
                         : "now names a live component of another process; leaving the name to it");
        b.contested[s] = true;
        if (!take)
          {
            state = YIELDED;
            return true;
          }
      }
    else if (found == NamingClient::NOT_FOUND && state != UNBOUND)
      warnAbout(client, b.path, "was gone (the naming service restarted?); bound again");
    if (!client.bind(b.path, b.obj))
      return false;
    state = BOUND;
    return true;
  }

  void Manager::Impl::syncNames(bool all)
  {
    std::lock_guard<std::mutex> naming(namingMutex);
    std::vector<Binding> todo;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (exiting)
        return;
      todo = bindings;
    }
    for (std::size_t s = 0; s < servers.size(); ++s)
      {
        NamingClient client(orb, servers[s]);
        bool reachable = true;
        for (Binding& b : todo)
          if (reachable && (all || b.state[s] == UNBOUND))
            reachable = placeName(client, b, s);
        if (!reachable && !warned[s])
          {
            warned[s] = true;
            char interval[32];
            std::snprintf(interval, sizeof interval, "%g", retryInterval);
            warn("naming service " + client.address() +
                 " cannot be reached; components are bound there when it appears"
                 " (retrying every " + interval + " s)");
          }
        else if (reachable)
          warned[s] = false;
      }
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (const Binding& t : todo)
        for (Binding& b : bindings)
          if (b.rtc == t.rtc && b.path == t.path)
            {
              b.state = t.state;
              b.contested = t.contested;
            }
    }
    ensureRetryThread();
  }

  void Manager::Impl::releaseNames(const std::vector<Binding>& names, Clock::time_point deadline)
  {
    // Only what still names our own object: the name may have been taken
    // by another process since. A naming service that does not answer
    // must not hold up the end of the program.
    for (const Binding& b : names)
      for (std::size_t s = 0; s < servers.size(); ++s)
        {
          if (b.state[s] != BOUND)
            continue;
          const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
          if (left < 20)
            return;
          NamingClient client(orb, servers[s], static_cast<unsigned>(std::min<long long>(1000, left / 2)));
          CORBA::Object_var current;
          if (client.lookup(b.path, current) == NamingClient::FOUND && current->_is_equivalent(b.obj))
            client.unbind(b.path);
        }
  }

  void Manager::Impl::ensureRetryThread()
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (retryStarted || exiting)
      return;
    retryStarted = true;
    // Every interval: bind what is missing, and see that every name still
    // names our object (a naming service that restarted has lost them).
    std::thread([this]() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;)
          {
            retryWake.wait_for(lock, std::chrono::duration<double>(retryInterval));
            if (exiting)
              return;
            lock.unlock();
            syncNames(verifyEachTime || rebindEachTime);
            lock.lock();
          }
      }).detach();  // it ends when the process does; the manager is never destroyed
  }

  bool Manager::bindPending()
  {
    m_impl->syncNames(false);
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    for (const Impl::Binding& b : m_impl->bindings)
      for (Impl::NameState state : b.state)
        if (state == Impl::UNBOUND)
          return false;
    return true;
  }

  void Manager::unbindAll()
  {
    Impl& d = *m_impl;
    {
      std::lock_guard<std::mutex> lock(d.mutex);
      d.exiting = true;
    }
    d.retryWake.notify_all();
    // Let a bind under way finish, so that nothing is bound after this;
    // but the program ends within its budget whatever a naming service
    // does: half a second to wait, a second for the names.
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(1500);
    std::unique_lock<std::mutex> naming(d.namingMutex, std::try_to_lock);
    for (int i = 0; i < 50 && !naming.owns_lock(); ++i)
      {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        naming.try_lock();
      }
    std::vector<Impl::Binding> bound;
    {
      std::lock_guard<std::mutex> lock(d.mutex);
      bound.swap(d.bindings);
    }
    d.releaseNames(bound, deadline);
  }

  void Manager::shutdown()
  {
    Impl& d = *m_impl;
    if (d.shutdownStarted.exchange(true))
      return;
    // The components end as after exit(); a peer that keeps one of their
    // calls waiting is bounded by the execution context's own limits.
    for (RTObject_impl* rtc : getComponents())
      {
        try
          {
            rtc->exit();
          }
        catch (...)
          {
          }
      }
    unbindAll();
    // The ORB finishes the calls under way; a call that a peer keeps open
    // (an add_component whose attach_context never returns) may not hold
    // the process: after a second it ends at once, its output written.
    struct Stopping
    {
      std::mutex mutex;
      std::condition_variable done;
      bool finished = false;
    };
    auto stopping = std::make_shared<Stopping>();
    CORBA::ORB_var orb = CORBA::ORB::_duplicate(d.orb);
    std::thread([orb, stopping]() {
        try
          {
            orb->shutdown(true);
          }
        catch (const CORBA::Exception&)
          {
          }
        std::lock_guard<std::mutex> lock(stopping->mutex);
        stopping->finished = true;
        stopping->done.notify_all();
      }).detach();
    std::unique_lock<std::mutex> lock(stopping->mutex);
    if (!stopping->done.wait_for(lock, std::chrono::seconds(1), [&] { return stopping->finished; }))
      {
        warn("calls from peers are still under way; ending now");
        std::fflush(nullptr);
        _exit(0);
      }
  }
RTM_NAMESPACE_END
