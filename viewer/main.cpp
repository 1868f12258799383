// VorlindeComp: the joint-angle component and the viewer in one process.
//
// The middleware manager starts first, with the whole argument vector, and
// creates the component; its threads serve CORBA and run the component's
// execution context. The main thread then becomes the viewer's.
#include <cstdio>
#include <cstdlib>

#include "Vorlinde.h"
#include "viewer.h"

void initHostedModule(RTC::Manager* manager)
{
  registerVorlindeFactory(manager);
  RTC::RtcBase* comp = manager->createComponent("Vorlinde");
  if (comp == NULL)
    {
      std::fprintf(stderr, "Component create failed.\n");
      std::fflush(stderr);
      std::abort();
    }
}

int main(int argc, char** argv)
{
  RTC::Manager* manager = RTC::Manager::init(argc, argv);
  manager->setModuleInitProc(initHostedModule);
  manager->activateManager();
  manager->runManager(true);
  runViewer(argc, argv);
  return 0;
}
