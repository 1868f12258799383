// anglesend: drives the arm from the command line. Finds a component's
// "Angle" input port in the naming service, connects a TimedFloatSeq
// OutPort to it, activates the component and sends joint angles.
#include <signal.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sender.h"

namespace
{
  const char* usage =
    "Usage: anglesend [options] TARGET [ANGLE ...]\n"
    "Sends joint angles (degrees) to an RT component's input port of type\n"
    "RTC::TimedFloatSeq, such as the \"Angle\" port of Vorlinde.\n"
    "\n"
    "TARGET is the input port: a naming path with the port after a colon,\n"
    "  e.g. myhost.host_cxt/Vorlinde0.rtc:Angle, or INSTANCE:PORT\n"
    "  (e.g. Vorlinde0:Angle), which is searched through the whole naming tree.\n"
    "\n"
    "What is sent:\n"
    "  ANGLE ...              one datum, e.g. 30 -45 90 (joint 0, 1, 2)\n"
    "  -                      one datum per line of standard input (numbers\n"
    "                         separated by blanks or commas; blank lines skipped)\n"
    "  --motion               a smooth motion of all three joints\n"
    "\n"
    "Options:\n"
    "  -n, --nameserver HOST[:PORT]  naming service (default: the first of\n"
    "                         corba.nameservers, else localhost:2809);\n"
    "                         ssliop:HOST:PORT reaches it over TLS\n"
    "  -f FILE                an rtc.conf to take the ORB's keys from: TLS\n"
    "                         (corba.ssl.*), end points, name servers\n"
    "      --ssl-ca FILE      TLS: the CA that peers' certificates come from\n"
    "      --ssl-key FILE     TLS: this sender's certificate, then its key (PEM)\n"
    "      --ssl-password PW  TLS: the key's password (default: none)\n"
    "  -r, --rate HZ          datums per second for --motion, and the most for\n"
    "                         standard input (default 20 for --motion; 0 = as\n"
    "                         fast as lines arrive)\n"
    "  -t, --duration SEC     stop --motion after SEC seconds (default: Ctrl-C)\n"
    "  -c, --count N          stop --motion after N datums\n"
    "      --connect-on in|out  send the connection request to the target's\n"
    "                         InPort (in) or to our OutPort (out, the default)\n"
    "      --no-activate      leave the target component's state alone\n"
    "      --hold SEC         stay connected SEC seconds after the last datum\n"
    "                         (default 0; buffered data stays in the port)\n"
    "      --timeout SEC      the longest any call may take (default 5)\n"
    "      --wait SEC         wait up to SEC seconds for the target to appear in\n"
    "                         the naming service (default 0: it must be there)\n"
    "  -q, --quiet            print nothing but errors\n"
    "  -h, --help             this text\n"
    "\n"
    "Exit status 0 when every datum was accepted; otherwise 1, after one line\n"
    "on standard error saying what failed (target not found, connection\n"
    "refused, a datum refused). Ctrl-C (or SIGTERM) ends it within a second,\n"
    "saying how many datums were delivered.\n";

  struct Options
  {
    std::string nameserver;  // "" until -n gives one
    std::vector<std::string> managerArgs;  // -f and the TLS keys, for the runtime
    std::string target;
    std::vector<float> angles;
    bool fromStdin = false;
    bool motion = false;
    double rate = -1.0;
    double duration = -1.0;
    long count = -1;
    bool connectOnTarget = false;
    bool activate = true;
    double hold = 0.0;
    double timeout = 5.0;
    double wait = 0.0;
    bool quiet = false;
  };

  std::atomic<bool> interrupted(false);
  void onSignal(int) { interrupted = true; }

  // Datums delivered so far, and the target, for the word at an interrupt.
  std::atomic<long> delivered(0);
  std::string target_name;

  // A call that hangs (up to its time-out) must not keep Ctrl-C waiting:
  // if the program has not ended a moment after the signal, it ends here.
  void watchForInterrupt()
  {
    std::thread([] {
        while (!interrupted)
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        std::fprintf(stderr, "anglesend: interrupted while a call to %s was under way; %ld datum(s) delivered\n",
                     target_name.c_str(), delivered.load());
        std::fflush(nullptr);
        _exit(1);
      }).detach();
  }

  const std::size_t MAX_LINE_BYTES = 1024 * 1024;

