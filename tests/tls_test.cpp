// TLS between components with real certificates (scripts/make-certs) and
// real processes: the component fed over TLS; with TLS required, plain,
// certificate-less and foreign peers refused, each said in a line; address
// rules; a naming service over TLS; every bad TLS file refused at start.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <thread>

#include "peer.h"
#include "raw_giop.h"

namespace
{
  using namespace testing_support;

  // One set of certificates for the whole run.
  const std::string& certs()
  {
    static const std::string dir = [] {
      char path[] = "/tmp/vorlinde-certs-XXXXXX";
      if (mkdtemp(path) == nullptr)
        return std::string();
      std::string out;
      const int status = run({std::string(PROJ_SOURCE_DIR) + "/scripts/make-certs", path, "component", "sender"}, &out);
      EXPECT_EQ(status, 0) << out;
      static std::string removeAtExit = path;
      std::atexit([] { run({"/bin/rm", "-rf", removeAtExit}); });
      return std::string(path);
    }();
    return dir;
  }

  std::string cert(const std::string& name) { return certs() + "/" + name; }

  std::vector<std::string> serverKeys(bool required)
  {
    return {"-o", "corba.ssl.certificate_authority_file:" + cert("ca.crt"),
            "-o", "corba.ssl.key_file:" + cert("component.pem"),
            "-o", std::string("corba.ssl.required:") + (required ? "YES" : "NO"),
            "-o", "corba.endpoints:127.0.0.1"};
  }

  std::vector<std::string> senderKeys(const std::string& key = "sender.pem", const std::string& ca = "ca.crt")
  {
    std::vector<std::string> args = {"--ssl-ca", cert(ca)};
    if (!key.empty())
      args.insert(args.end(), {"--ssl-key", cert(key)});
    return args;
  }

