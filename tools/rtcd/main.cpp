// vorlinde-rtcd: a module host. It loads the modules of
// manager.modules.preload, creates manager.components.precreate, applies
// preconnect and preactivation, serves the manager object, and runs until
// no component is left, shutdown() is called, or SIGINT / SIGTERM.
#include <cstdio>
#include <cstring>

#include <rtm/Manager.h>

namespace
{
  void printUsage()
  {
    std::printf(
      "usage: vorlinde-rtcd [-f FILE] [-o key:value]... [-d] [-a] [-p PORT] [-i]\n"
      "Hosts components from loadable modules.\n"
      "  -f FILE        configuration file (else ./rtc.conf, then /etc/rtc.conf and the like)\n"
      "  -o key:value   sets one configuration key, after the file\n"
      "  -d             master manager: listens on corba.master_manager's port (2810)\n"
      "  -a             no manager object (rtmgr cannot reach this host)\n"
      "  -p PORT        listens on PORT\n"
      "  -i             a missing -f FILE is no error\n"
      "Keys most used: manager.modules.load_path, manager.modules.preload,\n"
      "manager.components.precreate, manager.shutdown_on_nortcs, manager.shutdown_auto.\n");
  }
}

int main(int argc, char** argv)
{
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0)
      {
        printUsage();
        return 0;
      }
  RTC::Manager* manager = RTC::Manager::init(argc, argv);
  if (!manager->activateManager())
    return 1;
  manager->runManager();
  return 0;
}
