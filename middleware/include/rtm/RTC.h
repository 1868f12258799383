// Umbrella header: ORB, interface stubs and the runtime's basic types.
#ifndef RTM_RTC_H
#define RTM_RTC_H

#include <rtm/config_rtc.h>
#include <omniORB4/CORBA.h>
// The stubs omniidl generates: with optimisation and sanitizers, gcc's
// bounds checker misreads their virtual servant bases; that warning is not
// about our code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#endif
#include <rtm/idl/SDOPackage.hh>
#include <rtm/idl/RTC.hh>
#include <rtm/idl/OpenRTM.hh>
#include <rtm/idl/DataPort.hh>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#include <coil/Properties.h>

#ifndef DLL_EXPORT
#define DLL_EXPORT
#endif

RTM_NAMESPACE_BEGIN(RTC)
  typedef coil::Properties Properties;
RTM_NAMESPACE_END

#endif
