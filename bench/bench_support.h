// What the benchmarks share: how a child is told to stop and how it
// reports, and the peer the runtime is measured against, an InPortCdr
// servant on bare omniORB (no runtime), bound in the naming service.
#ifndef VORLINDE_BENCH_SUPPORT_H
#define VORLINDE_BENCH_SUPPORT_H

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <rtm/Manager.h>
#include <rtm/RTC.h>

#include "Naming.h"
#include "process.h"

namespace bench
{
  // A process's resident memory, kB (-1 when it cannot be read).
  inline long rssKb(pid_t pid)
  {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long value = 0;
    while (in >> key)
      if (key == "VmRSS:")
        return in >> value ? value : -1;
    return -1;
  }

  // Starts this process's manager with args (the program's name first)
  // and activates it.
  inline RTC::Manager* startManager(const std::vector<std::string>& args)
  {
    static std::vector<std::string> keep;
    static std::vector<char*> argv;
    keep = args;
    argv.clear();
    for (std::string& a : keep)
      argv.push_back(&a[0]);
    argv.push_back(nullptr);
    RTC::Manager* m = RTC::Manager::init(static_cast<int>(keep.size()), argv.data());
    m->activateManager();
    return m;
  }

  // Reads standard input to its end: how the driver tells a child to stop.
  inline void waitForEof()
  {
    std::string line;
    while (std::getline(std::cin, line))
      {
      }
  }

  // A child's report, "key value key value ...": the first line that holds
  // "count" or "sent".
  inline std::map<std::string, double> readCounts(testing_support::Process& p)
  {
    std::map<std::string, double> out;
    std::string line;
    while (p.readLine(line, 10000))
      {
        std::istringstream words(line);
        std::string key;
        double value;
        while (words >> key >> value)
          out[key] = value;
        if (out.count("count") || out.count("sent"))
          break;
      }
    return out;
  }

  class BareSink : public POA_OpenRTM::InPortCdr
  {
  public:
    std::atomic<unsigned long> count{0};
    OpenRTM::PortStatus put(const OpenRTM::CdrData&) override
    {
      ++count;
      return OpenRTM::PORT_OK;
    }
  };

  // Serves a BareSink bound as path, prints "ready", and at the end of
  // standard input "count N refused 0".
  inline int runBareSink(const std::string& nameserver, const std::string& path)
  {
    int argc = 1;
    char name[] = "bare";
    char* argv[] = {name, nullptr};
    CORBA::ORB_var orb = CORBA::ORB_init(argc, argv);
    CORBA::Object_var obj = orb->resolve_initial_references("RootPOA");
    PortableServer::POA_var poa = PortableServer::POA::_narrow(obj);
    BareSink* sink = new BareSink;
    PortableServer::ObjectId_var oid = poa->activate_object(sink);
    CORBA::Object_var ref = poa->id_to_reference(oid);
    PortableServer::POAManager_var pm = poa->the_POAManager();
    pm->activate();
    RTC::NamingClient(orb, nameserver).bind(path, ref);
    std::printf("ready\n");
    std::fflush(stdout);
    waitForEof();
    std::printf("count %lu refused 0\n", sink->count.load());
    return 0;
  }
}

#endif
