// RTC::OutPort<T>: an output data port bound to a variable of the component.
#ifndef RTM_OUTPORT_H
#define RTM_OUTPORT_H

#include <rtm/config_rtc.h>
#include <rtm/OutPortBase.h>

RTM_NAMESPACE_BEGIN(RTC)
  template <class DataType>
  class OutPort : public OutPortBase
  {
  public:
    OutPort(const char* name, DataType& value)
      : OutPortBase(name, dataTypeName<DataType>().c_str()), m_value(value)
    {
    }

    virtual ~OutPort() {}

    virtual bool write(DataType& value)
    {
      cdrMemoryStream cdr;
      cdr.setByteSwapFlag(true);  // little-endian, as every C++ peer sends
      value >>= cdr;
      return send(cdr);
    }

    bool write() { return write(m_value); }

    bool operator<<(DataType& value) { return write(value); }

  private:
    DataType& m_value;
  };
RTM_NAMESPACE_END

#endif
