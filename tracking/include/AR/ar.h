/*
 * Square marker tracking: patterns, detection with history, pose, timing.
 *
 * Images are 4 bytes per pixel in B, G, R, A order (AR_PIXEL_FORMAT_BGRA),
 * tightly packed, of the size given to arInitCparam.
 *
 * Not thread-safe: the library keeps process-wide state (camera, patterns,
 * detection history, the output marker list); use it from one thread only.
 */
#ifndef AR_AR_H
#define AR_AR_H

#include <AR/param.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned char  ARUint8;
typedef short          ARInt16;
typedef unsigned int   ARUint32;

#define AR_PIXEL_FORMAT_RGB    1
#define AR_PIXEL_FORMAT_BGR    2
#define AR_PIXEL_FORMAT_RGBA   3
#define AR_PIXEL_FORMAT_BGRA   4
#define AR_PIXEL_FORMAT_ABGR   5
#define AR_PIXEL_FORMAT_MONO   6
#define AR_PIXEL_FORMAT_ARGB   7
#define AR_PIXEL_FORMAT_2vuy   8
#define AR_PIXEL_FORMAT_UYVY   AR_PIXEL_FORMAT_2vuy
#define AR_PIXEL_FORMAT_yuvs   9
#define AR_PIXEL_FORMAT_YUY2   AR_PIXEL_FORMAT_yuvs

#define AR_DEFAULT_PIXEL_FORMAT AR_PIXEL_FORMAT_BGRA
#define AR_PIX_SIZE_DEFAULT     4

#define AR_AREA_MAX          100000   /* pixels */
#define AR_AREA_MIN          70       /* pixels */
#define AR_SQUARE_MAX        30
#define AR_PATT_NUM_MAX      50
#define AR_PATT_SIZE_X       16
#define AR_PATT_SIZE_Y       16
#define AR_PATT_SAMPLE_NUM   64
#define AR_GET_TRANS_MAT_MAX_LOOP_COUNT 5
#define AR_GET_TRANS_MAT_MAX_FIT_ERROR  1.0
#define AR_GL_CLIP_NEAR      50.0     /* marker units (mm) */
#define AR_GL_CLIP_FAR       5000.0

/* One detected square.
 *   area       dark pixels in its labelled region (frame plus dark pattern
 *              pixels connected to it), full-resolution pixels
 *   id         pattern id, or -1 (confidence below 0.5, nothing matched,
 *              or a uniform interior)
 *   dir        orientation block (0..3) that matched best, -1 when none
 *              did; the pattern's top-left corner is vertex[(4-dir)%4],
 *              top-right vertex[(5-dir)%4], bottom-right vertex[(6-dir)%4],
 *              bottom-left vertex[(7-dir)%4]
 *   cf         normalised correlation with the pattern, -1..1
 *   pos        centroid of the region, observed (distorted) pixels
 *   line[i]    side vertex[i] -> vertex[(i+1)%4] as a*x + b*y + c = 0 with
 *              a^2 + b^2 = 1, ideal (undistorted) pixels
 *   vertex[i]  corners, ideal pixels, clockwise on screen (y down);
 *              vertex[0] is where the outline geometry puts it, not a fixed
 *              corner of the pattern (see dir) */
typedef struct {
    int    area;
    int    id;
    int    dir;
    double cf;
    double pos[2];
    double line[4][3];
    double vertex[4][2];
} ARMarkerInfo;

/* The camera used by detection and pose: copied; also sets the image size
 * detection expects. Call before the first detection. Returns 0. */
int arInitCparam(ARParam *param);

/* Loads a pattern file (3072 integers: 4 orientation blocks of B, G, R
 * planes of 16x16) into the lowest free slot and returns its id (0..49).
 * Returns -1 when all 50 slots are used, or, after printing
 * "\"<filename>\" not found!!" or "Pattern Data read error!!" to standard
 * output, when the file cannot be opened, holds fewer than 3072 integers or
 * a value outside 0..255 (that one also named on standard error). */
int arLoadPatt(const char *filename);
/* Free, activate (match again) or deactivate (skip) a slot: 1, or -1 when
 * the slot is empty. */
int arFreePatt(int patt_no);
int arActivatePatt(int patt_no);
int arDeactivatePatt(int patt_no);

/* How detection tells dark pixels from light ones (an extension).
 * MANUAL, the default: B + G + R <= 3*thresh, thresh as arDetectMarker is
 * given it. The automatic modes ignore that argument:
 * AUTO_MEDIAN: midway between the median grey of the black frames and of
 *   the paper around them, of the markers found in the previous frame;
 *   Otsu's threshold of the frame while none is found.
 * AUTO_OTSU: Otsu's threshold of each frame's grey levels.
 * AUTO_ADAPTIVE: each pixel against the mean grey of its neighbourhood,
 *   for light that changes across the frame.
 * AUTO: the automatic mode recommended, an alias of one of the above. */
typedef enum {
    AR_LABELING_THRESH_MODE_MANUAL = 0,
    AR_LABELING_THRESH_MODE_AUTO_MEDIAN = 1,
    AR_LABELING_THRESH_MODE_AUTO_OTSU = 2,
    AR_LABELING_THRESH_MODE_AUTO_ADAPTIVE = 3,
    AR_LABELING_THRESH_MODE_AUTO = AR_LABELING_THRESH_MODE_AUTO_ADAPTIVE
} AR_LABELING_THRESH_MODE;

/* Sets or reads the mode: 0, or -1 for an unknown mode or a NULL pointer
 * (the mode is then unchanged). */
int arSetLabelingThreshMode(AR_LABELING_THRESH_MODE mode);
int arGetLabelingThreshMode(AR_LABELING_THRESH_MODE *mode);
/* The threshold the last detection used (0..255): in MANUAL the one it
 * was given; in AUTO_ADAPTIVE the mean of the local thresholds. Before
 * any detection, 100. 0, or -1 for a NULL pointer. */
int arGetLabelingThresh(int *thresh);

/* Finds squares in image: a pixel is dark when B + G + R <= 3*thresh.
 * *marker_info points to storage owned by the library, valid until the
 * next detection call; *marker_num is its length. Keeps a history: a
 * marker inherits id and cf from the one it continues when its own match
 * is weaker, and a marker that vanishes is still reported, unchanged, for
 * two more frames. Returns 0, or -1 on failure (no camera set, image NULL,
 * an image smaller than 3 x 3 pixels), after one line on standard error
 * saying why. */
int arDetectMarker(ARUint8 *dataPtr, int thresh, ARMarkerInfo **marker_info, int *marker_num);
/* The same without history. */
int arDetectMarkerLite(ARUint8 *dataPtr, int thresh, ARMarkerInfo **marker_info, int *marker_num);

/* Pose of a square of side width (mm) centred at center: conv = [R|t]
 * maps marker coordinates (X right, Y up along the upright pattern, Z out
 * of the marker towards the camera, mm) to camera coordinates (X right,
 * Y down, Z forward, mm). Returns the mean squared reprojection error
 * (pixels^2), or -1 with conv untouched when no pose can be computed. */
double arGetTransMat(ARMarkerInfo *marker_info, double center[2], double width, double conv[3][4]);

/* Timing. arUtilTimer: seconds since the last arUtilTimerReset (before
 * any reset, since the library was loaded; never exactly 0). arUtilSleep:
 * sleeps msec milliseconds. */
void   arUtilTimerReset(void);
double arUtilTimer(void);
void   arUtilSleep(int msec);

/* The camera and image size set by arInitCparam. */
extern ARParam arParam;
extern int     arImXsize, arImYsize;

#ifdef __cplusplus
}
#endif

#endif
