// The viewer: the main thread's half of VorlindeComp.
#ifndef VORLINDE_VIEWER_H
#define VORLINDE_VIEWER_H

namespace RTC
{
  class Manager;
}

// Module init procedure handed to the manager: registers the component's
// factory and creates one "Vorlinde"; aborts when that fails.
void initHostedModule(RTC::Manager* manager);

// The viewer's entry, given the argument vector the manager received.
// Does not return.
void runViewer(int argc, char** argv);

#endif
