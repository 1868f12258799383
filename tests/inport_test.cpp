// Data ports in one process, through real CORBA references: decoding and
// the ring buffer of the InPort, and the connect / disconnect chains in
// both port orders, against a peer that refuses a connector it already
// finds listed (as 1.2 OutPorts do).
#include <gtest/gtest.h>

#include <cstring>

#include <rtm/idl/BasicDataTypeSkel.h>
#include <rtm/Manager.h>
#include <rtm/DataFlowComponentBase.h>
#include <rtm/InPort.h>
#include <rtm/OutPort.h>

#include "NVUtil.h"
#include "sender.h"

using namespace RTC;

namespace
{
  class Sink : public DataFlowComponentBase
  {
  public:
    explicit Sink(Manager* m) : DataFlowComponentBase(m), data(), port("Angle", data) {}
    ReturnCode_t onInitialize() override
    {
      registerInPort("Angle", port);
      return RTC_OK;
    }
    TimedFloatSeq data;
    InPort<TimedFloatSeq> port;
  };

  // An OutPort that checks for duplicates the way a 1.2 peer does: it asks
  // every other port of the connector for its list first.
  class StrictOutPort : public OutPort<TimedFloatSeq>
  {
  public:
    StrictOutPort(const char* name, TimedFloatSeq& v) : OutPort<TimedFloatSeq>(name, v) {}
    int refusals = 0;
    ReturnCode_t notify_connect(ConnectorProfile& profile) override
    {
      PortService_var self = getPortRef();
      for (CORBA::ULong i = 0; i < profile.ports.length(); ++i)
        {
          if (profile.ports[i]->_is_equivalent(self))
            continue;
          ConnectorProfileList_var theirs = profile.ports[i]->get_connector_profiles();
          for (CORBA::ULong c = 0; c < theirs->length(); ++c)
            for (CORBA::ULong p = 0; p < theirs[c].ports.length(); ++p)
              if (theirs[c].ports[p]->_is_equivalent(self))
                {
                  ++refusals;
                  return PRECONDITION_NOT_MET;
                }
        }
      return OutPort<TimedFloatSeq>::notify_connect(profile);
    }
  };

  class Source : public DataFlowComponentBase
  {
  public:
    explicit Source(Manager* m) : DataFlowComponentBase(m), data(), port("Out", data) {}
    ReturnCode_t onInitialize() override
    {
      registerOutPort("Out", port);
      return RTC_OK;
    }
    TimedFloatSeq data;
    StrictOutPort port;
  };

  // A source without the duplicate check: one source, many connectors.
  class Plain : public DataFlowComponentBase
  {
  public:
    explicit Plain(Manager* m) : DataFlowComponentBase(m), data(), port("Out", data) {}
    ReturnCode_t onInitialize() override
    {
      registerOutPort("Out", port);
      return RTC_OK;
    }
    TimedFloatSeq data;
    OutPort<TimedFloatSeq> port;
  };

  template <class T>
  RTObject_impl* make(Manager* m) { return new T(m); }
  void destroy(RTObject_impl* r) { delete r; }

  Manager& manager()
  {
    static Manager* m = [] {
      const char* args[] = {"inport_test", "-o", "naming.enable:NO", nullptr};
      Manager* mgr = Manager::init(3, const_cast<char**>(args));
      mgr->activateManager();
      static const char* sink[] = {"implementation_id", "Sink", "type_name", "Sink", ""};
      static const char* source[] = {"implementation_id", "Source", "type_name", "Source", ""};
      static const char* plain[] = {"implementation_id", "Plain", "type_name", "Plain", ""};
      coil::Properties a(sink), b(source), c(plain);
      mgr->registerFactory(a, make<Sink>, destroy);
      mgr->registerFactory(b, make<Source>, destroy);
      mgr->registerFactory(c, make<Plain>, destroy);
      return mgr;
    }();
    return *m;
  }

