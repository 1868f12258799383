// Finding an input port by name, connecting an OutPort to it the way the
// middleware's own tools do, and activating its component. Shared by the
// angle sender and the benchmarks. Only the C++ API that every runtime
// provides is used here, so that the sender also builds against an
// installed OpenRTM-aist.
#ifndef VORLINDE_TOOLS_SENDER_H
#define VORLINDE_TOOLS_SENDER_H

#include <string>

#include <rtm/idl/BasicDataTypeSkel.h>
#include <rtm/Manager.h>
#include <rtm/DataFlowComponentBase.h>
#include <rtm/OutPort.h>

namespace sender
{
  // The sending component: one OutPort "Angle" of RTC::TimedFloatSeq.
  class AngleSender : public RTC::DataFlowComponentBase
  {
  public:
    AngleSender(RTC::Manager* manager);
    RTC::ReturnCode_t onInitialize() override;
    RTC::TimedFloatSeq data;
    RTC::OutPort<RTC::TimedFloatSeq> port;
  };

  // Starts a manager that binds nothing and creates one AngleSender;
  // options go to the manager first (-f FILE, -o key:value). Returns null
  // (with a message) on failure.
  AngleSender* startSender(const std::string& program, const std::vector<std::string>& options = {});
  // The first of the configuration's corba.nameservers ("localhost" when none).
  std::string firstNameServer();

  // target: "path/inst.rtc:PORT" or "INST:PORT". Fills port and a
  // description, or returns false with a message in error.
  bool findPort(const std::string& nameserver, const std::string& target,
                RTC::PortService_var& port, std::string& error, unsigned timeout_ms = 3000);

  // Connects ours and theirs. connect_on_target: the request goes to the
  // target port (ports = [target, ours]), else to ours (ports = [ours,
  // target]). Returns the connector id, or "" with a message in error.
  std::string connect(RTC::PortBase& ours, RTC::PortService_ptr target, bool connect_on_target,
                      std::string& error);

  // True while our port has a connector (a peer that is gone loses it).
  bool connected(RTC::PortBase& ours);

  // Activates the component that owns port in its first owned context.
  // An already active component is fine.
  bool activateOwner(RTC::PortService_ptr port, std::string& error);

  const char* returnCodeName(RTC::ReturnCode_t rc);
}

#endif
