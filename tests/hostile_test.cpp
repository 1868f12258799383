// The component's host among peers that call at once, never answer, or
// hold connections open: each case is a client in this process against the
// real program in another, and the program must neither crash nor hang.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "peer.h"
#include "sender.h"

#include "raw_giop.h"

using namespace RTC;
using namespace testing_support;
using Clock = std::chrono::steady_clock;

namespace
{
  double secondsSince(Clock::time_point start)
  {
    return std::chrono::duration<double>(Clock::now() - start).count();
  }

  // Runs body in n threads that start at the same moment.
  void atOnce(int n, const std::function<void(int)>& body)
  {
    std::atomic<int> ready(0);
    std::atomic<bool> go(false);
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
      threads.emplace_back([&, i] {
          ++ready;
          while (!go)
            std::this_thread::yield();
          body(i);
        });
    while (ready < n)
      std::this_thread::yield();
    go = true;
    for (std::thread& t : threads)
      t.join();
  }

  std::unique_ptr<Process> probeOnPort(int port, std::vector<std::string> options = {})
  {
    options.insert(options.end(), {"-o", "corba.endpoints:127.0.0.1:" + std::to_string(port)});
    return startProbe(options);
  }
}

// Two clients, each looping stop and start on the context: every call is
// answered (RTC_OK or PRECONDITION_NOT_MET), the program lives, and the
// context still runs the component afterwards.
TEST(ConcurrentClients, StartAndStopOfTheContextFromManyClients)
{
  auto probe = startProbe({"-o", "exec_cxt.periodic.rate:200"});
  RTObject_var rtc = component();
  ASSERT_FALSE(CORBA::is_nil(rtc));
  ExecutionContext_var ec = ownedContext(rtc);
  std::atomic<int> other(0);
  atOnce(4, [&](int) {
      try
        {
          for (int i = 0; i < 150; ++i)
            for (ReturnCode_t rc : {ec->stop(), ec->start()})
              other += rc != RTC_OK && rc != PRECONDITION_NOT_MET;
        }
      catch (const CORBA::SystemException& e)
        {
          ADD_FAILURE() << e._name() << ": the program is gone";
        }
    });
  EXPECT_EQ(other, 0);
  ASSERT_TRUE(probe->running()) << probe->errorText();
  ec->start();
  EXPECT_TRUE(ec->is_running());
  ASSERT_EQ(ec->activate_component(rtc), RTC_OK);
  EXPECT_EQ(anglesend({"--no-activate", "Vorlinde0:Angle", "11", "12", "13"}), 0);
  EXPECT_TRUE(probe->waitForOutput("angle 11 12 13", 3000));
}

// Six clients call exit() at once: one runs it, the others are told it is
// not theirs to run, nothing is released twice. Clients that keep asking
// for the context meanwhile get an answer or an exception, never a crash.
TEST(ConcurrentClients, ExitRunsOnceWhateverElseIsAsked)
{
  for (int round = 0; round < 6; ++round)
    {
      auto probe = startProbe({"-o", "exec_cxt.periodic.rate:100"});
      RTObject_var rtc = component();
      ASSERT_FALSE(CORBA::is_nil(rtc));
      ExecutionContext_var ec = ownedContext(rtc);
      ec->activate_component(rtc);
      std::atomic<int> ok(0), refused(0), gone(0);
      std::atomic<bool> exited(false);
      atOnce(10, [&](int i) {
          if (i < 6)
            {
              try
                {
                  const ReturnCode_t rc = rtc->exit();
                  ok += rc == RTC_OK;
                  refused += rc == PRECONDITION_NOT_MET;
                }
              catch (const CORBA::OBJECT_NOT_EXIST&)
                {
                  ++gone;
                }
              catch (const CORBA::SystemException& e)
                {
                  ADD_FAILURE() << e._name() << ": the program is gone";
                }
              exited = true;
              return;
            }
          // Asking for the context before, during and after the exit.
          for (int n = 0; n < 400 && !(exited && n > 50); ++n)
            try
              {
                ExecutionContextList_var owned = rtc->get_owned_contexts();
                ExecutionContext_var first = rtc->get_context(0);
                if (owned->length() > 0)
                  owned[0]->get_rate();
              }
            catch (const CORBA::SystemException&)
              {
              }
        });
      EXPECT_EQ(ok, 1) << "round " << round;
      EXPECT_EQ(ok + refused + gone, 6) << "round " << round;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      ASSERT_TRUE(probe->running()) << "round " << round << ": " << probe->errorText();
      EXPECT_EQ(probe->errorText().find("negative ref count"), std::string::npos) << probe->errorText();
      EXPECT_THROW(rtc->get_owned_contexts(), CORBA::OBJECT_NOT_EXIST);
    }
}

