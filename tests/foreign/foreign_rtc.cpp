// A stand-in for another middleware's runtime library: classes with the
// names a component source uses (RTC::Manager, coil::Properties) and
// layouts of their own, as a real OpenRTM-aist's are. Anything of a module
// that bound to these would corrupt memory.
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace coil
{
  class Properties
  {
  public:
    Properties(const char* defaults[], long num);
    ~Properties();
    char scratch[4096];
  };

  Properties::Properties(const char**, long)
  {
    std::memset(scratch, 0x5a, sizeof scratch);
  }
  Properties::~Properties() {}
}

namespace RTC
{
  class RTObject_impl;
  class Manager
  {
  public:
    static Manager* instance();
    bool registerFactory(coil::Properties& profile, RTObject_impl* (*create)(Manager*), void (*destroy)(RTObject_impl*));
    long layout[64];
  };

  Manager* Manager::instance()
  {
    static Manager* m = new Manager();
    return m;
  }

  bool Manager::registerFactory(coil::Properties& profile, RTObject_impl* (*)(Manager*), void (*)(RTObject_impl*))
  {
    std::fprintf(stderr, "foreign manager: a module's factory reached this host's own manager\n");
    std::abort();
  }
}
