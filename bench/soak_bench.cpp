// Soak benchmark, run on demand: VorlindeComp on the built-in scene at its
// full frame rate, for a given time, among the trouble a lab brings:
//   - two senders at 1 kHz: one standing for the whole run, one killed
//     (SIGKILL) and started again every 10 s;
//   - a key (c, v, b in turn) pressed in the window every second;
//   - the naming service killed and started again, empty, every minute;
//   - a tool asking for the component's contexts (get_owned_contexts,
//     get_context, the context's profile) every 5 ms, as the calls around
//     an exit() do.
// Every 10 s it samples the program's resident memory, threads and open
// files; at the end it prints their slope after the first minute, what
// the standing sender sent and the port accepted, and how soon the
// component was found by name after each restart of the naming service.
// The peer, measured in the same run: an InPortCdr servant on bare
// omniORB under the same put traffic (2 kHz).
//
//   soak_bench [MINUTES]     (default 10)
//   soak_bench send|bare-sink|bare-send ...   the child roles
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <rtm/Manager.h>

#include "Naming.h"
#include "NVUtil.h"
#include "bench_support.h"
#include "process.h"
#include "sender.h"

using Clock = std::chrono::steady_clock;
using testing_support::Process;

namespace
{
  const double UPDATE_INTERVAL = 10.0;  // naming.update.interval: the default

  double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

  std::string hostName()
  {
    char name[256] = {0};
    gethostname(name, sizeof name - 1);
    return name;
  }

  // ------------------------------------------------------------ children

  // Finds TARGET by name (retrying while the naming service restarts),
  // connects, activates, then writes at RATE until the end of standard
  // input: "sent N failed F".
  int runSend(const std::string& nameserver, const std::string& target, double rate)
  {
    sender::AngleSender* s = sender::startSender("soak-send");
    std::string error;
    RTC::PortService_var port;
    auto start = Clock::now();
    while (!sender::findPort(nameserver, target, port, error) && since(start) < 60)
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (CORBA::is_nil(port) || sender::connect(s->port, port, false, error).empty() ||
        !sender::activateOwner(port, error))
      {
        std::fprintf(stderr, "soak sender: %s\n", error.c_str());
        return 1;
      }
    std::printf("connected\n");
    std::fflush(stdout);
    std::atomic<bool> done(false);
    std::thread stop([&] {
        bench::waitForEof();
        done = true;
      });
    RTC::TimedFloatSeq& d = s->data;
    d.tm.sec = 0;
    d.tm.nsec = 0;
    d.data.length(3);
    const auto period = std::chrono::nanoseconds(static_cast<long long>(1e9 / rate));
    auto next = Clock::now();
    long sent = 0, failed = 0;
    while (!done)
      {
        const double t = static_cast<double>(sent) / rate;
        d.data[0] = static_cast<float>(45 * std::sin(0.6 * t));
        d.data[1] = static_cast<float>(90 * std::sin(0.3 * t));
        d.data[2] = static_cast<float>(60 * std::sin(0.9 * t + 1));
        ++sent;
        failed += !s->port.write();
        next += period;
        std::this_thread::sleep_until(next);
      }
    stop.join();
    std::printf("sent %ld failed %ld\n", sent, failed);
    return 0;
  }

  // Raw puts of one datum at RATE to the bare peer, until the end of input.
  int runBareSend(const std::string& nameserver, double rate)
  {
    bench::startManager({"soak-bare-send", "-o", "naming.enable:NO"});
    CORBA::ORB_var orb = RTC::NVUtil::theORB();
    CORBA::Object_var obj = RTC::NamingClient(orb, nameserver).resolve("bench.host_cxt/Bare0.rtc");
    OpenRTM::InPortCdr_var cdr = OpenRTM::InPortCdr::_narrow(obj);
    RTC::TimedFloatSeq d;
    d.tm.sec = d.tm.nsec = 0;
    d.data.length(3);
    d.data[0] = d.data[1] = d.data[2] = 1;
    cdrMemoryStream bytes;
    bytes.setByteSwapFlag(true);
    d >>= bytes;
    OpenRTM::CdrData data(bytes.bufSize(), bytes.bufSize(), static_cast<CORBA::Octet*>(bytes.bufPtr()), false);
    std::atomic<bool> done(false);
    std::thread stop([&] {
        bench::waitForEof();
        done = true;
      });
    const auto period = std::chrono::nanoseconds(static_cast<long long>(1e9 / rate));
    auto next = Clock::now();
    long sent = 0, failed = 0;
    while (!done)
      {
        ++sent;
        try
          {
            failed += cdr->put(data) != OpenRTM::PORT_OK;
          }
        catch (const CORBA::Exception&)
          {
            ++failed;
          }
        next += period;
        std::this_thread::sleep_until(next);
      }
    stop.join();
    std::printf("sent %ld failed %ld\n", sent, failed);
    return 0;
  }

  // ---------------------------------------------------------------- driver

  struct Sample
  {
    double minutes;
    long rssKb, threads, files, peerRssKb;
  };

