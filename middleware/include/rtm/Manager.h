// RTC::Manager: the process's one middleware manager.
//
// init() reads the command line (-f FILE, -o key:value, -i, -a, -p PORT;
// -d is refused with a warning; every other argument is left for the
// program, and argv is never reordered or changed) and the configuration
// file, and starts the ORB. activateManager() activates the POA manager and
// calls the module init procedure, which registers factories and creates
// components. Each component is bound in every naming service of
// corba.nameservers under every format of naming.formats, e.g.
//
//     NameService
//       `-- myhost.host_cxt           (context, kind "host_cxt")
//             `-- Vorlinde0.rtc       (component, kind "rtc")
//
// A naming service that cannot be reached is reported once on standard
// error and tried again every naming.update.interval seconds. The names are
// removed when the process exits normally.
#ifndef RTM_MANAGER_H
#define RTM_MANAGER_H

#include <rtm/config_rtc.h>
#include <string>
#include <vector>

#include <rtm/RTC.h>
#include <rtm/Factory.h>
#include <rtm/RTObject.h>

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
    void runManager(bool no_block = false);

    bool registerFactory(coil::Properties& profile, RtcNewFunc new_func,
                         RtcDeleteFunc delete_func);
    RTObject_impl* createComponent(const char* comp_args);
    void deleteComponent(RTObject_impl* comp);
    std::vector<RTObject_impl*> getComponents() const;

    coil::Properties& getConfig();
    CORBA::ORB_ptr getORB();
    PortableServer::POA_ptr getPOA();

    // Removes every name this process bound, within a second and a half
    // whatever the naming services do.
    void unbindAll();
    // Ends the middleware: exit() on every component, names unbound, the
    // ORB shut down. Within about three seconds whatever peers do: when a
    // peer keeps a call open past that, the process ends at once (status
    // 0, output flushed).
    void shutdown();
    // Tries every naming service again now; true when every name is bound.
    bool bindPending();

    struct Impl;

  private:
    Manager();
    ~Manager();
    Manager(const Manager&);
    Manager& operator=(const Manager&);
    Impl* m_impl;
  };
RTM_NAMESPACE_END

#endif
