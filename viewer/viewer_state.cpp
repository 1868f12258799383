#include "viewer_state.h"

// The video configuration lives in a file beside the other data files, so
// that it can be edited without a rebuild; VORLINDE_VIDEO overrides it.
const char* video_config = "Data/video.conf";
const char* camera_param_file = "Data/camera_para.dat";
const char* pattern_file = "Data/patt.vesk";
int detect_threshold = 100;
double marker_width = 80.0;
double marker_center[2] = {0.0, 0.0};
int image_width = 0;
int image_height = 0;
ARParam camera_param;
int pattern_id = -1;
int frame_count = 0;
double source_end_time = 0.0;
void (*before_program_end)(void) = 0;
double marker_pose[3][4] = {{0.0, 0.0, 0.0, 0.0}, {0.0, 0.0, 0.0, 0.0}, {0.0, 0.0, 0.0, 0.0}};
