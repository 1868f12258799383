// VorlindeComp: the joint-angle component and the viewer in one process.
//
// The middleware manager starts first, with the whole argument vector, and
// creates the component; its threads serve CORBA and run the component's
// execution context. The main thread then becomes the viewer's.
#include <GL/freeglut.h>

#include <cstdio>
#include <cstdlib>

#include <AR/gsub.h>
#include <AR/video.h>

#include "Vorlinde.h"
#include "viewer.h"
#include "viewer_state.h"

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

void runViewer(int argc, char** argv)
{
  glutInit(&argc, argv);
  initViewer();
  arVideoCapStart();
  argMainLoop(NULL, onKey, onFrame);
}

int main(int argc, char** argv)
{
  // Every line reaches a log or a pipe as it is printed, not when a buffer
  // fills: the program runs for hours and may end by a signal.
  std::setvbuf(stdout, NULL, _IOLBF, 0);
  RTC::Manager* manager = RTC::Manager::init(argc, argv);
  manager->setModuleInitProc(initHostedModule);
  manager->activateManager();
  manager->runManager(true);
  runViewer(argc, argv);
  return 0;
}
