/*
 * Video capture: one source at a time, captured on its own thread.
 *
 * Frames are 4 bytes per pixel, B, G, R, A, tightly packed. The option
 * string of arVideoOpen:
 *   -dev=PATH -width=N -height=N [-fps=N] [-flipv] [-fliph]   V4L2 camera
 *   -file=PATH [-loop] [-fps=N]        video file or image sequence
 *                                      (frames/%04d.png)
 *   -synthetic [-width=N] [-height=N] [-fps=N] [-seed=N]
 *                                      built-in scene: the shipped marker
 *                                      moving over a textured background,
 *                                      seen through Data/camera_para.dat
 * The environment variable VORLINDE_VIDEO, when set and non-empty, replaces
 * the string; a string naming an existing file is replaced by its text.
 *
 * Not thread-safe: call from one thread only.
 */
#ifndef AR_VIDEO_H
#define AR_VIDEO_H

#include <AR/ar.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the source. Returns 0, or -1 (an unknown option prints the option
 * list; a source that cannot be opened prints one line naming it). */
int      arVideoOpen(char *config);
/* Stops capture if running and closes. Returns 0, -1 if nothing is open. */
int      arVideoClose(void);
/* Prints the option list. Returns 0. */
int      arVideoDispOption(void);
/* The frame size. Returns 0, -1 if nothing is open. */
int      arVideoInqSize(int *x, int *y);
/* The newest frame if one arrived since the last call, else NULL (try
 * again); never blocks. The frame stays valid until arVideoCapNext. */
ARUint8 *arVideoGetImage(void);
int      arVideoCapStart(void);
int      arVideoCapStop(void);
/* Hands the frame from arVideoGetImage back. Returns 0, -1 if not started. */
int      arVideoCapNext(void);
/* 1 once the source has ended (a file or image sequence without -loop, or
 * an unreadable one) and every frame has been handed out, else 0; -1 if
 * nothing is open. The end is also reported in one line on standard
 * error ("video source ended: ..."). A camera that stops sending frames
 * does not end: it is opened again once a second until it returns. */
int      arVideoInqEnded(void);

/* Frames the source has delivered since it was opened, and of them those a
 * newer frame replaced before arVideoGetImage took them (a consumer slower
 * than its camera). Returns 0, -1 if nothing is open. */
int      arVideoInqFrameCounts(long *captured, long *not_shown);

/* The number of the frame arVideoGetImage returned last, counting the
 * source's frames from 1 (0 before the first); -1 if nothing is open. */
long     arVideoInqFrameNumber(void);

/* For tests of the built-in scene: the marker pose ([R|t], marker to
 * camera, mm) of the frame arVideoGetImage returned last. Returns 0, or -1
 * when the open source is not the built-in scene or no frame was taken. */
int      arVideoSyntheticPose(double conv[3][4]);

#ifdef __cplusplus
}
#endif

#endif
