#include <rtm/config_rtc.h>
#include "ConnectionGuard.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include <omniORB4/CORBA.h>
#include <omniORB4/callHandle.h>
#include <omniORB4/omniInterceptors.h>
#include <omniORB4/internal/SocketCollection.h>
#include <omniORB4/internal/giopStrand.h>
#include <omniORB4/internal/giopStream.h>
#include <omniORB4/internal/GIOP_S.h>

#include "Report.h"
#include "Tls.h"

RTM_NAMESPACE_BEGIN(RTC)
  namespace ConnectionGuard
  {
    namespace
    {
      typedef std::chrono::steady_clock Clock;
      using omni::giopConnection;
      using omni::giopStrand;
      using omni::omniInterceptors;
      using omni::SocketHolder;

      // The socket of an accepted connection: omniORB keeps it in a
      // protected member of the class all its transports derive from.
      struct SocketOf : SocketHolder
      {
        static int fd(giopConnection* connection)
        {
          SocketHolder* holder = dynamic_cast<SocketHolder*>(connection);
          return holder == nullptr ? -1 : holder->*(&SocketOf::pd_socket);
        }
      };

      // Both ends of a socket, so that a descriptor number that has been
      // closed and given to another socket is not taken for this one.
      std::string endsOf(int fd)
      {
        sockaddr_storage mine, theirs;
        socklen_t a = sizeof mine, b = sizeof theirs;
        if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&mine), &a) != 0 ||
            getpeername(fd, reinterpret_cast<sockaddr*>(&theirs), &b) != 0)
          return "";
        return std::string(reinterpret_cast<const char*>(&mine), a) + "|" +
               std::string(reinterpret_cast<const char*>(&theirs), b);
      }

      struct Connection
      {
        int fd;
        std::string ends;
        std::string peer;
        Clock::time_point accepted;
        bool completed;
      };

      struct Guard
      {
        std::mutex mutex;
        Limits limits;
        std::map<const giopStrand*, Connection> open;
        std::size_t closedSinceTrim = 0;
        bool installed = false;
      };

      Guard& guard()
      {
        static Guard* g = new Guard;  // lives as long as omniORB's threads
        return *g;
      }

      // With the mutex held: forgets the connections that are gone.
      void forgetClosed(Guard& g)
      {
        for (auto it = g.open.begin(); it != g.open.end();)
          if (endsOf(it->second.fd) != it->second.ends)
            {
              it = g.open.erase(it);
              ++g.closedSinceTrim;
            }
          else
            ++it;
      }

      CORBA::Boolean onAccept(omniInterceptors::serverAcceptConnection_T::info_T& info)
      {
        Guard& g = guard();
        Connection c;
        c.fd = SocketOf::fd(info.strand.connection);
        c.ends = endsOf(c.fd);
        c.peer = peerHost(info.peeraddress() != nullptr ? info.peeraddress() : "");
        c.accepted = Clock::now();
        c.completed = false;
        const std::string address = info.peeraddress() != nullptr ? info.peeraddress() : "";
        std::string refusal;
        {
          std::lock_guard<std::mutex> lock(g.mutex);
          if (g.limits.tlsRequired && address.compare(0, 9, "giop:tcp:") == 0)
            {
              info.reject = 1;
              info.why = "TLS is required";
              Report::sometimes("plain refused " + c.peer, "plain connection from " + Report::quote(c.peer) +
                                                           " refused: TLS is required (corba.ssl.required)");
              return 1;
            }
          forgetClosed(g);
          int fromPeer = 0;
          for (const auto& kv : g.open)
            fromPeer += kv.second.peer == c.peer;
          const int total = static_cast<int>(g.open.size());
          if (g.limits.perPeer >= 0 && fromPeer >= g.limits.perPeer)
            refusal = std::to_string(fromPeer) + " connections from that address are open (corba.max_connections_per_peer)";
          else if (g.limits.total >= 0 && total >= g.limits.total)
            refusal = std::to_string(total) + " connections are open (corba.max_connections)";
          else
            g.open[&info.strand] = c;
        }
        if (!refusal.empty())
          {
            info.reject = 1;
            info.why = "too many connections";
            Report::sometimes("connection refused " + c.peer,
                              "connection from " + Report::quote(c.peer) + " refused: " + refusal +
                                "; further refusals for that address are said once a minute");
          }
        return 1;
      }

      void completed(giopStrand& strand)
      {
        Guard& g = guard();
        std::lock_guard<std::mutex> lock(g.mutex);
        auto it = g.open.find(&strand);
        if (it != g.open.end())
          it->second.completed = true;
      }

      CORBA::Boolean onReply(omniInterceptors::serverSendReply_T::info_T& info)
      {
        completed(info.giop_s.strand());
        return 1;
      }

      CORBA::Boolean onException(omniInterceptors::serverSendException_T::info_T& info)
      {
        completed(info.giop_s.strand());
        return 1;
      }

      // A oneway request has no reply: it completes when it arrives.
      CORBA::Boolean onRequest(omniInterceptors::serverReceiveRequest_T::info_T& info)
      {
        if (!info.giop_s.response_expected())
          completed(info.giop_s.strand());
        return 1;
      }

      // The size of the message a request came in, which omniORB keeps to
      // itself: named through an explicit instantiation, where access
      // rules do not apply.
      struct MessageSizeTag
      {
        typedef CORBA::ULong (omni::giopStream::*type)() const;
        friend type member(MessageSizeTag);
      };
      template <class Tag, typename Tag::type Member>
      struct Expose
      {
        friend typename Tag::type member(Tag) { return Member; }
      };
      template struct Expose<MessageSizeTag, &omni::giopStream::inputMessageSize>;

      // Once a second: close the connections that never completed a
      // request in time, and give back what closed connections held.
      void patrol()
      {
        Guard& g = guard();
        Clock::time_point lastTrim = Clock::now();
        for (;;)
          {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            bool trim = false;
            {
              std::lock_guard<std::mutex> lock(g.mutex);
              forgetClosed(g);
              const Clock::time_point now = Clock::now();
              const auto idle = std::chrono::duration<double>(g.limits.idleSeconds);
              for (auto it = g.open.begin(); it != g.open.end();)
                if (g.limits.idleSeconds > 0 && !it->second.completed && now - it->second.accepted > idle)
                  {
                    // The peer's next read fails; omniORB closes its side.
                    ::shutdown(it->second.fd, SHUT_RDWR);
                    it = g.open.erase(it);
                    ++g.closedSinceTrim;
                  }
                else
                  ++it;
              trim = g.closedSinceTrim >= 8 && now - lastTrim > std::chrono::seconds(5);
              if (trim)
                {
                  g.closedSinceTrim = 0;
                  lastTrim = now;
                }
            }
            // Connections that held large requests leave free memory in
            // the heaps of the threads that served them.
            if (trim)
              malloc_trim(0);
          }
      }
    }

    bool admitRequest(omniCallHandle& handle, unsigned long limit)
    {
      omni::GIOP_S* request = dynamic_cast<omni::GIOP_S*>(handle.iop_s());
      if (request == nullptr)
        return true;  // a call within this process
      const omni::giopStream& stream = *request;
      const unsigned long size = (stream.*member(MessageSizeTag()))();
      if (size <= limit)
        return true;
      // omniORB bounds only messages sent in fragments; a whole one gets
      // all it claims set aside (a datum's octets, say) while the peer
      // takes its time sending it. Closed before its arguments are read.
      giopStrand& strand = request->strand();
      const std::string peer = peerHost(strand.connection->peeraddress());
      ::shutdown(SocketOf::fd(strand.connection), SHUT_RDWR);
      Report::sometimes("request too large " + peer,
                        "request \"" + Report::quote(handle.operation_name()) + "\" from " + Report::quote(peer) +
                          " refused: " + std::to_string(size) + " bytes, over the " + std::to_string(limit) +
                          " this object takes; the connection is closed (said once a minute)");
      throw CORBA::MARSHAL(0, CORBA::COMPLETED_NO);
    }

    unsigned long messageLimit() { return omniORB::giopMaxMsgSize(); }

    std::string peerHost(const std::string& address)
    {
      // giop:<transport>:<host>:<port>, the host bracketed when it is IPv6.
      std::string rest = address;
      for (int i = 0; i < 2; ++i)
        {
          std::string::size_type colon = rest.find(':');
          if (colon == std::string::npos)
            return address;
          rest = rest.substr(colon + 1);
        }
      std::string host = rest.substr(0, rest.rfind(':'));
      if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
      if (host.compare(0, 7, "::ffff:") == 0 && host.find('.') != std::string::npos)
        host = host.substr(7);
      return host;
    }

    namespace
    {
      int limitFrom(const coil::Properties& config, const char* key, int fallback)
      {
        const std::string text = coil::trim(config.getProperty(key));
        if (text.empty())
          return fallback;
        char* end = nullptr;
        const long value = std::strtol(text.c_str(), &end, 10);
        if (*end == '\0' && value >= -1 && value <= 1000000)
          return static_cast<int>(value);
        Report::line(std::string(key) + " \"" + Report::quote(text) + "\" is not a number from -1 (no limit) to 1000000; using " +
                     std::to_string(fallback));
        return fallback;
      }
    }

    Limits fromConfig(const coil::Properties& config)
    {
      Limits limits;
      limits.total = limitFrom(config, "corba.max_connections", limits.total);
      limits.perPeer = limitFrom(config, "corba.max_connections_per_peer", limits.perPeer);
      const std::string idle = coil::trim(config.getProperty("corba.idle_connection_timeout"));
      if (!idle.empty())
        {
          char* end = nullptr;
          const double seconds = std::strtod(idle.c_str(), &end);
          if (*end == '\0' && seconds >= 0.0 && seconds <= 86400.0)
            limits.idleSeconds = seconds;
          else
            Report::line("corba.idle_connection_timeout \"" + Report::quote(idle) +
                         "\" is not a number of seconds from 0 (never) to 86400; using 30");
        }
      limits.tlsRequired = Tls::required(config);
      return limits;
    }

    void install(const Limits& limits)
    {
      Guard& g = guard();
      {
        std::lock_guard<std::mutex> lock(g.mutex);
        g.limits = limits;
        if (g.installed)
          return;
        g.installed = true;
      }
      omniInterceptors* interceptors = omniORB::getInterceptors();
      interceptors->serverAcceptConnection.add(onAccept);
      interceptors->serverReceiveRequest.add(onRequest);
      interceptors->serverSendReply.add(onReply);
      interceptors->serverSendException.add(onException);
      std::thread(patrol).detach();
    }

    int openConnections()
    {
      Guard& g = guard();
      std::lock_guard<std::mutex> lock(g.mutex);
      forgetClosed(g);
      return static_cast<int>(g.open.size());
    }
  }
RTM_NAMESPACE_END
