// Calls to another process's objects, made once more when they fail on a
// connection the peer had already closed. omniORB keeps its connection to
// an address after the process there is gone; a new process at the same
// address (a sender restarted on a fixed port, whose objects have the same
// keys) is then first reached through the old, dead connection. That
// attempt fails and drops it; the second one opens a new connection. Only
// the failures such a connection causes are tried again, and only once.
#ifndef RTM_SRC_PEERCALL_H
#define RTM_SRC_PEERCALL_H

#include <rtm/config_rtc.h>
#include <omniORB4/CORBA.h>

RTM_NAMESPACE_BEGIN(RTC)
  template <class Call>
  auto callPeer(Call call) -> decltype(call())
  {
    try
      {
        return call();
      }
    catch (const CORBA::COMM_FAILURE&)
      {
      }
    catch (const CORBA::TRANSIENT& e)
      {
        if (e.minor() != omni::TRANSIENT_ConnectionClosed)
          throw;
      }
    return call();
  }
RTM_NAMESPACE_END

#endif