  // A line of at most MAX_LINE_BYTES; false at the end of input.
  bool readLine(std::istream& in, std::string& line, bool& too_long)
  {
    line.clear();
    too_long = false;
    std::streambuf* buf = in.rdbuf();
    for (;;)
      {
        const int c = buf->sbumpc();
        if (c == std::char_traits<char>::eof())
          return !line.empty() || too_long;
        if (c == '\n')
          return true;
        if (line.size() < MAX_LINE_BYTES)
          line += static_cast<char>(c);
        else
          too_long = true;
      }
  }

  // Text fit for one line of a message: control and other bytes escaped.
  std::string printable(const std::string& text)
  {
    std::string out;
    for (unsigned char c : text.substr(0, 80))
      {
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\')
          out += static_cast<char>(c);
        else
          {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
          }
      }
    return text.size() > 80 ? out + "..." : out;
  }

  [[noreturn]] void fail(const std::string& message)
  {
    std::fprintf(stderr, "anglesend: %s\n", message.c_str());
    std::exit(1);
  }

  bool parseNumber(const std::string& text, double& value)
  {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && std::isfinite(value);
  }

  // An angle as the port carries it: a float. 1e39 would arrive as an
  // infinity, and nothing would say so.
  bool parseAngle(const std::string& text, float& angle, std::string& why)
  {
    double value;
    if (!parseNumber(text, value))
      {
        why = "\"" + printable(text) + "\" is not a number";
        return false;
      }
    if (std::fabs(value) > FLT_MAX)
      {
        why = printable(text) + " is outside the range of a float (about 3.4e38)";
        return false;
      }
    angle = static_cast<float>(value);
    return true;
  }

  Options parseOptions(int argc, char** argv)
  {
    Options o;
    for (int i = 1; i < argc; ++i)
      {
        std::string a = argv[i];
        auto value = [&](const char* what) -> std::string {
          if (i + 1 >= argc)
            fail(a + " needs " + what + " (see --help)");
          return argv[++i];
        };
        double number;
        if (a == "-h" || a == "--help")
          {
            std::fputs(usage, stdout);
            std::exit(0);
          }
        else if (a == "-n" || a == "--nameserver")
          o.nameserver = value("HOST[:PORT]");
        else if (a == "-f")
          o.managerArgs.insert(o.managerArgs.end(), {"-f", value("a configuration file")});
        else if (a == "--ssl-ca")
          o.managerArgs.insert(o.managerArgs.end(), {"-o", "corba.ssl.certificate_authority_file:" + value("FILE")});
        else if (a == "--ssl-key")
          o.managerArgs.insert(o.managerArgs.end(), {"-o", "corba.ssl.key_file:" + value("FILE")});
        else if (a == "--ssl-password")
          o.managerArgs.insert(o.managerArgs.end(), {"-o", "corba.ssl.key_file_password:" + value("PW")});
        else if (a == "-r" || a == "--rate")
          {
            // A period must fit the clock: 1e-300 Hz is no rate to send at.
            if (!parseNumber(value("HZ"), number) || (number != 0 && (number < 1e-6 || number > 1e6)))
              fail("--rate needs datums per second: 0, or from 0.000001 to 1000000");
            o.rate = number;
          }
        else if (a == "-t" || a == "--duration")
          {
            if (!parseNumber(value("SEC"), number) || number < 0)
              fail("--duration needs a number of seconds");
            o.duration = number;
          }
        else if (a == "-c" || a == "--count")
          {
            if (!parseNumber(value("N"), number) || number < 0 || number != std::floor(number) || number > 1e15)
              fail("--count needs a whole number, at most 1e15");
            o.count = static_cast<long>(number);
          }
        else if (a == "--connect-on")
          {
            std::string side = value("in or out");
            if (side != "in" && side != "out")
              fail("--connect-on takes in or out");
            o.connectOnTarget = side == "in";
          }
        else if (a == "--no-activate")
          o.activate = false;
        else if (a == "--hold")
          {
            if (!parseNumber(value("SEC"), number) || number < 0 || number > 1e6)
              fail("--hold needs a number of seconds, at most 1000000");
            o.hold = number;
          }
        else if (a == "--timeout")
          {
            if (!parseNumber(value("SEC"), number) || number < 0.1 || number > 3600)
              fail("--timeout needs a number of seconds, from 0.1 to 3600");
            o.timeout = number;
          }
        else if (a == "--wait")
          {
            if (!parseNumber(value("SEC"), number) || number < 0 || number > 3600)
              fail("--wait needs a number of seconds, from 0 to 3600");
            o.wait = number;
          }
        else if (a == "-q" || a == "--quiet")
          o.quiet = true;
        else if (a == "--motion")
          o.motion = true;
        else if (a == "-")
          o.fromStdin = true;
        else if (o.target.empty() && !(a.size() > 1 && a[0] == '-' && !std::isdigit(a[1]) && a[1] != '.'))
          o.target = a;
        else if (parseNumber(a, number))
          {
            float angle;
            std::string why;
            if (!parseAngle(a, angle, why))
              fail("angle " + why);
            o.angles.push_back(angle);
          }
        else
          fail("unknown argument \"" + printable(a) + "\" (see --help)");
      }
    if (o.target.empty())
      fail("no target port given (see --help)");
    int sources = (o.angles.empty() ? 0 : 1) + (o.fromStdin ? 1 : 0) + (o.motion ? 1 : 0);
    if (sources != 1)
      fail("give exactly one of: angles, - (standard input), --motion (see --help)");
    return o;
  }

