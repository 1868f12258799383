// Video capture on a thread of its own: a V4L2 camera or a file through
// OpenCV, or the built-in synthetic scene. Frames go into three BGRA
// buffers: the one being written, the newest finished one, and the one the
// application holds until arVideoCapNext.
#include <AR/video.h>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "scene.h"
#include "internal.h"
#include "capture.h"
#include "reopen.h"
#include "video_options.h"

namespace
{
  typedef std::chrono::steady_clock Clock;

  class Source
  {
  public:
    virtual ~Source() {}
    // Fills a BGRA frame of the source's size; false at the end of input
    // (or when stop is set while it waits for a camera to return).
    virtual bool grab(cv::Mat& bgra, double conv[3][4], const std::atomic<bool>& stop) = 0;
    // What it reads, for messages.
    virtual std::string describe() const = 0;
    // Seconds between frames the capture thread keeps (0: as they come).
    double period = 0;
    int width = 0, height = 0;
    bool hasPose = false;
  };

  class CaptureSource : public Source
  {
  public:
    CaptureSource(const ar::VideoOptions& o) : m_options(o) {}

    std::string describe() const override
    {
      switch (m_options.kind)
        {
        case ar::VideoOptions::CAMERA: return "camera " + m_options.device;
        case ar::VideoOptions::PIPELINE: return "GStreamer pipeline";
        default: return m_options.file;
        }
    }

    // Cameras and streams are live: when they stop, they are opened again
    // until they return. Files and pipelines end.
    bool live() const
    {
      return m_options.kind == ar::VideoOptions::CAMERA ||
             (m_options.kind == ar::VideoOptions::FILE && ar::isNetworkStream(m_options.file));
    }

    bool reopen(bool sayRefusals)
    {
      m_cap.release();
      std::vector<std::string> lines;
      try
        {
          if (!ar::openCapture(m_cap, m_options, lines))
            return false;
        }
      catch (const cv::Exception&)
        {
          return false;
        }
      for (const std::string& line : lines)
        if (sayRefusals)
          std::fprintf(stderr, "%s\n", line.c_str());
      std::fflush(stderr);
      return true;
    }

    bool open()
    {
      if (!reopen(true))
        return false;
      // A file plays at its own rate; live sources and pipelines come as
      // they come.
      if (m_options.kind == ar::VideoOptions::FILE && !live())
        {
          double fps = m_options.fps > 0 ? m_options.fps : m_cap.get(cv::CAP_PROP_FPS);
          period = fps > 0 && fps < 1000 ? 1.0 / fps : 1.0 / 30;
        }
      // The size is that of the first frame, which is kept for grab().
      if (!m_cap.read(m_first) || m_first.empty())
        return false;
      width = m_first.cols;
      height = m_first.rows;
      if (m_options.kind != ar::VideoOptions::FILE || live())
        {
          std::fprintf(stderr, "%s\n", ar::deliveryLine(m_options, m_cap, width, height).c_str());
          std::fflush(stderr);
        }
      return true;
    }

