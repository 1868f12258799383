// Connections and GIOP requests of our own making, as a hostile peer sends
// them: from a loopback address of our choice, requests that declare more
// than they send. For the tests and the flood benchmark.
#ifndef VORLINDE_TESTS_RAW_GIOP_H
#define VORLINDE_TESTS_RAW_GIOP_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

#include <omniORB4/CORBA.h>
#include <omniORB4/omniIOR.h>
#include <omniORB4/omniObjRef.h>

namespace testing_support
{
  class RawConnection
  {
  public:
    // Connects to 127.0.0.1:port from the address from.
    RawConnection(int port, const char* from = "127.0.0.1")
    {
      m_fd = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in mine = {};
      mine.sin_family = AF_INET;
      inet_pton(AF_INET, from, &mine.sin_addr);
      bind(m_fd, reinterpret_cast<sockaddr*>(&mine), sizeof mine);
      sockaddr_in server = {};
      server.sin_family = AF_INET;
      server.sin_port = htons(static_cast<uint16_t>(port));
      inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
      m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0;
    }
    ~RawConnection() { close(m_fd); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    // False when the server closed the connection before it took it all.
    bool send(const std::string& bytes)
    {
      std::size_t done = 0;
      while (done < bytes.size())
        {
          const ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
          if (n <= 0)
            return false;
          done += static_cast<std::size_t>(n);
        }
      return true;
    }

    // True while the server keeps the connection open: waits up to ms
    // for it to close, reading (and dropping) whatever it sends first.
    bool open(int ms = 0)
    {
      typedef std::chrono::steady_clock Clock;
      if (!m_connected)
        return false;
      const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
      for (;;)
        {
          const int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
          pollfd p = {m_fd, POLLIN, 0};
          if (poll(&p, 1, left > 0 ? left : 0) <= 0)
            return true;
          char buffer[4096];
          if (recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT) <= 0)
            return false;
        }
    }

  private:
    int m_fd;
    bool m_connected = false;
  };

  // The object key of a reference, as a request carries it.
  inline std::string objectKey(CORBA::Object_ptr obj)
  {
    omniIOR* ior = obj->_PR_getobj()->_getIOR();
    IIOP::ProfileBody body;
    IIOP::unmarshalProfile(ior->iopProfiles()[0], body);
    std::string key(reinterpret_cast<const char*>(body.object_key.get_buffer()), body.object_key.length());
    ior->release();
    return key;
  }

  inline void put32(std::string& out, uint32_t v)
  {
    while (out.size() % 4 != 0)
      out += '\0';
    out.append(reinterpret_cast<const char*>(&v), 4);
  }

  // A GIOP 1.2 request for put(octets) on key, little-endian, whose octet
  // sequence declares `declared` bytes; returns the bytes up to and with
  // the first `sent` of them.
  inline std::string putRequest(const std::string& key, uint32_t declared, uint32_t sent)
  {
    std::string body;
    put32(body, 7);                              // request id
    body += std::string("\x03\0\0\0", 4);        // response flags, reserved
    body += std::string("\0\0", 2);              // target: by key
    put32(body, static_cast<uint32_t>(key.size()));
    body += key;
    put32(body, 4);                              // operation "put"
    body += std::string("put\0", 4);
    put32(body, 0);                              // no service contexts
    while ((body.size() + 12) % 8 != 0)          // the arguments start aligned
      body += '\0';
    put32(body, declared);
    const uint32_t size = static_cast<uint32_t>(body.size() + declared);
    std::string message("GIOP\x01\x02\x01\x00", 8);
    message.append(reinterpret_cast<const char*>(&size), 4);
    return message + body + std::string(sent, '\x55');
  }
}

#endif