  // Parses "30 -45 90" or "30, -45, 90"; false (and why) on anything else.
  bool parseLine(std::string line, std::vector<float>& out, std::string& why)
  {
    for (char& c : line)
      if (c == ',' || c == '\t' || c == ';' || c == '\r')
        c = ' ';
    std::istringstream words(line);
    std::string word;
    out.clear();
    float angle;
    while (words >> word)
      {
        if (!parseAngle(word, angle, why))
          return false;
        out.push_back(angle);
      }
    return true;
  }

  class Sending
  {
  public:
    // A request's header and the object key, next to the datum itself.
    static constexpr unsigned long MESSAGE_OVERHEAD = 256;
    enum : unsigned long { DATUM_LIMIT = 64 * 1024 };

    Sending(sender::AngleSender& s, bool quiet) : m_sender(s), m_quiet(quiet) {}

    void send(const std::vector<float>& angles)
    {
      RTC::TimedFloatSeq& d = m_sender.data;
      auto now = std::chrono::system_clock::now().time_since_epoch();
      auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
      d.tm.sec = static_cast<CORBA::ULong>(ns / 1000000000);
      d.tm.nsec = static_cast<CORBA::ULong>(ns % 1000000000);
      d.data.length(static_cast<CORBA::ULong>(angles.size()));
      for (std::size_t i = 0; i < angles.size(); ++i)
        d.data[static_cast<CORBA::ULong>(i)] = angles[i];
      ++m_count;
      // What no port takes: more than a datum may be (the ports of this
      // middleware close the connection of a peer that sends one).
      const unsigned long limit = std::min<unsigned long>(omniORB::giopMaxMsgSize(), static_cast<unsigned long>(DATUM_LIMIT));
      if (12ul + 4ul * angles.size() + MESSAGE_OVERHEAD > limit)
        fail("datum " + std::to_string(m_count) + " is too large: " + std::to_string(angles.size()) +
             " angles; a datum may hold " + std::to_string((limit - MESSAGE_OVERHEAD - 12) / 4) + " at most (" +
             std::to_string(limit / 1024) + " KiB)");
      if (!m_sender.port.write())
        {
          if (!sender::connected(m_sender.port))
            fail("datum " + std::to_string(m_count) + " was not delivered: the connection is gone");
          fail("datum " + std::to_string(m_count) + " was refused by the port");
        }
      ++delivered;
      if (!m_quiet)
        {
          std::printf("sent");
          for (float a : angles)
            std::printf(" %.2f", a);
          std::printf("\n");
          std::fflush(stdout);
        }
    }

    long count() const { return m_count; }

  private:
    sender::AngleSender& m_sender;
    bool m_quiet;
    long m_count = 0;
  };

