// The PortService servant: profiles, and the connect / disconnect chains
// that run across the ports of a connector.
#include <rtm/config_rtc.h>
#include <rtm/PortBase.h>

#include <cstdio>
#include <cstdlib>
#include <random>

#include <rtm/RTObject.h>

#include "ConnectionGuard.h"
#include "NVUtil.h"
#include "PeerCall.h"

RTM_NAMESPACE_BEGIN(RTC)
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

  namespace
  {
    typedef std::chrono::steady_clock Clock;

    // The object reference of another port, its calls bounded in time.
    PortService_ptr peer(PortService_ptr port, unsigned timeout_ms = PortBase::PEER_CALL_TIMEOUT_MS)
    {
      PortService_ptr p = PortService::_duplicate(port);
      omniORB::setClientCallTimeout(p, timeout_ms);
      return p;
    }

    std::size_t marshalledSize(const ConnectorProfile& profile)
    {
      cdrMemoryStream s;
      profile >>= s;
      return s.bufSize();
    }

    // Removes its id from a set of ids in progress when the call ends.
    class InProgress
    {
    public:
      InProgress(std::mutex& m, std::set<std::string>& ids, const std::string& id)
        : m_mutex(m), m_ids(ids), m_id(id) {}
      ~InProgress()
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ids.erase(m_id);
      }

    private:
      std::mutex& m_mutex;
      std::set<std::string>& m_ids;
      std::string m_id;
    };
  }

  PortBase::PortBase(const char* name)
    : m_name(name), m_owner(nullptr), m_limitWarned(false), m_badLimitSaid(false), m_pruneNext(0)
  {
  }

  PortBase::~PortBase() { deactivate(); }

  void PortBase::setOwner(RTObject_impl* owner)
  {
    m_owner = owner;
    m_fullName = owner != nullptr ? owner->getInstanceName() + "." + m_name : m_name;
  }

  std::string PortBase::getFullName() const
  {
    return m_owner == nullptr ? m_name : m_fullName;
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

  namespace
  {
    // "timedfloatseq" of "IDL:RTC/TimedFloatSeq:1.0", "RTC/TimedFloatSeq",
    // "RTC::TimedFloatSeq" or "TimedFloatSeq".
    std::string bareTypeName(std::string type)
    {
      type = toLower(coil::trim(type));
      if (type.compare(0, 4, "idl:") == 0)
        {
          type = type.substr(4);
          type = type.substr(0, type.rfind(':'));
        }
      type = type.substr(type.rfind('/') + 1);
      const std::string::size_type scope = type.rfind("::");
      return scope == std::string::npos ? type : type.substr(scope + 2);
    }
  }

  bool PortBase::acceptsDataType(const ConnectorProfile& profile) const
  {
    std::string asked;
    if (!NVUtil::getString(profile.properties, "dataport.data_type", asked))
      return true;
    for (const auto& kv : m_properties)
      if (kv.first == "dataport.data_type")
        return bareTypeName(asked) == bareTypeName(kv.second) || bareTypeName(asked) == "any";
    return true;
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

  ReturnCode_t PortBase::checkPorts(const ConnectorProfile& profile, int& self) const
  {
    self = -1;
    if (CORBA::is_nil(m_objref))
      return RTC_ERROR;
    int listed = 0;
    for (CORBA::ULong i = 0; i < profile.ports.length(); ++i)
      {
        if (CORBA::is_nil(profile.ports[i]))
          return BAD_PARAMETER;
        if (profile.ports[i]->_is_equivalent(m_objref))
          {
            if (self < 0)
              self = static_cast<int>(i);
            ++listed;
          }
      }
    // Listed twice, the chain would come back to us; alone, nothing would
    // ever take the connector away again.
    if (listed > 1 || (listed == 1 && profile.ports.length() == 1))
      return BAD_PARAMETER;
    return RTC_OK;
  }

  int PortBase::connectionLimit() const
  {
    if (m_owner == nullptr)
      return DEFAULT_CONNECTION_LIMIT;
    const coil::Properties& config = m_owner->getProperties();
    const std::string base = std::string("port.") + portKind() + ".";
    std::string text = config.getProperty(base + m_configName + ".connection_limit");
    if (text.empty())
      text = config.getProperty(base + "dataport.connection_limit");
    text = coil::trim(text);
    if (text.empty())
      return DEFAULT_CONNECTION_LIMIT;
    char* end = nullptr;
    long limit = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || limit < -1 || limit > 1000000)
      {
        if (!m_badLimitSaid.exchange(true))
          {
            std::fprintf(stderr, "rtc: %s: connection_limit \"%s\" is not a number from -1 (no limit) to 1000000; "
                         "using %d\n", getFullName().c_str(), text.c_str(), static_cast<int>(DEFAULT_CONNECTION_LIMIT));
            std::fflush(stderr);
          }
        return DEFAULT_CONNECTION_LIMIT;
      }
    return static_cast<int>(limit);
  }

  void PortBase::warnLimit(int limit)
  {
    // Once a minute at most: a flood must not flood the log as well.
    const Clock::time_point now = Clock::now();
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_limitWarned && now - m_lastLimitWarning < std::chrono::minutes(1))
        return;
      m_limitWarned = true;
      m_lastLimitWarning = now;
    }
    std::fprintf(stderr,
                 "rtc: %s: connector refused: connection_limit %d reached; "
                 "further refusals are reported once a minute\n",
                 getFullName().c_str(), limit);
    std::fflush(stderr);
  }

  ReturnCode_t PortBase::reserve(const std::string& id)
  {
    const int limit = connectionLimit();
    for (int attempt = 0;; ++attempt)
      {
        {
          std::lock_guard<std::mutex> lock(m_mutex);
          if (m_connecting.count(id) != 0)
            return BAD_PARAMETER;
          bool known = false;
          for (const ConnectorProfile& c : m_connectors)
            known = known || id == c.connector_id.in();
          // Connectors on their way count too, so that a peer cannot pile
          // up calls that are still waiting on the rest of their chain.
          if (known || limit < 0 || m_connectors.size() + m_connecting.size() < static_cast<std::size_t>(limit))
            {
              m_connecting.insert(id);
              return RTC_OK;
            }
        }
        if (attempt == 1)
          break;
        // Only live connectors count: senders that died (nobody may have
        // read the profile since) must not lock the port for good.
        pruneDeadConnectors();
      }
    warnLimit(limit);
    return RTC_ERROR;
  }

  void PortBase::pruneDeadConnectors()
  {
    std::unique_lock<std::mutex> busy(m_pruneMutex, std::try_to_lock);
    if (!busy.owns_lock())
      return;  // another reader is pinging them right now
    std::vector<ConnectorProfile> connectors;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      connectors = m_connectors;
    }
    // Peers that do not answer cost a time-out each: stop after about a
    // second, and start the next round where this one stopped.
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(1);
    const std::size_t n = connectors.size();
    for (std::size_t k = 0; k < n; ++k)
      {
        const std::size_t at = (m_pruneNext + k) % n;
        if (Clock::now() > deadline)
          {
            m_pruneNext = at;
            return;
          }
        const ConnectorProfile& c = connectors[at];
        bool dead = false;
        for (CORBA::ULong i = 0; i < c.ports.length() && !dead; ++i)
          {
            if (CORBA::is_nil(c.ports[i]) || c.ports[i]->_is_equivalent(m_objref))
              continue;
            try
              {
                PortService_var other = peer(c.ports[i], 1000);
                dead = callPeer([&] { return other->_non_existent(); });
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
    m_pruneNext = 0;
  }

  CORBA::Boolean PortBase::_dispatch(omniCallHandle& handle)
  {
    ConnectionGuard::admitRequest(handle, ConnectionGuard::messageLimit());
    return POA_RTC::PortService::_dispatch(handle);
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
    int self;
    if (profile.ports.length() == 0)
      return BAD_PARAMETER;
    ReturnCode_t checked = checkPorts(profile, self);
    if (checked != RTC_OK)
      return checked;
    if (marshalledSize(profile) > MAX_CONNECTOR_BYTES)
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
        PortService_var first = peer(profile.ports[0]);
        rc = callPeer([&] { return first->notify_connect(profile); });
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
                PortService_var other = peer(profile.ports[i]);
                callPeer([&] { return other->notify_disconnect(id.c_str()); });
              }
            catch (...)
              {
              }
      }
    return rc;
  }

  ReturnCode_t PortBase::notify_connect(ConnectorProfile& profile)
  {
    // 0. Nothing that a peer sends is stored or forwarded unchecked.
    int self;
    ReturnCode_t rc = checkPorts(profile, self);
    if (rc != RTC_OK)
      return rc;
    if (self < 0 || marshalledSize(profile) > MAX_CONNECTOR_BYTES)
      return BAD_PARAMETER;
    if (std::string(profile.connector_id.in()).empty())
      profile.connector_id = CORBA::string_dup(newConnectorId().c_str());
    const std::string id = profile.connector_id.in();
    rc = reserve(id);
    if (rc != RTC_OK)
      return rc;
    InProgress connecting(m_mutex, m_connecting, id);

    // 1. Publish our own interface keys, so that later ports can use them.
    rc = publishInterfaces(profile);
    if (rc != RTC_OK)
      return rc;
    // 2. Forward to the next port of the chain (no lock held: it calls
    //    back into get_connector_profiles while we wait).
    CORBA::ULong next = static_cast<CORBA::ULong>(self) + 1;
    if (next < profile.ports.length())
      {
        try
          {
            PortService_var following = peer(profile.ports[next]);
            rc = callPeer([&] { return following->notify_connect(profile); });
          }
        catch (...)
          {
            rc = RTC_ERROR;
          }
      }
    // 3. Subscribe to what the later ports published (and refuse what
    //    they made of the connector if it grew too large to keep).
    if (rc == RTC_OK)
      rc = marshalledSize(profile) > MAX_CONNECTOR_BYTES ? BAD_PARAMETER : subscribeInterfaces(profile);
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
            PortService_var other = peer(profile.ports[i]);
            return callPeer([&] { return other->notify_disconnect(connector_id); });
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
    {
      // A chain that comes back here for the same connector ends here.
      std::lock_guard<std::mutex> lock(m_mutex);
      if (!m_disconnecting.insert(connector_id).second)
        return BAD_PARAMETER;
    }
    InProgress disconnecting(m_mutex, m_disconnecting, connector_id);
    int self;
    checkPorts(profile, self);
    ReturnCode_t rc = RTC_OK;
    for (CORBA::ULong i = static_cast<CORBA::ULong>(self + 1); i < profile.ports.length(); ++i)
      {
        try
          {
            PortService_var other = peer(profile.ports[i]);
            rc = callPeer([&] { return other->notify_disconnect(connector_id); });
            break;
          }
        catch (...)
          {
          }
      }
    forgetConnector(connector_id);
    return rc;
  }
RTM_NAMESPACE_END
