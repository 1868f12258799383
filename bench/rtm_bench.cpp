// Runtime benchmarks, run on demand: port throughput and latency over
// loopback CORBA between two processes on two cores, execution-context
// period accuracy, start-up time to bound in the naming service and idle
// memory. Each figure is printed beside a peer measured in the same run:
// a bare omniORB servant (no runtime) for data and start-up, a naive
// sleep-after-work loop for the execution context.
//
//   rtm_bench [--duration SEC]   runs everything and prints the table;
//                        SEC (default 3) is how long each rate is measured
//   rtm_bench sink|bare-sink|send ...   the child roles the driver starts
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <rtm/PeriodicExecutionContext.h>

#include "Naming.h"
#include "NVUtil.h"
#include "bench_support.h"
#include "Vorlinde.h"
#include "arm_angle.h"
#include "process.h"
#include "sender.h"

using Clock = std::chrono::steady_clock;
using testing_support::Process;

namespace
{
  long long nowNs()
  {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
  }

  double percentile(std::vector<double> v, double p)
  {
    if (v.empty())
      return 0;
    std::sort(v.begin(), v.end());
    std::size_t i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
  }

  using bench::rssKb;

  // A child started with RTM_BENCH_TLS=DIR talks TLS only, with the
  // certificates in DIR.
  RTC::Manager* startManager(const std::string& nameserver, bool naming, const std::string& rate)
  {
    std::vector<std::string> args = {"rtm_bench", "-o", "corba.nameservers:" + nameserver, "-o",
                                     std::string("naming.enable:") + (naming ? "YES" : "NO"), "-o",
                                     "exec_cxt.periodic.rate:" + rate};
    const char* tls = std::getenv("RTM_BENCH_TLS");
    if (tls != nullptr && tls[0] != '\0')
      args.insert(args.end(), {"-o", std::string("corba.ssl.certificate_authority_file:") + tls + "/ca.crt",
                               "-o", std::string("corba.ssl.key_file:") + tls + "/bench.pem",
                               "-o", "corba.ssl.required:YES"});
    return bench::startManager(args);
  }

  // ------------------------------------------------------------------ sinks

  // A component with a plain InPort that counts what arrives.
  class CountingSink : public RTC::DataFlowComponentBase
  {
  public:
    explicit CountingSink(RTC::Manager* m) : RTC::DataFlowComponentBase(m), data(), port("Angle", data) {}
    RTC::ReturnCode_t onInitialize() override
    {
      registerInPort("Angle", port);
      return RTC::RTC_OK;
    }
    RTC::TimedFloatSeq data;
    RTC::InPort<RTC::TimedFloatSeq> port;
  };

  RTC::RTObject_impl* makeSink(RTC::Manager* m) { return new CountingSink(m); }
  void dropSink(RTC::RTObject_impl* r) { delete r; }

  using bench::waitForEof;

  // Hosts Vorlinde at 1000 Hz (or a counting sink) and reports.
  int runSink(const std::string& nameserver, const std::string& mode)
  {
    RTC::Manager* m = startManager(nameserver, true, "1000");
    if (mode == "count")
      {
        static const char* profile[] = {"implementation_id", "Sink", "type_name", "Sink", ""};
        coil::Properties p(profile);
        m->registerFactory(p, makeSink, dropSink);
        CountingSink* sink = dynamic_cast<CountingSink*>(m->createComponent("Sink"));
        std::printf("ready\n");
        std::fflush(stdout);
        waitForEof();
        std::printf("count %lu refused %lu\n", sink->port.receivedCount(), sink->port.refusedCount());
        return 0;
      }
    registerVorlindeFactory(m);
    m->createComponent("Vorlinde");
    std::printf("ready\n");
    std::fflush(stdout);
    // Watch arm_angle[0] every 20 us, (value, time) of each change; the
    // watcher sleeps in between so that it leaves the core to the runtime.
    std::vector<std::pair<float, long long> > changes;
    changes.reserve(100000);
    std::atomic<bool> done(false);
    std::thread watcher([&] {
        float last = arm_angle[0];
        while (!done)
          {
            std::this_thread::sleep_for(std::chrono::microseconds(20));
            float v = arm_angle[0];
            if (v != last)
              {
                changes.emplace_back(v, nowNs());
                last = v;
              }
          }
      });
    waitForEof();
    done = true;
    watcher.join();
    for (const auto& c : changes)
      std::printf("r %.0f %lld\n", static_cast<double>(c.first), c.second);
    std::printf("end\n");
    return 0;
  }