  // The target port, looked for again until --wait runs out.
  bool findTarget(const Options& o, RTC::PortService_var& target, std::string& error)
  {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(o.wait);
    for (;;)
      {
        if (sender::findPort(o.nameserver, o.target, target, error, static_cast<unsigned>(o.timeout * 1000)))
          return true;
        if (interrupted || std::chrono::steady_clock::now() >= deadline)
          {
            if (o.wait > 0)
              error += " (waited " + std::to_string(static_cast<long>(o.wait)) + " s)";
            return false;
          }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
  }

  // A component takes one datum per period of its execution context: a
  // motion sent faster than that moves the arm in steps.
  void warnAboutRate(RTC::PortService_ptr target, double sendRate)
  {
    try
      {
        RTC::PortProfile_var port = target->get_port_profile();
        RTC::RTObject_var owner = RTC::RTObject::_duplicate(port->owner);
        if (CORBA::is_nil(owner))
          return;
        RTC::ExecutionContextList_var contexts = owner->get_owned_contexts();
        if (contexts->length() == 0)
          return;
        const double rate = contexts[0]->get_rate();
        if (!(rate < sendRate))
          return;
        RTC::ComponentProfile_var profile = owner->get_component_profile();
        std::fprintf(stderr,
                     "anglesend: %s takes one datum per period at %g Hz; raise exec_cxt.periodic.rate "
                     "(e.g. -o exec_cxt.periodic.rate:30)\n",
                     printable(profile->instance_name.in()).c_str(), rate);
      }
    catch (const CORBA::Exception&)
      {
        // only advice: a target that does not tell is sent to all the same
      }
  }

  void sendMotion(Sending& out, const Options& o)
  {
    double rate = o.rate > 0 ? o.rate : 20.0;
    auto period = std::chrono::nanoseconds(static_cast<long long>(1e9 / rate));
    auto start = std::chrono::steady_clock::now();
    auto next = start;
    for (long n = 0; !interrupted && (o.count < 0 || n < o.count); ++n)
      {
        double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (o.duration >= 0 && t > o.duration)
          break;
        const double two_pi = 6.283185307179586;
        out.send({static_cast<float>(45.0 * std::sin(two_pi * 0.10 * t)),
                  static_cast<float>(90.0 * std::sin(two_pi * 0.05 * t)),
                  static_cast<float>(60.0 * std::sin(two_pi * 0.15 * t + 1.0))});
        next += period;
        std::this_thread::sleep_until(next);
      }
  }

  void sendStdin(Sending& out, const Options& o)
  {
    std::string line;
    std::vector<float> angles;
    long lineNo = 0;
    auto period = o.rate > 0 ? std::chrono::nanoseconds(static_cast<long long>(1e9 / o.rate))
                             : std::chrono::nanoseconds(0);
    auto next = std::chrono::steady_clock::now();
    bool tooLong = false;
    std::string why;
    while (!interrupted && readLine(std::cin, line, tooLong))
      {
        ++lineNo;
        if (tooLong)
          fail("standard input line " + std::to_string(lineNo) + " is longer than 1 MiB");
        if (!parseLine(line, angles, why))
          fail("standard input line " + std::to_string(lineNo) + " is not a list of numbers: " + why);
        if (angles.empty())
          continue;
        out.send(angles);
        if (period.count() > 0)
          {
            next += period;
            std::this_thread::sleep_until(next);
          }
      }
  }
}

int main(int argc, char** argv)
{
  Options o = parseOptions(argc, argv);
  struct sigaction action = {};
  action.sa_handler = onSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  target_name = o.target;
  watchForInterrupt();

  sender::AngleSender* s = sender::startSender("anglesend", o.managerArgs);
  if (s == nullptr)
    fail("the sending component could not be created");
  if (o.nameserver.empty())
    o.nameserver = sender::firstNameServer();
  // Every call ends within the time-out, whatever the peer does.
  omniORB::setClientCallTimeout(static_cast<CORBA::ULong>(o.timeout * 1000));
  std::string error;
  RTC::PortService_var target;
  if (!findTarget(o, target, error))
    fail(error);
  std::string id = sender::connect(s->port, target, o.connectOnTarget, error);
  if (id.empty())
    fail("connecting to " + o.target + " failed: " + error);
  if (o.activate && !sender::activateOwner(target, error))
    fail("activating the owner of " + o.target + " failed: " + error);

  if (o.motion && !o.quiet)
    warnAboutRate(target, o.rate > 0 ? o.rate : 20.0);

  Sending out(*s, o.quiet);
  if (!o.angles.empty())
    out.send(o.angles);
  else if (o.fromStdin)
    sendStdin(out, o);
  else
    sendMotion(out, o);

  if (o.hold > 0)
    std::this_thread::sleep_for(std::chrono::duration<double>(o.hold));
  RTC::ReturnCode_t rc = s->port.disconnect(id.c_str());
  if (rc != RTC::RTC_OK && sender::connected(s->port))
    fail(std::string("disconnecting failed (") + sender::returnCodeName(rc) + ")");
  if (!o.quiet)
    std::printf("%ld datum(s) sent to %s%s\n", delivered.load(), o.target.c_str(),
                interrupted ? " (interrupted)" : "");
  std::fflush(stdout);
  // Interrupted before every datum went: the status says so.
  return interrupted && !o.motion ? 1 : 0;
}
