#include "peer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "NVUtil.h"
#include "Naming.h"

namespace testing_support
{
  using namespace RTC;
  using Clock = std::chrono::steady_clock;

  Manager& client()
  {
    static Manager* m = [] {
      const char* args[] = {"test_client", "-o", "naming.enable:NO", nullptr};
      Manager* mgr = Manager::init(3, const_cast<char**>(args));
      mgr->activateManager();
      return mgr;
    }();
    return *m;
  }

  std::string host()
  {
    char name[256] = {0};
    gethostname(name, sizeof name - 1);
    return name;
  }

  std::string naming() { return fixtureNamingService(); }
  std::string componentPath(const std::string& instance) { return host() + ".host_cxt/" + instance + ".rtc"; }

  CORBA::Object_ptr lookup(const std::string& server, const std::string& path)
  {
    CORBA::ORB_var orb = client().getORB();
    return NamingClient(orb, server, 1000).resolve(path);
  }

  bool waitBound(const std::string& server, const std::string& path, bool bound, int timeout_ms)
  {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    do
      {
        CORBA::Object_var obj = lookup(server, path);
        if (CORBA::is_nil(obj) != bound)
          return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    while (Clock::now() < deadline);
    return false;
  }

  std::unique_ptr<Process> startProbe(std::vector<std::string> options, const std::string& server)
  {
    std::vector<std::string> argv = {builtProgram("tests/probe_host"), "-o", "corba.nameservers:" + server};
    argv.insert(argv.end(), options.begin(), options.end());
    std::unique_ptr<Process> p(new Process(argv));
    if (!p->waitForOutput("ready", 10000))
      ADD_FAILURE() << "the probe did not start: " << p->errorText();
    return p;
  }

  int anglesend(std::vector<std::string> args, std::string* output)
  {
    args.insert(args.begin(), {builtProgram("tools/anglesend"), "-n", naming()});
    return run(args, output);
  }

  RTObject_ptr component(const std::string& instance)
  {
    CORBA::Object_var obj = lookup(naming(), componentPath(instance));
    if (CORBA::is_nil(obj))
      return RTObject::_nil();
    return RTObject::_narrow(obj);
  }

  ExecutionContext_ptr ownedContext(RTObject_ptr rtc)
  {
    ExecutionContextList_var ecs = rtc->get_owned_contexts();
    return ecs->length() > 0 ? ExecutionContext::_duplicate(ecs[0]) : ExecutionContext::_nil();
  }

  PortProfile* BarePort::get_port_profile()
  {
    PortProfile_var p = new PortProfile;
    p->name = CORBA::string_dup("bare.port");
    p->port_ref = _this();
    p->owner = RTObject::_nil();
    return p._retn();
  }

  ConnectorProfile* BarePort::get_connector_profile(const char*)
  {
    ConnectorProfile_var p = new ConnectorProfile;
    p->name = CORBA::string_dup("");
    p->connector_id = CORBA::string_dup("");
    return p._retn();
  }

  ReturnCode_t BarePort::notify_connect(ConnectorProfile& p)
  {
    return loopBack ? p.ports[0]->notify_connect(p) : RTC_OK;
  }

  ReturnCode_t BarePort::notify_disconnect(const char* id)
  {
    return loopBack ? first->notify_disconnect(id) : RTC_OK;
  }

  CORBA::Object_ptr serve(PortableServer::ServantBase* servant)
  {
    PortableServer::POA_var poa = client().getPOA();
    PortableServer::ObjectId_var id = poa->activate_object(servant);
    servant->_remove_ref();
    return poa->id_to_reference(id);
  }

  PortService_ptr barePort(BarePort*& servant)
  {
    servant = new BarePort;
    CORBA::Object_var obj = serve(servant);
    return PortService::_narrow(obj);
  }

  ConnectorProfile connector(std::vector<PortService_ptr> ports)
  {
    ConnectorProfile p;
    p.name = CORBA::string_dup("hostile");
    p.connector_id = CORBA::string_dup("");
    p.ports.length(static_cast<CORBA::ULong>(ports.size()));
    for (CORBA::ULong i = 0; i < ports.size(); ++i)
      p.ports[i] = PortService::_duplicate(ports[i]);
    return p;
  }

  std::string nv(const SDOPackage::NVList& list, const char* key)
  {
    std::string value = "<absent>";
    NVUtil::getString(list, key, value);
    return value;
  }
}

namespace testing_support
{
  void Participant::release()
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_released = true;
    m_wake.notify_all();
  }

  RTC::ExecutionContextHandle_t Participant::attach_context(RTC::ExecutionContext_ptr)
  {
    hangHere(ATTACH);
    return 1000;
  }

  RTC::ReturnCode_t Participant::on_execute(RTC::ExecutionContextHandle_t)
  {
    ++executed;
    hangHere(EXECUTE);
    return RTC::RTC_OK;
  }

  void Participant::hangHere(Hang where)
  {
    if (hangIn != where)
      return;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wake.wait_for(lock, std::chrono::seconds(60), [this] { return m_released; });
  }

  HangingAttach::HangingAttach(RTC::ExecutionContext_ptr ec) : m_peer(new Participant)
  {
    CORBA::Object_var obj = serve(m_peer);
    m_peer->_add_ref();
    m_peer->hangIn = Participant::ATTACH;
    RTC::LightweightRTObject_var them = RTC::LightweightRTObject::_narrow(obj);
    RTC::ExecutionContext_var context = RTC::ExecutionContext::_duplicate(ec);
    m_adding = std::thread([context, them] {
        try
          {
            context->add_component(them);
          }
        catch (const CORBA::SystemException&)
          {
          }
      });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }

  HangingAttach::~HangingAttach()
  {
    m_peer->release();
    m_adding.join();
    m_peer->_remove_ref();
  }
}