  // ----------------------------------------------------------------- sender

  int runSend(const std::string& nameserver, const std::string& target, const std::string& mode,
              double seconds)
  {
    startManager(nameserver, false, "1");
    sender::AngleSender* s = sender::startSender("rtm_bench");
    RTC::TimedFloatSeq& d = s->data;
    d.tm.sec = 0;
    d.tm.nsec = 0;
    d.data.length(3);
    d.data[1] = 0;
    d.data[2] = 0;

    if (mode == "bare")
      {
        // Raw puts of the same 24 bytes to the bare servant.
        CORBA::ORB_var orb = RTC::NVUtil::theORB();
        CORBA::Object_var obj = RTC::NamingClient(orb, nameserver).resolve(target);
        OpenRTM::InPortCdr_var cdr = OpenRTM::InPortCdr::_narrow(obj);
        cdrMemoryStream cdrs;
        cdrs.setByteSwapFlag(true);
        d.data[0] = 1;
        d >>= cdrs;
        OpenRTM::CdrData bytes(cdrs.bufSize(), cdrs.bufSize(), static_cast<CORBA::Octet*>(cdrs.bufPtr()), false);
        long n = 0, failures = 0;
        auto start = Clock::now();
        while (std::chrono::duration<double>(Clock::now() - start).count() < seconds)
          {
            if (cdr->put(bytes) != OpenRTM::PORT_OK)
              ++failures;
            ++n;
          }
        std::printf("sent %ld seconds %f failures %ld\n", n,
                    std::chrono::duration<double>(Clock::now() - start).count(), failures);
        return 0;
      }

    std::string error;
    RTC::PortService_var port;
    if (!sender::findPort(nameserver, target, port, error))
      {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
      }
    if (sender::connect(s->port, port, false, error).empty() || !sender::activateOwner(port, error))
      {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
      }
    if (mode == "throughput")
      {
        long n = 0, failures = 0;
        auto start = Clock::now();
        while (std::chrono::duration<double>(Clock::now() - start).count() < seconds)
          {
            d.data[0] = static_cast<float>(n % 1000);
            if (!s->port.write())
              ++failures;
            ++n;
          }
        std::printf("sent %ld seconds %f failures %ld\n", n,
                    std::chrono::duration<double>(Clock::now() - start).count(), failures);
        return 0;
      }
    // Latency: datum k carries k; one every 2.3 ms, off the 1 ms grid.
    auto next = Clock::now();
    int count = static_cast<int>(seconds * 1000 / 2.3);
    for (int k = 1; k <= count; ++k)
      {
        next += std::chrono::microseconds(2300);
        std::this_thread::sleep_until(next);
        d.data[0] = static_cast<float>(k);
        long long t = nowNs();
        s->port.write();
        std::printf("s %d %lld\n", k, t);
      }
    std::printf("end\n");
    return 0;
  }

  // ---------------------------------------------------------------- driver

  struct Child
  {
    std::unique_ptr<Process> p;
    long long spawnedNs;
  };

  // The certificates of the TLS runs; "" for plain ones.
  std::string g_tls;

  Child spawn(const std::string& self, int cpu, std::vector<std::string> args)
  {
    std::vector<std::string> argv = {"/usr/bin/taskset", "-c", std::to_string(cpu), self};
    argv.insert(argv.end(), args.begin(), args.end());
    Child c;
    c.spawnedNs = nowNs();
    c.p.reset(new Process(argv, {"RTM_BENCH_TLS=" + g_tls}));
    return c;
  }

