// vorlinde-rtcprof FILE: loads the module FILE in a manager of its own and
// prints the profile of each factory it registers, one "key: value" line
// per entry. The host's list of loadable modules is made of these.
#include <cstdio>
#include <string>
#include <unistd.h>

#include <rtm/Manager.h>

int main(int argc, char** argv)
{
  if (argc != 2 || argv[1][0] == '-')
    {
      std::fprintf(stderr, "usage: vorlinde-rtcprof MODULE_FILE\n");
      return 2;
    }
  std::string file = argv[1];
  if (file[0] != '/')
    {
      char cwd[4096];
      if (getcwd(cwd, sizeof cwd) != nullptr)
        file = std::string(cwd) + "/" + file;
    }
  // Nothing of this manager is visible: no names, no manager object, no
  // module but the one asked about.
  const char* args[] = {"vorlinde-rtcprof", "-o", "naming.enable:NO", "-o", "manager.corba_servant:NO",
                        "-o", "manager.modules.preload:", "-o", "manager.components.precreate:",
                        "-o", "manager.components.preconnect:", "-o", "manager.components.preactivation:",
                        "-o", "manager.is_master:NO",
                        "-o", "corba.endpoints:127.0.0.1:", "-o", "manager.modules.search_auto:NO"};
  RTC::Manager* manager = RTC::Manager::init(static_cast<int>(sizeof args / sizeof args[0]), const_cast<char**>(args));
  const bool loaded = manager->load(file, "") == RTC::RTC_OK;
  const std::vector<coil::Properties> profiles = manager->getFactoryProfiles();
  for (const coil::Properties& p : profiles)
    for (const std::string& key : p.propertyNames())
      std::printf("%s: %s\n", key.c_str(), p.getProperty(key).c_str());
  std::fflush(stdout);
  if (!loaded || profiles.empty())
    std::fprintf(stderr, "vorlinde-rtcprof: %s: no factory registered\n", file.c_str());
  std::fflush(stderr);
  _exit(loaded && !profiles.empty() ? 0 : 1);
}