  int send(std::vector<std::string> args, const std::vector<float>& angles, std::string* out = nullptr,
           const std::string& server = naming())
  {
    std::vector<std::string> argv = {builtProgram("tools/anglesend"), "-n", server, "--timeout", "3"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("Vorlinde0:Angle");
    for (float a : angles)
      argv.push_back(std::to_string(a));
    return run(argv, out);
  }

  bool arrives(Process& probe, const std::string& angles)
  {
    return probe.waitForOutput("angle " + angles, 5000);
  }
}

TEST(Tls, RequiredServesCertifiedPeersAndRefusesEveryOtherWithALine)
{
  ASSERT_FALSE(certs().empty());
  auto probe = startProbe(serverKeys(true));
  std::string out;
  EXPECT_EQ(send(senderKeys(), {11, 22, 33}, &out), 0) << out;
  EXPECT_TRUE(arrives(*probe, "11 22 33"));

  // Plain IIOP, TLS without a certificate, a certificate from another CA.
  EXPECT_EQ(send({}, {1, 1, 1}, &out), 1) << out;
  EXPECT_NE(out.find("if it requires TLS"), std::string::npos) << out;
  EXPECT_TRUE(probe->waitForError("plain connection from 127.0.0.1 refused: TLS is required", 3000))
    << probe->errorText();
  EXPECT_EQ(send(senderKeys(""), {2, 2, 2}, &out), 1) << out;
  EXPECT_TRUE(probe->waitForError("TLS connection from 127.0.0.1 refused: peer did not return a certificate", 3000))
    << probe->errorText();
  EXPECT_EQ(send(senderKeys("rogue.pem"), {3, 3, 3}, &out), 1) << out;
  EXPECT_TRUE(probe->waitForError("TLS connection from 127.0.0.1 refused: certificate verify failed", 3000))
    << probe->errorText();
  // A sender that cannot check the component's certificate says so.
  EXPECT_EQ(send(senderKeys("rogue.pem", "other-ca.crt"), {4, 4, 4}, &out), 1);
  EXPECT_NE(out.find("TLS connection to 127.0.0.1 failed: certificate verify failed"), std::string::npos) << out;

  // Unharmed: the next certified datum arrives; the refusals were said
  // once each, however often they come.
  for (int i = 0; i < 5; ++i)
    send({}, {1, 1, 1});
  EXPECT_EQ(send(senderKeys(), {44, 55, 66}, &out), 0) << out;
  EXPECT_TRUE(arrives(*probe, "44 55 66"));
  const std::string err = probe->errorText();
  std::size_t plain = 0;
  for (std::size_t at = err.find("plain connection"); at != std::string::npos; at = err.find("plain connection", at + 1))
    ++plain;
  EXPECT_EQ(plain, 1u) << err;
  EXPECT_TRUE(probe->running());
}

TEST(Tls, WithoutRequiredPlainAndTlsPeersAreBothServed)
{
  auto probe = startProbe(serverKeys(false));
  std::string out;
  EXPECT_EQ(send(senderKeys(), {5, 6, 7}, &out), 0) << out;
  EXPECT_TRUE(arrives(*probe, "5 6 7"));
  EXPECT_EQ(send({}, {8, 9, 10}, &out), 0) << out;
  EXPECT_TRUE(arrives(*probe, "8 9 10"));
  EXPECT_EQ(probe->errorText(), "");
}

TEST(Tls, AddressRulesServeThisHostAndDropOthers)
{
  const int port = freePort();
  auto probe = startProbe({"-o", "corba.endpoints:127.0.0.1:" + std::to_string(port),
                           "-o", "corba.args:-ORBserverTransportRule \"127.0.0.1/32 tcp,ssl\" "
                                 "-ORBserverTransportRule \"* none\""});
  // A connection that comes from 127.0.0.2 is dropped; 127.0.0.1 is served.
  RawConnection other(port, "127.0.0.2");
  EXPECT_FALSE(other.open(2000));
  RawConnection here(port, "127.0.0.1");
  EXPECT_TRUE(here.open(500));
  std::string out;
  EXPECT_EQ(send({}, {7, 7, 7}, &out), 0) << out;
  EXPECT_TRUE(arrives(*probe, "7 7 7"));
}

TEST(Tls, NamingOverTls)
{
  // Debian's omniNames serves TLS with the SSL transport preloaded.
  const int port = freePort();
  char data[] = "/tmp/vorlinde-names-XXXXXX";
  ASSERT_NE(mkdtemp(data), nullptr);
  Process names({"/usr/bin/omniNames", "-start", std::to_string(freePort()), "-datadir", data, "-logdir", data,
                 "-ORBendPoint", "giop:ssl:127.0.0.1:" + std::to_string(port),
                 "-ORBsslCAFile", cert("ca.crt"), "-ORBsslKeyFile", cert("component.pem"), "-ORBsslKeyPassword", ""},
                {"LD_PRELOAD=libomnisslTP4.so.2"});
  const std::string server = "ssliop:127.0.0.1:" + std::to_string(port);
  std::vector<std::string> options = serverKeys(true);
  auto probe = startProbe(options, server);
  std::string out;
  int status = 1;
  for (int i = 0; i < 20 && status != 0; ++i)  // until the name is bound
    {
      status = send(senderKeys(), {9, 8, 7}, &out, server);
      if (status != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  EXPECT_EQ(status, 0) << out << probe->errorText();
  EXPECT_TRUE(arrives(*probe, "9 8 7"));
  // A plain client does not get to the TLS naming service's port.
  EXPECT_EQ(send({}, {1, 2, 3}, &out, "127.0.0.1:" + std::to_string(port)), 1);
  EXPECT_NE(out.find("naming service"), std::string::npos) << out;
  probe.reset();
  names.signal(SIGTERM);
  names.wait(3000);
  run({"/bin/rm", "-rf", data});
}

TEST(Tls, BadFilesEndTheStartInOneLineBeforeAnyName)
{
  const std::string dir = certs();
  {
    std::ofstream(dir + "/certonly.pem") << std::ifstream(dir + "/component.crt").rdbuf();
    std::string out;
    // The component's certificate with the sender's key; an encrypted key.
    ASSERT_EQ(run({"/bin/sh", "-c", "cd " + dir + " && cat component.crt > mismatch.pem && "
                   "sed -n '/BEGIN PRIVATE KEY/,$p' sender.pem >> mismatch.pem && "
                   "sed -n '/BEGIN PRIVATE KEY/,$p' component.pem | "
                   "openssl pkey -aes256 -passout pass:secret -out enc.key && cat component.crt enc.key > enc.pem"},
                  &out), 0) << out;
  }
  struct Case
  {
    std::vector<std::string> keys;
    std::string line;
  } cases[] = {
    {{"corba.ssl.certificate_authority_file:" + dir + "/nope.crt", "corba.ssl.key_file:" + dir + "/component.pem"},
     "corba.ssl.certificate_authority_file \"" + dir + "/nope.crt\": No such file or directory"},
    {{"corba.ssl.certificate_authority_file:" + dir + "/ca.key", "corba.ssl.key_file:" + dir + "/component.pem"},
     "holds no PEM certificate"},
    {{"corba.ssl.certificate_authority_file:/dev/null", "corba.ssl.key_file:" + dir + "/component.pem"},
     "not a regular file"},
    {{"corba.ssl.certificate_authority_file:" + dir + "/ca.crt", "corba.ssl.key_file:" + dir + "/certonly.pem"},
     "certonly.pem\": holds no private key after the certificate"},
    {{"corba.ssl.certificate_authority_file:" + dir + "/ca.crt", "corba.ssl.key_file:" + dir + "/mismatch.pem"},
     "the private key does not match the certificate"},
    {{"corba.ssl.certificate_authority_file:" + dir + "/ca.crt", "corba.ssl.key_file:" + dir + "/enc.pem"},
     "the private key is encrypted and corba.ssl.key_file_password is unset"},
    {{"corba.ssl.certificate_authority_file:" + dir + "/ca.crt", "corba.ssl.key_file:" + dir + "/enc.pem",
      "corba.ssl.key_file_password:wrong"},
     "does not open with the password of corba.ssl.key_file_password"},
    {{"corba.ssl.key_file:" + dir + "/component.pem"}, "corba.ssl.certificate_authority_file is not set"},
    {{"corba.ssl.certificate_authority_file:" + dir + "/ca.crt", "corba.ssl.required:YES"},
     "corba.ssl.key_file is not set"},
  };
  for (const Case& c : cases)
    {
      std::vector<std::string> argv = {builtProgram("tests/probe_host"), "-o", "corba.nameservers:" + naming()};
      for (const std::string& k : c.keys)
        argv.insert(argv.end(), {"-o", k});
      Process p(argv);
      EXPECT_EQ(p.wait(5000), 1) << c.line;
      const std::string err = p.errorText();
      EXPECT_NE(err.find(c.line), std::string::npos) << err;
      EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
  CORBA::Object_var bound = lookup(naming(), componentPath());
  EXPECT_TRUE(CORBA::is_nil(bound));

  // The right password opens the key; the other middleware's TLS module
  // is not needed, and said so.
  auto probe = startProbe({"-o", "corba.ssl.certificate_authority_file:" + dir + "/ca.crt",
                           "-o", "corba.ssl.key_file:" + dir + "/enc.pem", "-o", "corba.ssl.key_file_password:secret",
                           "-o", "manager.preload.modules:SSLTransport.so"});
  EXPECT_TRUE(probe->waitForError("TLS is built into this runtime", 2000)) << probe->errorText();
}
