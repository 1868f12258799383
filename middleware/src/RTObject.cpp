// The component servant: life cycle, owned execution context, profile,
// SDO answers and ports.
#include <rtm/config_rtc.h>
#include <rtm/RTObject.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include <rtm/DataFlowComponentBase.h>
#include <rtm/InPortBase.h>
#include <rtm/Manager.h>
#include <rtm/OutPortBase.h>
#include <rtm/PeriodicExecutionContext.h>

#include "Configuration.h"
#include "ConnectionGuard.h"
#include "NVUtil.h"

RTM_NAMESPACE_BEGIN(RTC)
  namespace
  {
    const ExecutionContextHandle_t PARTICIPANT_BASE = 1000;
    const std::size_t MAX_PARTICIPATING = 64;

    // A counted reference to the owned context, so that it outlives every
    // use that began before exit() let it go.
    class EcHold
    {
    public:
      EcHold(PeriodicExecutionContext* const& ec, std::mutex& mutex)
      {
        std::lock_guard<std::mutex> lock(mutex);
        m_ec = ec;
        if (m_ec != nullptr)
          m_ec->_add_ref();
      }
      ~EcHold()
      {
        if (m_ec != nullptr)
          m_ec->_remove_ref();
      }
      EcHold(const EcHold&) = delete;
      EcHold& operator=(const EcHold&) = delete;
      PeriodicExecutionContext* operator->() const { return m_ec; }
      explicit operator bool() const { return m_ec != nullptr; }

    private:
      PeriodicExecutionContext* m_ec;
    };

    // "text" as a number within [low, high], or fallback with one line.
    double boundedNumber(const std::string& instance, const char* key, const std::string& text,
                         double low, double high, double fallback)
    {
      char* end = nullptr;
      errno = 0;
      const double value = std::strtod(text.c_str(), &end);
      if (!text.empty() && end != text.c_str() && *coil::trim(end).c_str() == '\0' && errno == 0 &&
          value >= low && value <= high)
        return value;
      std::fprintf(stderr, "rtc: %s: %s \"%s\" is not a number from %g to %g; using %g\n", instance.c_str(),
                   key, coil::trim(text).substr(0, 80).c_str(), low, high, fallback);
      std::fflush(stderr);
      return fallback;
    }
  }

  struct RTObject_impl::State
  {
    coil::Properties props;
    std::vector<PortBase*> ports;
    // The owned context, under mutex: exit() takes it away while other
    // clients may be asking for it. Users hold a reference (EcHold).
    PeriodicExecutionContext* ec = nullptr;
    ExecutionContextService_var ecRef;
    std::atomic<bool> exiting{false};
    Configuration_impl* config = nullptr;
    RTObject_var objref;
    SDOPackage::Configuration_var configRef;
    std::vector<ExecutionContext_var> participating;
    bool initialized = false;
    mutable std::mutex mutex;
  };

  RTObject_impl::RTObject_impl(Manager* manager)
    : m_pManager(manager), m_state(new State)
  {
    if (manager != nullptr)
      {
        m_pORB = manager->getORB();
        m_pPOA = manager->getPOA();
      }
  }

  RTObject_impl::RTObject_impl(CORBA::ORB_ptr orb, PortableServer::POA_ptr poa)
    : m_pManager(nullptr), m_pORB(CORBA::ORB::_duplicate(orb)),
      m_pPOA(PortableServer::POA::_duplicate(poa)), m_state(new State)
  {
  }

  RTObject_impl::~RTObject_impl()
  {
    // The ports are members of the derived class and already gone; each
    // took itself out of service.
    m_state->ports.clear();
    deactivateObjects();
    delete m_state;
  }

  // ------------------------------------------------------------ callbacks

  ReturnCode_t RTObject_impl::onInitialize() { return RTC_OK; }
  ReturnCode_t RTObject_impl::onFinalize() { return RTC_OK; }
  ReturnCode_t RTObject_impl::onStartup(UniqueId) { return RTC_OK; }
  ReturnCode_t RTObject_impl::onShutdown(UniqueId) { return RTC_OK; }
  ReturnCode_t RTObject_impl::onActivated(UniqueId) { return RTC_OK; }
  ReturnCode_t RTObject_impl::onDeactivated(UniqueId) { return RTC_OK; }
  ReturnCode_t RTObject_impl::onExecute(UniqueId) { return RTC_OK; }
  ReturnCode_t RTObject_impl::onAborting(UniqueId) { return RTC_OK; }
  ReturnCode_t RTObject_impl::onError(UniqueId) { return RTC_OK; }
  ReturnCode_t RTObject_impl::onReset(UniqueId) { return RTC_OK; }
  ReturnCode_t RTObject_impl::onStateUpdate(UniqueId) { return RTC_OK; }
  ReturnCode_t RTObject_impl::onRateChanged(UniqueId) { return RTC_OK; }

  // A throwing callback must not unwind into the ORB or the context's
  // thread: it counts as an error answer.
