// What hostile peers can take from a process through its connections, run
// on demand: the component's host (our runtime) against a bare omniORB
// servant with omniORB's defaults (the peer), under the same attacks.
//
//   1. 1 500 connections from 24 addresses, each sending a 2 MB datum but
//      its last byte: memory added while they are held, and what is left
//      15 s after they close; then the same with datums of 60 KiB, the
//      largest our port takes.
//   2. One address opening 10 000 connections of 7 bytes of a GIOP header
//      each and keeping them: how long an ordinary client's call takes
//      meanwhile.
//
//   flood_bench             runs everything and prints the table
//   flood_bench host|bare NAMESERVER   the targets the driver starts
//   flood_bench ping IOR               an ordinary client's one call
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Naming.h"
#include "NVUtil.h"
#include "Vorlinde.h"
#include "bench_support.h"
#include "process.h"
#include "raw_giop.h"
#include "sender.h"

using Clock = std::chrono::steady_clock;
using testing_support::Process;
using testing_support::RawConnection;

namespace
{
  using bench::rssKb;

  int runHost(const std::string& nameserver)
  {
    RTC::Manager* m = bench::startManager({"flood_bench", "-o", "corba.nameservers:" + nameserver, "-o",
                                           "corba.endpoints:127.0.0.1:"});
    registerVorlindeFactory(m);
    m->createComponent("Vorlinde");
    std::printf("ready\n");
    std::fflush(stdout);
    bench::waitForEof();
    return 0;
  }

  struct Target
  {
    std::unique_ptr<Process> process;
    CORBA::Object_var call;  // what an ordinary client calls
    std::string sinkKey;     // where data goes
    int port = 0;
  };

  int portOf(CORBA::Object_ptr obj)
  {
    omniIOR* ior = obj->_PR_getobj()->_getIOR();
    IIOP::ProfileBody body;
    IIOP::unmarshalProfile(ior->iopProfiles()[0], body);
    ior->release();
    return body.address.port;
  }

  Target startTarget(const std::string& self, const std::string& role, const std::string& server,
                     sender::AngleSender& client)
  {
    Target t;
    t.process.reset(new Process({self, role, server}));
    t.process->waitForOutput("ready", 10000);
    CORBA::ORB_var orb = RTC::NVUtil::theORB();
    RTC::NamingClient naming(orb, server);
    if (role == "bare")
      {
        t.call = naming.resolve("bench.host_cxt/Bare0.rtc");
        t.sinkKey = testing_support::objectKey(t.call);
      }
    else
      {
        RTC::PortService_var port;
        std::string error;
        sender::findPort(server, "Vorlinde0:Angle", port, error);
        t.call = RTC::PortService::_duplicate(port);
        sender::connect(client.port, port, false, error);
        RTC::ConnectorProfileList_var mine = client.port.get_connector_profiles();
        std::string ior;
        RTC::NVUtil::getString(mine[mine->length() - 1].properties, "dataport.corba_cdr.inport_ior", ior);
        CORBA::Object_var sink = orb->string_to_object(ior.c_str());
        t.sinkKey = testing_support::objectKey(sink);
      }
    t.port = portOf(t.call);
    return t;
  }

  // Attack 1: memory added while the stalled datums are held, and what is
  // left 15 s after they closed (kB).
  void stalledData(Target& t, uint32_t datum, long& added, long& left)
  {
    const pid_t pid = t.process->pid();
    const long before = rssKb(pid);
    std::atomic<long> peak(before);
    std::atomic<bool> done(false);
    std::thread watch([&] {
        while (!done)
          {
            peak = std::max(peak.load(), rssKb(pid));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
          }
      });
    {
      std::vector<std::unique_ptr<RawConnection> > held[24];
      std::vector<std::thread> attackers;
      const std::string request = testing_support::putRequest(t.sinkKey, datum, datum - 1);
      for (int a = 0; a < 24; ++a)
        attackers.emplace_back([&, a] {
            const std::string from = "127.0.0." + std::to_string(a + 2);
            for (int i = 0; i < 63; ++i)
              {
                held[a].emplace_back(new RawConnection(t.port, from.c_str()));
                held[a].back()->send(request);
              }
          });
      for (std::thread& th : attackers)
        th.join();
      std::this_thread::sleep_for(std::chrono::seconds(1));
      added = peak - before;
    }
    std::this_thread::sleep_for(std::chrono::seconds(15));
    done = true;
    watch.join();
    left = rssKb(pid) - before;
  }

