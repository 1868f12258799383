// Component factory functions, as registered with RTC::Manager.
#ifndef RTM_FACTORY_H
#define RTM_FACTORY_H

namespace RTC
{
  class Manager;
  class RTObject_impl;

  typedef RTObject_impl* (*RtcNewFunc)(Manager* manager);
  typedef void (*RtcDeleteFunc)(RTObject_impl* rtc);

  template <class T>
  RTObject_impl* Create(Manager* manager)
  {
    return new T(manager);
  }

  template <class T>
  void Delete(RTObject_impl* rtc)
  {
    delete rtc;
  }
}

#endif
