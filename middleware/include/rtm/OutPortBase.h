// RTC::OutPortBase: the type-independent half of an output data port.
//
// Push, corba_cdr, flush: write() marshals the datum little-endian and calls
// put() on every connected InPortCdr object in the writing thread. A
// connection whose peer is gone (a CORBA exception) is disconnected.
#ifndef RTM_OUTPORTBASE_H
#define RTM_OUTPORTBASE_H

#include <rtm/config_rtc.h>
#include <map>
#include <string>

#include <omniORB4/CORBA.h>
#include <rtm/PortBase.h>

RTM_NAMESPACE_BEGIN(RTC)
  class OutPortBase : public PortBase
  {
  public:
    OutPortBase(const char* name, const char* data_type);
    virtual ~OutPortBase();

    // Result of the last write on each connection, for tools.
    OpenRTM::PortStatus lastStatus() const { return m_lastStatus; }

  protected:
    // Sends the marshalled datum; false with no connection or when any
    // connection refused it.
    bool send(cdrMemoryStream& cdr);

    virtual const char* portKind() const { return "outport"; }
    virtual ReturnCode_t publishInterfaces(ConnectorProfile& profile);
    virtual ReturnCode_t subscribeInterfaces(const ConnectorProfile& profile);
    virtual void unsubscribeInterfaces(const std::string& connector_id);

  private:
    std::mutex m_sinkMutex;
    std::map<std::string, OpenRTM::InPortCdr_var> m_sinks;
    OpenRTM::PortStatus m_lastStatus;
  };
RTM_NAMESPACE_END

#endif
