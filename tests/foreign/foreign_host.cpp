// A module host of another middleware: it loads a module as such hosts do
// (dlopen, the init symbol) and hands it its own manager.
#include <dlfcn.h>

#include <cstdio>

namespace RTC
{
  class Manager
  {
  public:
    static Manager* instance();
  };
}

int main(int argc, char** argv)
{
  if (argc < 2)
    return 2;
  void* module = dlopen(argv[1], RTLD_LAZY);
  if (module == nullptr)
    {
      std::fprintf(stderr, "foreign host: %s\n", dlerror());
      return 3;
    }
  typedef void (*Init)(RTC::Manager*);
  Init init = reinterpret_cast<Init>(dlsym(module, "VorlindeInit"));
  if (init == nullptr)
    return 4;
  init(RTC::Manager::instance());
  std::printf("foreign host: still here\n");
  return 0;
}