  OpenRTM::CdrData octets(std::vector<unsigned char> bytes)
  {
    OpenRTM::CdrData d;
    d.length(static_cast<CORBA::ULong>(bytes.size()));
    if (!bytes.empty())
      std::memcpy(d.get_buffer(), bytes.data(), bytes.size());
    return d;
  }

  void put32(std::vector<unsigned char>& out, std::uint32_t v, bool big)
  {
    for (int i = 0; i < 4; ++i)
      out.push_back(static_cast<unsigned char>(v >> (big ? 24 - 8 * i : 8 * i)));
  }

  // A TimedFloatSeq laid out by hand: sec, nsec, N, then the floats.
  std::vector<unsigned char> datum(std::vector<float> values, bool big = false,
                                   long long count = -1)
  {
    std::vector<unsigned char> out;
    put32(out, 7, big);
    put32(out, 9, big);
    put32(out, static_cast<std::uint32_t>(count < 0 ? static_cast<long long>(values.size()) : count), big);
    for (float f : values)
      {
        std::uint32_t bits;
        std::memcpy(&bits, &f, 4);
        put32(out, bits, big);
      }
    return out;
  }

  Source& newSource() { return *dynamic_cast<Source*>(manager().createComponent("Source")); }

  // A hand-made connector from a fresh source to the sink, the sink first.
  ConnectorProfile toSink(Sink& sink)
  {
    ConnectorProfile profile;
    profile.name = CORBA::string_dup("test");
    profile.connector_id = CORBA::string_dup("");
    profile.ports.length(2);
    profile.ports[0] = sink.port.getPortRef();
    profile.ports[1] = newSource().port.getPortRef();
    return profile;
  }

  // Connects a hand-made connector to the sink and returns its put() object.
  OpenRTM::InPortCdr_ptr sinkObject(Sink& sink, const char* endian)
  {
    ConnectorProfile profile = toSink(sink);
    NVUtil::appendString(profile.properties, "dataport.dataflow_type", "push");
    NVUtil::appendString(profile.properties, "dataport.interface_type", "corba_cdr");
    if (endian != nullptr)
      NVUtil::appendString(profile.properties, "dataport.serializer.cdr.endian", endian);
    EXPECT_EQ(profile.ports[0]->connect(profile), RTC_OK);
    std::string ior;
    EXPECT_TRUE(NVUtil::getString(profile.properties, "dataport.corba_cdr.inport_ior", ior));
    CORBA::ORB_var orb = manager().getORB();
    CORBA::Object_var obj = orb->string_to_object(ior.c_str());
    return OpenRTM::InPortCdr::_narrow(obj);
  }

  Sink& newSink() { return *dynamic_cast<Sink*>(manager().createComponent("Sink")); }
}

