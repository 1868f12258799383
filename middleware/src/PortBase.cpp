// The PortService servant: profiles, and the connect / disconnect chains
// that run across the ports of a connector.
#include <rtm/PortBase.h>

#include <cstdio>
#include <random>

#include <rtm/RTObject.h>

#include "NVUtil.h"

namespace RTC
{
  std::string newConnectorId()
  {
    static std::mutex mutex;
    static std::mt19937_64 engine{std::random_device{}()};
    std::uint64_t hi, lo;
    {
      std::lock_guard<std::mutex> lock(mutex);
      hi = engine();
      lo = engine();
    }
    // Version 4, variant 1.
    hi = (hi & 0xffffffffffff0fffULL) | 0x0000000000004000ULL;
    lo = (lo & 0x3fffffffffffffffULL) | 0x8000000000000000ULL;
    char text[37];
    std::snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%012llx",
                  static_cast<unsigned>(hi >> 32), static_cast<unsigned>((hi >> 16) & 0xffff),
                  static_cast<unsigned>(hi & 0xffff), static_cast<unsigned>(lo >> 48),
                  static_cast<unsigned long long>(lo & 0xffffffffffffULL));
    return text;
  }

  PortBase::PortBase(const char* name) : m_name(name), m_owner(nullptr) {}

  PortBase::~PortBase() { deactivate(); }

  std::string PortBase::getFullName() const
  {
    if (m_owner == nullptr)
      return m_name;
    return m_owner->getInstanceName() + "." + m_name;
  }

  PortService_ptr PortBase::getPortRef() const
  {
    return ::RTC::PortService::_duplicate(m_objref.in());
  }

  void PortBase::activate(PortableServer::POA_ptr poa)
  {
    if (!CORBA::is_nil(m_objref))
      return;
    m_poa = PortableServer::POA::_duplicate(poa);
    PortableServer::ObjectId_var oid = m_poa->activate_object(this);
    CORBA::Object_var obj = m_poa->id_to_reference(oid);
    m_objref = ::RTC::PortService::_narrow(obj);
  }

  void PortBase::deactivate()
  {
    if (CORBA::is_nil(m_objref) || CORBA::is_nil(m_poa))
      return;
    try
      {
        PortableServer::ObjectId_var oid = m_poa->servant_to_id(this);
        m_poa->deactivate_object(oid);
      }
    catch (const CORBA::Exception&)
      {
      }
    m_objref = ::RTC::PortService::_nil();
  }

  void PortBase::addProperty(const char* key, const std::string& value)
  {
    m_properties.emplace_back(key, value);
  }

  bool PortBase::acceptsTransport(const ConnectorProfile& profile)
  {
    // A key that is present must hold the one value served.
    auto accepts = [&](const char* key, const char* served) {
      std::string value;
      return !NVUtil::getString(profile.properties, key, value) || toLower(coil::trim(value)) == served;
    };
    return accepts("dataport.dataflow_type", "push") && accepts("dataport.interface_type", "corba_cdr");
  }

  bool PortBase::isConnected() const
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_connectors.empty();
  }

  std::vector<std::string> PortBase::connectorIds() const
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> ids;
    for (const ConnectorProfile& c : m_connectors)
      ids.push_back(c.connector_id.in());
    return ids;
  }

  bool PortBase::findConnector(const std::string& id, ConnectorProfile& out) const
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const ConnectorProfile& c : m_connectors)
      if (id == c.connector_id.in())
        {
          out = c;
          return true;
        }
    return false;
  }

  int PortBase::indexInPorts(const ConnectorProfile& profile) const
  {
    if (CORBA::is_nil(m_objref))
      return -1;
    for (CORBA::ULong i = 0; i < profile.ports.length(); ++i)
      {
        if (CORBA::is_nil(profile.ports[i]))
          continue;
        if (profile.ports[i]->_is_equivalent(m_objref))
          return static_cast<int>(i);
      }
    return -1;
  }

  void PortBase::pruneDeadConnectors()
  {
    std::vector<ConnectorProfile> connectors;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      connectors = m_connectors;
    }
    for (const ConnectorProfile& c : connectors)
      {
        bool dead = false;
        for (CORBA::ULong i = 0; i < c.ports.length() && !dead; ++i)
          {
            if (CORBA::is_nil(c.ports[i]) || c.ports[i]->_is_equivalent(m_objref))
              continue;
            try
              {
                omniORB::setClientCallTimeout(c.ports[i], 1000);
                dead = c.ports[i]->_non_existent();
              }
            catch (const CORBA::TRANSIENT&)
              {
                dead = true;
              }
            catch (const CORBA::OBJECT_NOT_EXIST&)
              {
                dead = true;
              }
            catch (const CORBA::COMM_FAILURE&)
              {
                dead = true;
              }
            catch (const CORBA::Exception&)
              {
              }
          }
        if (dead)
          forgetConnector(c.connector_id.in());
      }
  }

  PortProfile* PortBase::get_port_profile()
  {
    pruneDeadConnectors();
    PortProfile_var profile = new PortProfile;
    profile->name = CORBA::string_dup(getFullName().c_str());
    profile->interfaces.length(0);
    profile->port_ref = ::RTC::PortService::_duplicate(m_objref.in());
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      profile->connector_profiles.length(static_cast<CORBA::ULong>(m_connectors.size()));
      for (CORBA::ULong i = 0; i < m_connectors.size(); ++i)
        profile->connector_profiles[i] = m_connectors[i];
    }
    profile->owner = m_owner != nullptr ? m_owner->getObjRef() : RTObject::_nil();
    for (const auto& kv : m_properties)
      NVUtil::appendString(profile->properties, kv.first.c_str(), kv.second);
    return profile._retn();
  }

  ConnectorProfileList* PortBase::get_connector_profiles()
  {
    pruneDeadConnectors();
    ConnectorProfileList_var list = new ConnectorProfileList;
    std::lock_guard<std::mutex> lock(m_mutex);
    list->length(static_cast<CORBA::ULong>(m_connectors.size()));
    for (CORBA::ULong i = 0; i < m_connectors.size(); ++i)
      list[i] = m_connectors[i];
    return list._retn();
  }

  ConnectorProfile* PortBase::get_connector_profile(const char* connector_id)
  {
    pruneDeadConnectors();
    ConnectorProfile_var profile = new ConnectorProfile;
    if (connector_id == nullptr || !findConnector(connector_id, profile.inout()))
      {
        // An unknown id gives an empty profile, not an exception.
        profile->name = CORBA::string_dup("");
        profile->connector_id = CORBA::string_dup("");
      }
    return profile._retn();
  }

  ReturnCode_t PortBase::connect(ConnectorProfile& profile)
  {
    if (profile.ports.length() == 0)
      return BAD_PARAMETER;
    std::string id = profile.connector_id.in();
    ConnectorProfile existing;
    if (id.empty())
      {
        id = newConnectorId();
        profile.connector_id = CORBA::string_dup(id.c_str());
      }
    else if (findConnector(id, existing))
      return PRECONDITION_NOT_MET;
    if (NVUtil::find(profile.properties, "dataport.serializer.cdr.endian") < 0)
      NVUtil::appendString(profile.properties, "dataport.serializer.cdr.endian", "little,big");

    ReturnCode_t rc;
    try
      {
        ::RTC::PortService_var first = ::RTC::PortService::_duplicate(profile.ports[0]);
        rc = first->notify_connect(profile);
      }
    catch (...)
      {
        return BAD_PARAMETER;
      }
    if (rc != RTC_OK)
      {
        // Undo whatever the ports that accepted have stored.
        if (findConnector(id, existing))
          disconnect(id.c_str());
        else
          for (CORBA::ULong i = 0; i < profile.ports.length(); ++i)
            try
              {
                profile.ports[i]->notify_disconnect(id.c_str());
              }
            catch (...)
              {
              }
      }
    return rc;
  }

  ReturnCode_t PortBase::notify_connect(ConnectorProfile& profile)
  {
    int self = indexInPorts(profile);
    if (self < 0)
      return BAD_PARAMETER;
    if (std::string(profile.connector_id.in()).empty())
      profile.connector_id = CORBA::string_dup(newConnectorId().c_str());
    const std::string id = profile.connector_id.in();

    // 1. Publish our own interface keys, so that later ports can use them.
    ReturnCode_t rc = publishInterfaces(profile);
    if (rc != RTC_OK)
      return rc;
    // 2. Forward to the next port of the chain (no lock held: it calls
    //    back into get_connector_profiles while we wait).
    CORBA::ULong next = static_cast<CORBA::ULong>(self) + 1;
    if (next < profile.ports.length())
      {
        try
          {
            rc = profile.ports[next]->notify_connect(profile);
          }
        catch (...)
          {
            rc = RTC_ERROR;
          }
      }
    // 3. Subscribe to what the later ports published.
    if (rc == RTC_OK)
      rc = subscribeInterfaces(profile);
    if (rc != RTC_OK)
      {
        unsubscribeInterfaces(id);
        return rc;
      }
    // 4. Only now list the connector.
    std::lock_guard<std::mutex> lock(m_mutex);
    for (ConnectorProfile& c : m_connectors)
      if (id == c.connector_id.in())
        {
          c = profile;
          return RTC_OK;
        }
    m_connectors.push_back(profile);
    return RTC_OK;
  }

  void PortBase::forgetConnector(const std::string& id)
  {
    unsubscribeInterfaces(id);
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_connectors.begin(); it != m_connectors.end(); ++it)
      if (id == it->connector_id.in())
        {
          m_connectors.erase(it);
          return;
        }
  }

  ReturnCode_t PortBase::disconnect(const char* connector_id)
  {
    ConnectorProfile profile;
    if (connector_id == nullptr || !findConnector(connector_id, profile))
      return BAD_PARAMETER;
    for (CORBA::ULong i = 0; i < profile.ports.length(); ++i)
      {
        try
          {
            return profile.ports[i]->notify_disconnect(connector_id);
          }
        catch (...)
          {
          }
      }
    // Nobody answered, not even we ourselves: forget the connector here.
    forgetConnector(connector_id);
    return RTC_ERROR;
  }

  ReturnCode_t PortBase::disconnect_all()
  {
    ReturnCode_t result = RTC_OK;
    for (const std::string& id : connectorIds())
      {
        ReturnCode_t rc = disconnect(id.c_str());
        if (rc != RTC_OK && result == RTC_OK)
          result = rc;
      }
    return result;
  }

  ReturnCode_t PortBase::notify_disconnect(const char* connector_id)
  {
    ConnectorProfile profile;
    if (connector_id == nullptr || !findConnector(connector_id, profile))
      return BAD_PARAMETER;
    int self = indexInPorts(profile);
    ReturnCode_t rc = RTC_OK;
    for (CORBA::ULong i = static_cast<CORBA::ULong>(self + 1); i < profile.ports.length(); ++i)
      {
        try
          {
            rc = profile.ports[i]->notify_disconnect(connector_id);
            break;
          }
        catch (...)
          {
          }
      }
    forgetConnector(connector_id);
    return rc;
  }
}