    bool grab(cv::Mat& bgra, double[3][4], const std::atomic<bool>& stop) override
    {
      cv::Mat& frame = m_frame;  // its buffer is used again, frame after frame
      auto read = [&] {
        try
          {
            return m_cap.read(frame) && !frame.empty();
          }
        catch (const cv::Exception&)
          {
            return false;
          }
      };
      if (!m_first.empty())
        {
          frame = m_first;
          m_first.release();
        }
      else if (live())
        {
          // A camera or a stream that stops is waited for, not given up.
          if (!ar::readOrReopen(read, [&] { return reopen(false); }, describe(), stop))
            return false;
        }
      else if (!read())
        {
          if (!m_options.loop)
            return false;
          if (m_options.kind == ar::VideoOptions::FILE)
            m_cap.set(cv::CAP_PROP_POS_FRAMES, 0);
          if (m_options.kind != ar::VideoOptions::FILE || !m_cap.read(frame) || frame.empty())
            {
              if (!reopen(false) || !m_cap.read(frame) || frame.empty())
                return false;
            }
        }
      if (frame.cols != width || frame.rows != height)
        cv::resize(frame, frame, cv::Size(width, height));
      if (m_options.flipV || m_options.flipH)
        cv::flip(frame, frame, m_options.flipV && m_options.flipH ? -1 : (m_options.flipV ? 0 : 1));
      // Whatever the source gives, the application reads 8-bit BGRA of
      // the size it was told.
      if (frame.depth() != CV_8U)
        frame.convertTo(frame, CV_8U, frame.depth() == CV_16U ? 1.0 / 256 : 1.0);
      switch (frame.channels())
        {
        case 1: cv::cvtColor(frame, bgra, cv::COLOR_GRAY2BGRA); break;
        case 3: cv::cvtColor(frame, bgra, cv::COLOR_BGR2BGRA); break;
        case 4: frame.copyTo(bgra); break;
        default: throw std::runtime_error("frames of " + std::to_string(frame.channels()) + " channels");
        }
      return true;
    }

  private:
    ar::VideoOptions m_options;
    cv::VideoCapture m_cap;
    cv::Mat m_first;
    cv::Mat m_frame;
  };

  class SyntheticSource : public Source
  {
  public:
    explicit SyntheticSource(const ar::VideoOptions& o)
    {
      // The viewer reports a bad camera file itself; here it only means
      // the nominal camera.
      ARParam file;
      ARParam camera;
      std::string why;
      if (ar::loadParamQuietly("Data/camera_para.dat", file, why) == 0)
        arParamChangeSize(&file, o.width, o.height, &camera);
      else
        camera = synth::nominalCamera(o.width, o.height);
      m_scene.reset(new synth::Scene(camera, o.seed));
      if (!o.still)
        m_scene->prepare(synth::kPathNearest, synth::kPathFarthest);
      width = o.width;
      height = o.height;
      period = 1.0 / (o.fps > 0 ? o.fps : 30.0);
      m_still = o.still;
      m_markerFrames = o.markerFrames;
      m_light = o.light;
      hasPose = true;
    }

    std::string describe() const override { return "the built-in scene"; }

    bool grab(cv::Mat& bgra, double conv[3][4], const std::atomic<bool>&) override
    {
      // The marker moves in real time, whatever the frame rate: at the
      // program's full rate as at a camera's.
      const bool present = m_markerFrames < 0 || m_frame < m_markerFrames;
      if (m_frame == 0)
        m_start = Clock::now();
      const double t = m_still ? 0.0 : std::chrono::duration<double>(Clock::now() - m_start).count();
      synth::pathPose(m_scene->camera(), t, conv);
      ++m_frame;
      m_scene->render(present ? conv : nullptr, bgra);  // into the same buffer each time
      if (m_light < 1.0)
        synth::light(bgra, m_light, m_light);
      if (!present)
        conv[2][3] = 0;  // no marker: no pose to report
      return true;
    }

  private:
    std::unique_ptr<synth::Scene> m_scene;
    bool m_still = false;
    double m_light = 1.0;
    Clock::time_point m_start;
    long m_frame = 0;
    long m_markerFrames = -1;
  };

  struct Device
  {
    std::unique_ptr<Source> source;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<bool> ended{false};  // the source has no more frames
    bool allFrames = false;          // wait for each frame to be taken
    bool started = false;
    std::mutex mutex;
    cv::Mat buffers[3];
    double poses[3][3][4];
    long numbers[3] = {0, 0, 0};  // each buffer's frame, counted from 1
    long lastNumber = 0;          // of the frame handed out last
    int newest = -1;   // finished, not yet handed out
    int held = -1;     // handed out, not yet given back
    double lastPose[3][4];
    bool lastPoseValid = false;
    std::atomic<long> captured{0};  // frames the source gave
    std::atomic<long> replaced{0};  // of them, replaced by a newer one before they were taken

