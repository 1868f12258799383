// The receiving side of a data connection: one InPortCdr object per
// connector, decoding with the byte order the connector agreed on.
#include <rtm/config_rtc.h>
#include <rtm/InPortBase.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ConnectionGuard.h"
#include "NVUtil.h"

RTM_NAMESPACE_BEGIN(RTC)
  // put() target of one connection. The POA owns it once activated.
  class InPortCdr_impl
    : public virtual POA_OpenRTM::InPortCdr,
      public virtual PortableServer::RefCountServantBase
  {
  public:
    InPortCdr_impl(InPortBase& port, bool little_endian)
      : m_port(port), m_little(little_endian)
    {
    }

    // A datum is a few numbers: a peer may not make us set aside more.
    virtual CORBA::Boolean _dispatch(omniCallHandle& handle)
    {
      ConnectionGuard::admitRequest(handle, ConnectionGuard::DATUM_LIMIT);
      return POA_OpenRTM::InPortCdr::_dispatch(handle);
    }

    virtual OpenRTM::PortStatus put(const OpenRTM::CdrData& data)
    {
      return m_port.receive(data, m_little);
    }

  private:
    InPortBase& m_port;
    bool m_little;
  };

  namespace
  {
    // A read-only CDR stream whose length check cannot wrap: omniORB's own
    // multiplies item size by count in 32 bits, so a sequence length such
    // as 0x40000001 floats passes it and the decoder allocates gigabytes.
    class BoundedCdrStream : public cdrMemoryStream
    {
    public:
      BoundedCdrStream(void* buffer, size_t length) : cdrMemoryStream(buffer, length) {}

      _CORBA_Boolean checkInputOverrun(_CORBA_ULong itemSize, _CORBA_ULong nItems,
                                       omni::alignment_t align) override
      {
        omni::ptr_arith_t at = omni::align_to(reinterpret_cast<omni::ptr_arith_t>(pd_inb_mkr), align);
        omni::ptr_arith_t end = reinterpret_cast<omni::ptr_arith_t>(pd_inb_end);
        if (at > end)
          return 0;
        unsigned long long need = static_cast<unsigned long long>(itemSize) * nItems;
        return need <= static_cast<unsigned long long>(end - at);
      }
    };

    // The agreed byte order: the first token of
    // dataport.serializer.cdr.endian; little unless it says "big".
    // Returns false when the key is present but empty.
    bool agreedLittleEndian(const ConnectorProfile& profile, bool& little)
    {
      std::string value;
      little = true;
      if (!NVUtil::getString(profile.properties, "dataport.serializer.cdr.endian", value))
        return true;
      std::string first = coil::trim(value.substr(0, value.find(',')));
      if (first.empty())
        return false;
      little = toLower(first) != "big";
      return true;
    }
  }

  InPortBase::InPortBase(const char* name, const char* data_type)
    : PortBase(name), m_received(0), m_refused(0)
  {
    addProperty("port.port_type", "DataInPort");
    addProperty("dataport.data_type", data_type);
    addProperty("dataport.dataflow_type", "push");
    addProperty("dataport.interface_type", "corba_cdr");
    addProperty("dataport.subscription_type", "Any");
  }

  InPortBase::~InPortBase() { deactivateSinks(); }

  void InPortBase::deactivate()
  {
    deactivateSinks();
    PortBase::deactivate();
  }

  void InPortBase::deactivateSinks()
  {
    std::map<std::string, InPortCdr_impl*> sinks;
    {
      std::lock_guard<std::mutex> lock(m_sinkMutex);
      sinks.swap(m_sinks);
    }
    for (auto& kv : sinks)
      {
        try
          {
            PortableServer::ObjectId_var oid = m_poa->servant_to_id(kv.second);
            m_poa->deactivate_object(oid);
          }
        catch (...)
          {
          }
      }
  }

  bool InPortBase::hasTrailingBytes(cdrStream& s)
  {
    return s.checkInputOverrun(1, 1);
  }

  OpenRTM::PortStatus InPortBase::receive(const OpenRTM::CdrData& data, bool little_endian)
  {
    bool ok = false;
    // The octets are a bare CDR stream, aligned from their first byte; the
    // stream counts alignment from addresses, so octets that do not start
    // on an 8-byte boundary (a caller in this process may hand over any
    // buffer) are decoded from an aligned copy.
    const CORBA::Octet* bytes = data.get_buffer();
    std::vector<double> aligned;
    if (data.length() > 0 && reinterpret_cast<std::uintptr_t>(bytes) % 8 != 0)
      {
        aligned.resize((data.length() + 7) / 8);
        std::memcpy(aligned.data(), bytes, data.length());
        bytes = reinterpret_cast<const CORBA::Octet*>(aligned.data());
      }
    if (data.length() > 0)
    try
      {
        BoundedCdrStream cdr(const_cast<CORBA::Octet*>(bytes), data.length());
        cdr.setByteSwapFlag(little_endian);
        ok = decode(cdr);
      }
    catch (const CORBA::SystemException&)
      {
        ok = false;
      }
    if (!ok)
      {
        ++m_refused;
        return OpenRTM::PORT_ERROR;
      }
    ++m_received;
    return OpenRTM::PORT_OK;
  }

  ReturnCode_t InPortBase::publishInterfaces(ConnectorProfile& profile)
  {
    if (!acceptsTransport(profile) || !acceptsDataType(profile))
      return BAD_PARAMETER;
    bool little = true;
    if (!agreedLittleEndian(profile, little))
      return UNSUPPORTED;
    if (CORBA::is_nil(m_poa))
      return RTC_ERROR;

    const std::string id = profile.connector_id.in();
    unsubscribeInterfaces(id);
    InPortCdr_impl* sink = new InPortCdr_impl(*this, little);
    PortableServer::ObjectId_var oid = m_poa->activate_object(sink);
    sink->_remove_ref();  // the POA keeps it alive until deactivation
    CORBA::Object_var ref = m_poa->id_to_reference(oid);
    CORBA::ORB_var orb = NVUtil::theORB();
    CORBA::String_var ior = orb->object_to_string(ref);
    NVUtil::setString(profile.properties, "dataport.corba_cdr.inport_ior", ior.in());
    int at = NVUtil::find(profile.properties, "dataport.corba_cdr.inport_ref");
    if (at < 0)
      NVUtil::appendObject(profile.properties, "dataport.corba_cdr.inport_ref", ref);
    else
      profile.properties[static_cast<CORBA::ULong>(at)].value <<= ref.in();
    std::lock_guard<std::mutex> lock(m_sinkMutex);
    m_sinks[id] = sink;
    return RTC_OK;
  }

  ReturnCode_t InPortBase::subscribeInterfaces(const ConnectorProfile&)
  {
    return RTC_OK;  // push: the sender calls us
  }

  void InPortBase::unsubscribeInterfaces(const std::string& connector_id)
  {
    InPortCdr_impl* sink = nullptr;
    {
      std::lock_guard<std::mutex> lock(m_sinkMutex);
      auto it = m_sinks.find(connector_id);
      if (it == m_sinks.end())
        return;
      sink = it->second;
      m_sinks.erase(it);
    }
    try
      {
        PortableServer::ObjectId_var oid = m_poa->servant_to_id(sink);
        m_poa->deactivate_object(oid);
      }
    catch (const CORBA::Exception&)
      {
      }
  }
RTM_NAMESPACE_END
