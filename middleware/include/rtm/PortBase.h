// RTC::PortBase: the PortService servant shared by data ports.
//
// Connecting follows the middleware's notify_connect chain: the port that a
// tool calls connect() on hands the profile to ports[0].notify_connect();
// each port publishes its own interface keys, forwards to the port after
// it, subscribes to what the later ports published, and stores the
// connector only after the rest of the chain has answered (a peer asks for
// our connector list while we wait on it). No lock is held across a call
// to another port.
//
// What a peer sends is checked before anything is stored or forwarded: a
// connector must list this port exactly once and at least one other port,
// no nil port, and stay under MAX_CONNECTOR_BYTES; a port holds at most
// connection_limit connectors (DEFAULT_CONNECTION_LIMIT unless configured),
// so that no peer can make the profile too large to answer.
#ifndef RTM_PORTBASE_H
#define RTM_PORTBASE_H

#include <rtm/config_rtc.h>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <rtm/RTC.h>

RTM_NAMESPACE_BEGIN(RTC)
  class RTObject_impl;

  class PortBase
    : public virtual POA_RTC::PortService,
      public virtual PortableServer::RefCountServantBase
  {
  public:
    explicit PortBase(const char* name);
    virtual ~PortBase();

    // Every request is looked at before its arguments are read.
    virtual CORBA::Boolean _dispatch(omniCallHandle& handle);

    // --- RTC::PortService ---
    virtual PortProfile* get_port_profile();
    virtual ConnectorProfileList* get_connector_profiles();
    virtual ConnectorProfile* get_connector_profile(const char* connector_id);
    virtual ReturnCode_t connect(ConnectorProfile& connector_profile);
    virtual ReturnCode_t disconnect(const char* connector_id);
    virtual ReturnCode_t disconnect_all();
    virtual ReturnCode_t notify_connect(ConnectorProfile& connector_profile);
    virtual ReturnCode_t notify_disconnect(const char* connector_id);

    // The name given to the constructor ("Angle").
    const std::string& getName() const { return m_name; }
    // "<owner instance>.<name>", as fixed when the port was registered.
    std::string getFullName() const;
    // The owner, and the port's name as peers see it, fixed now from the
    // owner's instance name, as managers do: a port registered before the
    // manager has named its component (in the constructor) is ".name".
    void setOwner(RTObject_impl* owner);
    // The name the owner registered the port under: it selects the keys
    // port.<inport|outport>.<name>.* of the owner's configuration, with
    // port.<inport|outport>.dataport.* as their defaults.
    void setConfigName(const std::string& name) { m_configName = name; }
    // connection_limit from that configuration; -1 means no limit.
    int connectionLimit() const;
    PortService_ptr getPortRef() const;
    void activate(PortableServer::POA_ptr poa);
    // Takes the port (and what its connectors serve) out of service.
    virtual void deactivate();
    bool isConnected() const;
    std::vector<std::string> connectorIds() const;

    enum
    {
      DEFAULT_CONNECTION_LIMIT = 64,  // far above what real systems connect
      MAX_CONNECTOR_BYTES = 16384,    // one marshalled connector profile
      PEER_CALL_TIMEOUT_MS = 10000    // a call to another port of a connector
    };

  protected:
    // "inport" or "outport": the kind in configuration keys.
    virtual const char* portKind() const = 0;
    // Adds this port's keys to a connector being made, or refuses it.
    virtual ReturnCode_t publishInterfaces(ConnectorProfile& profile) = 0;
    // Reads the keys later ports published.
    virtual ReturnCode_t subscribeInterfaces(const ConnectorProfile& profile) = 0;
    // Forgets what publish/subscribe set up for a connector.
    virtual void unsubscribeInterfaces(const std::string& connector_id) = 0;

    void addProperty(const char* key, const std::string& value);
    // Push over corba_cdr is all data ports serve: a connector that names
    // another data flow or interface type is refused.
    static bool acceptsTransport(const ConnectorProfile& profile);
    // False when the connector's dataport.data_type names another type
    // than the port's, in either spelling ("TimedLong" or
    // "IDL:RTC/TimedLong:1.0"); an absent key is fine.
    bool acceptsDataType(const ConnectorProfile& profile) const;

    PortableServer::POA_var m_poa;

  private:
    PortBase(const PortBase&);
    PortBase& operator=(const PortBase&);
    // BAD_PARAMETER for a connector listing this port twice, only this
    // port, or a nil port; self is this port's index (-1 if not listed).
    ReturnCode_t checkPorts(const ConnectorProfile& profile, int& self) const;
    bool findConnector(const std::string& id, ConnectorProfile& out) const;
    void forgetConnector(const std::string& id);
    // Marks id as being connected; RTC_ERROR beyond the connection limit,
    // BAD_PARAMETER when id is already on its way through this port (a
    // chain that loops back).
    ReturnCode_t reserve(const std::string& id);
    void warnLimit(int limit);
    // A peer that is gone leaves no word; as peers do, the connectors whose
    // other ports no longer exist are dropped whenever our profile is read.
    // One reader pings at a time, for about a second at most.
    void pruneDeadConnectors();

    std::string m_name;
    std::string m_configName;
    std::string m_fullName;  // fixed at registration
    RTObject_impl* m_owner;
    PortService_var m_objref;
    std::vector<std::pair<std::string, std::string> > m_properties;
    mutable std::mutex m_mutex;
    std::vector<ConnectorProfile> m_connectors;
    std::set<std::string> m_connecting;     // ids inside notify_connect
    std::set<std::string> m_disconnecting;  // ids inside notify_disconnect
    bool m_limitWarned;
    std::chrono::steady_clock::time_point m_lastLimitWarning;
    mutable std::atomic<bool> m_badLimitSaid;  // a bad connection_limit, said once
    std::mutex m_pruneMutex;
    std::size_t m_pruneNext;
  };

  // A fresh connector id: lowercase UUID text 8-4-4-4-12.
  std::string newConnectorId();

  // The repository id the data type carries ("IDL:RTC/TimedFloatSeq:1.0").
  template <class DataType>
  std::string dataTypeName()
  {
    CORBA::Any any;
    DataType value = DataType();
    any <<= value;
    CORBA::TypeCode_var tc = any.type();
    return tc->id();
  }
RTM_NAMESPACE_END

#endif
