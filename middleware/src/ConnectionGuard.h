// What the peers of this process may hold of it through their
// connections. omniORB takes every connection it is offered and gives each
// a thread and buffers for as long as the peer keeps it open, even one
// that never sends a whole request. The guard, installed as omniORB's
// connection and request interceptors, bounds that:
//
//   - at most `total` incoming connections at once, and at most
//     `per_peer` from one address; a connection beyond either is closed as
//     it is accepted (said at most once a minute per address);
//   - a connection that has not completed a request `idle_seconds` after
//     it was accepted is closed (0: never);
//   - memory that closed connections held goes back to the system.
//
// Limits come from corba.max_connections (512), corba.max_connections_per_peer
// (64) and corba.idle_connection_timeout (30 s); -1 lifts a limit.
#ifndef RTM_SRC_CONNECTIONGUARD_H
#define RTM_SRC_CONNECTIONGUARD_H

#include <rtm/config_rtc.h>
#include <string>

#include <omniORB4/CORBA.h>

#include <coil/Properties.h>

RTM_NAMESPACE_BEGIN(RTC)
  namespace ConnectionGuard
  {
    struct Limits
    {
      int total = 512;
      int perPeer = 64;
      double idleSeconds = 30.0;
      bool tlsRequired = false;  // plain TCP connections are refused
    };

    // The limits the configuration gives; a value that is no number in
    // range is said in one line and its default used.
    Limits fromConfig(const coil::Properties& config);

    // Registers the interceptors and starts the guard's thread; once per
    // process (later calls change the limits).
    void install(const Limits& limits);

    // Incoming connections open now (for tests and benchmarks).
    int openConnections();

    // For the servants' _dispatch: true when the request's message is at
    // most limit bytes (or comes from this process). Otherwise the
    // connection is closed, one line says so, and CORBA::MARSHAL is
    // thrown, before the request's arguments are read.
    bool admitRequest(omniCallHandle& handle, unsigned long limit);
    // Every servant's limit unless it has its own: the ORB's.
    unsigned long messageLimit();
    // What a datum may take: a port carries a few numbers.
    const unsigned long DATUM_LIMIT = 64 * 1024;

    // "127.0.0.1" of "giop:tcp:127.0.0.1:5000", "giop:ssl:[::ffff:127.0.0.1]:5000".
    std::string peerHost(const std::string& address);
  }
RTM_NAMESPACE_END

#endif
