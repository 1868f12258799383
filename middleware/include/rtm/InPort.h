// RTC::InPort<T>: an input data port bound to a variable of the component.
//
// Data from all connections goes into one ring of 8 that overwrites the
// oldest datum when full. isNew() tells whether unread data is waiting;
// read() copies the oldest unread datum into the bound variable and answers
// true. With nothing unread it gives the newest datum again while a
// connection exists, and false when the port never received anything or
// has no connection. Read with `if (port.isNew()) port.read();` to see each
// datum once.
#ifndef RTM_INPORT_H
#define RTM_INPORT_H

#include <rtm/config_rtc.h>
#include <mutex>

#include <rtm/InPortBase.h>

RTM_NAMESPACE_BEGIN(RTC)
  template <class DataType>
  class InPort : public InPortBase
  {
  public:
    // The last five arguments are accepted for source compatibility and
    // ignored: the buffer comes from the port itself.
    InPort(const char* name, DataType& value, int bufsize = 64,
           bool read_block = false, bool write_block = false,
           int read_timeout = 0, int write_timeout = 0)
      : InPortBase(name, dataTypeName<DataType>().c_str()),
        m_value(value), m_head(0), m_count(0), m_hasData(false)
    {
    }

    virtual ~InPort() {}

    virtual bool isNew()
    {
      std::lock_guard<std::mutex> lock(m_ringMutex);
      return m_count > 0;
    }

    bool read()
    {
      std::lock_guard<std::mutex> lock(m_ringMutex);
      if (m_count > 0)
        {
          unsigned int oldest = (m_head + RING_LENGTH - m_count) % RING_LENGTH;
          m_value = m_ring[oldest];
          --m_count;
          return true;
        }
      if (!m_hasData || !isConnected())
        return false;
      m_value = m_ring[(m_head + RING_LENGTH - 1) % RING_LENGTH];
      return true;
    }

    void operator>>(DataType& rhs)
    {
      read();
      rhs = m_value;
    }

  protected:
    virtual bool decode(cdrStream& s)
    {
      DataType datum;
      datum <<= s;
      if (hasTrailingBytes(s))
        return false;
      std::lock_guard<std::mutex> lock(m_ringMutex);
      m_ring[m_head] = datum;
      m_head = (m_head + 1) % RING_LENGTH;
      if (m_count < RING_LENGTH)
        ++m_count;
      m_hasData = true;
      return true;
    }

  private:
    DataType& m_value;
    std::mutex m_ringMutex;
    DataType m_ring[RING_LENGTH];
    unsigned int m_head;   // next slot to write
    unsigned int m_count;  // unread data
    bool m_hasData;
  };
RTM_NAMESPACE_END

#endif
