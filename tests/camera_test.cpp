// The sources labs use beyond files: a camera's format and controls (no
// V4L2 device here: the controls are checked against a stand-in driver
// through the source's own interface), GStreamer pipelines with
// GStreamer's own test source, and a network stream that stalls.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <AR/video.h>

#include "capture.h"
#include "video_options.h"

namespace
{
  using Clock = std::chrono::steady_clock;

  // A driver that takes some values and answers others, recording what
  // it was asked in order.
  class StandInCamera : public ar::CameraControls
  {
  public:
    std::vector<int> asked;
    std::map<int, double> values;
    std::map<int, double> forced;  // what it gives whatever is asked
    std::vector<int> refuses;      // set() answers false

    bool set(int property, double value) override
    {
      asked.push_back(property);
      if (std::find(refuses.begin(), refuses.end(), property) != refuses.end())
        return false;
      values[property] = forced.count(property) != 0 ? forced[property] : value;
      return true;
    }
    double get(int property) const override
    {
      const auto it = values.find(property);
      return it != values.end() ? it->second : 0;
    }
  };

  bool parse(const std::string& text, ar::VideoOptions& o, std::string& error)
  {
    return ar::parseVideoOptions(text, o, error);
  }

  // Frames the source hands out within the time.
  int framesWithin(double seconds)
  {
    int frames = 0;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end)
      {
        if (arVideoGetImage() != nullptr)
          {
            ++frames;
            arVideoCapNext();
          }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    return frames;
  }
}

TEST(CameraOptions, FormatControlsAndPipelinesParse)
{
  ar::VideoOptions o;
  std::string error;
  ASSERT_TRUE(parse("-dev=/dev/video2 -fourcc=MJPG -width=1280 -height=720 -exposure=120 -focus=auto", o, error))
    << error;
  EXPECT_EQ(o.fourcc, "MJPG");
  EXPECT_EQ(o.exposure, 120);
  EXPECT_EQ(o.focus, ar::VideoOptions::AUTO);
  ASSERT_TRUE(parse("-gst=\"videotestsrc ! video/x-raw,width=320 ! appsink\" -loop", o, error)) << error;
  EXPECT_EQ(o.kind, ar::VideoOptions::PIPELINE);
  EXPECT_EQ(o.pipeline, "videotestsrc ! video/x-raw,width=320 ! appsink");
  EXPECT_TRUE(o.loop);
  ASSERT_TRUE(parse("-file=rtsp://cam.local:554/stream1", o, error)) << error;
  EXPECT_TRUE(ar::isNetworkStream(o.file));
  for (const char* bad : {"-fourcc=MJPEG", "-fourcc=MJ!G", "-exposure=-1", "-exposure=bright", "-focus=",
                          "-gst=\"videotestsrc ! appsink", "-gst=x -file=y", "-file=y -fourcc=MJPG",
                          "-synthetic -exposure=10", "-gst=x -dev=/dev/video1"})
    EXPECT_FALSE(parse(bad, o, error)) << bad;
}