TEST(InPortPut, PayloadTable)
{
  struct Case
  {
    const char* what;
    std::vector<unsigned char> bytes;
    const char* endian;
    OpenRTM::PortStatus status;
    std::vector<float> expected;  // what read() gives when accepted
  };
  std::vector<unsigned char> three = datum({1.5f, 2.5f, 3.5f});
  std::vector<Case> cases = {
    {"no floats", datum({}), nullptr, OpenRTM::PORT_OK, {}},
    {"one float", datum({30}), nullptr, OpenRTM::PORT_OK, {30}},
    {"three floats", three, "little,big", OpenRTM::PORT_OK, {1.5f, 2.5f, 3.5f}},
    {"big agreed", datum({30, -45, 90}, true), "BIG , little", OpenRTM::PORT_OK, {30, -45, 90}},
    {"empty", {}, nullptr, OpenRTM::PORT_ERROR, {}},
    {"11 bytes", std::vector<unsigned char>(three.begin(), three.begin() + 11), nullptr,
     OpenRTM::PORT_ERROR, {}},
    {"one byte short", std::vector<unsigned char>(three.begin(), three.end() - 1), nullptr,
     OpenRTM::PORT_ERROR, {}},
    {"one byte long", [&] { auto v = three; v.push_back(0); return v; }(), nullptr,
     OpenRTM::PORT_ERROR, {}},
    {"huge N, short payload", datum({1}, false, 0xffffffffu), nullptr, OpenRTM::PORT_ERROR, {}},
    {"N wrapping 32 bits", datum({1}, false, 0x40000001u), nullptr, OpenRTM::PORT_ERROR, {}},
  };
  for (const Case& c : cases)
    for (std::size_t offset : {0, 1, 4})
    {
      // A caller in this process hands its own buffer over: it may start
      // anywhere.
      SCOPED_TRACE(std::string(c.what) + ", buffer at offset " + std::to_string(offset));
      Sink& sink = newSink();
      OpenRTM::InPortCdr_var cdr = sinkObject(sink, c.endian);
      std::vector<double> storage(c.bytes.size() / 8 + 2);
      CORBA::Octet* start = reinterpret_cast<CORBA::Octet*>(storage.data()) + offset;
      if (!c.bytes.empty())
        std::memcpy(start, c.bytes.data(), c.bytes.size());
      const OpenRTM::CdrData lent(static_cast<CORBA::ULong>(c.bytes.size()), static_cast<CORBA::ULong>(c.bytes.size()),
                                  start, false);
      EXPECT_EQ(cdr->put(lent), c.status);
      bool accepted = c.status == OpenRTM::PORT_OK;
      EXPECT_EQ(sink.port.isNew(), accepted);
      EXPECT_EQ(sink.port.read(), accepted);
      if (accepted)
        {
          ASSERT_EQ(sink.data.data.length(), c.expected.size());
          for (CORBA::ULong i = 0; i < c.expected.size(); ++i)
            EXPECT_EQ(sink.data.data[i], c.expected[i]);
          EXPECT_EQ(sink.data.tm.sec, 7u);
        }
      EXPECT_EQ(sink.port.refusedCount(), accepted ? 0u : 1u);
    }
}

TEST(InPortPut, EmptyEndianValueIsRefused)
{
  Sink& sink = newSink();
  ConnectorProfile profile = toSink(sink);
  NVUtil::appendString(profile.properties, "dataport.serializer.cdr.endian", " ");
  EXPECT_EQ(profile.ports[0]->connect(profile), UNSUPPORTED);
  EXPECT_FALSE(sink.port.isConnected());
}

TEST(InPortBuffer, RingOfEightKeepsTheNewestAndReadsBack)
{
  Sink& sink = newSink();
  EXPECT_FALSE(sink.port.read());  // nothing connected, nothing received
  OpenRTM::InPortCdr_var cdr = sinkObject(sink, nullptr);
  EXPECT_FALSE(sink.port.read());  // connected, nothing received yet
  for (int i = 1; i <= 10; ++i)
    ASSERT_EQ(cdr->put(octets(datum({static_cast<float>(i)}))), OpenRTM::PORT_OK);
  for (int expected = 3; expected <= 10; ++expected)
    {
      ASSERT_TRUE(sink.port.isNew());
      ASSERT_TRUE(sink.port.read());
      EXPECT_EQ(sink.data.data[0], expected);
    }
  EXPECT_FALSE(sink.port.isNew());
  sink.data.data[0] = -1;
  EXPECT_TRUE(sink.port.read());  // read-back of the newest
  EXPECT_EQ(sink.data.data[0], 10);
  EXPECT_EQ(sink.port.disconnect_all(), RTC_OK);
  EXPECT_FALSE(sink.port.read());  // no connection
}

TEST(InPortBuffer, RefusesPullAndOtherTransports)
{
  Sink& sink = newSink();
  for (auto kv : {std::make_pair("dataport.dataflow_type", "pull"),
                  std::make_pair("dataport.interface_type", "shared_memory")})
    {
      ConnectorProfile profile = toSink(sink);
      NVUtil::appendString(profile.properties, kv.first, kv.second);
      EXPECT_EQ(profile.ports[0]->connect(profile), BAD_PARAMETER) << kv.second;
    }
  EXPECT_FALSE(sink.port.isConnected());
}

