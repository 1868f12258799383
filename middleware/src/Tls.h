// TLS between components, on omniORB's SSL transport, set by the
// corba.ssl.* keys:
//   corba.ssl.certificate_authority_file  the CA(s) peers' certificates come from (PEM)
//   corba.ssl.key_file                    this process's certificate, then its key (PEM)
//   corba.ssl.key_file_password           the key's password (unset: an unencrypted key)
//   corba.ssl.required                    YES: only TLS connections with a
//                                         certificate from the CA are accepted
// A process with a key serves TLS beside plain TCP (on the host of
// corba.endpoints); calls to peers that offer TLS use it.
#ifndef RTM_SRC_TLS_H
#define RTM_SRC_TLS_H

#include <rtm/config_rtc.h>
#include <string>
#include <vector>

#include <coil/Properties.h>

RTM_NAMESPACE_BEGIN(RTC)
  namespace Tls
  {
    // Whether the configuration sets any corba.ssl key.
    bool configured(const coil::Properties& config);
    bool required(const coil::Properties& config);
    // Whether this process serves TLS (it has a key).
    bool serves(const coil::Properties& config);

    // Checks the files (present, readable, PEM; the key opens with its
    // password and matches its certificate) and hands them to omniORB,
    // before the ORB starts. False with one line in error naming the file
    // and what is wrong.
    bool prepare(const coil::Properties& config, std::string& error);

    // "giop:ssl:HOST:" for each host of the TCP endpoints ("giop:ssl::"
    // when they name none).
    std::vector<std::string> endpoints(const std::vector<std::string>& tcpEndpoints);

    // "ssliop:HOST:PORT" -> "corbaloc:ssliop:HOST:PORT/NameService";
    // "HOST[:PORT]" -> "corbaloc::HOST[:PORT]/NameService".
    std::string namingAddress(const std::string& server);
  }
RTM_NAMESPACE_END

#endif
