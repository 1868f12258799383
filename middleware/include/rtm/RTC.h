// Umbrella header: ORB, interface stubs and the runtime's basic types.
#ifndef RTM_RTC_H
#define RTM_RTC_H

#include <rtm/config_rtc.h>
#include <omniORB4/CORBA.h>
#include <rtm/idl/SDOPackage.hh>
#include <rtm/idl/RTC.hh>
#include <rtm/idl/OpenRTM.hh>
#include <rtm/idl/DataPort.hh>
#include <coil/Properties.h>

#ifndef DLL_EXPORT
#define DLL_EXPORT
#endif

namespace RTC
{
  typedef coil::Properties Properties;
}

#endif