TEST(CameraOptions, ControlsReachTheDriverInItsOrderAndRefusalsAreSaid)
{
  ar::VideoOptions o;
  std::string error;
  ASSERT_TRUE(parse("-fourcc=MJPG -width=1280 -height=720 -fps=30 -exposure=150 -focus=20", o, error));
  StandInCamera camera;
  EXPECT_TRUE(ar::applyCameraOptions(camera, o).empty());
  // The format before the size (V4L2 gives each format its own sizes),
  // manual modes before their values.
  const std::vector<int> order = {cv::CAP_PROP_FOURCC, cv::CAP_PROP_FRAME_WIDTH, cv::CAP_PROP_FRAME_HEIGHT,
                                  cv::CAP_PROP_FPS, cv::CAP_PROP_AUTO_EXPOSURE, cv::CAP_PROP_EXPOSURE,
                                  cv::CAP_PROP_AUTOFOCUS, cv::CAP_PROP_FOCUS};
  EXPECT_EQ(camera.asked, order);
  EXPECT_EQ(ar::fourccText(camera.values[cv::CAP_PROP_FOURCC]), "MJPG");
  EXPECT_EQ(camera.values[cv::CAP_PROP_AUTO_EXPOSURE], 1);  // V4L2's manual exposure
  EXPECT_EQ(camera.values[cv::CAP_PROP_AUTOFOCUS], 0);

  // A camera that keeps its own format, size and rate and has no manual
  // exposure: one line each, asked against given.
  StandInCamera stubborn;
  stubborn.forced = {{cv::CAP_PROP_FOURCC, ar::fourccValue("YUYV")},
                     {cv::CAP_PROP_FRAME_WIDTH, 640},
                     {cv::CAP_PROP_FRAME_HEIGHT, 480},
                     {cv::CAP_PROP_FPS, 10}};
  stubborn.refuses = {cv::CAP_PROP_AUTO_EXPOSURE, cv::CAP_PROP_AUTOFOCUS};
  const std::vector<std::string> lines = ar::applyCameraOptions(stubborn, o);
  const std::vector<std::string> expected = {
    "video: -fourcc=MJPG asked, the camera gives YUYV",
    "video: -width=1280 -height=720 asked, the camera gives 640x480",
    "video: -fps=30 asked, the camera gives 10 fps",
    "video: -exposure=150 asked, the camera gives no manual exposure (it stays automatic)",
    "video: -focus=20 asked, the camera gives no manual focus"};
  EXPECT_EQ(lines, expected);

  // Nothing asked, nothing touched but the size.
  ASSERT_TRUE(parse("", o, error));
  StandInCamera untouched;
  EXPECT_TRUE(ar::applyCameraOptions(untouched, o).empty());
  EXPECT_EQ(untouched.asked, (std::vector<int>{cv::CAP_PROP_FRAME_WIDTH, cv::CAP_PROP_FRAME_HEIGHT}));
}

TEST(Pipeline, GStreamersTestSourceGivesTheSizeAndRateAsked)
{
  testing::internal::CaptureStderr();
  char config[] = "-gst=\"videotestsrc is-live=true ! video/x-raw,width=320,height=240,framerate=15/1 ! "
                  "videoconvert ! appsink\"";
  ASSERT_EQ(arVideoOpen(config), 0);
  int w = 0, h = 0;
  arVideoInqSize(&w, &h);
  EXPECT_EQ(w, 320);
  EXPECT_EQ(h, 240);
  arVideoCapStart();
  const int frames = framesWithin(2.0);
  EXPECT_GE(frames, 22);
  EXPECT_LE(frames, 38);
  arVideoCapStop();
  arVideoClose();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("video: GStreamer pipeline 320x240 15 fps\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("WARN"), std::string::npos) << err;
}

TEST(Pipeline, WithoutAnAppsinkOneIsAddedAndItsEndIsAFilesEnd)
{
  testing::internal::CaptureStderr();
  char config[] = "-gst=\"videotestsrc num-buffers=12 ! video/x-raw,width=160,height=120\"";
  ASSERT_EQ(arVideoOpen(config), 0);
  arVideoCapStart();
  framesWithin(2.0);
  EXPECT_EQ(arVideoInqEnded(), 1);
  long captured = 0, notShown = 0;
  arVideoInqFrameCounts(&captured, &notShown);
  EXPECT_EQ(captured, 12);
  arVideoCapStop();
  arVideoClose();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("video: the pipeline ends in no appsink; \"! videoconvert ! appsink\" added\n"),
            std::string::npos) << err;
  EXPECT_NE(err.find("video source ended: GStreamer pipeline after 12 frames\n"), std::string::npos) << err;

  testing::internal::CaptureStderr();
  char bad[] = "-gst=\"nosuchelement ! appsink\"";
  EXPECT_EQ(arVideoOpen(bad), -1);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("arVideoOpen: cannot start the GStreamer pipeline \"nosuchelement ! appsink\""),
            std::string::npos) << said;
}

namespace
{
  // An HTTP server for one file that sends it at a camera's pace, and can
  // stall: connections stay open and nothing more is sent, as a network
  // camera that hangs.
  class TrickleServer
  {
  public:
    std::atomic<bool> stalled{false};

