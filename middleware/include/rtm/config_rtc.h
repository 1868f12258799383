// Build facts of this runtime, under the names components test for.
#ifndef RTM_CONFIG_RTC_H
#define RTM_CONFIG_RTC_H

#define ORB_IS_OMNIORB 1
#define RTM_MAJOR_VERSION 1
#define RTM_MINOR_VERSION 2
#define RTM_VERSION "1.2.2"
#define RTM_RUNTIME_NAME "vorlinde-rtm"

#endif