class ConnectOrder : public ::testing::TestWithParam<bool> {};

TEST_P(ConnectOrder, ConnectsSendsAndDisconnectsFromEitherSide)
{
  bool connectOnInPort = GetParam();
  Sink& sink = newSink();
  Source& source = newSource();
  PortService_var in = sink.port.getPortRef();
  std::string error;
  std::string id = sender::connect(source.port, in, connectOnInPort, error);
  ASSERT_FALSE(id.empty()) << error;
  EXPECT_EQ(source.port.refusals, 0);
  EXPECT_EQ(sink.port.connectorIds(), std::vector<std::string>{id});
  EXPECT_EQ(source.port.connectorIds(), std::vector<std::string>{id});

  // The same connector again is refused, and nothing changes.
  ConnectorProfile_var again = sink.port.get_connector_profile(id.c_str());
  EXPECT_EQ(in->connect(again.inout()), PRECONDITION_NOT_MET);

  source.data.tm.sec = 1;
  source.data.tm.nsec = 2;
  source.data.data.length(3);
  source.data.data[0] = 30;
  source.data.data[1] = -45;
  source.data.data[2] = 90;
  ASSERT_TRUE(source.port.write());
  ASSERT_TRUE(sink.port.read());
  EXPECT_EQ(sink.data.data[1], -45);

  // Disconnect once from each side, in turn.
  PortBase& side = connectOnInPort ? static_cast<PortBase&>(sink.port) : source.port;
  EXPECT_EQ(side.disconnect(id.c_str()), RTC_OK);
  EXPECT_FALSE(sink.port.isConnected());
  EXPECT_FALSE(source.port.isConnected());
  EXPECT_FALSE(source.port.write());
  EXPECT_EQ(side.disconnect(id.c_str()), BAD_PARAMETER);
  EXPECT_EQ(sink.port.notify_disconnect(id.c_str()), BAD_PARAMETER);
}

INSTANTIATE_TEST_SUITE_P(BothOrders, ConnectOrder, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "OnInPort" : "OnOutPort";
                         });

TEST(PortProfile, FullNameOwnerAndProperties)
{
  Sink& sink = newSink();
  PortProfile_var profile = sink.port.get_port_profile();
  EXPECT_EQ(std::string(profile->name), sink.getInstanceName() + ".Angle");
  EXPECT_FALSE(CORBA::is_nil(profile->owner));
  std::string value;
  ASSERT_TRUE(NVUtil::getString(profile->properties, "port.port_type", value));
  EXPECT_EQ(value, "DataInPort");
  ASSERT_TRUE(NVUtil::getString(profile->properties, "dataport.data_type", value));
  EXPECT_EQ(value, "IDL:RTC/TimedFloatSeq:1.0");
  ASSERT_TRUE(NVUtil::getString(profile->properties, "dataport.subscription_type", value));
  EXPECT_EQ(value, "Any");
  ConnectorProfile_var unknown = sink.port.get_connector_profile("no-such-id");
  EXPECT_STREQ(unknown->connector_id, "");
}

