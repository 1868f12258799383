// Component factory functions, as registered with RTC::Manager.
#ifndef RTM_FACTORY_H
#define RTM_FACTORY_H

#include <rtm/config_rtc.h>
#include <type_traits>

RTM_NAMESPACE_BEGIN(RTC)
  class Manager;
  class RTObject_impl;

  typedef RTObject_impl* (*RtcNewFunc)(Manager* manager);
  typedef void (*RtcDeleteFunc)(RTObject_impl* rtc);

  template <class T>
  RTObject_impl* Create(Manager* manager)
  {
    return new T(manager);
  }

  // Deletes rtc through its base (the destructor is virtual). The base is
  // named through T so that it is complete where this is instantiated:
  // deleting it here, where it is only declared, would skip its destructor.
  template <class T>
  void Delete(RTObject_impl* rtc)
  {
    typedef typename std::conditional<true, RTObject_impl, T>::type Base;
    delete static_cast<Base*>(rtc);
  }
RTM_NAMESPACE_END

#endif