  // Datums per second from a sender writing as fast as it can to a
  // counting sink (bare: raw puts to a bare servant); sent, received and
  // refused counts too.
  double throughput(const std::string& self, const std::string& server, double duration, bool bare,
                    std::map<std::string, double>& sent, std::map<std::string, double>& got)
  {
    Child sink = spawn(self, 1, {bare ? "bare-sink" : "sink", server, "count"});
    sink.p->waitForOutput("ready", 10000);
    Child s = spawn(self, 0, {"send", server, bare ? "bench.host_cxt/Bare0.rtc" : "Sink0:Angle",
                              bare ? "bare" : "throughput", std::to_string(duration)});
    sent = bench::readCounts(*s.p);
    s.p->wait(10000);
    sink.p->closeInput();
    got = bench::readCounts(*sink.p);
    sink.p->wait(5000);
    return sent["seconds"] > 0 ? sent["sent"] / sent["seconds"] : 0;
  }

  // write() to arm_angle changed, Vorlinde at 1000 Hz: the latencies in ms
  // and how many datums were sent.
  std::vector<double> latencies(const std::string& self, const std::string& server, double duration,
                                std::size_t& sentCount)
  {
    Child sink = spawn(self, 1, {"sink", server, "vorlinde"});
    sink.p->waitForOutput("ready", 10000);
    Child s = spawn(self, 0, {"send", server, "Vorlinde0:Angle", "latency", std::to_string(duration * 5 / 3)});
    std::map<int, long long> sentAt;
    std::string line;
    while (s.p->readLine(line, 20000) && line != "end")
      {
        int k;
        long long t;
        if (std::sscanf(line.c_str(), "s %d %lld", &k, &t) == 2)
          sentAt[k] = t;
      }
    s.p->wait(5000);
    sink.p->closeInput();
    std::vector<double> lat;
    while (sink.p->readLine(line, 10000) && line != "end")
      {
        int k;
        long long t;
        if (std::sscanf(line.c_str(), "r %d %lld", &k, &t) == 2 && sentAt.count(k))
          lat.push_back(static_cast<double>(t - sentAt[k]) / 1e6);
      }
    sink.p->wait(5000);
    sentCount = sentAt.size();
    return lat;
  }

  bool bound(const std::string& server, const std::string& path)
  {
    CORBA::ORB_var orb = RTC::NVUtil::theORB();
    CORBA::Object_var obj = RTC::NamingClient(orb, server, 500).resolve(path);
    return !CORBA::is_nil(obj);
  }