#define RTM_GUARDED(call)                       \
  try                                           \
    {                                           \
      return call;                              \
    }                                           \
  catch (...)                                   \
    {                                           \
      return RTC_ERROR;                         \
    }

  // The configuration's bound variables change only here, on the thread
  // that calls these: after onInitialize (the set active at start), before
  // onActivated, after onStateUpdate and onError (when a set was activated
  // since).
  namespace
  {
    // rc, the callback's answer, once the configuration is up to date.
    ReturnCode_t thenUpdate(ReturnCode_t rc, ConfigAdmin& config)
    {
      config.update();
      return rc;
    }

    ReturnCode_t thenApplyFirstSet(ReturnCode_t rc, ConfigAdmin& config)
    {
      if (rc == RTC_OK)
        config.update(true);
      return rc;
    }
  }

  ReturnCode_t RTObject_impl::on_initialize() { RTM_GUARDED(thenApplyFirstSet(onInitialize(), m_configsets)) }
  ReturnCode_t RTObject_impl::on_activated(ExecutionContextHandle_t h)
  {
    RTM_GUARDED((m_configsets.update(), onActivated(h)))
  }
  ReturnCode_t RTObject_impl::on_state_update(ExecutionContextHandle_t h)
  {
    RTM_GUARDED(thenUpdate(onStateUpdate(h), m_configsets))
  }
  ReturnCode_t RTObject_impl::on_error(ExecutionContextHandle_t h) { RTM_GUARDED(thenUpdate(onError(h), m_configsets)) }

  void RTObject_impl::updateParameters(const char* set_id) { m_configsets.update(set_id); }

  ReturnCode_t RTObject_impl::on_finalize() { RTM_GUARDED(onFinalize()) }
  ReturnCode_t RTObject_impl::on_startup(ExecutionContextHandle_t h) { RTM_GUARDED(onStartup(h)) }
  ReturnCode_t RTObject_impl::on_shutdown(ExecutionContextHandle_t h) { RTM_GUARDED(onShutdown(h)) }
  ReturnCode_t RTObject_impl::on_deactivated(ExecutionContextHandle_t h) { RTM_GUARDED(onDeactivated(h)) }
  ReturnCode_t RTObject_impl::on_aborting(ExecutionContextHandle_t h) { RTM_GUARDED(onAborting(h)) }
  ReturnCode_t RTObject_impl::on_reset(ExecutionContextHandle_t h) { RTM_GUARDED(onReset(h)) }
  ReturnCode_t RTObject_impl::on_execute(ExecutionContextHandle_t h) { RTM_GUARDED(onExecute(h)) }
  ReturnCode_t RTObject_impl::on_rate_changed(ExecutionContextHandle_t h) { RTM_GUARDED(onRateChanged(h)) }
