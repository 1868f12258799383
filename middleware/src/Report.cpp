#include <rtm/config_rtc.h>
#include "Report.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include <omniORB4/CORBA.h>

RTM_NAMESPACE_BEGIN(RTC)
  namespace Report
  {
    std::string quote(const std::string& text, std::size_t max)
    {
      std::string out;
      std::size_t shown = 0;
      for (unsigned char c : text)
        {
          if (shown == max)
            return out + "...";
          ++shown;
          switch (c)
            {
            case '\n': out += "\\n"; continue;
            case '\r': out += "\\r"; continue;
            case '\t': out += "\\t"; continue;
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            default: break;
            }
          if (c < 0x20 || c > 0x7e)
            {
              char hex[8];
              std::snprintf(hex, sizeof hex, "\\x%02x", c);
              out += hex;
            }
          else
            out += static_cast<char>(c);
        }
      return out;
    }

    void line(const std::string& text)
    {
      std::fprintf(stderr, "rtc: %s\n", text.c_str());
      std::fflush(stderr);
    }

    bool sometimes(const std::string& kind, const std::string& text)
    {
      typedef std::chrono::steady_clock Clock;
      static std::mutex mutex;
      static std::map<std::string, Clock::time_point> said;
      const Clock::time_point now = Clock::now();
      {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = said.find(kind);
        if (it != said.end() && now - it->second < std::chrono::minutes(1))
          return false;
        // Kinds may carry a peer's address: forget the old ones rather
        // than grow without end.
        if (said.size() >= 4096)
          for (auto i = said.begin(); i != said.end();)
            i = now - i->second >= std::chrono::minutes(1) ? said.erase(i) : std::next(i);
        if (said.size() >= 4096)
          return false;
        said[kind] = now;
      }
      line(text);
      return true;
    }
  
    namespace
    {
      void orbLine(const char* text)
      {
        // The TLS transport is part of every process and says at start
        // that it is off when no corba.ssl key is set: that is no news.
        if (omniORB::traceLevel <= 1 && std::strstr(text, "SSL CA certificate location is not set") != nullptr)
          return;
        typedef std::chrono::steady_clock Clock;
        static std::mutex mutex;
        static Clock::time_point minute = Clock::now();
        static unsigned said = 0, dropped = 0;
        unsigned droppedBefore = 0;
        {
          std::lock_guard<std::mutex> lock(mutex);
          const Clock::time_point now = Clock::now();
          if (now - minute >= std::chrono::minutes(1))
            {
              droppedBefore = dropped;
              minute = now;
              said = dropped = 0;
            }
          if (omniORB::traceLevel <= 1 && said >= 20)
            {
              ++dropped;
              return;
            }
          ++said;
        }
        if (droppedBefore > 0)
          std::fprintf(stderr, "rtc: %u more omniORB messages in the last minute were left out\n", droppedBefore);
        std::fputs(text, stderr);
        std::fflush(stderr);
      }
    }

    void limitOrbLog() { omniORB::setLogFunction(orbLine); }
  }
RTM_NAMESPACE_END
