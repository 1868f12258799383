#include "Tls.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <omniORB4/CORBA.h>
#include <omniORB4/sslContext.h>

#include "ManagerConfig.h"
#include "Report.h"

RTM_NAMESPACE_BEGIN(RTC)
  namespace Tls
  {
    namespace
    {
      const char CA_KEY[] = "corba.ssl.certificate_authority_file";
      const char KEY_KEY[] = "corba.ssl.key_file";
      const char PASSWORD_KEY[] = "corba.ssl.key_file_password";

      bool yes(const std::string& value)
      {
        const std::string v = coil::trim(value);
        return v == "YES" || v == "yes" || v == "Yes" || v == "TRUE" || v == "true" || v == "1";
      }

      // What omniORB keeps: its statics hold pointers for the process's life.
      std::string g_ca, g_key, g_password;
      bool g_required = false;

      struct FileCloser
      {
        void operator()(FILE* f) const { std::fclose(f); }
      };
      typedef std::unique_ptr<FILE, FileCloser> File;

      // The file opened for reading, or a line saying why not.
      File openPem(const char* key, const std::string& path, std::string& error)
      {
        const std::string named = std::string(key) + " \"" + path + "\"";
        struct stat st;
        if (stat(path.c_str(), &st) != 0)
          {
            error = named + ": " + std::strerror(errno);
            return File();
          }
        if (!S_ISREG(st.st_mode))
          {
            error = named + ": not a regular file";
            return File();
          }
        File f(std::fopen(path.c_str(), "r"));
        if (!f)
          error = named + ": " + std::strerror(errno);
        return f;
      }

      std::string openSslReason()
      {
        const unsigned long code = ERR_peek_last_error();
        ERR_clear_error();
        const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
        return reason != nullptr ? reason : "not PEM";
      }

      int givePassword(char* buf, int size, int, void* user)
      {
        const std::string* password = static_cast<const std::string*>(user);
        const int n = static_cast<int>(std::min<std::size_t>(password->size(), static_cast<std::size_t>(size)));
        std::memcpy(buf, password->data(), static_cast<std::size_t>(n));
        return n;
      }

      bool checkAuthority(const std::string& path, std::string& error)
      {
        File f = openPem(CA_KEY, path, error);
        if (!f)
          return false;
        X509* cert = PEM_read_X509(f.get(), nullptr, nullptr, nullptr);
        if (cert == nullptr)
          {
            ERR_clear_error();
            error = std::string(CA_KEY) + " \"" + path + "\": holds no PEM certificate";
            return false;
          }
        X509_free(cert);
        return true;
      }

      bool checkKey(const std::string& path, const std::string& password, bool passwordSet, std::string& error)
      {
        const std::string named = std::string(KEY_KEY) + " \"" + path + "\"";
        File f = openPem(KEY_KEY, path, error);
        if (!f)
          return false;
        X509* cert = PEM_read_X509(f.get(), nullptr, nullptr, nullptr);
        if (cert == nullptr)
          {
            ERR_clear_error();
            error = named + ": holds no PEM certificate (the file holds the certificate, then its private key)";
            return false;
          }
        std::rewind(f.get());
        std::string given = password;
        EVP_PKEY* key = PEM_read_PrivateKey(f.get(), nullptr, givePassword, &given);
        bool ok = key != nullptr;
        if (!ok)
          {
            // What the file holds says why better than OpenSSL's reason.
            std::rewind(f.get());
            std::string text(64 * 1024, '\0');
            text.resize(std::fread(&text[0], 1, text.size(), f.get()));
            const std::string reason = openSslReason();
            if (text.find("PRIVATE KEY-----") == std::string::npos)
              error = named + ": holds no private key after the certificate";
            else if (text.find("ENCRYPTED") != std::string::npos)
              error = named + (passwordSet ? ": the private key does not open with the password of " +
                                               std::string(PASSWORD_KEY)
                                           : ": the private key is encrypted and " + std::string(PASSWORD_KEY) +
                                               " is unset");
            else
              error = named + ": its private key cannot be read (" + reason + ")";
          }
        else if (X509_check_private_key(cert, key) != 1)
          {
            ERR_clear_error();
            error = named + ": the private key does not match the certificate";
            ok = false;
          }
        EVP_PKEY_free(key);
        X509_free(cert);
        return ok;
      }

      // "127.0.0.1" for the peer of the connection ssl runs on.
      std::string peerOf(const SSL* ssl)
      {
        sockaddr_storage addr;
        socklen_t len = sizeof addr;
        const int fd = SSL_get_fd(ssl);
        if (fd < 0 || getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
          return "";
        char text[INET6_ADDRSTRLEN] = "";
        if (addr.ss_family == AF_INET)
          inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&addr)->sin_addr, text, sizeof text);
        else if (addr.ss_family == AF_INET6)
          inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&addr)->sin6_addr, text, sizeof text);
        std::string host = text;
        if (host.compare(0, 7, "::ffff:") == 0 && host.find('.') != std::string::npos)
          host = host.substr(7);
        return host;
      }

      // Why our side of a handshake failed, when it was the certificate;
      // the peer, known while the handshake starts (the socket may be gone
      // by the time it fails).
      thread_local std::string t_verifyError, t_peer;

      int onVerify(int ok, X509_STORE_CTX* store)
      {
        if (!ok)
          t_verifyError = X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));
        return ok;
      }

      // A handshake that ends in a fatal alert is said, once a minute per
      // peer: refused here, or refused by the peer.
      // Marks a connection whose handshake has completed.
      int handshakeDoneIndex()
      {
        static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
        return index;
      }

      void onInfo(const SSL* ssl, int where, int ret)
      {
        SSL* s = const_cast<SSL*>(ssl);
        if ((where & SSL_CB_HANDSHAKE_START) != 0)
          {
            t_verifyError.clear();
            t_peer = peerOf(ssl);
          }
        if ((where & SSL_CB_HANDSHAKE_DONE) != 0)
          SSL_set_ex_data(s, handshakeDoneIndex(), s);
        // Only a failed handshake is news: a peer that goes away later
        // without a word is an ordinary end of a connection.
        if ((where & SSL_CB_ALERT) == 0 || std::strcmp(SSL_alert_type_string(ret), "F") != 0 ||
            SSL_get_ex_data(s, handshakeDoneIndex()) != nullptr)
          return;
        const bool server = SSL_is_server(s) != 0;
        std::string peer = peerOf(ssl);
        if (peer.empty())
          peer = t_peer.empty() ? "an unknown address" : t_peer;
        // TLS 1.3's "certificate required" (116) is not named by every OpenSSL.
        const std::string alert = (ret & 0xff) == 116 ? "certificate required" : SSL_alert_desc_string_long(ret);
        std::string text;
        if ((where & SSL_CB_WRITE) != 0)
          {
            const std::string why = !t_verifyError.empty()      ? "certificate verify failed (" + t_verifyError + ")"
                                    : alert == "certificate required" ? "peer did not return a certificate"
                                                                      : alert;
            text = server ? "TLS connection from " + peer + " refused: " + why
                          : "TLS connection to " + peer + " failed: " + why;
          }
        else
          text = server ? "TLS connection from " + peer + " failed: the peer refused this process (" + alert + ")"
                        : "TLS connection to " + peer + " refused by the peer: " + alert;
        t_verifyError.clear();
        // A refused handshake of a process that also serves plain TCP is
        // followed by a plain connection, which is served: only worth a line
        // where TLS is required, or for our own calls.
        if (server && !g_required)
          return;
        Report::sometimes("tls " + text, text);
      }
    }

    bool configured(const coil::Properties& config)
    {
      return !coil::trim(config.getProperty(CA_KEY)).empty() || !coil::trim(config.getProperty(KEY_KEY)).empty() ||
             required(config);
    }

    bool required(const coil::Properties& config) { return yes(config.getProperty("corba.ssl.required")); }

    bool serves(const coil::Properties& config) { return !coil::trim(config.getProperty(KEY_KEY)).empty(); }

    bool prepare(const coil::Properties& config, std::string& error)
    {
      g_ca = coil::trim(config.getProperty(CA_KEY));
      g_key = coil::trim(config.getProperty(KEY_KEY));
      g_password = config.getProperty(PASSWORD_KEY);
      g_required = required(config);
      if (g_ca.empty())
        {
          error = std::string("TLS: ") + CA_KEY + " is not set; peers' certificates cannot be checked without it";
          return false;
        }
      if (g_required && g_key.empty())
        {
          error = std::string("TLS: corba.ssl.required is YES but ") + KEY_KEY + " is not set; this process has no certificate to serve TLS with";
          return false;
        }
      if (!checkAuthority(g_ca, error) ||
          (!g_key.empty() && !checkKey(g_key, g_password, config.isSet(PASSWORD_KEY), error)))
        return false;
      sslContext::certificate_authority_file = g_ca.c_str();
      // Without a password omniORB would load no key at all: an
      // unencrypted key is given an empty one.
      sslContext::key_file = g_key.empty() ? nullptr : g_key.c_str();
      sslContext::key_file_password = g_key.empty() ? nullptr : g_password.c_str();
      sslContext::verify_mode = SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
      sslContext::verify_callback = onVerify;
      sslContext::info_callback = onInfo;
      return true;
    }

    std::vector<std::string> endpoints(const std::vector<std::string>& tcpEndpoints)
    {
      std::vector<std::string> hosts;
      for (std::size_t i = 0; i + 1 < tcpEndpoints.size(); ++i)
        if (tcpEndpoints[i] == "-ORBendPoint" && tcpEndpoints[i + 1].compare(0, 9, "giop:tcp:") == 0)
          {
            const std::string rest = tcpEndpoints[i + 1].substr(9);
            const std::string host = rest.substr(0, rest.rfind(':'));
            if (std::find(hosts.begin(), hosts.end(), host) == hosts.end())
              hosts.push_back(host);
          }
      if (hosts.empty())
        hosts.push_back("");
      std::vector<std::string> out;
      for (const std::string& h : hosts)
        out.push_back("giop:ssl:" + h + ":");
      return out;
    }

    std::string namingAddress(const std::string& server)
    {
      const std::string s = coil::trim(server);
      if (s.compare(0, 7, "ssliop:") == 0)
        return "corbaloc:ssliop:" + s.substr(7) + "/NameService";
      return "corbaloc::" + s + "/NameService";
    }
  }
RTM_NAMESPACE_END