#undef RTM_GUARDED

  // ----------------------------------------------------------- life cycle

  ReturnCode_t RTObject_impl::initialize()
  {
    if (m_state->initialized)
      return PRECONDITION_NOT_MET;
    m_configsets.load(m_state->props, getInstanceName());
    ReturnCode_t rc = on_initialize();
    if (rc != RTC_OK)
      return rc;

    const coil::Properties& p = m_state->props;
    const std::string name = getInstanceName();
    const double rate = boundedNumber(name, "exec_cxt.periodic.rate", p.getProperty("exec_cxt.periodic.rate", "1.0"),
                                      PeriodicExecutionContext::MIN_RATE, PeriodicExecutionContext::MAX_RATE, 1.0);
    const double timeout = boundedNumber(name, "exec_cxt.transition_timeout",
                                         p.getProperty("exec_cxt.transition_timeout", "0.5"), 0.0, 3600.0, 0.5);
    activateObject();
    PeriodicExecutionContext* ec = new PeriodicExecutionContext(rate, timeout);
    ec->bindOwner(this, m_pPOA);
    {
      std::lock_guard<std::mutex> lock(m_state->mutex);
      m_state->ec = ec;
      m_state->ecRef = ec->getObjRef();
    }
    ec->start();
    m_state->initialized = true;
    return RTC_OK;
  }

  ReturnCode_t RTObject_impl::finalize()
  {
    {
      std::lock_guard<std::mutex> lock(m_state->mutex);
      if (!m_state->participating.empty())
        return PRECONDITION_NOT_MET;
    }
    return on_finalize();
  }

  ReturnCode_t RTObject_impl::exit()
  {
    // One exit runs, however many clients ask at once.
    if (!m_state->initialized || m_state->exiting.exchange(true))
      return PRECONDITION_NOT_MET;
    {
      EcHold ec(m_state->ec, m_state->mutex);
      if (ec)
        {
          if (ec->ownerState() == ACTIVE_STATE)
            ec->deactivate_component(m_state->objref);
          ec->stop();
        }
    }
    on_finalize();
    // The object is taken out of service but not deleted: a call into it
    // (this one included) may still be running on another ORB thread.
    if (m_pManager != nullptr)
      m_pManager->deleteComponent(this);
    else
      deactivateObjects();
    return RTC_OK;
  }

  CORBA::Boolean RTObject_impl::is_alive(ExecutionContext_ptr exec_context)
  {
    return get_context_handle(exec_context) >= 0;
  }

  ExecutionContextHandle_t RTObject_impl::attach_context(ExecutionContext_ptr exec_context)
  {
    if (CORBA::is_nil(exec_context))
      return -1;
    // A slot freed by detach_context is used again, and a peer cannot make
    // the list of contexts grow without end.
    std::lock_guard<std::mutex> lock(m_state->mutex);
    std::vector<ExecutionContext_var>& list = m_state->participating;
    std::size_t slot = 0;
    while (slot < list.size() && !CORBA::is_nil(list[slot]))
      ++slot;
    if (slot == MAX_PARTICIPATING)
      return -1;
    if (slot == list.size())
      list.push_back(::RTC::ExecutionContext::_nil());
    list[slot] = ::RTC::ExecutionContext::_duplicate(exec_context);
    return PARTICIPANT_BASE + static_cast<ExecutionContextHandle_t>(slot);
  }

  ReturnCode_t RTObject_impl::detach_context(ExecutionContextHandle_t exec_handle)
  {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    std::size_t index = static_cast<std::size_t>(exec_handle - PARTICIPANT_BASE);
    if (exec_handle < PARTICIPANT_BASE || index >= m_state->participating.size() ||
        CORBA::is_nil(m_state->participating[index]))
      return BAD_PARAMETER;
    // Handles stay stable: the slot is emptied, not removed.
    m_state->participating[index] = ::RTC::ExecutionContext::_nil();
    bool any = false;
    for (const ExecutionContext_var& ec : m_state->participating)
      any = any || !CORBA::is_nil(ec);
    if (!any)
      m_state->participating.clear();
    return RTC_OK;
  }

  ExecutionContext_ptr RTObject_impl::get_context(ExecutionContextHandle_t exec_handle)
  {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (exec_handle == 0)
      return ::RTC::ExecutionContext::_duplicate(m_state->ecRef.in());
    std::size_t index = static_cast<std::size_t>(exec_handle - PARTICIPANT_BASE);
    if (exec_handle >= PARTICIPANT_BASE && index < m_state->participating.size())
      return ::RTC::ExecutionContext::_duplicate(m_state->participating[index]);
    return ::RTC::ExecutionContext::_nil();
  }

  ExecutionContextList* RTObject_impl::get_owned_contexts()
  {
    ExecutionContextList_var list = new ExecutionContextList;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (!CORBA::is_nil(m_state->ecRef))
      {
        list->length(1);
        list[0] = ::RTC::ExecutionContextService::_duplicate(m_state->ecRef.in());
      }
    return list._retn();
  }

  ExecutionContextList* RTObject_impl::get_participating_contexts()
  {
    ExecutionContextList_var list = new ExecutionContextList;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    for (const ExecutionContext_var& ec : m_state->participating)
      {
        if (CORBA::is_nil(ec))
          continue;
        CORBA::ULong n = list->length();
        list->length(n + 1);
        list[n] = ::RTC::ExecutionContext::_duplicate(ec);
      }
    return list._retn();
  }

  ExecutionContextHandle_t RTObject_impl::get_context_handle(ExecutionContext_ptr cxt)
  {
    if (CORBA::is_nil(cxt))
      return -1;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (!CORBA::is_nil(m_state->ecRef) && cxt->_is_equivalent(m_state->ecRef))
      return 0;
    for (std::size_t i = 0; i < m_state->participating.size(); ++i)
      if (!CORBA::is_nil(m_state->participating[i]) &&
          cxt->_is_equivalent(m_state->participating[i]))
        return PARTICIPANT_BASE + static_cast<ExecutionContextHandle_t>(i);
    return -1;
  }

  CORBA::Boolean RTObject_impl::_dispatch(omniCallHandle& handle)
  {
    ConnectionGuard::admitRequest(handle, ConnectionGuard::messageLimit());
    return POA_OpenRTM::DataFlowComponent::_dispatch(handle);
  }

  // ------------------------------------------------------------- profile

  ComponentProfile* RTObject_impl::get_component_profile()
  {
    const coil::Properties& p = m_state->props;
    ComponentProfile_var profile = new ComponentProfile;
    profile->instance_name = CORBA::string_dup(p.getProperty("instance_name").c_str());
    profile->type_name = CORBA::string_dup(p.getProperty("type_name").c_str());
    profile->description = CORBA::string_dup(p.getProperty("description").c_str());
    profile->version = CORBA::string_dup(p.getProperty("version").c_str());
    profile->vendor = CORBA::string_dup(p.getProperty("vendor").c_str());
    profile->category = CORBA::string_dup(p.getProperty("category").c_str());
    std::vector<PortBase*> ports;
    {
      std::lock_guard<std::mutex> lock(m_state->mutex);
      ports = m_state->ports;
    }
    profile->port_profiles.length(static_cast<CORBA::ULong>(ports.size()));
    for (CORBA::ULong i = 0; i < ports.size(); ++i)
      {
        PortProfile_var pp = ports[i]->get_port_profile();
        profile->port_profiles[i] = pp.in();
      }
    profile->parent = ::RTC::RTObject::_nil();
    profile->properties = NVUtil::fromProperties(p);
    return profile._retn();
  }

  PortServiceList* RTObject_impl::get_ports()
  {
    PortServiceList_var list = new PortServiceList;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    list->length(static_cast<CORBA::ULong>(m_state->ports.size()));
    for (CORBA::ULong i = 0; i < m_state->ports.size(); ++i)
      list[i] = m_state->ports[i]->getPortRef();
    return list._retn();
  }

  // ------------------------------------------------------------------ SDO

  SDOPackage::OrganizationList* RTObject_impl::get_owned_organizations()
  {
    return new SDOPackage::OrganizationList;
  }

  char* RTObject_impl::get_sdo_id()
  {
    return CORBA::string_dup(getInstanceName().c_str());
  }

  char* RTObject_impl::get_sdo_type()
  {
    return CORBA::string_dup(m_state->props.getProperty("description").c_str());
  }

  SDOPackage::DeviceProfile* RTObject_impl::get_device_profile()
  {
    SDOPackage::DeviceProfile* profile = new SDOPackage::DeviceProfile;
    profile->device_type = CORBA::string_dup("");
    profile->manufacturer = CORBA::string_dup("");
    profile->model = CORBA::string_dup("");
    profile->version = CORBA::string_dup("");
    return profile;
  }

  SDOPackage::ServiceProfileList* RTObject_impl::get_service_profiles()
  {
    return new SDOPackage::ServiceProfileList;
  }

  SDOPackage::ServiceProfile* RTObject_impl::get_service_profile(const char*)
  {
    throw SDOPackage::InvalidParameter("no such service profile");
  }

  SDOPackage::SDOService_ptr RTObject_impl::get_sdo_service(const char*)
  {
    throw SDOPackage::InvalidParameter("no such service");
  }

  SDOPackage::Configuration_ptr RTObject_impl::get_configuration()
  {
    activateObject();
    return ::SDOPackage::Configuration::_duplicate(m_state->configRef);
  }

  SDOPackage::Monitoring_ptr RTObject_impl::get_monitoring()
  {
    throw SDOPackage::InterfaceNotImplemented("monitoring is not provided");
  }

  SDOPackage::OrganizationList* RTObject_impl::get_organizations()
  {
    return new SDOPackage::OrganizationList;
  }

  SDOPackage::NVList* RTObject_impl::get_status_list()
  {
    return new SDOPackage::NVList;
  }

  CORBA::Any* RTObject_impl::get_status(const char*)
  {
    throw SDOPackage::InvalidParameter("no such status");
  }

  // ---------------------------------------------------------------- ports

  bool RTObject_impl::addPort(const char* name, PortBase& port)
  {
    {
      std::lock_guard<std::mutex> lock(m_state->mutex);
      for (PortBase* p : m_state->ports)
        if (p->getName() == port.getName())
          return false;
      port.setOwner(this);
      port.setConfigName(name != nullptr ? name : port.getName());
      m_state->ports.push_back(&port);
    }
    if (!CORBA::is_nil(m_pPOA))
      port.activate(m_pPOA);
    return true;
  }

  bool RTObject_impl::addInPort(const char* name, InPortBase& inport)
  {
    return addPort(name, inport);
  }

  void RTObject_impl::registerInPort(const char* name, InPortBase& inport)
  {
    if (!addPort(name, inport))
      std::fprintf(stderr, "registerInPort: a port named \"%s\" already exists\n", name);
  }

  bool RTObject_impl::addOutPort(const char* name, OutPortBase& outport)
  {
    return addPort(name, outport);
  }

  void RTObject_impl::registerOutPort(const char* name, OutPortBase& outport)
  {
    if (!addPort(name, outport))
      std::fprintf(stderr, "registerOutPort: a port named \"%s\" already exists\n", name);
  }

  // ------------------------------------------------------------ plumbing

  void RTObject_impl::setProperties(const coil::Properties& prop) { m_state->props = prop; }
  const coil::Properties& RTObject_impl::getProperties() const { return m_state->props; }
  coil::Properties& RTObject_impl::getProperties() { return m_state->props; }

  std::string RTObject_impl::getInstanceName() const
  {
    return m_state->props.getProperty("instance_name");
  }

  void RTObject_impl::setInstanceName(const char* instance_name)
  {
    m_state->props.setProperty("instance_name", instance_name);
  }

  std::string RTObject_impl::getTypeName() const { return m_state->props.getProperty("type_name"); }
  std::string RTObject_impl::getCategory() const { return m_state->props.getProperty("category"); }

  RTObject_ptr RTObject_impl::getObjRef() const
  {
    return ::RTC::RTObject::_duplicate(m_state->objref);
  }

  void RTObject_impl::activateObject()
  {
    if (!CORBA::is_nil(m_state->objref) || CORBA::is_nil(m_pPOA))
      return;
    PortableServer::ObjectId_var oid = m_pPOA->activate_object(this);
    CORBA::Object_var obj = m_pPOA->id_to_reference(oid);
    m_state->objref = ::RTC::RTObject::_narrow(obj);
    m_state->config = new Configuration_impl(m_configsets);
    PortableServer::ObjectId_var cid = m_pPOA->activate_object(m_state->config);
    m_state->config->_remove_ref();  // the POA owns it from here
    CORBA::Object_var cobj = m_pPOA->id_to_reference(cid);
    m_state->configRef = ::SDOPackage::Configuration::_narrow(cobj);
    for (PortBase* port : m_state->ports)
      port->activate(m_pPOA);
  }

  void RTObject_impl::deactivateObjects()
  {
    // Taken away under the lock, so that it is released exactly once;
    // uses that hold it keep it until they end.
    PeriodicExecutionContext* ec = nullptr;
    std::vector<PortBase*> ports;
    {
      std::lock_guard<std::mutex> lock(m_state->mutex);
      ec = m_state->ec;
      m_state->ec = nullptr;
      m_state->ecRef = ::RTC::ExecutionContextService::_nil();
      ports = m_state->ports;
    }
    if (ec != nullptr)
      {
        ec->shutdown();
        ec->_remove_ref();
      }
    for (PortBase* port : ports)
      port->deactivate();
    if (CORBA::is_nil(m_pPOA) || CORBA::is_nil(m_state->objref))
      return;
    try
      {
        PortableServer::ObjectId_var cid = m_pPOA->servant_to_id(m_state->config);
        m_pPOA->deactivate_object(cid);
        PortableServer::ObjectId_var oid = m_pPOA->servant_to_id(this);
        m_pPOA->deactivate_object(oid);
      }
    catch (const CORBA::Exception&)
      {
      }
    m_state->objref = ::RTC::RTObject::_nil();
  }

  PeriodicExecutionContext* RTObject_impl::ownedContext() const
  {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->ec;
  }

  LifeCycleState RTObject_impl::ownedState() const
  {
    EcHold ec(m_state->ec, m_state->mutex);
    return ec ? ec->ownerState() : CREATED_STATE;
  }

  // -------------------------------------------------- DataFlowComponentBase

  DataFlowComponentBase::DataFlowComponentBase(Manager* manager) : RTObject_impl(manager) {}
  DataFlowComponentBase::~DataFlowComponentBase() {}
  void DataFlowComponentBase::init() {}
RTM_NAMESPACE_END
