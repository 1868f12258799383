/*
 * Window helpers: a GLUT window the size of the camera image, the camera
 * picture as background, and the calibrated camera's projection for 3-D
 * drawing over it. GLUT must be initialised (glutInit) before argInit.
 *
 * Not thread-safe: call from the thread that runs the GLUT loop only.
 */
#ifndef AR_GSUB_H
#define AR_GSUB_H

#include <AR/ar.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the window: (int)(xsize*zoom) x (int)(ysize*zoom) (plus xwin x
 * ywin half-size mini views below), at the top-left corner, empty title,
 * double-buffered RGBA with depth and stencil; fullFlag makes it full
 * screen. Keeps its own copy of cparam for drawing. Reports no failure. */
void argInit(ARParam *cparam, double zoom, int fullFlag, int xwin, int ywin, int hmd_flag);

/* Enters the GLUT loop (never returns). At the first display event it
 * pauses half a second, shows two cleared black frames, then installs
 * keyFunc (keyboard), mouseFunc (mouse) and mainFunc (display and idle).
 * No key is handled by the library itself. */
void argMainLoop(void (*mouseFunc)(int button, int state, int x, int y),
                 void (*keyFunc)(unsigned char key, int x, int y),
                 void (*mainFunc)(void));

/* 2-D drawing in window pixels, origin bottom-left; leaves the matrix mode
 * PROJECTION. */
void argDrawMode2D(void);
/* Resets the model-view matrix to identity (matrix mode MODELVIEW). */
void argDrawMode3D(void);
/* The calibrated camera's projection (near 50, far 5000) on the main view
 * (xwin = ywin = 0) or a mini view; leaves the matrix mode PROJECTION. */
void argDraw3dCamera(int xwin, int ywin);
/* Draws the whole BGRA camera image (valid for the call only) as a
 * texture on a mesh undistorted with the camera's distortion, at the far
 * plane of the 2-D mode. Needs argDrawMode2D. */
void argDispImage(ARUint8 *image, int xwin, int ywin);
/* [R|t] (3x4) to a column-major OpenGL model-view matrix. */
void argConvGlpara(double para[3][4], double gl_para[16]);
/* The projection matrix (column-major) of a camera whose y row has been
 * flipped as argInit flips it: near and far in marker units. */
void argConvGLcpara(ARParam *param, double gnear, double gfar, double m[16]);
void argSwapBuffers(void);
/* Releases nothing: the window ends with the process. */
void argCleanup(void);

#ifdef __cplusplus
}
#endif

#endif
