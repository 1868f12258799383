// RTC::InPortBase: the type-independent half of an input data port.
//
// Each connection gets an OpenRTM::InPortCdr object whose put() decodes the
// CDR octets into the typed ring buffer of InPort<T>. A datum that does not
// decode to exactly its length answers PORT_ERROR and changes nothing.
#ifndef RTM_INPORTBASE_H
#define RTM_INPORTBASE_H

#include <rtm/config_rtc.h>
#include <atomic>
#include <map>
#include <string>

#include <omniORB4/CORBA.h>
#include <rtm/PortBase.h>

RTM_NAMESPACE_BEGIN(RTC)
  class InPortCdr_impl;

  class InPortBase : public PortBase
  {
  public:
    InPortBase(const char* name, const char* data_type);
    virtual ~InPortBase();

    virtual bool isNew() = 0;
    // Also the objects that take the data: a sender learns at its next
    // datum that the component is gone.
    virtual void deactivate();

    // Called by the connection objects for each datum received.
    OpenRTM::PortStatus receive(const OpenRTM::CdrData& data, bool little_endian);
    // Data accepted by the port since it was made (for monitoring).
    unsigned long receivedCount() const { return m_received.load(); }
    unsigned long refusedCount() const { return m_refused.load(); }

    // Ring length shared by all connections of one port.
    enum { RING_LENGTH = 8 };

  protected:
    // Decodes one datum from s into the ring; throws CORBA::MARSHAL when the
    // bytes do not form a datum. Returns false when bytes are left over.
    virtual bool decode(cdrStream& s) = 0;
    static bool hasTrailingBytes(cdrStream& s);

    virtual const char* portKind() const { return "inport"; }
    virtual ReturnCode_t publishInterfaces(ConnectorProfile& profile);
    virtual ReturnCode_t subscribeInterfaces(const ConnectorProfile& profile);
    virtual void unsubscribeInterfaces(const std::string& connector_id);

  private:
    void deactivateSinks();
    std::mutex m_sinkMutex;
    std::map<std::string, InPortCdr_impl*> m_sinks;
    std::atomic<unsigned long> m_received;
    std::atomic<unsigned long> m_refused;
  };
RTM_NAMESPACE_END

#endif