    TrickleServer(const std::string& body, std::size_t bytesPerSecond) : m_body(body), m_rate(bytesPerSecond)
    {
      m_listen = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in addr = {};
      addr.sin_family = AF_INET;
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
      socklen_t len = sizeof addr;
      getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
      port = ntohs(addr.sin_port);
      listen(m_listen, 8);
      m_thread = std::thread([this] { serve(); });
    }
    ~TrickleServer()
    {
      m_stop = true;
      m_thread.join();
      close(m_listen);
    }
    int port = 0;

  private:
    void serve()
    {
      std::vector<std::thread> clients;
      while (!m_stop)
        {
          pollfd p = {m_listen, POLLIN, 0};
          if (poll(&p, 1, 50) <= 0)
            continue;
          const int fd = accept(m_listen, nullptr, nullptr);
          if (fd >= 0)
            clients.emplace_back([this, fd] { send(fd); });
        }
      for (std::thread& t : clients)
        t.join();
    }

    void send(int fd)
    {
      char request[4096];
      recv(fd, request, sizeof request, 0);
      const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: video/x-msvideo\r\n\r\n";
      bool headSent = false;
      std::size_t sent = 0;
      while (!m_stop && sent < m_body.size())
        {
          if (stalled)
            {
              std::this_thread::sleep_for(std::chrono::milliseconds(20));
              continue;
            }
          if (!headSent)
            {
              ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
              headSent = true;
            }
          const std::size_t chunk = std::min(m_rate / 50, m_body.size() - sent);
          if (::send(fd, m_body.data() + sent, chunk, MSG_NOSIGNAL) <= 0)
            break;
          sent += chunk;
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
      close(fd);
    }

    std::string m_body;
    std::size_t m_rate;
    int m_listen = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
  };

  // A clip of numbered frames (MJPG in AVI) in the build tree.
  std::string clip(int frames)
  {
    const std::string path = std::string(PROJ_BINARY_DIR) + "/tests/stream-clip.avi";
    cv::VideoWriter writer(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25, cv::Size(320, 240));
    for (int i = 0; i < frames; ++i)
      {
        cv::Mat m(240, 320, CV_8UC3, cv::Scalar(40, 120, (i * 7) % 255));
        cv::putText(m, std::to_string(i), cv::Point(60, 140), cv::FONT_HERSHEY_SIMPLEX, 3, cv::Scalar(255, 255, 255), 5);
        writer.write(m);
      }
    writer.release();
    std::ifstream in(path, std::ios::binary);
    std::stringstream body;
    body << in.rdbuf();
    return body.str();
  }

  bool saidWithin(const std::string& text, double seconds)
  {
    static std::string seen;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end)
      {
        fflush(stderr);
        seen += testing::internal::GetCapturedStderr();
        testing::internal::CaptureStderr();
        if (seen.find(text) != std::string::npos)
          return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    ADD_FAILURE() << "not said: " << text << "\nsaid:\n" << seen;
    return false;
  }
}

TEST(Stream, AStalledStreamIsOpenedAgainWithALineAndComesBack)
{
  const std::string body = clip(750);  // 30 s at 25 frames a second
  TrickleServer server(body, body.size() / 30);
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port) + "/clip.avi";
  testing::internal::CaptureStderr();
  std::string config = "-file=" + url;
  ASSERT_EQ(arVideoOpen(&config[0]), 0);
  arVideoCapStart();
  EXPECT_GE(framesWithin(1.5), 10) << "frames come at the stream's pace";
  server.stalled = true;
  EXPECT_TRUE(saidWithin("arVideo: " + url + " stopped sending frames; opening it again every 1 s", 8));
  EXPECT_LE(framesWithin(0.5), 1) << "nothing comes while it stalls";
  server.stalled = false;
  EXPECT_TRUE(saidWithin("arVideo: " + url + " is back", 10));
  EXPECT_GE(framesWithin(1.0), 5);
  arVideoCapStop();
  arVideoClose();
  testing::internal::GetCapturedStderr();
}
