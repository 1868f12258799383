// RTM::ManagerServant: the process's manager as an RTM::Manager object,
// what rtmgr, rtcat and other managers call. Served at the object key
// manager.name ("manager": corbaloc::host:port/manager) unless
// manager.corba_servant is NO.
//
// A master (-d, manager.is_master: YES) listens on the port of
// corba.master_manager (2810) and binds itself as manager.naming_formats
// says; it creates a component itself when it has its factory and
// otherwise asks its slaves. A slave finds its master at
// corbaloc::<corba.master_manager>/<manager.name> and registers with it.
//
// Where others' managers crash or are unsafe, this one answers instead:
// load_module gives the real outcome and loads only files found through
// manager.modules.load_path unless manager.modules.abs_path_allowed is
// YES; creating components is bounded; no call waits for a module being
// loaded.
#ifndef RTM_MANAGERSERVANT_H
#define RTM_MANAGERSERVANT_H

#include <atomic>
#include <mutex>
#include <vector>

#include <rtm/RTC.h>
#include <rtm/idl/Manager.hh>

RTM_NAMESPACE_BEGIN(RTM)
  class ManagerServant
    : public virtual POA_RTM::Manager,
      public virtual PortableServer::RefCountServantBase
  {
  public:
    ManagerServant();
    virtual ~ManagerServant();

    virtual CORBA::Boolean _dispatch(omniCallHandle& handle);

    virtual RTC::ReturnCode_t load_module(const char* pathname, const char* initfunc);
    virtual RTC::ReturnCode_t unload_module(const char* pathname);
    virtual ModuleProfileList* get_loadable_modules();
    virtual ModuleProfileList* get_loaded_modules();
    virtual ModuleProfileList* get_factory_profiles();
    virtual RTC::RTObject_ptr create_component(const char* module_name);
    virtual RTC::ReturnCode_t delete_component(const char* instance_name);
    virtual RTC::RTCList* get_components();
    virtual RTC::ComponentProfileList* get_component_profiles();
    virtual RTC::RTCList* get_components_by_name(const char* name);
    virtual ManagerProfile* get_profile();
    virtual NVList* get_configuration();
    virtual RTC::ReturnCode_t set_configuration(const char* name, const char* value);
    virtual CORBA::Boolean is_master();
    virtual ManagerList* get_master_managers();
    virtual RTC::ReturnCode_t add_master_manager(Manager_ptr mgr);
    virtual RTC::ReturnCode_t remove_master_manager(Manager_ptr mgr);
    virtual ManagerList* get_slave_managers();
    virtual RTC::ReturnCode_t add_slave_manager(Manager_ptr mgr);
    virtual RTC::ReturnCode_t remove_slave_manager(Manager_ptr mgr);
    virtual RTC::ReturnCode_t fork();
    virtual RTC::ReturnCode_t shutdown();
    virtual RTC::ReturnCode_t restart();
    virtual CORBA::Object_ptr get_service(const char* name);

    // --- Used by the runtime ---
    // Activates the object (at its key) and, for a slave, looks for the
    // master; false (with one line said) when it cannot be served.
    bool start();
    RTM::Manager_ptr getObjRef() const;
    // Tells masters and slaves this manager is going.
    void leave();
    // For a slave: checks its masters, looks for one when none is left
    // (at start, then from runManager()'s wait).
    void refreshMasters();

  private:
    ManagerServant(const ManagerServant&);
    ManagerServant& operator=(const ManagerServant&);
    bool hasEquivalent(const std::vector<RTM::Manager_var>& list, RTM::Manager_ptr mgr) const;
    void findMaster();
    bool isSelf(RTM::Manager_ptr mgr) const;


    std::atomic<bool> m_leaving{false};
    RTM::Manager_var m_objref;
    bool m_master;
    mutable std::mutex m_mutex;
    std::vector<RTM::Manager_var> m_masters;
    std::vector<RTM::Manager_var> m_slaves;
  };
RTM_NAMESPACE_END

#endif
