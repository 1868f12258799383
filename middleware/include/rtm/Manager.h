// RTC::Manager: the process's one middleware manager.
//
// init() reads the command line (-f FILE, -o key:value, -i, -a, -d, -p
// PORT; every other argument is left for the program, and argv is never
// reordered or changed) and the configuration file, and starts the ORB.
// activateManager() activates the POA manager, loads the modules of
// manager.modules.preload ("file" or "file(initfunc)", found through
// manager.modules.load_path), calls the module init procedure, then creates
// the components of manager.components.precreate and applies
// manager.components.preconnect and .preactivation. Each component is
// bound in every naming service of corba.nameservers under every format of
// naming.formats, e.g.
//
//     NameService
//       `-- myhost.host_cxt           (context, kind "host_cxt")
//             |-- Vorlinde0.rtc       (component, kind "rtc")
//             `-- manager.mgr         (a master manager, kind "mgr")
//
// A naming service that cannot be reached is reported once on standard
// error and tried again every naming.update.interval seconds. The names are
// removed when the process exits normally. Unless manager.corba_servant
// is NO (-a), the manager is also served as an RTM::Manager object
// (corbaloc::host:port/manager).
#ifndef RTM_MANAGER_H
#define RTM_MANAGER_H

#include <string>
#include <vector>

#include <rtm/RTC.h>
#include <rtm/Factory.h>
#include <rtm/ModuleManager.h>
#include <rtm/RTObject.h>

RTM_NAMESPACE_BEGIN(RTM)
  class ManagerServant;
RTM_NAMESPACE_END

RTM_NAMESPACE_BEGIN(RTC)
  class Manager;
  typedef void (*ModuleInitProc)(Manager* manager);
  typedef RTObject_impl RtcBase;

  class Manager
  {
  public:
    static Manager* init(int argc, char** argv);
    static Manager& instance();

    void setModuleInitProc(ModuleInitProc proc);
    bool activateManager();
    // no_block false: waits until the manager is shut down (the last
    // component gone, shutdown(), SIGINT or SIGTERM), then returns.
    void runManager(bool no_block = false);

    // --- Modules: files found through manager.modules.load_path ---
    // RTC_OK; BAD_PARAMETER for an empty or unknown name; RTC_ERROR when
    // the file cannot be loaded, has no init function, belongs to another
    // middleware, or its init throws.
    ReturnCode_t load(const std::string& fname, const std::string& initfunc);
    // fname as getLoadedModules lists it; ModuleManager::NotFound else.
    // Its factories go; its code stays (its components may still run).
    void unload(const char* fname);
    void unloadAll();
    // One entry per module: file_path.
    std::vector<coil::Properties> getLoadedModules();
    // The modules of the load paths, each with its factory's profile and
    // module_file_name, module_file_path, language.
    std::vector<coil::Properties> getLoadableModules();
    std::vector<coil::Properties> getFactoryProfiles();
    std::vector<std::string> getModulesFactories();

    bool registerFactory(coil::Properties& profile, RtcNewFunc new_func,
                         RtcDeleteFunc delete_func);
    // comp_args: "ID[?key=value&...]", ID the implementation id or
    // "RTC:vendor:category:id:language:version"; null on failure.
    RTObject_impl* createComponent(const char* comp_args);
    // Takes the component out of service: its names, its objects.
    void deleteComponent(RTObject_impl* comp);
    // Ends the named component as exit() does.
    void deleteComponent(const char* instance_name);
    RTObject_impl* getComponent(const char* instance_name);
    std::vector<RTObject_impl*> getComponents() const;

    coil::Properties& getConfig();
    CORBA::ORB_ptr getORB();
    PortableServer::POA_ptr getPOA();
    RTM::ManagerServant& getManagerServant();

    // Removes every name this process bound, within a second and a half
    // whatever the naming services do.
    void unbindAll();
    // Tries every naming service again now; true when every name is bound.
    bool bindPending();
    // Ends the middleware: exit() on every component, names unbound, the
    // ORB shut down. Within about three seconds whatever peers do: when a
    // peer keeps a call open past that, the process ends at once (status
    // 0, output flushed).
    void shutdown();
    // shutdown() from a thread of its own, after
    // manager.termination_waittime (0.5 s); returns at once.
    void terminate();
    // Waits until shutdown() has run.
    void join();

    struct Impl;

  private:
    Manager();
    ~Manager();
    Manager(const Manager&);
    Manager& operator=(const Manager&);
    friend class RTM::ManagerServant;
    Impl* m_impl;
  };
RTM_NAMESPACE_END

#endif
