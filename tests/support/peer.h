// This test process as another program's peer: a manager of its own (no
// names bound), the tests' naming service, the headless host of the
// component, and small servants that stand for other implementations.
#ifndef VORLINDE_TESTS_PEER_H
#define VORLINDE_TESTS_PEER_H

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <rtm/Manager.h>

#include "process.h"

namespace testing_support
{
  RTC::Manager& client();
  std::string host();
  // The fixture's naming service, and the component's path in it.
  std::string naming();
  std::string componentPath(const std::string& instance = "Vorlinde0");

  CORBA::Object_ptr lookup(const std::string& server, const std::string& path);
  // Waits until path is bound (or unbound); false on time-out.
  bool waitBound(const std::string& server, const std::string& path, bool bound, int timeout_ms);

  // The headless host of the component, started with extra manager
  // options; returns once it said "ready".
  std::unique_ptr<Process> startProbe(std::vector<std::string> options, const std::string& server = naming());
  // anglesend with -n naming() first; its status, standard output and error.
  int anglesend(std::vector<std::string> args, std::string* output = nullptr);

  RTC::RTObject_ptr component(const std::string& instance = "Vorlinde0");
  RTC::ExecutionContext_ptr ownedContext(RTC::RTObject_ptr rtc);

  // A port of another implementation, as small as a port can be: it keeps
  // nothing and says yes. With loopBack set it sends notify_connect and
  // notify_disconnect straight back to the first port of the connector, as
  // a broken or hostile peer might.
  class BarePort : public virtual POA_RTC::PortService, public virtual PortableServer::RefCountServantBase
  {
  public:
    bool loopBack = false;
    RTC::PortService_var first;

    RTC::PortProfile* get_port_profile() override;
    RTC::ConnectorProfileList* get_connector_profiles() override { return new RTC::ConnectorProfileList; }
    RTC::ConnectorProfile* get_connector_profile(const char*) override;
    RTC::ReturnCode_t connect(RTC::ConnectorProfile&) override { return RTC::RTC_OK; }
    RTC::ReturnCode_t disconnect(const char*) override { return RTC::RTC_OK; }
    RTC::ReturnCode_t disconnect_all() override { return RTC::RTC_OK; }
    RTC::ReturnCode_t notify_connect(RTC::ConnectorProfile& p) override;
    RTC::ReturnCode_t notify_disconnect(const char* id) override;
  };

  // A bare port served by this process; the POA keeps it.
  RTC::PortService_ptr barePort(BarePort*& servant);
  // Activates servant in this process's POA (which keeps it) and returns
  // its reference.
  CORBA::Object_ptr serve(PortableServer::ServantBase* servant);

  // A component of another process, as seen by an execution context it
  // joins: every callback answers RTC_OK at once, except the one named in
  // hangIn, which waits until released (as a peer that never answers).
  class Participant : public virtual POA_RTC::DataFlowComponent, public virtual PortableServer::RefCountServantBase
  {
  public:
    enum Hang { NOWHERE, ATTACH, EXECUTE };
    std::atomic<Hang> hangIn{NOWHERE};
    std::atomic<int> executed{0};

    void release();

    RTC::ReturnCode_t initialize() override { return RTC::RTC_OK; }
    RTC::ReturnCode_t finalize() override { return RTC::RTC_OK; }
    CORBA::Boolean is_alive(RTC::ExecutionContext_ptr) override { return true; }
    RTC::ReturnCode_t exit() override { return RTC::RTC_OK; }
    RTC::ExecutionContextHandle_t attach_context(RTC::ExecutionContext_ptr) override;
    RTC::ReturnCode_t detach_context(RTC::ExecutionContextHandle_t) override { return RTC::RTC_OK; }
    RTC::ExecutionContext_ptr get_context(RTC::ExecutionContextHandle_t) override { return RTC::ExecutionContext::_nil(); }
    RTC::ExecutionContextList* get_owned_contexts() override { return new RTC::ExecutionContextList; }
    RTC::ExecutionContextList* get_participating_contexts() override { return new RTC::ExecutionContextList; }
    RTC::ExecutionContextHandle_t get_context_handle(RTC::ExecutionContext_ptr) override { return 1000; }
    RTC::ReturnCode_t on_initialize() override { return RTC::RTC_OK; }
    RTC::ReturnCode_t on_finalize() override { return RTC::RTC_OK; }
    RTC::ReturnCode_t on_startup(RTC::ExecutionContextHandle_t) override { return RTC::RTC_OK; }
    RTC::ReturnCode_t on_shutdown(RTC::ExecutionContextHandle_t) override { return RTC::RTC_OK; }
    RTC::ReturnCode_t on_activated(RTC::ExecutionContextHandle_t) override { return RTC::RTC_OK; }
    RTC::ReturnCode_t on_deactivated(RTC::ExecutionContextHandle_t) override { return RTC::RTC_OK; }
    RTC::ReturnCode_t on_aborting(RTC::ExecutionContextHandle_t) override { return RTC::RTC_OK; }
    RTC::ReturnCode_t on_error(RTC::ExecutionContextHandle_t) override { return RTC::RTC_OK; }
    RTC::ReturnCode_t on_reset(RTC::ExecutionContextHandle_t) override { return RTC::RTC_OK; }
    RTC::ReturnCode_t on_execute(RTC::ExecutionContextHandle_t) override;
    RTC::ReturnCode_t on_state_update(RTC::ExecutionContextHandle_t) override { return RTC::RTC_OK; }
    RTC::ReturnCode_t on_rate_changed(RTC::ExecutionContextHandle_t) override { return RTC::RTC_OK; }

  private:
    void hangHere(Hang where);
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_released = false;
  };

  // A participant served by this process that hangs in attach_context,
  // added to ec from a thread of its own: add_component never returns
  // until release(). The destructor releases it and joins the thread.
  class HangingAttach
  {
  public:
    explicit HangingAttach(RTC::ExecutionContext_ptr ec);
    ~HangingAttach();

  private:
    Participant* m_peer;
    std::thread m_adding;
  };

  RTC::ConnectorProfile connector(std::vector<RTC::PortService_ptr> ports);
  // A string value of an NVList, or "<absent>".
  std::string nv(const SDOPackage::NVList& list, const char* key);
}

#endif