  // Sockets the target process has open.
  int socketsOf(pid_t pid)
  {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    int n = 0;
    for (dirent* e = d ? readdir(d) : nullptr; e != nullptr; e = readdir(d))
      {
        char target[64] = {0};
        if (readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1) > 0 &&
            std::string(target).compare(0, 7, "socket:") == 0)
          ++n;
      }
    if (d)
      closedir(d);
    return n;
  }

  // An ordinary client's call, as a new process makes it (a tool started
  // from the shell, a sender): its own connection. Milliseconds, or -1
  // when it got no answer within 5 s.
  double freshCall(const std::string& self, CORBA::Object_ptr target)
  {
    CORBA::ORB_var orb = RTC::NVUtil::theORB();
    CORBA::String_var ior = orb->object_to_string(target);
    const Clock::time_point start = Clock::now();
    Process p({self, "ping", ior.in()});
    const int status = p.wait(6000);
    return status == 0 ? std::chrono::duration<double, std::milli>(Clock::now() - start).count() : -1;
  }

  int runPing(const char* ior)
  {
    int argc = 3;
    char name[] = "ping", opt[] = "-ORBclientCallTimeOutPeriod", ms[] = "5000";
    char* argv[] = {name, opt, ms, nullptr};
    CORBA::ORB_var orb = CORBA::ORB_init(argc, argv);
    try
      {
        CORBA::Object_var obj = orb->string_to_object(ior);
        return obj->_non_existent() ? 1 : 0;
      }
    catch (const CORBA::Exception&)
      {
        return 1;
      }
  }

  // Attack 2: the slowest of ten ordinary calls (ms) while one address
  // holds as many connections as it can; -1 when a call got no answer.
  double callsDuringIdleFlood(const std::string& self, Target& t, int& held)
  {
    std::vector<std::unique_ptr<RawConnection> > flood;
    for (int i = 0; i < 10000; ++i)
      {
        flood.emplace_back(new RawConnection(t.port, "127.0.0.2"));
        flood.back()->send(std::string("GIOP\x01\x02\x01", 7));
        if (i % 500 == 499)
          {
            // Those the target closed give back our own descriptors.
            flood.erase(std::remove_if(flood.begin(), flood.end(),
                                       [](const std::unique_ptr<RawConnection>& c) { return !c->open(); }),
                        flood.end());
          }
      }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    held = socketsOf(t.process->pid());
    double slowest = 0;
    for (int i = 0; i < 10; ++i)
      {
        const double ms = freshCall(self, t.call);
        if (ms < 0)
          return -1;
        slowest = std::max(slowest, ms);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
    return slowest;
  }

  int runAll(const std::string& self)
  {
    // The flood needs descriptors: as many as this process may have.
    rlimit files;
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);

    const int port = testing_support::freePort();
    const std::string server = "127.0.0.1:" + std::to_string(port);
    char dir[] = "/tmp/flood-bench-XXXXXX";
    mkdtemp(dir);
    Process names({"/usr/bin/omniNames", "-start", std::to_string(port), "-always", "-logdir", dir, "-ORBendPoint",
                   "giop:tcp:" + server});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    sender::AngleSender* client = sender::startSender("flood_bench");

    std::printf("%-52s %12s %12s %8s  %s\n", "flood (peer: bare omniORB servant, defaults)", "ours", "peer", "ratio",
                "target");
    for (uint32_t datum : {2000000u, 61440u})
      {
        long added[2] = {0, 0}, left[2] = {0, 0};
        for (int i = 0; i < 2; ++i)
          {
            Target t = startTarget(self, i == 0 ? "host" : "bare", server, *client);
            stalledData(t, datum, added[i], left[i]);
            t.process->closeInput();
            t.process->wait(5000);
          }
        char label[96];
        std::snprintf(label, sizeof label, "1500 stalled %u-byte datums: MB added", datum);
        std::printf("%-52s %12.1f %12.1f %8.3f  <= 256\n", label, added[0] / 1024.0, added[1] / 1024.0,
                    added[1] > 0 ? static_cast<double>(added[0]) / added[1] : 0.0);
        std::snprintf(label, sizeof label, "  15 s after they closed: MB above the start");
        std::printf("%-52s %12.1f %12.1f %8.3f  <= 32\n", label, left[0] / 1024.0, left[1] / 1024.0,
                    left[1] > 0 ? static_cast<double>(left[0]) / left[1] : 0.0);
      }
    double slowest[2];
    int held[2];
    for (int i = 0; i < 2; ++i)
      {
        Target t = startTarget(self, i == 0 ? "host" : "bare", server, *client);
        slowest[i] = callsDuringIdleFlood(self, t, held[i]);
        t.process->closeInput();
        t.process->signal(SIGKILL);
        t.process->wait(5000);
      }
    std::printf("%-52s %12d %12d %8s\n", "10000 idle connections from one address: sockets", held[0], held[1],
                "");
    std::printf("%-52s %10.1fms %10.1fms %8s  <= 2000 ms (-1: no answer)\n",
                "  slowest new client's call meanwhile", slowest[0], slowest[1], "");
    names.signal(SIGTERM);
    names.wait(5000);
    std::system((std::string("rm -rf ") + dir).c_str());
    return 0;
  }
}

int main(int argc, char** argv)
{
  const std::string self = argv[0][0] == '/' ? argv[0] : std::string(getcwd(nullptr, 0)) + "/" + argv[0];
  const std::string role = argc > 1 ? argv[1] : "";
  signal(SIGPIPE, SIG_IGN);
  if (role == "ping" && argc > 2)
    return runPing(argv[2]);
  if (role == "host" && argc > 2)
    return runHost(argv[2]);
  if (role == "bare" && argc > 2)
    return bench::runBareSink(argv[2], "bench.host_cxt/Bare0.rtc");
  if (!role.empty())
    {
      std::fprintf(stderr, "usage: flood_bench   (runs every attack)\n");
      return 2;
    }
  return runAll(self);
}