// A participant whose on_execute never returns is in ERROR after one
// period; the component's own execution goes on, it is deactivated in
// time, and exit() answers at once.
TEST(SilentPeers, AParticipantThatHangsHoldsUpNobody)
{
  auto probe = startProbe({"-o", "exec_cxt.periodic.rate:10"});
  RTObject_var rtc = component();
  ASSERT_FALSE(CORBA::is_nil(rtc));
  ExecutionContext_var ec = ownedContext(rtc);
  Participant* peer = new Participant;
  CORBA::Object_var obj = serve(peer);
  peer->_add_ref();
  LightweightRTObject_var them = LightweightRTObject::_narrow(obj);
  ASSERT_EQ(ec->add_component(them), RTC_OK);
  ASSERT_EQ(ec->activate_component(rtc), RTC_OK);
  ASSERT_EQ(ec->activate_component(them), RTC_OK);
  peer->hangIn = Participant::EXECUTE;

  auto deadline = Clock::now() + std::chrono::seconds(3);
  while (ec->get_component_state(them) != ERROR_STATE && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(ec->get_component_state(them), ERROR_STATE);
  EXPECT_EQ(anglesend({"Vorlinde0:Angle", "21", "22", "23"}), 0);
  EXPECT_TRUE(probe->waitForOutput("angle 21 22 23", 2000)) << "the component's own execution goes on";
  Clock::time_point start = Clock::now();
  EXPECT_EQ(ec->deactivate_component(rtc), RTC_OK);
  EXPECT_LT(secondsSince(start), 0.6);
  EXPECT_EQ(ec->get_component_state(rtc), INACTIVE_STATE);
  start = Clock::now();
  EXPECT_EQ(rtc->exit(), RTC_OK);
  EXPECT_LT(secondsSince(start), 1.5);
  EXPECT_EQ(peer->executed, 1) << "a peer that hangs is not called again meanwhile";
  peer->release();
  peer->_remove_ref();
  EXPECT_TRUE(probe->running());
}

// A peer's add_component whose attach_context is never answered: the
// middleware still ends within three seconds.
TEST(SilentPeers, AnAttachThatIsNeverAnsweredDoesNotHoldTheEnd)
{
  auto probe = startProbe({});
  RTObject_var rtc = component();
  ASSERT_FALSE(CORBA::is_nil(rtc));
  ExecutionContext_var ec = ownedContext(rtc);
  HangingAttach peer(ec);
  const Clock::time_point start = Clock::now();
  probe->write("shutdown\n");
  EXPECT_EQ(probe->wait(4000), 0) << probe->errorText();
  EXPECT_LT(secondsSince(start), 3.0);
  EXPECT_TRUE(waitBound(naming(), componentPath(), false, 100)) << "names are gone";
}

// Connections: one address holds at most its share, a connection that
// never completes a request is closed after the idle time, a request
// larger than any the port takes is refused at once, and an ordinary
// client is answered meanwhile.
TEST(Connections, EachAddressHoldsItsShareAndIdleOnesAreClosed)
{
  const int port = freePort();
  auto probe = probeOnPort(port, {"-o", "corba.max_connections_per_peer:8", "-o", "corba.max_connections:12", "-o",
                                  "corba.idle_connection_timeout:2"});
  std::vector<std::unique_ptr<RawConnection> > fromTwo, fromThree;
  for (int i = 0; i < 12; ++i)
    fromTwo.emplace_back(new RawConnection(port, "127.0.0.2"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int open = 0;
  for (auto& c : fromTwo)
    open += c->open();
  EXPECT_EQ(open, 8) << "one address holds at most its share";
  for (int i = 0; i < 6; ++i)
    fromThree.emplace_back(new RawConnection(port, "127.0.0.3"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  open = 0;
  for (auto& c : fromThree)
    open += c->open();
  EXPECT_EQ(open, 4) << "and all of them at most the total";
  EXPECT_NE(probe->errorText().find("connection from 127.0.0.2 refused: 8 connections from that address"),
            std::string::npos) << probe->errorText();

  // Two seconds without a request: closed, and the room is free again.
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  open = 0;
  for (auto& c : fromTwo)
    open += c->open();
  EXPECT_EQ(open, 0);
  const Clock::time_point start = Clock::now();
  RTObject_var rtc = component();
  ASSERT_FALSE(CORBA::is_nil(rtc));
  ComponentProfile_var profile = rtc->get_component_profile();
  EXPECT_LT(secondsSince(start), 2.0);
  EXPECT_TRUE(probe->running());
}

TEST(Connections, ARequestLargerThanTheLimitIsRefusedAtOnce)
{
  const int port = freePort();
  auto probe = probeOnPort(port, {"-o", "corba.idle_connection_timeout:2"});
  RTObject_var rtc = component();
  ASSERT_FALSE(CORBA::is_nil(rtc));
  // The object a connector's sender puts its data to.
  PortServiceList_var ports = rtc->get_ports();
  BarePort* bare;
  PortService_var peer = barePort(bare);
  ConnectorProfile p = connector({ports[0], peer});
  ASSERT_EQ(ports[0]->notify_connect(p), RTC_OK);
  CORBA::ORB_var orb = client().getORB();
  CORBA::Object_var sink = orb->string_to_object(nv(p.properties, "dataport.corba_cdr.inport_ior").c_str());
  const std::string key = objectKey(sink);
  // A 2 MB datum of which a peer sends a part: larger than any message.
  RawConnection huge(port);
  huge.send(putRequest(key, 2000000, 16384));
  EXPECT_FALSE(huge.open(1000)) << "refused as it arrives";
  // 200 kB: a message may be that large, a datum may not.
  RawConnection large(port);
  large.send(putRequest(key, 200000, 16384));
  EXPECT_FALSE(large.open(1000)) << "refused as it arrives";
  EXPECT_TRUE(probe->waitForError("request \"put\" from 127.0.0.1 refused: ", 2000)) << probe->errorText();
  // One within the limits but never finished: held until the idle time.
  RawConnection stalled(port);
  stalled.send(putRequest(key, 40000, 30000));
  EXPECT_TRUE(stalled.open(500));
  EXPECT_FALSE(stalled.open(3500)) << "closed once it had its time";
  ComponentProfile_var profile = rtc->get_component_profile();
  EXPECT_STREQ(profile->instance_name, "Vorlinde0");
}

// After exit() the port takes no data: a sender is told so instead of
// being told its data went through.
TEST(AfterExit, ThePortAndItsConnectionsAreOutOfService)
{
  auto probe = startProbe({});
  Process feeder({builtProgram("tools/anglesend"), "-n", naming(), "Vorlinde0:Angle", "-"});
  feeder.write("1 2 3\n");
  ASSERT_TRUE(feeder.waitForOutput("sent 1.00 2.00 3.00", 5000)) << feeder.errorText();
  RTObject_var rtc = component();
  ASSERT_FALSE(CORBA::is_nil(rtc));
  ASSERT_EQ(rtc->exit(), RTC_OK);
  feeder.write("4 5 6\n");
  EXPECT_EQ(feeder.wait(5000), 1);
  EXPECT_NE(feeder.errorText().find("datum 2 was not delivered: the connection is gone"), std::string::npos)
    << feeder.errorText();
}

// A connector for another data type is refused whichever way it is
// spelt; ours is taken in both spellings, and without the key.
TEST(Connectors, OnlyTheirOwnDataType)
{
  auto probe = startProbe({});
  RTObject_var rtc = component();
  ASSERT_FALSE(CORBA::is_nil(rtc));
  PortServiceList_var ports = rtc->get_ports();
  BarePort* bare;
  PortService_var peer = barePort(bare);
  struct Case { const char* type; ReturnCode_t rc; } cases[] = {
    {"TimedLong", BAD_PARAMETER}, {"IDL:RTC/TimedLong:1.0", BAD_PARAMETER}, {"IDL:RTC/TimedFloat:1.0", BAD_PARAMETER},
    {"TimedFloatSeq", RTC_OK}, {"IDL:RTC/TimedFloatSeq:1.0", RTC_OK}, {nullptr, RTC_OK},
  };
  for (const Case& c : cases)
    {
      ConnectorProfile p = connector({ports[0], peer});
      if (c.type != nullptr)
        {
          p.properties.length(1);
          p.properties[0].name = CORBA::string_dup("dataport.data_type");
          p.properties[0].value <<= c.type;
        }
      EXPECT_EQ(ports[0]->notify_connect(p), c.rc) << (c.type ? c.type : "(absent)");
    }
  EXPECT_EQ(ports[0]->disconnect_all(), RTC_OK);
}

// Numbers no system uses are refused in one line, the default kept.
TEST(Numbers, ATransitionTimeoutOutOfRangeKeepsItsDefault)
{
  for (const char* value : {"1e10", "inf", "-1", "abc"})
    {
      auto probe = startProbe({"-o", std::string("exec_cxt.transition_timeout:") + value});
      RTObject_var rtc = component();
      ASSERT_FALSE(CORBA::is_nil(rtc));
      ExecutionContext_var ec = ownedContext(rtc);
      EXPECT_EQ(ec->activate_component(rtc), RTC_OK) << value;
      EXPECT_NE(probe->errorText().find(std::string("exec_cxt.transition_timeout \"") + value +
                                        "\" is not a number from 0 to 3600; using 0.5"),
                std::string::npos)
        << probe->errorText();
    }
}

namespace
{
  // A TCP port that takes connections and never says a word, as a hung
  // process or a black-holed service does.
  class SilentListener
  {
  public:
    SilentListener()
    {
      m_fd = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in addr = {};
      addr.sin_family = AF_INET;
      inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
      bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
      socklen_t len = sizeof addr;
      getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
      m_port = ntohs(addr.sin_port);
      listen(m_fd, 16);
    }
    ~SilentListener() { close(m_fd); }
    std::string address() const { return "127.0.0.1:" + std::to_string(m_port); }

  private:
    int m_fd;
    int m_port;
  };
}

// The sender against a naming service that never answers: its time-out
// ends it with a message; Ctrl-C or SIGTERM end it within a second.
TEST(SilentPeers, TheSenderNeverWaitsForEver)
{
  SilentListener silent;
  const std::string sender = builtProgram("tools/anglesend");
  {
    Process p({sender, "-n", silent.address(), "--timeout", "1", "Vorlinde0:Angle", "1"});
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(p.wait(5000), 1);
    EXPECT_LT(secondsSince(start), 3.0);
    EXPECT_NE(p.errorText().find("cannot be reached"), std::string::npos) << p.errorText();
  }
  for (int sig : {SIGINT, SIGTERM})
    {
      Process p({sender, "-n", silent.address(), "Vorlinde0:Angle", "1"});
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      const Clock::time_point start = Clock::now();
      p.signal(sig);
      EXPECT_NE(p.wait(2000), -1) << "signal " << sig;
      EXPECT_LT(secondsSince(start), 1.2);
      EXPECT_NE(p.errorText().find("interrupted while a call to Vorlinde0:Angle was under way; 0 datum(s) delivered"),
                std::string::npos)
        << p.errorText();
    }
  // Between datums, an interrupted motion ends as asked: status 0 and the
  // count, nothing on standard error.
  auto probe = startProbe({"-o", "exec_cxt.periodic.rate:100"});
  Process motion({sender, "-n", naming(), "--motion", "--rate", "50", "Vorlinde0:Angle"});
  ASSERT_TRUE(motion.waitForOutput("sent", 5000)) << motion.errorText();
  motion.signal(SIGTERM);
  std::string last;
  EXPECT_EQ(motion.wait(2000), 0);
  while (motion.readLine(last, 100) && last.find("datum(s) sent") == std::string::npos)
    {
    }
  EXPECT_NE(last.find("datum(s) sent to Vorlinde0:Angle (interrupted)"), std::string::npos) << last;
  EXPECT_EQ(motion.errorText(), "");
}

// What the sender is given that no port can take is refused in one line
// that says why, with the peer's text escaped.
TEST(SenderInput, WhatNoPortTakesIsRefusedInOneLine)
{
  auto probe = startProbe({});
  const std::string sender = builtProgram("tools/anglesend");
  std::string manyAngles;
  for (int i = 0; i < 100000; ++i)
    manyAngles += "1 ";
  struct Case { std::vector<std::string> args; std::string input; const char* message; } cases[] = {
    {{"Vorlinde0:Angle", "1e39"}, "", "angle 1e39 is outside the range of a float"},
    {{"Vorlinde0:Angle", "-"}, "1 2 3e40\n", "line 1 is not a list of numbers: 3e40 is outside the range of a float"},
    {{"Vorlinde0:Angle", "-"}, "1 \x1b[31mred\n", "line 1 is not a list of numbers: \"\\x1b[31mred\" is not a number"},
    {{"Vorlinde0:Angle", "-"}, std::string(2 * 1024 * 1024, '1') + "\n", "line 1 is longer than 1 MiB"},
    {{"Vorlinde0:Angle", "-"}, manyAngles + "\n", "datum 1 is too large: 100000 angles; a datum may hold 16317 at most (64 KiB)"},
  };
  for (const Case& c : cases)
    {
      std::vector<std::string> argv = {sender, "-n", naming(), "-q"};
      argv.insert(argv.end(), c.args.begin(), c.args.end());
      Process p(argv);
      p.write(c.input);
      p.closeInput();
      EXPECT_EQ(p.wait(10000), 1) << c.message;
      const std::string err = p.errorText();
      EXPECT_NE(err.find(c.message), std::string::npos) << err.substr(0, 300);
      EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err.substr(0, 300);
      EXPECT_LT(err.size(), 300u);
    }
  EXPECT_TRUE(probe->running());
}
