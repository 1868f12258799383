#include <rtm/config_rtc.h>
#include "ManagerConfig.h"
#include "Tls.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

RTM_NAMESPACE_BEGIN(RTC)
  namespace
  {
    // "-f FILE" or "-fFILE": the value, advancing i past it.
    bool optionValue(int argc, char** argv, int& i, const char* flag, std::string& value,
                     std::vector<std::string>& warnings)
    {
      const char* arg = argv[i];
      std::size_t n = std::strlen(flag);
      if (std::strncmp(arg, flag, n) != 0)
        return false;
      if (arg[n] != '\0')
        {
          value = arg + n;
          return true;
        }
      if (i + 1 >= argc || argv[i + 1] == nullptr)
        {
          warnings.push_back(std::string("option ") + flag + " needs a value; ignored");
          value.clear();
          return true;
        }
      value = argv[++i];
      return true;
    }
  }

  ManagerArgs parseManagerArgs(int argc, char** argv)
  {
    ManagerArgs args;
    for (int i = 1; i < argc && argv != nullptr && argv[i] != nullptr; ++i)
      {
        std::string value;
        std::string arg = argv[i];
        if (arg == "-i")
          args.ignoreMissing = true;
        else if (arg == "-a")
          args.noServant = true;
        else if (arg == "-d")
          args.master = true;
        else if (optionValue(argc, argv, i, "-f", value, args.warnings))
          {
            if (!value.empty())
              args.configFile = value;
          }
        else if (optionValue(argc, argv, i, "-o", value, args.warnings))
          {
            std::string::size_type colon = value.find(':');
            if (value.empty())
              continue;
            if (colon == std::string::npos)
              args.warnings.push_back("-o " + value + ": expected key:value; ignored");
            else
              args.overrides.emplace_back(coil::trim(value.substr(0, colon)),
                                          coil::trim(value.substr(colon + 1)));
          }
        else if (optionValue(argc, argv, i, "-p", value, args.warnings))
          {
            char* end = nullptr;
            long port = std::strtol(value.c_str(), &end, 10);
            if (value.empty())
              continue;
            if (*end != '\0' || port < 0 || port > 65535)
              args.warnings.push_back("-p " + value + ": not a port number; ignored");
            else
              args.port = value;
          }
        // Anything else belongs to the program (GLUT, say).
      }
    return args;
  }

  void setManagerDefaults(coil::Properties& config)
  {
    static const char* defaults[] = {
      "corba.nameservers", "localhost",
      "corba.endpoints", "",
      "corba.args", "",
      "naming.enable", "YES",
      "naming.type", "corba",
      "naming.formats", "%h.host_cxt/%n.rtc",
      "naming.update.enable", "YES",
      "naming.update.interval", "10.0",
      "naming.update.rebind", "NO",
      "exec_cxt.periodic.type", "PeriodicExecutionContext",
      "exec_cxt.sync_transition", "YES",
      "exec_cxt.transition_timeout", "0.5",
      "logger.enable", "NO",
      "manager.instance_name", "manager",
      "manager.name", "manager",
      "manager.naming_formats", "%h.host_cxt/%n.mgr",
      "manager.modules.load_path", "./",
      "manager.modules.abs_path_allowed", "NO",
      "manager.modules.C++.manager_cmd", "vorlinde-rtcd",
      "manager.modules.C++.profile_cmd", "vorlinde-rtcprof",
      "manager.modules.C++.suffixes", "so",
      "manager.modules.C++.load_paths", "",
      "manager.modules.search_auto", "YES",
      "manager.modules.config_path", "",
      "manager.modules.download_allowed", "NO",
      "manager.modules.init_func_suffix", "",
      "manager.modules.init_func_prefix", "",
      "manager.modules.preload", "",
      "manager.is_master", "NO",
      "manager.corba_servant", "YES",
      "manager.shutdown_on_nortcs", "YES",
      "manager.shutdown_auto", "YES",
      "manager.auto_shutdown_duration", "10.0",
      "manager.termination_waittime", "0.5",
      "manager.components.naming_policy", "process_unique",
      "manager.components.precreate", "",
      "manager.components.preconnect", "",
      "manager.components.preactivation", "",
      "manager.components.max", "64",
      "manager.command", "vorlinde-rtcd",
      "manager.nameservers", "default",
      "manager.language", "C++",
      "manager.supported_languages", "C++",
      "manager.preload.modules", "",
      "manager.local_service.enabled_services", "ALL",
      "manager.local_service.modules", "",
      "corba.master_manager", "localhost:2810",
      "corba.update_master_manager.enable", "YES",
      "corba.update_master_manager.interval", "10.0",
      "corba.id", "omniORB",
      "timer.enable", "YES",
      "timer.tick", "0.1",
      ""
    };
    config.setDefaults(defaults);
  }

  bool loadManagerConfig(const ManagerArgs& args, coil::Properties& config, std::string& error)
  {
    std::vector<std::string> candidates;
    if (!args.configFile.empty())
      candidates.push_back(args.configFile);
    else
      {
        const char* env = std::getenv("RTC_MANAGER_CONFIG");
        if (env != nullptr && env[0] != '\0')
          candidates.push_back(env);
        for (const char* path : {"./rtc.conf", "/etc/rtc.conf", "/etc/rtc/rtc.conf",
                                 "/usr/local/etc/rtc.conf", "/usr/local/etc/rtc/rtc.conf"})
          candidates.push_back(path);
      }
    bool loaded = false;
    for (const std::string& path : candidates)
      {
        struct stat st;
        if (stat(path.c_str(), &st) != 0)
          continue;  // missing: the next place, or -i
        if (!readConfigFile(path, config, error))
          return false;
        config.setProperty("config_file", path);
        loaded = true;
        break;
      }
    if (!loaded && !args.configFile.empty() && !args.ignoreMissing)
      {
        error = "configuration file \"" + args.configFile + "\" cannot be read";
        return false;
      }
    for (const auto& kv : args.overrides)
      config.setProperty(kv.first, kv.second);
    if (!args.port.empty())
      config.setProperty("corba.endpoints", ":" + args.port);
    if (args.master)
      config.setProperty("manager.is_master", "YES");
    if (args.noServant)
      config.setProperty("manager.corba_servant", "NO");
    return true;
  }

  bool readConfigFile(const std::string& path, coil::Properties& into, std::string& error)
  {
    // A device or a pipe (-f /dev/zero) would be read for ever, and a
    // directory would read as an empty configuration.
    const std::string quoted = "configuration file \"" + path + "\"";
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
      {
        error = quoted + " cannot be read";
        return false;
      }
    if (!S_ISREG(st.st_mode))
      {
        error = quoted + " is not a regular file";
        return false;
      }
    std::ifstream in(path.c_str(), std::ios::binary);
    std::string text(MAX_CONFIG_BYTES + 1, '\0');
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    if (in.bad() || (in.fail() && !in.eof()) || !in.is_open())
      {
        error = quoted + " cannot be read";
        return false;
      }
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > MAX_CONFIG_BYTES)
      {
        error = quoted + " is larger than 1 MiB; no configuration is that long";
        return false;
      }
    std::istringstream lines(text);
    into.load(lines);
    return true;
  }

  std::vector<std::string> split(const std::string& text, char sep)
  {
    std::vector<std::string> pieces;
    std::string::size_type start = 0;
    for (;;)
      {
        std::string::size_type end = text.find(sep, start);
        pieces.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
          return pieces;
        start = end + 1;
      }
  }

  std::vector<std::string> splitList(const std::string& text)
  {
    std::vector<std::string> items;
    for (const std::string& piece : split(text, ','))
      {
        std::string item = coil::trim(piece);
        if (!item.empty())
          items.push_back(item);
      }
    return items;
  }

  std::string expandNameFormat(const std::string& format, const coil::Properties& prop,
                               const NameContext& context)
  {
    std::string out;
    for (std::string::size_type i = 0; i < format.size(); ++i)
      {
        char c = format[i];
        if (c == '%' && i + 1 < format.size())
          {
            char key = format[++i];
            switch (key)
              {
              case 'n': out += prop.getProperty("instance_name"); break;
              case 't': case 'm': out += prop.getProperty("type_name"); break;
              case 'v': out += prop.getProperty("version"); break;
              case 'V': out += prop.getProperty("vendor"); break;
              case 'c': out += prop.getProperty("category"); break;
              case 'i': out += prop.getProperty("implementation_id"); break;
              case 'N': out += std::to_string(context.number); break;
              case 'h': out += context.host; break;
              case 'M': out += context.managerName; break;
              case 'p': out += std::to_string(context.pid); break;
              case '%': out += '%'; break;
              default: out += '%'; out += key; break;
              }
            continue;
          }
        if (c == '$' && i + 1 < format.size() && (format[i + 1] == '{' || format[i + 1] == '('))
          {
            char close = format[i + 1] == '{' ? '}' : ')';
            std::string::size_type end = format.find(close, i + 2);
            if (end != std::string::npos)
              {
                const char* value = std::getenv(format.substr(i + 2, end - i - 2).c_str());
                if (value != nullptr)
                  out += value;
                i = end;
                continue;
              }
          }
        out += c;
      }
    return out;
  }

  bool splitArguments(const std::string& text, std::vector<std::string>& words, std::string& error)
  {
    // Blanks separate words; double quotes keep blanks inside one word
    // ("* ssl"), and \" is a quote within them.
    words.clear();
    std::string word;
    bool inWord = false, quoted = false;
    for (std::string::size_type i = 0; i < text.size(); ++i)
      {
        const char c = text[i];
        if (quoted && c == '\\' && i + 1 < text.size() && text[i + 1] == '"')
          {
            word += '"';
            ++i;
          }
        else if (c == '"')
          {
            quoted = !quoted;
            inWord = true;
          }
        else if (!quoted && std::isspace(static_cast<unsigned char>(c)))
          {
            if (inWord)
              words.push_back(word);
            word.clear();
            inWord = false;
          }
        else
          {
            word += c;
            inWord = true;
          }
      }
    if (quoted)
      {
        error = "corba.args has a double quote that is not closed";
        return false;
      }
    if (inWord)
      words.push_back(word);
    return true;
  }

  namespace
  {
    bool mentions(const std::vector<std::string>& words, const char* parameter)
    {
      const std::string option = std::string("-ORB") + parameter;
      for (const std::string& w : words)
        if (w == option)
          return true;
      return false;
    }
  }

  bool orbArguments(const coil::Properties& config, std::vector<std::string>& args, std::string& error)
  {
    args.clear();
    std::string endpoints = config.getProperty("corba.endpoints");
    if (endpoints.empty())
      endpoints = config.getProperty("corba.endpoint");
    for (const std::string& ep : splitList(endpoints))
      {
        args.push_back("-ORBendPoint");
        if (ep == "all")
          {
            args.push_back("giop:tcp::");
            args.push_back("-ORBendPointPublish");
            args.push_back("all(addr)");
          }
        else if (ep.find(':') == std::string::npos)
          args.push_back("giop:tcp:" + ep + ":");
        else
          args.push_back("giop:tcp:" + ep);
      }
    std::vector<std::string> extra;
    if (!splitArguments(config.getProperty("corba.args"), extra, error))
      return false;
    // A process with a certificate serves TLS too, on the hosts its TCP
    // end points name (an end point given, omniORB opens no other).
    if (Tls::serves(config))
      {
        std::vector<std::string> given = args;
        given.insert(given.end(), extra.begin(), extra.end());
        if (!mentions(given, "endPoint"))
          args.insert(args.end(), {"-ORBendPoint", "giop:tcp::"});
        // A TLS end point of the user's own (a fixed port) is the one.
        const bool own = std::any_of(given.begin(), given.end(),
                                     [](const std::string& w) { return w.compare(0, 9, "giop:ssl:") == 0; });
        for (const std::string& ep : own ? std::vector<std::string>() : Tls::endpoints(given))
          args.insert(args.end(), {"-ORBendPoint", ep});
      }
    // Bounds a peer cannot take away, unless corba.args sets them: no
    // call to a peer waits for ever, and no peer's request may make us
    // hold more than a configuration's worth of memory.
    if (!mentions(extra, "clientCallTimeOutPeriod"))
      {
        args.push_back("-ORBclientCallTimeOutPeriod");
        args.push_back(std::to_string(DEFAULT_CALL_TIMEOUT_MS));
      }
    if (!mentions(extra, "giopMaxMsgSize"))
      {
        args.push_back("-ORBgiopMaxMsgSize");
        args.push_back(std::to_string(DEFAULT_MAX_MESSAGE_BYTES));
      }
    args.insert(args.end(), extra.begin(), extra.end());
    return true;
  }

  std::vector<std::string> orbArguments(const coil::Properties& config)
  {
    std::vector<std::string> args;
    std::string error;
    orbArguments(config, args, error);
    return args;
  }

  unsigned callTimeoutMs(const coil::Properties& config)
  {
    std::vector<std::string> words;
    std::string error;
    splitArguments(config.getProperty("corba.args"), words, error);
    for (std::size_t i = 0; i + 1 < words.size(); ++i)
      if (words[i] == "-ORBclientCallTimeOutPeriod")
        {
          char* end = nullptr;
          const unsigned long ms = std::strtoul(words[i + 1].c_str(), &end, 10);
          if (*end == '\0' && ms > 0 && ms <= 3600000)
            return static_cast<unsigned>(ms);
        }
    return DEFAULT_CALL_TIMEOUT_MS;
  }
RTM_NAMESPACE_END