  long statusField(pid_t pid, const char* key)
  {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string word;
    long value = -1;
    while (in >> word)
      if (word == key)
        {
          in >> value;
          break;
        }
    return value;
  }

  long openFiles(pid_t pid)
  {
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr)
      return -1;
    long n = 0;
    while (dirent* e = readdir(dir))
      n += e->d_name[0] != '.';
    closedir(dir);
    return n;
  }

  // Least-squares slope of y over x, for the samples from the first
  // minute on.
  double slope(const std::vector<Sample>& samples, long Sample::*field)
  {
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (const Sample& s : samples)
      {
        if (s.minutes < 1.0)
          continue;
        const double y = static_cast<double>(s.*field);
        n += 1;
        sx += s.minutes;
        sy += y;
        sxx += s.minutes * s.minutes;
        sxy += s.minutes * y;
      }
    const double den = n * sxx - sx * sx;
    return n >= 2 && den != 0 ? (n * sxy - sx * sy) / den : 0.0;
  }

  int runAll(const std::string& self, double minutes)
  {
    testing_support::NamingServer names(testing_support::freePort());
    names.start();
    const std::string server = names.address();
    testing_support::XServer x;
    if (x.display().empty())
      {
        std::fprintf(stderr, "soak: no X server could be started\n");
        return 1;
      }
    bench::startManager({"soak", "-o", "naming.enable:NO"});
    CORBA::ORB_var orb = RTC::NVUtil::theORB();
    const std::string path = hostName() + ".host_cxt/Vorlinde0.rtc";
    auto bound = [&] {
      CORBA::Object_var obj = RTC::NamingClient(orb, server, 500).resolve(path);
      return !CORBA::is_nil(obj);
    };

    Process viewer({testing_support::builtProgram("viewer/VorlindeComp"), "-o", "corba.nameservers:" + server},
                   {"VORLINDE_VIDEO=-synthetic -fps=1000", "DISPLAY=" + x.display()}, PROJ_SOURCE_DIR);
    for (auto t = Clock::now(); !bound() && since(t) < 10;)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Process bareSink({self, "bare-sink", server});
    bareSink.waitForOutput("ready", 10000);
    Process bareSend({self, "bare-send", server, "2000"});
    const std::vector<std::string> sendArgs = {self, "send", server, "Vorlinde0:Angle", "1000"};
    Process standing(sendArgs);
    std::unique_ptr<Process> restarted(new Process(sendArgs));
    bool connected = standing.waitForOutput("connected", 30000) && restarted->waitForOutput("connected", 30000);

    // The tool that keeps asking for the component's contexts.
    std::atomic<bool> asking(true);
    std::atomic<long> asked(0), unanswered(0);
    std::thread asker([&] {
        RTC::RTObject_var rtc;
        while (asking)
          {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            try
              {
                if (CORBA::is_nil(rtc))
                  {
                    CORBA::Object_var obj = RTC::NamingClient(orb, server, 500).resolve(path);
                    rtc = RTC::RTObject::_narrow(obj);
                    if (CORBA::is_nil(rtc))
                      continue;
                    omniORB::setClientCallTimeout(rtc, 2000);
                  }
                RTC::ExecutionContextList_var owned = rtc->get_owned_contexts();
                RTC::ExecutionContext_var first = rtc->get_context(0);
                RTC::ExecutionContextList_var joined = rtc->get_participating_contexts();
                if (owned->length() > 0)
                  owned[0]->is_running();
                ++asked;
              }
            catch (const CORBA::Exception&)
              {
                ++unanswered;
              }
          }
      });

    std::vector<Sample> samples;
    std::vector<double> rebinds;
    int senderRestarts = 0, reconnects = 0, keys = 0;
    std::size_t mostConnectors = 0;
    const char* keyNames[] = {"c", "v", "b"};
    setenv("DISPLAY", x.display().c_str(), 1);
    testing_support::run({"/usr/bin/xdotool", "mousemove", "320", "240"}, nullptr, 5000);
    const auto start = Clock::now();
    for (int second = 1; since(start) < minutes * 60 && viewer.running(); ++second)
      {
        std::this_thread::sleep_until(start + std::chrono::seconds(second));
        keys += testing_support::run({"/usr/bin/xdotool", "key", keyNames[second % 3]}, nullptr, 5000) == 0;
        viewer.errorText();  // keep its pipe drained
        if (second % 60 == 0)
          {
            names.stop(true);  // as a crash or a reboot would
            names.start();
            const auto restartedAt = Clock::now();
            while (!bound() && since(restartedAt) < 3 * UPDATE_INTERVAL)
              std::this_thread::sleep_for(std::chrono::milliseconds(100));
            rebinds.push_back(bound() ? since(restartedAt) : -1);
          }
        if (second % 10 == 0)
          {
            restarted->signal(SIGKILL);
            restarted->wait(5000);
            restarted.reset(new Process(sendArgs));
            ++senderRestarts;
            reconnects += restarted->waitForOutput("connected", 30000);
            // The connectors the port lists (reading them drops the dead).
            CORBA::Object_var obj = RTC::NamingClient(orb, server, 1000).resolve(path);
            RTC::RTObject_var rtc = RTC::RTObject::_narrow(obj);
            if (!CORBA::is_nil(rtc))
              {
                RTC::PortServiceList_var ports = rtc->get_ports();
                RTC::ConnectorProfileList_var list = ports[0]->get_connector_profiles();
                mostConnectors = std::max<std::size_t>(mostConnectors, list->length());
              }
            samples.push_back(Sample{since(start) / 60, statusField(viewer.pid(), "VmRSS:"),
                                     statusField(viewer.pid(), "Threads:"), openFiles(viewer.pid()),
                                     statusField(bareSink.pid(), "VmRSS:")});
            const Sample& s = samples.back();
            std::fprintf(stderr, "soak: %5.1f min  rss %ld kB  threads %ld  files %ld  (peer rss %ld kB)\n",
                         s.minutes, s.rssKb, s.threads, s.files, s.peerRssKb);
          }
      }
    const bool alive = viewer.running();
    asking = false;
    asker.join();

    standing.closeInput();
    auto standingCounts = bench::readCounts(standing);
    restarted->closeInput();
    restarted->wait(5000);
    bareSend.closeInput();
    auto peerCounts = bench::readCounts(bareSend);
    bareSink.closeInput();
    auto peerGot = bench::readCounts(bareSink);
    viewer.signal(SIGTERM);
    viewer.wait(5000);

    auto range = [&](long Sample::*f) {
      long lo = samples.empty() ? 0 : samples[0].*f, hi = lo;
      for (const Sample& s : samples)
        {
          lo = std::min(lo, s.*f);
          hi = std::max(hi, s.*f);
        }
      return std::to_string(lo) + ".." + std::to_string(hi);
    };
    const double rssSlope = slope(samples, &Sample::rssKb), peerSlope = slope(samples, &Sample::peerRssKb);
    std::printf("soak of %.1f min, %zu samples\n", since(start) / 60, samples.size());
    std::printf("%-46s %14s %14s  %s\n", "measure", "ours", "peer", "target");
    std::printf("%-46s %14s %14s  %s\n", "resident memory, kB (min..max)", range(&Sample::rssKb).c_str(),
                range(&Sample::peerRssKb).c_str(), "");
    std::printf("%-46s %14.2f %14.2f  < 1 kB/min\n", "resident memory slope after 1 min, kB/min", rssSlope,
                peerSlope);
    std::printf("%-46s %14s %14s  flat\n", "threads (min..max)", range(&Sample::threads).c_str(), "");
    std::printf("%-46s %14s %14s  flat\n", "open files (min..max)", range(&Sample::files).c_str(), "");
    std::printf("%-46s %14.0f %14.0f\n", "datums sent (standing sender; peer 2 kHz)", standingCounts["sent"],
                peerCounts["sent"]);
    // A sender that never reported (it died) is shown as -1.
    const double lostOurs = standingCounts.count("sent") ? standingCounts["failed"] : -1;
    std::printf("%-46s %14.0f %14.0f  0\n", "  refused or lost while connected", lostOurs,
                peerCounts["sent"] - peerGot["count"]);
    std::printf("%-46s %9d of %2d %14s  all\n", "sender restarts that reconnected", reconnects, senderRestarts, "");
    std::printf("%-46s %14zu %14s  <= 2 live\n", "connectors at the port, most seen", mostConnectors, "");
    double worst = 0;
    int lost = 0;
    for (double r : rebinds)
      {
        worst = std::max(worst, r);
        lost += r < 0;
      }
    std::printf("%-46s %9zu, %2d lost %14s  all\n", "naming restarts, component found again", rebinds.size(), lost,
                "");
    std::printf("%-46s %13.1fs %14s  <= %.0f s\n", "  longest time to be found again", worst, "", UPDATE_INTERVAL);
    std::printf("%-46s %14d %14s\n", "keys pressed", keys, "");
    std::printf("%-46s %9ld, %2ld lost %9s  all\n", "context queries answered", asked.load(), unanswered.load(),
                "");
    std::printf("%-46s %14s %14s  yes\n", "program alive to the end", alive ? "yes" : "NO", "");
    return alive && connected ? 0 : 1;
  }
}

int main(int argc, char** argv)
{
  const std::string self = argv[0][0] == '/' ? argv[0] : std::string(getcwd(nullptr, 0)) + "/" + argv[0];
  const std::string role = argc > 1 ? argv[1] : "";
  if (role == "send" && argc > 4)
    return runSend(argv[2], argv[3], std::atof(argv[4]));
  if (role == "bare-sink" && argc > 2)
    return bench::runBareSink(argv[2], "bench.host_cxt/Bare0.rtc");
  if (role == "bare-send" && argc > 3)
    return runBareSend(argv[2], std::atof(argv[3]));
  const double minutes = role.empty() ? 10.0 : std::atof(role.c_str());
  if (!(minutes > 0))
    {
      std::fprintf(stderr, "usage: soak_bench [MINUTES]   (default 10)\n");
      return 2;
    }
  return runAll(self, minutes);
}
