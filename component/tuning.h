// What the viewer reads each frame from the component's configuration
// parameters, written by the component's execution thread: the labelling
// threshold and the marker's width. Lock-free atomics, so the viewer's
// frame never waits and never sees half a value.
#ifndef VORLINDE_TUNING_H
#define VORLINDE_TUNING_H

#include <atomic>

// 0..255: that fixed threshold. Negative: an automatic mode.
enum
{
  TUNED_THRESHOLD_AUTO = -1,
  TUNED_THRESHOLD_AUTO_MEDIAN = -2,
  TUNED_THRESHOLD_AUTO_OTSU = -3,
  TUNED_THRESHOLD_AUTO_ADAPTIVE = -4
};
extern std::atomic<int> tuned_threshold;        // 100 at start
extern std::atomic<double> tuned_marker_width;  // mm, 80 at start

// The parameters' conversions: true and the value, or false for a text
// the parameter does not take ("-3", "abc"; a width outside 0.01 mm to
// 100 m).
bool parseThreshold(int& value, const char* text);
bool parseMarkerWidth(double& value, const char* text);

#endif
