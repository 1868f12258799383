// The manager's command line and configuration: option parsing that never
// changes argv, configuration file lookup, name format expansion.
#ifndef RTM_SRC_MANAGERCONFIG_H
#define RTM_SRC_MANAGERCONFIG_H

#include <rtm/config_rtc.h>
#include <string>
#include <utility>
#include <vector>

#include <coil/Properties.h>

RTM_NAMESPACE_BEGIN(RTC)
  struct ManagerArgs
  {
    std::string configFile;  // -f
    bool ignoreMissing = false;  // -i
    std::vector<std::pair<std::string, std::string> > overrides;  // -o key:value
    std::string port;  // -p
    bool master = false;  // -d
    bool noServant = false;  // -a
    std::vector<std::string> warnings;  // one line each
  };

  // Reads the manager's options; every other argument is left alone.
  ManagerArgs parseManagerArgs(int argc, char** argv);

  // The built-in defaults of every key the runtime reads.
  void setManagerDefaults(coil::Properties& config);

  // Loads -f FILE, or the first configuration file found on the usual
  // search path, then applies -o and -p. Returns false (with a message in
  // error) when an explicit -f file is missing and -i was not given, or
  // when the file found cannot be read, is not a regular file or is larger
  // than MAX_CONFIG_BYTES.
  bool loadManagerConfig(const ManagerArgs& args, coil::Properties& config, std::string& error);

  const std::size_t MAX_CONFIG_BYTES = 1024 * 1024;

  // Reads one configuration file into into, under the same rules.
  bool readConfigFile(const std::string& path, coil::Properties& into, std::string& error);

  struct NameContext
  {
    std::string host;
    std::string managerName;
    long pid;
    int number;
  };

  // Expands %n %t %m %v %V %c %i %N %h %M %p %% and ${VAR} / $(VAR).
  std::string expandNameFormat(const std::string& format, const coil::Properties& prop,
                               const NameContext& context);

  // text cut at every sep; empty pieces kept.
  std::vector<std::string> split(const std::string& text, char sep);

  // Comma-separated list, each entry trimmed, empty entries dropped.
  std::vector<std::string> splitList(const std::string& text);

  // corba.args cut into words: blanks separate them, double quotes keep
  // blanks within one ("* ssl"). False (with a message) for a quote that
  // is not closed.
  bool splitArguments(const std::string& text, std::vector<std::string>& words, std::string& error);

  // The ORB arguments for corba.endpoints / corba.endpoint, the runtime's
  // bounds (a client call time-out, the largest message) unless corba.args
  // sets them, then corba.args.
  bool orbArguments(const coil::Properties& config, std::vector<std::string>& args, std::string& error);
  std::vector<std::string> orbArguments(const coil::Properties& config);

  // Every call to a peer is bounded by this unless corba.args says
  // otherwise (-ORBclientCallTimeOutPeriod).
  const unsigned DEFAULT_CALL_TIMEOUT_MS = 10000;
  // The largest GIOP message sent or taken: a configuration's worth
  // (256 KiB of sets) with room to spare; a datum is a few dozen bytes.
  const unsigned DEFAULT_MAX_MESSAGE_BYTES = 384 * 1024;
  // The client call time-out in effect for this configuration.
  unsigned callTimeoutMs(const coil::Properties& config);
RTM_NAMESPACE_END

#endif
