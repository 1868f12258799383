// The frame loop and the keys, run by the window loop on the main thread.
#include <cstdio>
#include <cstdlib>

#include <AR/gsub.h>
#include <AR/video.h>

#include "arm_angle.h"
#include "viewer.h"
#include "viewer_state.h"

int chooseMarker(const ARMarkerInfo* candidates, int count, int id)
{
  int k = -1;
  for (int j = 0; j < count; ++j)
    {
      if (candidates[j].id != id)
        continue;
      if (k == -1 || candidates[j].cf > candidates[k].cf)
        k = j;
    }
  return k;
}

void onFrame()
{
  // Step 1. A new camera image, or yield the processor and come back. A
  // source that has ended (a file played to its end) keeps the last
  // picture in the window; its time stops counting for the rate, and the
  // loop looks for keys less often.
  ARUint8* image = arVideoGetImage();
  if (image == NULL)
    {
      if (source_end_time == 0.0 && arVideoInqEnded() == 1)
        source_end_time = arUtilTimer();
      arUtilSleep(source_end_time > 0.0 ? 20 : 2);
      return;
    }

  // Step 2. Count frames; the rate's timer starts with the first.
  if (frame_count == 0)
    arUtilTimerReset();
  frame_count++;

  // Step 3. The camera image as background.
  argDrawMode2D();
  argDispImage(image, 0, 0);

  // Step 4. Find squares (with the detector's two-frame memory).
  ARMarkerInfo* candidates;
  int candidate_count;
  if (arDetectMarker(image, detect_threshold, &candidates, &candidate_count) < 0)
    {
      shutdownViewer();  // the library has said why
      std::exit(1);
    }

  // Step 5. The capture buffer goes back once detection is done with it.
  arVideoCapNext();

  // Step 6. The most confident candidate of our pattern.
  int k = chooseMarker(candidates, candidate_count, pattern_id);

  // Step 7. Not seen: the camera image alone.
  if (k == -1)
    {
      argSwapBuffers();
      return;
    }

  // Step 8. Its pose (kept from the last frame when none can be computed).
  arGetTransMat(&candidates[k], marker_center, marker_width, marker_pose);

  // Step 9. The arm over it.
  drawArm();
  argSwapBuffers();
}

// Adds 10 degrees to one joint, without losing a datum that the component
// writes between our read and our write.
static void stepJoint(int joint)
{
  float seen = arm_angle[joint].load();
  while (!arm_angle[joint].compare_exchange_weak(seen, static_cast<float>(static_cast<double>(seen) + 10.0)))
    {
    }
}

void onKey(unsigned char key, int x, int y)
{
  switch (key)
    {
    case 0x1b:
      std::printf("*** %f (frame/sec)\n",
                  static_cast<double>(frame_count) / (source_end_time > 0.0 ? source_end_time : arUtilTimer()));
      shutdownViewer();
      std::exit(0);
    case 'c':
      stepJoint(0);
      break;
    case 'v':
      stepJoint(1);
      break;
    case 'b':
      stepJoint(2);
      break;
    default:
      break;
    }
}
