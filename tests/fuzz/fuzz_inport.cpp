// libFuzzer target: put() payloads of any octets into the InPort, in both
// byte orders, each compared with a decode written out by hand from the
// layout sec, nsec, N, N floats (12 + 4 N bytes exactly, nothing after).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <rtm/idl/BasicDataTypeSkel.h>
#include <rtm/InPort.h>

namespace
{
  std::uint32_t word(const std::uint8_t* p, bool little)
  {
    return little ? (p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24)
                  : (p[3] | p[2] << 8 | p[1] << 16 | static_cast<std::uint32_t>(p[0]) << 24);
  }

  void check(bool condition)
  {
    if (!condition)
      std::abort();
  }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  static RTC::TimedFloatSeq value;
  static RTC::InPort<RTC::TimedFloatSeq> port("Angle", value);
  if (size == 0)
    return 0;
  const bool little = data[0] & 1;
  const std::uint8_t* bytes = data + 1;
  const std::size_t length = size - 1;

  OpenRTM::CdrData octets(static_cast<CORBA::ULong>(length), static_cast<CORBA::ULong>(length),
                          const_cast<CORBA::Octet*>(bytes), false);
  const OpenRTM::PortStatus status = port.receive(octets, little);

  const bool wellFormed = length >= 12 && length == 12 + 4ull * word(bytes + 8, little);
  check(status == (wellFormed ? OpenRTM::PORT_OK : OpenRTM::PORT_ERROR));
  if (!wellFormed)
    {
      check(!port.isNew());
      return 0;
    }
  check(port.isNew() && port.read() && !port.isNew());
  check(value.tm.sec == word(bytes, little) && value.tm.nsec == word(bytes + 4, little));
  check(value.data.length() == word(bytes + 8, little));
  for (CORBA::ULong i = 0; i < value.data.length(); ++i)
    {
      const std::uint32_t bits = word(bytes + 12 + 4 * i, little);
      std::uint32_t got;
      std::memcpy(&got, &value.data[i], 4);
      check(got == bits);
    }
  return 0;
}
