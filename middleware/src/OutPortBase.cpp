// The sending side of a data connection: finds the InPortCdr object each
// connector published and pushes every datum to it.
#include <rtm/config_rtc.h>
#include <rtm/OutPortBase.h>

#include <vector>

#include "NVUtil.h"
#include "PeerCall.h"

RTM_NAMESPACE_BEGIN(RTC)
  namespace
  {
    // The sink an InPort published: the stringified IOR first, the object
    // reference only as a fallback.
    OpenRTM::InPortCdr_ptr findSink(const ConnectorProfile& profile, CORBA::ORB_ptr orb)
    {
      std::string ior;
      if (NVUtil::getString(profile.properties, "dataport.corba_cdr.inport_ior", ior))
        {
          try
            {
              CORBA::Object_var obj = orb->string_to_object(ior.c_str());
              OpenRTM::InPortCdr_var sink = OpenRTM::InPortCdr::_narrow(obj);
              if (!CORBA::is_nil(sink))
                return sink._retn();
            }
          catch (const CORBA::Exception&)
            {
            }
        }
      int at = NVUtil::find(profile.properties, "dataport.corba_cdr.inport_ref");
      if (at < 0)
        return OpenRTM::InPortCdr::_nil();
      CORBA::Object_var obj;
      if (!(profile.properties[static_cast<CORBA::ULong>(at)].value >>= CORBA::Any::to_object(obj.out())))
        return OpenRTM::InPortCdr::_nil();
      try
        {
          return OpenRTM::InPortCdr::_narrow(obj);
        }
      catch (const CORBA::Exception&)
        {
          return OpenRTM::InPortCdr::_nil();
        }
    }
  }

  OutPortBase::OutPortBase(const char* name, const char* data_type)
    : PortBase(name), m_lastStatus(OpenRTM::PORT_OK)
  {
    addProperty("port.port_type", "DataOutPort");
    addProperty("dataport.data_type", data_type);
    addProperty("dataport.dataflow_type", "push");
    addProperty("dataport.interface_type", "corba_cdr");
    addProperty("dataport.subscription_type", "flush,new,periodic");
  }

  OutPortBase::~OutPortBase() {}

  ReturnCode_t OutPortBase::publishInterfaces(ConnectorProfile& profile)
  {
    if (!acceptsTransport(profile) || !acceptsDataType(profile))
      return BAD_PARAMETER;
    return RTC_OK;
  }

  ReturnCode_t OutPortBase::subscribeInterfaces(const ConnectorProfile& profile)
  {
    if (CORBA::is_nil(m_poa))
      return RTC_ERROR;
    CORBA::ORB_var orb = NVUtil::theORB();
    OpenRTM::InPortCdr_var sink = findSink(profile, orb);
    if (CORBA::is_nil(sink))
      return BAD_PARAMETER;
    std::lock_guard<std::mutex> lock(m_sinkMutex);
    m_sinks[profile.connector_id.in()] = sink;
    return RTC_OK;
  }

  void OutPortBase::unsubscribeInterfaces(const std::string& connector_id)
  {
    std::lock_guard<std::mutex> lock(m_sinkMutex);
    m_sinks.erase(connector_id);
  }

  bool OutPortBase::send(cdrMemoryStream& cdr)
  {
    std::vector<std::pair<std::string, OpenRTM::InPortCdr_var> > sinks;
    {
      std::lock_guard<std::mutex> lock(m_sinkMutex);
      for (const auto& kv : m_sinks)
        sinks.emplace_back(kv.first, OpenRTM::InPortCdr::_duplicate(kv.second.in()));
    }
    if (sinks.empty())
      return false;
    // Lend the marshalled bytes to the sequence without copying them.
    OpenRTM::CdrData data(cdr.bufSize(), cdr.bufSize(),
                          static_cast<CORBA::Octet*>(cdr.bufPtr()), false);
    bool all_ok = true;
    std::vector<std::string> lost;
    for (auto& sink : sinks)
      {
        try
          {
            OpenRTM::PortStatus status = callPeer([&] { return sink.second->put(data); });
            m_lastStatus = status;
            if (status != OpenRTM::PORT_OK)
              all_ok = false;
          }
        catch (const CORBA::MARSHAL&)
          {
            // The datum could not travel (larger than a message may be):
            // the peer is still there.
            m_lastStatus = OpenRTM::UNKNOWN_ERROR;
            all_ok = false;
          }
        catch (const CORBA::Exception&)
          {
            m_lastStatus = OpenRTM::UNKNOWN_ERROR;
            all_ok = false;
            lost.push_back(sink.first);
          }
      }
    // A peer that raised is gone: drop its connection, as peers do.
    for (const std::string& id : lost)
      disconnect(id.c_str());
    return all_ok;
  }
RTM_NAMESPACE_END
