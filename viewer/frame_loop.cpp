// The frame loop and the keys, run by the window loop on the main thread.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <AR/ar.h>
#include <AR/gsub.h>
#include <AR/video.h>

#include "arm_angle.h"
#include "tuning.h"
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

// The component's "threshold" and "marker_width" parameters, read once a
// frame without a lock: a fixed threshold, or one of the library's
// automatic modes.
static void applyTuning()
{
  const int t = tuned_threshold.load(std::memory_order_relaxed);
  AR_LABELING_THRESH_MODE mode = AR_LABELING_THRESH_MODE_MANUAL;
  switch (t)
    {
    case TUNED_THRESHOLD_AUTO: mode = AR_LABELING_THRESH_MODE_AUTO; break;
    case TUNED_THRESHOLD_AUTO_MEDIAN: mode = AR_LABELING_THRESH_MODE_AUTO_MEDIAN; break;
    case TUNED_THRESHOLD_AUTO_OTSU: mode = AR_LABELING_THRESH_MODE_AUTO_OTSU; break;
    case TUNED_THRESHOLD_AUTO_ADAPTIVE: mode = AR_LABELING_THRESH_MODE_AUTO_ADAPTIVE; break;
    default:
      if (t >= 0 && t <= 255)
        detect_threshold = t;
      break;
    }
  arSetLabelingThreshMode(mode);
  marker_width = tuned_marker_width.load(std::memory_order_relaxed);
}

// VORLINDE_TRACE=frames: one line per frame on standard output, for
// whoever needs to know what each frame found.
static bool traceFrames()
{
  static const bool on = [] {
    const char* what = std::getenv("VORLINDE_TRACE");
    return what != NULL && std::strstr(what, "frames") != NULL;
  }();
  return on;
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

  // Step 4. Find squares (with the detector's two-frame memory), with the
  // threshold and marker width the component's parameters give now.
  applyTuning();
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
      if (traceFrames())
        std::printf("frame %d (camera frame %ld): no marker\n", frame_count, arVideoInqFrameNumber());
      argSwapBuffers();
      return;
    }

  // Step 8. Its pose (kept from the last frame when none can be computed).
  arGetTransMat(&candidates[k], marker_center, marker_width, marker_pose);

  // Step 9. The arm over it.
  drawArm();
  if (traceFrames())
    std::printf("frame %d (camera frame %ld): arm on the marker (confidence %.2f), joints %g %g %g\n", frame_count,
                arVideoInqFrameNumber(), candidates[k].cf,
                static_cast<double>(arm_angle[0].load()), static_cast<double>(arm_angle[1].load()),
                static_cast<double>(arm_angle[2].load()));
  argSwapBuffers();
}

// After the rate: how many frames the camera gave, and how many of them
// the window never showed because a newer one came first.
static void reportFrameCounts()
{
  long captured = 0, not_shown = 0;
  if (arVideoInqFrameCounts(&captured, &not_shown) == 0)
    std::fprintf(stderr, "video: %ld frames captured, %ld not shown\n", captured, not_shown);
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
      reportFrameCounts();
      if (before_program_end != 0)
        before_program_end();
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
