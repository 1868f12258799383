// RTC::DataFlowComponentBase: base class of periodic data-flow components.
#ifndef RTM_DATAFLOWCOMPONENTBASE_H
#define RTM_DATAFLOWCOMPONENTBASE_H

#include <rtm/config_rtc.h>
#include <rtm/RTObject.h>

RTM_NAMESPACE_BEGIN(RTC)
  class Manager;

  class DataFlowComponentBase : public RTObject_impl
  {
  public:
    DataFlowComponentBase(Manager* manager);
    virtual ~DataFlowComponentBase();
    void init();
  };
RTM_NAMESPACE_END

#endif