    // Also at the process's exit (say, the X server went away while the
    // camera was capturing): a thread still running there would end it.
    ~Device()
    {
      stop = true;
      if (thread.joinable())
        thread.join();
    }

    void run()
    {
      Clock::time_point next = Clock::now();
      cv::Mat frame;
      double conv[3][4] = {};
      long frames = 0;
      while (!stop)
        {
          bool more = false;
          try
            {
              more = source->grab(frame, conv, stop);
            }
          catch (const std::exception& e)
            {
              // A broken source ends like an exhausted one; the thread must
              // not take the process down.
              std::fprintf(stderr, "arVideo: capture stopped: %s\n", e.what());
            }
          if (!more)
            {
              if (!stop)
                {
                  std::fprintf(stderr, "video source ended: %s after %ld frames\n", source->describe().c_str(),
                               frames);
                  std::fflush(stderr);
                  ended = true;
                }
              return;
            }
          ++frames;
          // Every frame wanted: the one before is taken first.
          while (allFrames && !stop)
            {
              {
                std::lock_guard<std::mutex> lock(mutex);
                if (newest < 0)
                  break;
              }
              std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
          {
            std::lock_guard<std::mutex> lock(mutex);
            int target = 0;
            while (target == newest || target == held)
              ++target;
            frame.copyTo(buffers[target]);
            std::memcpy(poses[target], conv, sizeof conv);
            if (newest >= 0)
              ++replaced;  // the one waiting was never taken
            newest = target;
            numbers[target] = ++captured;
          }
          if (source->period > 0 && !allFrames)
            {
              next += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(source->period));
              const Clock::time_point now = Clock::now();
              if (next < now)
                next = now;
              while (!stop && Clock::now() < next)
                std::this_thread::sleep_for(std::min<Clock::duration>(next - Clock::now(),
                                                                      std::chrono::milliseconds(5)));
            }
        }
    }
  };

  std::unique_ptr<Device> g_device;

  void stopThread()
  {
    if (g_device && g_device->started)
      {
        g_device->stop = true;
        if (g_device->thread.joinable())
          g_device->thread.join();
        g_device->started = false;
      }
  }
}

namespace
{
  // exit() while capturing (the X server going away, a window closed by
  // its manager) destroys the library's statics while the capture thread
  // may still use them: OpenCV's worker pool above all, which the thread
  // uses in every frame. A handler registered after that pool exists runs
  // before the pool is destroyed, and stops the thread first.
  void stopCaptureAtExit()
  {
    static bool registered = false;
    if (registered)
      return;
    registered = true;
    cv::parallel_for_(cv::Range(0, 8), [](const cv::Range&) {}, 8);
    std::atexit([] { stopThread(); });
  }
}

extern "C" int arVideoDispOption(void)
{
  std::printf("%s", ar::videoOptionHelp());
  return 0;
}

extern "C" int arVideoOpen(char* config)
{
  if (g_device)
    {
      std::printf("Device has been opened!!\n");
      return -1;
    }
  std::string text, error;
  if (!ar::resolveVideoConfig(config, text, error))
    {
      std::fprintf(stderr, "arVideoOpen: %s\n", error.c_str());
      return -1;
    }
  ar::VideoOptions options;
  if (!ar::parseVideoOptions(text, options, error))
    {
      // That option alone: the whole list is for --help.
      std::fprintf(stderr, "arVideoOpen: %s\n", error.c_str());
      return -1;
    }
  std::unique_ptr<Device> device(new Device);
  device->allFrames = options.allFrames;
  try
    {
      if (options.kind == ar::VideoOptions::SYNTHETIC)
        device->source.reset(new SyntheticSource(options));
      else
        {
          std::unique_ptr<CaptureSource> capture(new CaptureSource(options));
          if (!capture->open())
            {
              if (options.kind == ar::VideoOptions::CAMERA)
                std::fprintf(stderr, "arVideoOpen: cannot open camera %s (no camera? try VORLINDE_VIDEO=-synthetic)\n",
                             options.device.c_str());
              else if (options.kind == ar::VideoOptions::PIPELINE)
                std::fprintf(stderr, "arVideoOpen: cannot start the GStreamer pipeline \"%s\" (gst-launch-1.0 says why)\n",
                             options.pipeline.c_str());
              else if (ar::isNetworkStream(options.file))
                std::fprintf(stderr, "arVideoOpen: cannot open the stream %s (nothing came within %d s)\n",
                             options.file.c_str(), ar::STREAM_STALL_MS / 1000);
              else
                std::fprintf(stderr, "arVideoOpen: cannot open video file %s\n", options.file.c_str());
              return -1;
            }
          device->source = std::move(capture);
        }
    }
  catch (const cv::Exception& e)
    {
      std::fprintf(stderr, "arVideoOpen: cannot open the video source: %s\n", e.what());
      return -1;
    }
  g_device = std::move(device);
  return 0;
}

