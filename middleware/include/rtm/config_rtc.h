// Build facts of this runtime, under the names components test for.
#ifndef RTM_CONFIG_RTC_H
#define RTM_CONFIG_RTC_H

#define ORB_IS_OMNIORB 1
#define RTM_MAJOR_VERSION 1
#define RTM_MINOR_VERSION 2
#define RTM_VERSION "1.2.2"
#define RTM_RUNTIME_NAME "vorlinde-rtm"

// The runtime's classes (RTC::Manager, RTC::RTObject_impl, the ports, ...)
// live in an inline namespace of their own: RTC::Manager in source, a link
// name of its own, so that a module of ours in another host, or another
// runtime's module in ours, never binds to the other runtime's classes of
// the same names.
#include <coil/config_coil.h>

#endif
