// The manager's state, shared by the files that implement it: start and
// components (Manager.cpp), names (ManagerNames.cpp), modules
// (ModuleLoader.cpp), connections at start (Preconnect.cpp), the end
// (ManagerEnd.cpp) and the CORBA object (ManagerServant.cpp).
#ifndef RTM_SRC_MANAGERIMPL_H
#define RTM_SRC_MANAGERIMPL_H

#include <rtm/config_rtc.h>
#include <rtm/Manager.h>
#include <rtm/ManagerServant.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Naming.h"

RTM_NAMESPACE_BEGIN(RTC)
  typedef std::chrono::steady_clock Clock;
  struct ComponentArgs;

  struct Manager::Impl
  {
    struct Factory
    {
      coil::Properties profile;
      RtcNewFunc create;
      RtcDeleteFunc destroy;
      std::string module;  // the file that registered it ("" for the program)
    };
    struct Component
    {
      RTObject_impl* rtc;
      std::string factoryId;
      std::string instance;
      int number;
      RtcDeleteFunc destroy;
    };
    struct Retired
    {
      RTObject_impl* rtc;
      RtcDeleteFunc destroy;
      Clock::time_point since;
    };
    struct Module
    {
      std::string path;
      void* handle;
    };
    // Where one name stands on one naming service: not bound by us yet,
    // bound to our object, or left to another live component that took it.
    enum NameState { UNBOUND, BOUND, YIELDED };
    struct Binding
    {
      RTObject_impl* rtc;  // null for the manager's own name
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
    std::vector<Component> creating;  // reserved while being created
    std::vector<Retired> retired;     // exited, not destroyed yet
    // Destroys the retired components no call can reach any more (all:
    // every one, once the ORB has ended).
    void reap(bool all);
    int created = 0;  // components ever created

    // Modules: one is loaded at a time; nothing else waits for it.
    std::recursive_mutex moduleMutex;  // an init may load another module
    std::vector<Module> modules;
    std::vector<std::string> unloaded;  // real paths of modules unloaded on purpose
    std::string loading;  // the module whose init runs now
    std::map<std::string, coil::Properties> profiled;  // path -> its profile, "" when none

    std::vector<std::string> servers;
    std::vector<bool> warned;
    std::vector<Binding> bindings;
    bool retryStarted = false;
    std::condition_variable retryWake;
    bool exiting = false;
    double retryInterval = 10.0;
    bool rebindEachTime = false;
    bool verifyEachTime = true;  // naming.update.enable
    mutable std::mutex mutex;
    std::mutex namingMutex;  // serialises naming traffic

    RTM::ManagerServant* servant = nullptr;

    // The end: runManager(false) waits on runWake until `ended`.
    std::atomic<bool> shutdownStarted{false};
    bool blocking = false;
    bool ended = false;
    std::condition_variable runWake;

    // createComponent; remote: asked by a peer, held to max_instance.
    RTObject_impl* create(Manager& m, const char* comp_args, bool remote);
    // A number and an instance name for a new component of factory, held
    // in `creating`; false (said once a minute) when refused.
    bool reserve(const Factory& factory, const ComponentArgs& args, bool remote, Component& slot);

    // --- names (ManagerNames.cpp) ---
    void addBindings(RTObject_impl* rtc, CORBA::Object_ptr obj, const std::string& formats,
                     const coil::Properties& prop, int number);
    void syncNames(bool all);
    bool placeName(NamingClient& client, Binding& b, std::size_t server);
    // Unbinds what still names our objects; every call ends by deadline.
    void releaseNames(const std::vector<Binding>& names, Clock::time_point deadline);
    void ensureRetryThread();

    // --- modules (ModuleLoader.cpp) ---
    // remote: asked by a peer (load_module), so only files of the load
    // paths; why says what went wrong.
    ReturnCode_t loadModule(Manager& m, const std::string& fname, const std::string& initfunc, bool remote,
                            std::string& why);
    bool unloadModule(const std::string& path);
    std::vector<coil::Properties> loadableModules();
    // Loads the first loadable module with a factory for args; true if one was.
    bool loadModuleFor(Manager& m, const std::string& args);

    // --- start (Preconnect.cpp) ---
    void preconnect(Manager& m);
    void preactivate(Manager& m);

    // Keys a peer set (set_configuration), kept apart from the
    // configuration the program reads without a lock; bounded in number.
    std::map<std::string, std::string> remoteSettings;
    // A key's value, a peer's setting first; lock `mutex` around it.
    std::string setting(const std::string& key) const;

    bool yes(const char* key) const;
    RTObject_impl* findComponent(const std::string& instance) const;
  };

  Manager* currentManager();
  Manager::Impl* currentImpl();
  void installStopSignals();

  // One line on standard error: "rtc: text".
  void warn(const std::string& text);
  std::string hostName();
  bool yesValue(const std::string& value);
RTM_NAMESPACE_END

#endif
