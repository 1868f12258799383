// The peer the runtime is measured against: an InPortCdr servant on bare
// omniORB (no runtime), bound in the naming service, counting puts.
#ifndef VORLINDE_BENCH_BARE_PEER_H
#define VORLINDE_BENCH_BARE_PEER_H

#include <atomic>
#include <cstdio>
#include <iostream>
#include <string>

#include <rtm/RTC.h>

#include "Naming.h"

namespace bench
{
  // Reads standard input to its end: how the driver tells a child to stop.
  inline void waitForEof()
  {
    std::string line;
    while (std::getline(std::cin, line))
      {
      }
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