extern "C" int arVideoInqFrameCounts(long* captured, long* not_shown)
{
  if (!g_device)
    return -1;
  if (captured != nullptr)
    *captured = g_device->captured;
  if (not_shown != nullptr)
    *not_shown = g_device->replaced;
  return 0;
}

extern "C" int arVideoClose(void)
{
  if (!g_device)
    return -1;
  stopThread();
  g_device.reset();
  return 0;
}

extern "C" int arVideoInqSize(int* x, int* y)
{
  if (!g_device || x == nullptr || y == nullptr)
    return -1;
  *x = g_device->source->width;
  *y = g_device->source->height;
  return 0;
}

extern "C" int arVideoCapStart(void)
{
  if (!g_device)
    return -1;
  if (g_device->started)
    {
      std::printf("arVideoCapStart has already been called.\n");
      return -1;
    }
  stopCaptureAtExit();
  g_device->stop = false;
  g_device->ended = false;
  g_device->started = true;
  Device* d = g_device.get();
  g_device->thread = std::thread([d] { d->run(); });
  return 0;
}

extern "C" int arVideoCapStop(void)
{
  if (!g_device || !g_device->started)
    return -1;
  stopThread();
  return 0;
}

extern "C" ARUint8* arVideoGetImage(void)
{
  if (!g_device || !g_device->started)
    return nullptr;
  Device& d = *g_device;
  std::lock_guard<std::mutex> lock(d.mutex);
  if (d.newest < 0)
    return nullptr;
  // A frame taken earlier and not given back is given back now.
  d.held = d.newest;
  d.newest = -1;
  std::memcpy(d.lastPose, d.poses[d.held], sizeof d.lastPose);
  d.lastPoseValid = d.source->hasPose && d.lastPose[2][3] > 0;
  d.lastNumber = d.numbers[d.held];
  return d.buffers[d.held].data;
}

extern "C" long arVideoInqFrameNumber(void)
{
  if (!g_device)
    return -1;
  std::lock_guard<std::mutex> lock(g_device->mutex);
  return g_device->lastNumber;
}

extern "C" int arVideoInqEnded(void)
{
  if (!g_device)
    return -1;
  std::lock_guard<std::mutex> lock(g_device->mutex);
  return g_device->ended && g_device->newest < 0 ? 1 : 0;
}

extern "C" int arVideoCapNext(void)
{
  if (!g_device || !g_device->started)
    {
      std::printf("arVideoCapStart has never been called.\n");
      return -1;
    }
  std::lock_guard<std::mutex> lock(g_device->mutex);
  g_device->held = -1;
  return 0;
}

extern "C" int arVideoSyntheticPose(double conv[3][4])
{
  if (!g_device || !g_device->lastPoseValid || conv == nullptr)
    return -1;
  std::lock_guard<std::mutex> lock(g_device->mutex);
  std::memcpy(conv, g_device->lastPose, sizeof g_device->lastPose);
  return 0;
}
