// The viewer's process-wide values: file names and constants fixed at
// build time, and what initViewer and the frame loop fill in. Used by the
// main thread only.
#ifndef VORLINDE_VIEWER_STATE_H
#define VORLINDE_VIEWER_STATE_H

#include <AR/param.h>

extern const char* video_config;       // option string or file for arVideoOpen
extern const char* camera_param_file;  // camera calibration
extern const char* pattern_file;       // marker pattern
extern int detect_threshold;           // binarisation threshold, 0..255
extern double marker_width;            // marker side, mm
extern double marker_center[2];        // marker centre offset, mm
extern int image_width, image_height;  // from the camera, pixels
extern ARParam camera_param;           // resized to the image
extern int pattern_id;                 // from arLoadPatt
extern int frame_count;                // frames processed
extern double source_end_time;         // rate timer's seconds when the video
                                       // source ended; 0 while it delivers
// Called (when set) just before the program ends on ESC, while the
// window still stands: the host takes its names and its ORB down there.
extern void (*before_program_end)(void);
extern double marker_pose[3][4];       // last pose computed, marker -> camera, mm

#endif
