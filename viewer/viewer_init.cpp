// Start-up and shut-down of the viewer: camera, calibration, pattern and
// window, each failure ending the process with its message.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <AR/gsub.h>
#include <AR/video.h>

#include "viewer.h"
#include "viewer_state.h"

// A failure of initialisation: the message (if any) is already out; the
// status says it failed.
static void failInit()
{
  std::exit(1);
}

// After the fixed message: a data file that is not there, and the folder
// it was looked for in (the working directory, which users often mistake
// for the program's own).
static void sayIfMissing(const char* file)
{
  if (access(file, F_OK) == 0)
    return;
  char here[4096];
  std::fprintf(stderr, "%s: no such file in %s\n", file, getcwd(here, sizeof here) != NULL ? here : "the working directory");
}

void initViewer()
{
  // 1. Camera: open it and learn the image size.
  if (arVideoOpen(const_cast<char*>(video_config)) < 0)
    failInit();  // the video library has said which source failed
  if (arVideoInqSize(&image_width, &image_height) < 0)
    failInit();
  std::printf("Image size (x,y) = (%d,%d)\n", image_width, image_height);

  // 2. Calibration, resized to the camera's image.
  ARParam file_param;
  if (arParamLoad(camera_param_file, 1, &file_param) < 0)
    {
      std::printf("Camera parameter load error !!\n");
      sayIfMissing(camera_param_file);
      failInit();
    }
  arParamChangeSize(&file_param, image_width, image_height, &camera_param);
  arInitCparam(&camera_param);
  std::printf("*** Camera Parameter ***\n");
  arParamDisp(&camera_param);

  // 3. The marker's pattern.
  pattern_id = arLoadPatt(pattern_file);
  if (pattern_id < 0)
    {
      std::printf("pattern load error !!\n");
      sayIfMissing(pattern_file);
      failInit();
    }

  // 4. The window, exactly the image's size.
  argInit(&camera_param, 1.0, 0, 0, 0, 0);
}

void shutdownViewer()
{
  arVideoCapStop();
  arVideoClose();
  argCleanup();
}

