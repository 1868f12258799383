// What opens a capture source through OpenCV: a V4L2 camera with its
// pixel format and controls, a GStreamer pipeline, a network stream or a
// file; and what each one says it really delivers.
#ifndef AR_SRC_CAPTURE_H
#define AR_SRC_CAPTURE_H

#include <string>
#include <vector>

#include <opencv2/videoio.hpp>

#include "video_options.h"

namespace ar
{
  // A camera's controls as its driver answers them: cv::VideoCapture's
  // set and get in the program, a stand-in in the tests (no camera there).
  class CameraControls
  {
  public:
    virtual ~CameraControls() {}
    virtual bool set(int property, double value) = 0;
    virtual double get(int property) const = 0;
  };

  // Asks for the pixel format (first: V4L2 fixes the sizes a format
  // offers), the size, the rate, the exposure and the focus that o gives;
  // each the camera does not take is one line of the result ("video:
  // -fourcc=MJPG asked, the camera gives YUYV").
  std::vector<std::string> applyCameraOptions(CameraControls& camera, const VideoOptions& o);

  // "MJPG" for a CAP_PROP_FOURCC value; "" for none.
  std::string fourccText(double value);
  // "MJPG" -> its CAP_PROP_FOURCC value.
  double fourccValue(const std::string& text);

  // rtsp://, rtsps://, http://, https://, rtmp://, udp://, tcp:// sources.
  bool isNetworkStream(const std::string& file);

  // The pipeline ending in an appsink; one added (with a note) when it has none.
  std::string pipelineWithSink(const std::string& pipeline, std::string& note);

  // Opens what o names; lines gets what the source refused or what was
  // changed. A network stream gives up a read after STREAM_STALL_MS.
  bool openCapture(cv::VideoCapture& cap, const VideoOptions& o, std::vector<std::string>& lines);
  const int STREAM_STALL_MS = 3000;

  // "video: /dev/video0 1280x720 MJPG 30 fps": what the source delivers.
  std::string deliveryLine(const VideoOptions& o, const cv::VideoCapture& cap, int width, int height);
}

#endif
