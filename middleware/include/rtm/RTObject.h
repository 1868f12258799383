// RTC::RTObject_impl: the CORBA servant base of every component.
//
// It serves OpenRTM::DataFlowComponent (and through it RTC::RTObject, the
// lightweight life cycle, the SDO answers and the configuration object),
// owns the component's periodic execution context, and keeps the list of
// the component's ports. Components derive from DataFlowComponentBase and
// override the on*() callbacks below; the execution context calls them on
// its own thread.
#ifndef RTM_RTOBJECT_H
#define RTM_RTOBJECT_H

#include <rtm/config_rtc.h>
#include <string>
#include <vector>

#include <rtm/ConfigAdmin.h>
#include <rtm/RTC.h>

RTM_NAMESPACE_BEGIN(RTC)
  class Manager;
  class PortBase;
  class InPortBase;
  class OutPortBase;
  class PeriodicExecutionContext;
  class Configuration_impl;

  typedef ExecutionContextHandle_t UniqueId;

  class RTObject_impl
    : public virtual POA_OpenRTM::DataFlowComponent,
      public virtual PortableServer::RefCountServantBase
  {
  public:
    RTObject_impl(Manager* manager);
    RTObject_impl(CORBA::ORB_ptr orb, PortableServer::POA_ptr poa);
    virtual ~RTObject_impl();

  protected:
    // Component callbacks; every default answers RTC_OK.
    virtual ReturnCode_t onInitialize();
    virtual ReturnCode_t onFinalize();
    virtual ReturnCode_t onStartup(UniqueId exec_handle);
    virtual ReturnCode_t onShutdown(UniqueId exec_handle);
    virtual ReturnCode_t onActivated(UniqueId exec_handle);
    virtual ReturnCode_t onDeactivated(UniqueId exec_handle);
    virtual ReturnCode_t onExecute(UniqueId exec_handle);
    virtual ReturnCode_t onAborting(UniqueId exec_handle);
    virtual ReturnCode_t onError(UniqueId exec_handle);
    virtual ReturnCode_t onReset(UniqueId exec_handle);
    virtual ReturnCode_t onStateUpdate(UniqueId exec_handle);
    virtual ReturnCode_t onRateChanged(UniqueId exec_handle);

  public:
    // --- RTC::ComponentAction (called by execution contexts) ---
    virtual ReturnCode_t on_initialize();
    virtual ReturnCode_t on_finalize();
    virtual ReturnCode_t on_startup(ExecutionContextHandle_t exec_handle);
    virtual ReturnCode_t on_shutdown(ExecutionContextHandle_t exec_handle);
    virtual ReturnCode_t on_activated(ExecutionContextHandle_t exec_handle);
    virtual ReturnCode_t on_deactivated(ExecutionContextHandle_t exec_handle);
    virtual ReturnCode_t on_aborting(ExecutionContextHandle_t exec_handle);
    virtual ReturnCode_t on_error(ExecutionContextHandle_t exec_handle);
    virtual ReturnCode_t on_reset(ExecutionContextHandle_t exec_handle);
    // --- RTC::DataFlowComponentAction ---
    virtual ReturnCode_t on_execute(ExecutionContextHandle_t exec_handle);
    virtual ReturnCode_t on_state_update(ExecutionContextHandle_t exec_handle);
    virtual ReturnCode_t on_rate_changed(ExecutionContextHandle_t exec_handle);

    // --- RTC::LightweightRTObject ---
    virtual ReturnCode_t initialize();
    virtual ReturnCode_t finalize();
    virtual CORBA::Boolean is_alive(ExecutionContext_ptr exec_context);
    virtual ReturnCode_t exit();
    virtual ExecutionContextHandle_t attach_context(ExecutionContext_ptr exec_context);
    virtual ReturnCode_t detach_context(ExecutionContextHandle_t exec_handle);
    virtual ExecutionContext_ptr get_context(ExecutionContextHandle_t exec_handle);
    virtual ExecutionContextList* get_owned_contexts();
    virtual ExecutionContextList* get_participating_contexts();
    virtual ExecutionContextHandle_t get_context_handle(ExecutionContext_ptr cxt);

    // Every request is looked at before its arguments are read.
    virtual CORBA::Boolean _dispatch(omniCallHandle& handle);

    // --- RTC::RTObject ---
    virtual ComponentProfile* get_component_profile();
    virtual PortServiceList* get_ports();

    // --- SDOPackage::SDO ---
    virtual SDOPackage::OrganizationList* get_owned_organizations();
    virtual char* get_sdo_id();
    virtual char* get_sdo_type();
    virtual SDOPackage::DeviceProfile* get_device_profile();
    virtual SDOPackage::ServiceProfileList* get_service_profiles();
    virtual SDOPackage::ServiceProfile* get_service_profile(const char* id);
    virtual SDOPackage::SDOService_ptr get_sdo_service(const char* id);
    virtual SDOPackage::Configuration_ptr get_configuration();
    virtual SDOPackage::Monitoring_ptr get_monitoring();
    virtual SDOPackage::OrganizationList* get_organizations();
    virtual SDOPackage::NVList* get_status_list();
    virtual CORBA::Any* get_status(const char* name);

    // --- Configuration parameters (bind them in onInitialize) ---
    // Always true; getConfigService().bindParameter tells what happened.
    template <typename VarType>
    bool bindParameter(const char* param_name, VarType& var, const char* def_val,
                       bool (*trans)(VarType&, const char*) = coil::stringTo)
    {
      m_configsets.bindParameter(param_name, var, def_val, trans);
      return true;
    }
    ConfigAdmin& getConfigService() { return m_configsets; }
    // Listeners of the configuration (rtm/ConfigurationListener.h).
    void addConfigurationParamListener(ConfigurationParamListenerType type,
                                       ConfigurationParamListener* listener, bool autoclean = true)
    {
      m_configsets.addConfigurationParamListener(type, listener, autoclean);
    }
    void removeConfigurationParamListener(ConfigurationParamListenerType type,
                                          ConfigurationParamListener* listener)
    {
      m_configsets.removeConfigurationParamListener(type, listener);
    }
    void addConfigurationSetListener(ConfigurationSetListenerType type, ConfigurationSetListener* listener,
                                     bool autoclean = true)
    {
      m_configsets.addConfigurationSetListener(type, listener, autoclean);
    }
    void removeConfigurationSetListener(ConfigurationSetListenerType type, ConfigurationSetListener* listener)
    {
      m_configsets.removeConfigurationSetListener(type, listener);
    }
    void addConfigurationSetNameListener(ConfigurationSetNameListenerType type,
                                         ConfigurationSetNameListener* listener, bool autoclean = true)
    {
      m_configsets.addConfigurationSetNameListener(type, listener, autoclean);
    }
    void removeConfigurationSetNameListener(ConfigurationSetNameListenerType type,
                                            ConfigurationSetNameListener* listener)
    {
      m_configsets.removeConfigurationSetNameListener(type, listener);
    }
    // Applies set set_id to the bound variables now, in the caller's thread.
    void updateParameters(const char* set_id);

    // --- Ports ---
    // name selects per-port configuration only; the profile name is
    // "<instance>.<port constructor name>".
    bool addInPort(const char* name, InPortBase& inport);
    void registerInPort(const char* name, InPortBase& inport);
    bool addOutPort(const char* name, OutPortBase& outport);
    void registerOutPort(const char* name, OutPortBase& outport);

    // --- Used by the manager and the ports ---
    void setProperties(const coil::Properties& prop);
    const coil::Properties& getProperties() const;
    coil::Properties& getProperties();
    std::string getInstanceName() const;
    void setInstanceName(const char* instance_name);
    std::string getTypeName() const;
    std::string getCategory() const;
    RTObject_ptr getObjRef() const;
    // Activates the servant (and its ports) in the POA; idempotent.
    void activateObject();
    // The owned periodic execution context, or null before initialize().
    PeriodicExecutionContext* ownedContext() const;
    Manager* getManager() const { return m_pManager; }
    // Current life-cycle state in the owned context.
    LifeCycleState ownedState() const;

  protected:
    ConfigAdmin m_configsets;
    Manager* m_pManager;
    CORBA::ORB_var m_pORB;
    PortableServer::POA_var m_pPOA;

  private:
    friend class Manager;
    RTObject_impl(const RTObject_impl&);
    RTObject_impl& operator=(const RTObject_impl&);
    bool addPort(const char* name, PortBase& port);
    void deactivateObjects();

    struct State;
    State* m_state;
  };
RTM_NAMESPACE_END

#endif