TEST(ConnectorChecks, MalformedConnectorsAreRefusedBeforeAnythingIsStoredOrForwarded)
{
  Sink& sink = newSink();
  Plain& plain = *dynamic_cast<Plain*>(manager().createComponent("Plain"));
  PortService_var in = sink.port.getPortRef(), out = plain.port.getPortRef();
  auto connector = [&](std::vector<PortService_ptr> ports) {
    ConnectorProfile p;
    p.connector_id = CORBA::string_dup("");
    p.ports.length(static_cast<CORBA::ULong>(ports.size()));
    for (CORBA::ULong i = 0; i < ports.size(); ++i)
      p.ports[i] = PortService::_duplicate(ports[i]);
    return p;
  };
  struct Case { const char* what; ConnectorProfile profile; };
  std::vector<Case> cases = {
    {"the port twice", connector({in, in})},
    {"the port twice around another", connector({in, out, in})},
    {"the port alone", connector({in})},
    {"a nil port", connector({in, PortService::_nil()})},
    {"larger than a connector can be", connector({in, out})},
  };
  NVUtil::appendString(cases.back().profile.properties, "padding", std::string(20000, 'x'));
  for (Case& c : cases)
    {
      SCOPED_TRACE(c.what);
      ConnectorProfile copy = c.profile;
      EXPECT_EQ(in->notify_connect(c.profile), BAD_PARAMETER);
      EXPECT_EQ(in->connect(copy), BAD_PARAMETER);
      EXPECT_FALSE(sink.port.isConnected());
      EXPECT_FALSE(plain.port.isConnected()) << "forwarded to the other port";
    }
  // The same ports in a sound connector still connect.
  ConnectorProfile good = connector({in, out});
  EXPECT_EQ(in->connect(good), RTC_OK);
  EXPECT_TRUE(plain.port.isConnected());
}

TEST(ConnectorChecks, ConnectionLimitFromTheConfigurationOrSixtyFour)
{
  struct Case { const char* component; std::size_t limit; };
  const Case cases[] = {
    {"Sink", 64},
    {"Sink?port.inport.Angle.connection_limit=2", 2},
    {"Sink?port.inport.dataport.connection_limit=3", 3},
    {"Sink?port.inport.dataport.connection_limit=5&port.inport.Angle.connection_limit=1", 1},
    {"Sink?port.inport.Angle.connection_limit=many", 64},  // said once on standard error
  };
  // -1: no limit on the source's side.
  Plain& plain = *dynamic_cast<Plain*>(manager().createComponent("Plain?port.outport.Out.connection_limit=-1"));
  PortService_var out = plain.port.getPortRef();
  for (const Case& c : cases)
    {
      SCOPED_TRACE(c.component);
      Sink& sink = *dynamic_cast<Sink*>(manager().createComponent(c.component));
      PortService_var in = sink.port.getPortRef();
      for (std::size_t n = 0; n <= c.limit; ++n)
        {
          ConnectorProfile p;
          p.connector_id = CORBA::string_dup("");
          p.ports.length(2);
          p.ports[0] = PortService::_duplicate(out);
          p.ports[1] = PortService::_duplicate(in);
          EXPECT_EQ(out->connect(p), n < c.limit ? RTC_OK : RTC_ERROR) << "connector " << n + 1;
        }
      EXPECT_EQ(sink.port.connectorIds().size(), c.limit);
      // The source's half of the refused connector was taken back.
      EXPECT_EQ(sink.port.disconnect_all(), RTC_OK);
      EXPECT_FALSE(plain.port.isConnected());
    }
}

TEST(ConnectorChecks, OnlyLiveConnectorsCountAgainstTheLimit)
{
  // Two senders at a limit of two; one goes away without a word, and a
  // third is let in though nobody read the port's profile meanwhile.
  Sink& sink = *dynamic_cast<Sink*>(manager().createComponent("Sink?port.inport.Angle.connection_limit=2"));
  PortService_var in = sink.port.getPortRef();
  std::vector<Plain*> senders;
  for (int i = 0; i < 3; ++i)
    senders.push_back(dynamic_cast<Plain*>(manager().createComponent("Plain")));
  auto connectFrom = [&](Plain* p) {
    ConnectorProfile profile;
    profile.connector_id = CORBA::string_dup("");
    profile.ports.length(2);
    profile.ports[0] = p->port.getPortRef();
    profile.ports[1] = PortService::_duplicate(in);
    return p->port.connect(profile);
  };
  EXPECT_EQ(connectFrom(senders[0]), RTC_OK);
  EXPECT_EQ(connectFrom(senders[1]), RTC_OK);
  senders[0]->port.deactivate();  // gone from the ORB, without a word
  EXPECT_EQ(connectFrom(senders[2]), RTC_OK);
  EXPECT_EQ(sink.port.connectorIds().size(), 2u);
}
