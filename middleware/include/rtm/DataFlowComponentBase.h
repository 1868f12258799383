// RTC::DataFlowComponentBase: base class of periodic data-flow components.
#ifndef RTM_DATAFLOWCOMPONENTBASE_H
#define RTM_DATAFLOWCOMPONENTBASE_H

#include <rtm/RTObject.h>

namespace RTC
{
  class Manager;

  class DataFlowComponentBase : public RTObject_impl
  {
  public:
    DataFlowComponentBase(Manager* manager);
    virtual ~DataFlowComponentBase();
    void init();
  };
}

#endif