  double timeToBound(const std::string& server, const std::string& path, long long spawned)
  {
    for (int i = 0; i < 20000; ++i)
      {
        if (bound(server, path))
          return static_cast<double>(nowNs() - spawned) / 1e6;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    return -1;
  }

  std::string hostName()
  {
    char name[256] = {0};
    gethostname(name, sizeof name - 1);
    return name;
  }

  void ecJitter(double rate, double seconds, bool naive, double& callsPerSecond, double& p99dev)
  {
    std::vector<long long> stamps;
    stamps.reserve(static_cast<std::size_t>(rate * seconds) + 16);
    if (naive)
      {
        auto period = std::chrono::nanoseconds(static_cast<long long>(1e9 / rate));
        auto start = Clock::now();
        while (Clock::now() - start < std::chrono::duration<double>(seconds))
          {
            stamps.push_back(nowNs());
            std::this_thread::sleep_for(period);  // sleep after the work
          }
      }
    else
      {
        struct Timed : public RTC::DataFlowComponentBase
        {
          explicit Timed(RTC::Manager* m) : RTC::DataFlowComponentBase(m) {}
          std::vector<long long>* out = nullptr;
          RTC::ReturnCode_t onExecute(RTC::UniqueId) override
          {
            out->push_back(nowNs());
            return RTC::RTC_OK;
          }
        };
        static int serial = 0;
        std::string id = "Timed" + std::to_string(serial++);
        const char* profile[] = {"implementation_id", id.c_str(), "type_name", id.c_str(), ""};
        coil::Properties p(profile);
        RTC::Manager& m = RTC::Manager::instance();
        m.registerFactory(p, [](RTC::Manager* mm) -> RTC::RTObject_impl* { return new Timed(mm); },
                          [](RTC::RTObject_impl*) {});
        Timed* t = dynamic_cast<Timed*>(m.createComponent(id.c_str()));
        t->out = &stamps;
        RTC::RTObject_var ref = t->getObjRef();
        RTC::ExecutionContextList_var ecs = t->get_owned_contexts();
        ecs[0]->set_rate(rate);
        ecs[0]->activate_component(ref);
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        ecs[0]->deactivate_component(ref);
        t->ownedContext()->stop();
      }
    std::vector<double> dev;
    double period = 1.0 / rate;
    for (std::size_t i = 1; i < stamps.size(); ++i)
      dev.push_back(std::abs(static_cast<double>(stamps[i] - stamps[i - 1]) / 1e9 - period) * 1e3);
    double span = stamps.size() > 1 ? static_cast<double>(stamps.back() - stamps.front()) / 1e9 : 0;
    callsPerSecond = span > 0 ? static_cast<double>(stamps.size() - 1) / span : 0;
    p99dev = percentile(dev, 0.99);
  }

  int runAll(const std::string& self, double duration)
  {
    int port = testing_support::freePort();
    std::string server = "127.0.0.1:" + std::to_string(port);
    char dir[] = "/tmp/rtm-bench-XXXXXX";
    mkdtemp(dir);
    Process names({"/usr/bin/omniNames", "-start", std::to_string(port), "-always", "-logdir", dir,
                   "-ORBendPoint", "giop:tcp:" + server});
    startManager(server, false, "1");
    for (int i = 0; i < 100 && !bound(server, "nothing"); ++i)
      {
        CORBA::ORB_var orb = RTC::NVUtil::theORB();
        if (!RTC::NamingClient(orb, server, 200).find("x", "y").empty() || i > 10)
          break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    const std::string comp = hostName() + ".host_cxt/Vorlinde0.rtc";

    std::printf("peer: a bare omniORB servant without the runtime (data, start-up, memory), or a loop that\n"
                "sleeps one period after its work (execution context), measured in this run; ratio = ours / peer\n");
    std::printf("%-44s %12s %12s %8s  %s\n", "measure", "ours", "peer", "ratio", "target");

    // Start-up to bound, and idle memory.
    std::vector<double> ours, peer;
    long rss = 0, bareRss = 0;
    for (int i = 0; i < 5; ++i)
      {
        Child c = spawn(self, 1, {"sink", server, "vorlinde"});
        ours.push_back(timeToBound(server, comp, c.spawnedNs));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        rss = rssKb(c.p->pid());
        c.p->closeInput();
        c.p->wait(5000);
        Child b = spawn(self, 1, {"bare-sink", server});
        peer.push_back(timeToBound(server, "bench.host_cxt/Bare0.rtc", b.spawnedNs));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        bareRss = rssKb(b.p->pid());
        b.p->closeInput();
        b.p->wait(5000);
      }
    double up = percentile(ours, 0.5), upPeer = percentile(peer, 0.5);
    std::printf("%-44s %10.2fms %10.2fms %8.2f  <= 15 ms\n", "start-up to bound (median of 5)", up, upPeer, up / upPeer);
    std::printf("%-44s %10ldkB %10ldkB %8.2f\n", "idle resident memory", rss, bareRss,
                static_cast<double>(rss) / static_cast<double>(bareRss));

    // Throughput: flush writes as fast as they go, 3 s.
    std::map<std::string, double> sent, got;
    const double peerRate = throughput(self, server, duration, true, sent, got);
    const double rate = throughput(self, server, duration, false, sent, got);
    std::printf("%-44s %12.0f %12s %8s  lost %.0f, refused %.0f, failed writes %.0f\n",
                "  datums sent / received at the port", sent["sent"], "", "", sent["sent"] - got["count"],
                got["refused"], sent["failures"]);
    std::printf("%-44s %12.0f %12.0f %8.2f  >= 21000/s, no loss\n", "throughput, datums/s (3 floats)", rate,
                peerRate, rate / peerRate);

    // Latency: write() to arm_angle changed, component at 1000 Hz.
    std::size_t count = 0;
    const std::vector<double> lat = latencies(self, server, duration, count);
    const double p50 = percentile(lat, 0.5), p99 = percentile(lat, 0.99);
    std::printf("%-44s %10.3fms %10.3fms %8.2f  (peer: the target)\n", "latency write -> arm_angle p50", p50, 1.5,
                p50 / 1.5);
    std::printf("%-44s %10.3fms %10.3fms %8.2f  <= 1 period + 0.5 ms, %zu of %zu datums seen\n",
                "latency write -> arm_angle p99", p99, 1.5, p99 / 1.5, lat.size(), count);

    // The same over TLS (required: every connection is TLS), against the
    // plain figures above.
    {
      char certs[] = "/tmp/rtm-bench-certs-XXXXXX";
      mkdtemp(certs);
      Process make({std::string(PROJ_SOURCE_DIR) + "/scripts/make-certs", certs, "bench"});
      make.wait(60000);
      g_tls = certs;
      const double tlsRate = throughput(self, server, duration, false, sent, got);
      std::printf("%-44s %12.0f %12.0f %8.2f  >= 0.50 (peer: plain IIOP), lost %.0f\n",
                  "TLS throughput, datums/s", tlsRate, rate, tlsRate / rate, sent["sent"] - got["count"]);
      const std::vector<double> tlsLat = latencies(self, server, duration, count);
      const double tlsP99 = percentile(tlsLat, 0.99);
      std::printf("%-44s %10.3fms %10.3fms %8.2f  added <= 0.2 ms: %+.3f ms, %s; %zu of %zu seen\n",
                  "TLS latency write -> arm_angle p99", tlsP99, p99, tlsP99 / p99, tlsP99 - p99,
                  tlsP99 - p99 <= 0.2 ? "met" : "MISSED", tlsLat.size(), count);
      g_tls.clear();
      std::system((std::string("rm -rf ") + certs).c_str());
    }

    // Execution-context period.
    for (double rate : {1.0, 100.0, 1000.0})
      {
        double seconds = rate < 10 ? 2 * duration : duration;
        double calls, dev, naiveCalls, naiveDev;
        ecJitter(rate, seconds, false, calls, dev);
        ecJitter(rate, seconds, true, naiveCalls, naiveDev);
        char label[64];
        std::snprintf(label, sizeof label, "EC at %g Hz: calls per second", rate);
        std::printf("%-44s %12.2f %12.2f %8.3f  %g\n", label, calls, naiveCalls, calls / naiveCalls, rate);
        std::snprintf(label, sizeof label, "EC at %g Hz: p99 |interval - period|", rate);
        std::printf("%-44s %10.3fms %10.3fms %8.2f  <= 0.25 ms\n", label, dev, naiveDev,
                    naiveDev > 0 ? dev / naiveDev : 0.0);
      }
    names.signal(SIGTERM);
    names.wait(5000);
    std::system((std::string("rm -rf ") + dir).c_str());
    return 0;
  }
}

int main(int argc, char** argv)
{
  std::string self = argv[0][0] == '/' ? argv[0] : std::string(getcwd(nullptr, 0)) + "/" + argv[0];
  std::string role = argc > 1 ? argv[1] : "";
  if (role == "sink" && argc > 3)
    return runSink(argv[2], argv[3]);
  if (role == "bare-sink" && argc > 2)
    return bench::runBareSink(argv[2], "bench.host_cxt/Bare0.rtc");
  if (role == "send" && argc > 5)
    return runSend(argv[2], argv[3], argv[4], std::atof(argv[5]));
  double duration = 3.0;
  if (role == "--duration" && argc > 2)
    {
      duration = std::atof(argv[2]);
      role.clear();
    }
  if (!role.empty() || !(duration >= 0.5 && duration <= 600))
    {
      std::fprintf(stderr, "usage: rtm_bench [--duration SEC]   (runs every benchmark; SEC from 0.5 to 600, default 3)\n");
      return 2;
    }
  return runAll(self, duration);
}
