// The viewer: the main thread's half of VorlindeComp.
#ifndef VORLINDE_VIEWER_H
#define VORLINDE_VIEWER_H

#include <AR/ar.h>

// -h or --help among the arguments, and the usage they ask for.
bool askedForHelp(int argc, char** argv);
void printUsage();

// The viewer's entry, given the argument vector the manager received.
// Does not return.
void runViewer(int argc, char** argv);
// Opens the camera, loads calibration and pattern, opens the window; ends
// the process with status 1 on failure.
void initViewer();
// Stops the capture and closes the camera.
void shutdownViewer();

// The frame loop's display and idle routine, and its keyboard routine.
void onFrame();
void onKey(unsigned char key, int x, int y);

// Index of the most confident candidate of pattern_id (the first of equal
// ones), or -1.
int chooseMarker(const ARMarkerInfo* candidates, int count, int pattern_id);

// The arm over the marker, in marker_pose with the angles of arm_angle.
void drawArm();
void setMaterial(float r, float g, float b, float a);

#endif
