// Lines on standard error about what peers did: one line each, quoting a
// peer's text safely, and each kind said at most once a minute so that a
// peer repeating itself cannot flood the log.
#ifndef RTM_SRC_REPORT_H
#define RTM_SRC_REPORT_H

#include <rtm/config_rtc.h>
#include <string>

RTM_NAMESPACE_BEGIN(RTC)
  namespace Report
  {
    // A peer's text fit for one line: at most max characters (then "..."),
    // control characters, quotes, backslashes and bytes above 0x7e
    // written as \n, \", \\ or \xNN.
    std::string quote(const std::string& text, std::size_t max = 80);

    // "rtc: text" and an end of line on standard error, flushed.
    void line(const std::string& text);

    // line(text), unless a line of this kind went out less than a minute
    // ago. Returns whether it was said.
    bool sometimes(const std::string& kind, const std::string& text);

    // omniORB's own lines go to standard error as before, but at the
    // usual trace level (1) no more than 20 a minute: each malformed
    // message a peer sends would otherwise be one line. How many were
    // left out is said when the minute is over. A higher -ORBtraceLevel,
    // asked for to see everything, is not limited.
    void limitOrbLog();
  }
RTM_NAMESPACE_END

#endif
