// VorlindeComp: the joint-angle component and the viewer in one process.
//
// The middleware manager starts first, with the whole argument vector, and
// creates the component; its threads serve CORBA and run the component's
// execution context. The main thread then becomes the viewer's.
#include <GL/freeglut.h>
#include <malloc.h>

#include <strings.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <AR/gsub.h>
#include <AR/video.h>

#include "Vorlinde.h"
#include "viewer.h"
#include "viewer_state.h"

// In builds with the leak checker: this program's check at exit would
// count the GL driver's own blocks, which it cannot tell from ours (the
// driver is unloaded before the check). Our code's leaks are checked by
// the tests of its parts instead.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __lsan_default_options()
{
  return "leak_check_at_exit=0";
}
#endif

static RTC::Manager* the_manager = NULL;
static bool component_created = false;

// Module init procedure handed to the manager: registers the component's
// factory and creates one "Vorlinde"; aborts when that fails.
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
  component_created = true;
}

// Before the program ends: the component, its names, then the ORB (whose
// threads finish their calls), so that the process's own clean-up does not
// run under them. Bounded in time whatever peers do.
static void takeDownMiddleware()
{
  the_manager->shutdown();
}

// When a tool has called exit() on the component (rtexit), the program
// ends as a manager left with no component does: a second later, with
// status 0, its names already unbound; unless the configuration says
// manager.shutdown_on_nortcs: NO. An exit() that came while the program
// was still starting counts too.
static void endWhenNoComponentIsLeft()
{
  static double next_look = 0.0, gone_since = -1.0;
  const double now = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  if (now < next_look)
    return;
  next_look = now + 0.1;
  if (!component_created || !the_manager->getComponents().empty())
    {
      gone_since = -1.0;
      return;
    }
  if (strcasecmp(the_manager->getConfig().getProperty("manager.shutdown_on_nortcs").c_str(), "YES") != 0)
    return;
  if (gone_since < 0.0)
    gone_since = now;
  if (now - gone_since < 1.0)
    return;
  std::fprintf(stderr, "VorlindeComp: the component has exited and none is left; the program ends\n");
  takeDownMiddleware();
  shutdownViewer();
  std::exit(0);
}

static void onFrameOrEnd()
{
  endWhenNoComponentIsLeft();
  onFrame();
}

void runViewer(int argc, char** argv)
{
  glutInit(&argc, argv);
  initViewer();
  arVideoCapStart();
  argMainLoop(NULL, onKey, onFrameOrEnd);
}

int main(int argc, char** argv)
{
  // Every line reaches a log or a pipe as it is printed, not when a buffer
  // fills: the program runs for hours and may end by a signal.
  std::setvbuf(stdout, NULL, _IOLBF, 0);
  if (askedForHelp(argc, argv))
    {
      printUsage();
      return 0;
    }
  // Frame after frame the loop allocates and frees blocks of the same
  // sizes (images, work areas): keep freed memory for the next frame
  // rather than hand it back to the system and fault it in again, so that
  // the program's resident size settles and stays flat.
  mallopt(M_MMAP_THRESHOLD, 64 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
  RTC::Manager* manager = RTC::Manager::init(argc, argv);
  the_manager = manager;
  before_program_end = takeDownMiddleware;
  manager->setModuleInitProc(initHostedModule);
  manager->activateManager();
  manager->runManager(true);
  runViewer(argc, argv);
  return 0;
}
