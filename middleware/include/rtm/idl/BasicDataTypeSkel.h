// The basic timed data types (RTC::TimedFloatSeq, ...). Include this before
// rtm/InPort.h and rtm/OutPort.h: the ports name their data type through the
// Any operators declared here.
#ifndef RTM_IDL_BASICDATATYPESKEL_H
#define RTM_IDL_BASICDATATYPESKEL_H

#include <omniORB4/CORBA.h>
#include <rtm/idl/BasicDataType.hh>

#endif
