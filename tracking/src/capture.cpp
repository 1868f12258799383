#include "capture.h"

#include <cmath>
#include <cstdio>

#include <opencv2/core/utils/logger.hpp>

namespace ar
{
  namespace
  {
    class CaptureControls : public CameraControls
    {
    public:
      explicit CaptureControls(cv::VideoCapture& cap) : m_cap(cap) {}
      bool set(int property, double value) override { return m_cap.set(property, value); }
      double get(int property) const override { return m_cap.get(property); }

    private:
      cv::VideoCapture& m_cap;
    };

    std::string number(double v)
    {
      char text[32];
      std::snprintf(text, sizeof text, "%g", v);
      return text;
    }

    // V4L2's exposure modes as OpenCV passes them on.
    const double V4L2_EXPOSURE_MANUAL = 1, V4L2_EXPOSURE_AUTO = 3;
  }

  std::string fourccText(double value)
  {
    const unsigned v = static_cast<unsigned>(value);
    std::string text;
    for (int i = 0; i < 4; ++i)
      {
        const char c = static_cast<char>((v >> (8 * i)) & 0xff);
        if (c == '\0')
          break;
        text += c >= 0x20 && c < 0x7f ? c : '?';
      }
    return text;
  }

  double fourccValue(const std::string& text)
  {
    unsigned v = 0;
    for (std::size_t i = 0; i < 4 && i < text.size(); ++i)
      v |= static_cast<unsigned>(static_cast<unsigned char>(text[i])) << (8 * i);
    return static_cast<double>(v);
  }

  std::vector<std::string> applyCameraOptions(CameraControls& camera, const VideoOptions& o)
  {
    std::vector<std::string> lines;
    auto refused = [&](const std::string& asked, const std::string& given) {
      lines.push_back("video: " + asked + " asked, the camera gives " + given);
    };
    if (!o.fourcc.empty())
      {
        camera.set(cv::CAP_PROP_FOURCC, fourccValue(o.fourcc));
        const std::string given = fourccText(camera.get(cv::CAP_PROP_FOURCC));
        if (given != o.fourcc)
          refused("-fourcc=" + o.fourcc, given.empty() ? "no format it names" : given);
      }
    camera.set(cv::CAP_PROP_FRAME_WIDTH, o.width);
    camera.set(cv::CAP_PROP_FRAME_HEIGHT, o.height);
    if (o.sizeGiven)
      {
        const int w = static_cast<int>(camera.get(cv::CAP_PROP_FRAME_WIDTH));
        const int h = static_cast<int>(camera.get(cv::CAP_PROP_FRAME_HEIGHT));
        if (w != o.width || h != o.height)
          refused("-width=" + std::to_string(o.width) + " -height=" + std::to_string(o.height),
                  std::to_string(w) + "x" + std::to_string(h));
      }
    if (o.fps > 0)
      {
        camera.set(cv::CAP_PROP_FPS, o.fps);
        const double given = camera.get(cv::CAP_PROP_FPS);
        if (std::fabs(given - o.fps) > 0.01 * o.fps)
          refused("-fps=" + number(o.fps), number(given) + " fps");
      }
    if (o.exposure == VideoOptions::AUTO)
      {
        if (!camera.set(cv::CAP_PROP_AUTO_EXPOSURE, V4L2_EXPOSURE_AUTO))
          refused("-exposure=auto", "no automatic exposure");
      }
    else if (o.exposure >= 0)
      {
        const bool manual = camera.set(cv::CAP_PROP_AUTO_EXPOSURE, V4L2_EXPOSURE_MANUAL);
        camera.set(cv::CAP_PROP_EXPOSURE, o.exposure);
        const double given = camera.get(cv::CAP_PROP_EXPOSURE);
        if (!manual || std::fabs(given - o.exposure) > 0.5)
          refused("-exposure=" + number(o.exposure),
                  manual ? "exposure " + number(given) : "no manual exposure (it stays automatic)");
      }
    if (o.focus == VideoOptions::AUTO)
      {
        if (!camera.set(cv::CAP_PROP_AUTOFOCUS, 1))
          refused("-focus=auto", "no automatic focus");
      }
    else if (o.focus >= 0)
      {
        const bool manual = camera.set(cv::CAP_PROP_AUTOFOCUS, 0);
        camera.set(cv::CAP_PROP_FOCUS, o.focus);
        const double given = camera.get(cv::CAP_PROP_FOCUS);
        if (!manual || std::fabs(given - o.focus) > 0.5)
          refused("-focus=" + number(o.focus), manual ? "focus " + number(given) : "no manual focus");
      }
    return lines;
  }

  bool isNetworkStream(const std::string& file)
  {
    for (const char* scheme : {"rtsp://", "rtsps://", "http://", "https://", "rtmp://", "udp://", "tcp://"})
      if (file.compare(0, std::string(scheme).size(), scheme) == 0)
        return true;
    return false;
  }

  std::string pipelineWithSink(const std::string& pipeline, std::string& note)
  {
    note.clear();
    if (pipeline.find("appsink") != std::string::npos)
      return pipeline;
    note = "video: the pipeline ends in no appsink; \"! videoconvert ! appsink\" added";
    return pipeline + " ! videoconvert ! appsink";
  }

  bool openCapture(cv::VideoCapture& cap, const VideoOptions& o, std::vector<std::string>& lines)
  {
    // OpenCV's back ends warn about what they cannot query (a live
    // pipeline's position, say): the source says what matters itself.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
    switch (o.kind)
      {
      case VideoOptions::CAMERA:
        {
          if (!cap.open(o.device, cv::CAP_V4L2))
            return false;
          CaptureControls controls(cap);
          lines = applyCameraOptions(controls, o);
          return true;
        }
      case VideoOptions::PIPELINE:
        {
          std::string note;
          const std::string pipeline = pipelineWithSink(o.pipeline, note);
          if (!note.empty())
            lines.push_back(note);
          return cap.open(pipeline, cv::CAP_GSTREAMER);
        }
      case VideoOptions::FILE:
        if (isNetworkStream(o.file))
          // A stream that stops sending must end the read, so that it is
          // opened again rather than waited for without a word.
          return cap.open(o.file, cv::CAP_FFMPEG,
                          {cv::CAP_PROP_OPEN_TIMEOUT_MSEC, STREAM_STALL_MS, cv::CAP_PROP_READ_TIMEOUT_MSEC,
                           STREAM_STALL_MS});
        return cap.open(o.file);
      default:
        return false;
      }
  }

  std::string deliveryLine(const VideoOptions& o, const cv::VideoCapture& cap, int width, int height)
  {
    std::string what = o.kind == VideoOptions::CAMERA     ? o.device
                       : o.kind == VideoOptions::PIPELINE ? "GStreamer pipeline"
                                                          : o.file;
    std::string line = "video: " + what + " " + std::to_string(width) + "x" + std::to_string(height);
    if (o.kind == VideoOptions::CAMERA)
      {
        const std::string format = fourccText(cap.get(cv::CAP_PROP_FOURCC));
        if (!format.empty())
          line += " " + format;
      }
    const double fps = cap.get(cv::CAP_PROP_FPS);
    line += fps > 0 && fps < 10000 ? " " + number(fps) + " fps" : " (rate not given by the source)";
    return line;
  }
}
