// Compiled as C++14 with every public header, so that the headers stay
// usable by components that must also build against a real OpenRTM-aist.
#include <rtm/idl/BasicDataTypeSkel.h>
#include <rtm/RTC.h>
#include <rtm/Manager.h>
#include <rtm/Factory.h>
#include <rtm/RTObject.h>
#include <rtm/DataFlowComponentBase.h>
#include <rtm/DataInPort.h>
#include <rtm/DataOutPort.h>
#include <rtm/InPort.h>
#include <rtm/OutPort.h>
#include <rtm/PeriodicExecutionContext.h>
#include <coil/Properties.h>

namespace
{
  struct Both : public RTC::DataFlowComponentBase
  {
    explicit Both(RTC::Manager* m)
      : RTC::DataFlowComponentBase(m), in(), out(), inPort("in", in), outPort("out", out)
    {
    }
    RTC::TimedFloatSeq in, out;
    RTC::InPort<RTC::TimedFloatSeq> inPort;
    RTC::OutPort<RTC::TimedFloatSeq> outPort;
  };
}

RTC::RtcNewFunc proj_header_check = RTC::Create<Both>;
