// Video sources and timing: the option string, where it comes from, the
// built-in scene (never blocking, with its true pose), files, a missing
// camera, and the timer's units.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include <AR/video.h>

#include "tracking_support.h"
#include "reopen.h"
#include "video_options.h"

using namespace tracking_test;

namespace
{
  ARUint8* nextImage(int timeout_ms)
  {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline)
      {
        ARUint8* image = arVideoGetImage();
        if (image != nullptr)
          return image;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    return nullptr;
  }
}

TEST(VideoOptions, ParseTable)
{
  struct Case { const char* text; bool ok; ar::VideoOptions::Kind kind; int w, h; double fps; };
  const Case cases[] = {
    {"", true, ar::VideoOptions::CAMERA, 640, 480, 0},
    {"-dev=/dev/video2 -width=320 -height=240 -fps=15 -flipv -fliph", true, ar::VideoOptions::CAMERA, 320, 240, 15},
    {"-file=clip.mp4 -loop -fps=12.5", true, ar::VideoOptions::FILE, 640, 480, 12.5},
    {"-synthetic -width=1280 -height=720 -seed=9", true, ar::VideoOptions::SYNTHETIC, 1280, 720, 0},
    {"-synthetic -file=x.mp4", false, ar::VideoOptions::CAMERA, 0, 0, 0},
    {"-dev=/dev/video0 -synthetic", false, ar::VideoOptions::CAMERA, 0, 0, 0},
    {"-width=0", false, ar::VideoOptions::CAMERA, 0, 0, 0},
    {"-fps=fast", false, ar::VideoOptions::CAMERA, 0, 0, 0},
    {"-synthetic -fps=1e-300", false, ar::VideoOptions::SYNTHETIC, 0, 0, 0},
    {"-synthetic -fps=0.005", false, ar::VideoOptions::SYNTHETIC, 0, 0, 0},
    {"-synthetic -fps=0.01", true, ar::VideoOptions::SYNTHETIC, 640, 480, 0.01},
    {"-channel=1", false, ar::VideoOptions::CAMERA, 0, 0, 0},
    {"Data/missing.conf", false, ar::VideoOptions::CAMERA, 0, 0, 0},
  };
  for (const Case& c : cases)
    {
      ar::VideoOptions o;
      std::string error;
      ASSERT_EQ(ar::parseVideoOptions(c.text, o, error), c.ok) << c.text << ": " << error;
      if (!c.ok)
        {
          EXPECT_FALSE(error.empty());
          continue;
        }
      EXPECT_EQ(o.kind, c.kind) << c.text;
      EXPECT_EQ(o.width, c.w) << c.text;
      EXPECT_EQ(o.height, c.h) << c.text;
      EXPECT_EQ(o.fps, c.fps) << c.text;
    }
  ar::VideoOptions o;
  std::string error;
  ASSERT_TRUE(ar::parseVideoOptions("-dev=/dev/video2 -flipv -file=a -loop", o, error) == false);
  ASSERT_TRUE(ar::parseVideoOptions(" -dev=/dev/video2\t-flipv\n", o, error));
  EXPECT_EQ(o.device, "/dev/video2");
  EXPECT_TRUE(o.flipV);
  EXPECT_FALSE(o.flipH);
}

namespace
{
  std::string resolved(const char* config)
  {
    std::string text, error;
    if (!ar::resolveVideoConfig(config, text, error))
      return "error: " + error;
    return text;
  }
}

TEST(VideoOptions, EnvironmentAndFileIndirection)
{
  std::string conf = std::string(::testing::TempDir()) + "video.conf";
  std::ofstream(conf.c_str()) << "-synthetic -width=320 -height=240\n";
  unsetenv("VORLINDE_VIDEO");
  EXPECT_EQ(resolved(conf.c_str()), "-synthetic -width=320 -height=240\n");
  EXPECT_EQ(resolved("-dev=/dev/video1"), "-dev=/dev/video1");
  setenv("VORLINDE_VIDEO", "-synthetic -seed=3", 1);
  EXPECT_EQ(resolved(conf.c_str()), "-synthetic -seed=3");
  setenv("VORLINDE_VIDEO", conf.c_str(), 1);
  EXPECT_EQ(resolved("ignored"), "-synthetic -width=320 -height=240\n");
  setenv("VORLINDE_VIDEO", "", 1);
  EXPECT_EQ(resolved("-dev=/dev/video1"), "-dev=/dev/video1");
  unsetenv("VORLINDE_VIDEO");
}

// A configuration that is a FIFO, a directory or a huge file is refused in
// one line at once: never read for ever, never taken for missing.
TEST(VideoOptions, ConfigurationThatIsNoRegularFileIsRefused)
{
  unsetenv("VORLINDE_VIDEO");
  const std::string dir = std::string(::testing::TempDir()) + "video-conf-kinds";
  mkdir(dir.c_str(), 0700);
  const std::string fifo = dir + "/fifo.conf", huge = dir + "/huge.conf";
  unlink(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  {
    std::ofstream out(huge.c_str());
    out << "-synthetic" << std::string(2 * 1024 * 1024, ' ');
  }
  EXPECT_EQ(resolved(fifo.c_str()), "error: video configuration " + fifo + " is a FIFO, not a regular file");
  EXPECT_EQ(resolved(dir.c_str()), "error: video configuration " + dir + " is a directory, not a regular file");
  EXPECT_EQ(resolved(huge.c_str()),
            "error: video configuration " + huge + " is larger than 1 MiB; no such file is that long");
  EXPECT_EQ(resolved("/dev/null"), "error: video configuration /dev/null is a device, not a regular file");
  unlink(fifo.c_str());
  unlink(huge.c_str());
  rmdir(dir.c_str());
}

TEST(Video, UnknownOptionIsNamedAloneAndMissingCameraNamesIt)
{
  unsetenv("VORLINDE_VIDEO");
  std::string bad = "-synthetic -bogus";
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(arVideoOpen(&bad[0]), -1);
  std::string out = ::testing::internal::GetCapturedStdout();
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(out, "") << "the option alone, not the whole list";
  EXPECT_EQ(err, "arVideoOpen: unknown video option \"-bogus\" (--help lists the video options)\n");

  std::string missing = "-dev=/dev/video-vorlinde-none";
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(arVideoOpen(&missing[0]), -1);
  err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "arVideoOpen: cannot open camera /dev/video-vorlinde-none (no camera? try VORLINDE_VIDEO=-synthetic)\n");
  int w, h;
  EXPECT_EQ(arVideoInqSize(&w, &h), -1);
  EXPECT_EQ(arVideoClose(), -1);
}

TEST(Video, BuiltInSceneNeverBlocksAndKnowsItsPose)
{
  // The scene reads Data/camera_para.dat from the working directory.
  ASSERT_EQ(chdir(PROJ_SOURCE_DIR), 0);
  unsetenv("VORLINDE_VIDEO");
  std::string config = "-synthetic -fps=20";
  ASSERT_EQ(arVideoOpen(&config[0]), 0);
  int w = 0, h = 0;
  ASSERT_EQ(arVideoInqSize(&w, &h), 0);
  EXPECT_EQ(w, 640);
  EXPECT_EQ(h, 480);
  EXPECT_EQ(arVideoGetImage(), nullptr) << "not started";
  ASSERT_EQ(arVideoCapStart(), 0);
  ARUint8* image = nextImage(3000);
  ASSERT_NE(image, nullptr);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(arVideoGetImage(), nullptr) << "no new frame yet";
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5)) << "must not block";

  ARParam file, cam;
  ASSERT_EQ(arParamLoad("Data/camera_para.dat", 1, &file), 0);
  arParamChangeSize(&file, w, h, &cam);
  arInitCparam(&cam);
  int id = arLoadPatt("Data/patt.vesk");
  ARMarkerInfo* list;
  int n;
  ASSERT_EQ(arDetectMarker(image, 100, &list, &n), 0);
  ARMarkerInfo* m = best(list, n, id);
  ASSERT_NE(m, nullptr);
  double truth[3][4], pose[3][4], center[2] = {0, 0};
  ASSERT_EQ(arVideoSyntheticPose(truth), 0);
  ASSERT_GE(arGetTransMat(m, center, 80.0, pose), 0);
  EXPECT_LT(translationError(pose, truth), 0.01 * truth[2][3]);
  EXPECT_LT(rotationError(pose, truth), 1.0);
  EXPECT_EQ(arVideoCapNext(), 0);
  ASSERT_NE(nextImage(1000), nullptr) << "frames keep coming";
  EXPECT_EQ(arVideoCapStop(), 0);
  EXPECT_EQ(arVideoClose(), 0);
}

TEST(Video, ImageSequenceInOrderThenLooping)
{
  char dir[] = "/tmp/vorlinde-frames-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  for (int i = 0; i < 3; ++i)
    {
      cv::Mat frame(48, 64, CV_8UC3, cv::Scalar(10 + 100 * i, 20, 30));
      char name[256];
      std::snprintf(name, sizeof name, "%s/%04d.png", dir, i);
      ASSERT_TRUE(cv::imwrite(name, frame));
    }
  for (bool loop : {false, true})
    {
      std::string config = std::string("-file=") + dir + "/%04d.png -fps=10" + (loop ? " -loop" : "");
      ::testing::internal::CaptureStderr();
      ASSERT_EQ(arVideoOpen(&config[0]), 0) << config;
      int w, h;
      arVideoInqSize(&w, &h);
      EXPECT_EQ(w, 64);
      EXPECT_EQ(h, 48);
      arVideoCapStart();
      std::vector<int> blues;
      for (int k = 0; k < 5; ++k)
        {
          ARUint8* image = nextImage(500);
          if (image == nullptr)
            break;
          blues.push_back(image[0]);
          arVideoCapNext();
          std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
      // Without -loop the source ends, and says so once.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      EXPECT_EQ(arVideoInqEnded(), loop ? 0 : 1);
      arVideoCapStop();
      arVideoClose();
      const std::string err = ::testing::internal::GetCapturedStderr();
      EXPECT_EQ(err, loop ? "" : std::string("video source ended: ") + dir + "/%04d.png after 3 frames\n");
      ASSERT_GE(blues.size(), 3u) << ::testing::PrintToString(blues);
      EXPECT_EQ(blues[0], 10);
      EXPECT_EQ(blues[1], 110);
      EXPECT_EQ(blues[2], 210);
      EXPECT_EQ(blues.size(), loop ? 5u : 3u) << "the sequence ends unless it loops";
    }
  std::system((std::string("rm -rf ") + dir).c_str());
}

// -allframes: a consumer slower than the file's rate still gets every
// frame of it, in order, none replaced; without it the newest frame wins.
// A camera or a stream cannot wait: refused.
TEST(Video, AllFramesHandsOutEveryFrameToASlowConsumer)
{
  char dir[] = "/tmp/vorlinde-frames-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const int count = 12;
  for (int i = 0; i < count; ++i)
    {
      char name[256];
      std::snprintf(name, sizeof name, "%s/%04d.png", dir, i);
      ASSERT_TRUE(cv::imwrite(name, cv::Mat(24, 32, CV_8UC3, cv::Scalar(10 + 20 * i, 0, 0))));
    }
  for (bool all : {true, false})
    {
      std::string config = std::string("-file=") + dir + "/%04d.png -fps=200" + (all ? " -allframes" : "");
      ::testing::internal::CaptureStderr();
      ASSERT_EQ(arVideoOpen(&config[0]), 0) << config;
      arVideoCapStart();
      std::vector<int> blues;
      for (;;)
        {
          ARUint8* image = nextImage(1000);
          if (image == nullptr)
            break;
          blues.push_back(image[0]);
          std::this_thread::sleep_for(std::chrono::milliseconds(25));  // slower than 200 a second
          arVideoCapNext();
        }
      long captured = -1, notShown = -1;
      EXPECT_EQ(arVideoInqFrameCounts(&captured, &notShown), 0);
      arVideoCapStop();
      arVideoClose();
      ::testing::internal::GetCapturedStderr();
      EXPECT_EQ(captured, count);
      if (all)
        {
          EXPECT_EQ(notShown, 0);
          ASSERT_EQ(blues.size(), static_cast<std::size_t>(count)) << ::testing::PrintToString(blues);
          for (int i = 0; i < count; ++i)
            EXPECT_EQ(blues[static_cast<std::size_t>(i)], 10 + 20 * i);
        }
      else
        EXPECT_GT(notShown, 0) << ::testing::PrintToString(blues);
    }
  for (const char* refused : {"-dev=/dev/video0 -allframes", "-file=rtsp://127.0.0.1:9/x -allframes"})
    {
      std::string config = refused;
      ::testing::internal::CaptureStderr();
      EXPECT_EQ(arVideoOpen(&config[0]), -1) << refused;
      EXPECT_NE(::testing::internal::GetCapturedStderr().find("-allframes is for a recording"), std::string::npos)
        << refused;
    }
  std::system((std::string("rm -rf ") + dir).c_str());
}

TEST(Video, ACameraThatVanishesIsOpenedAgainUntilItReturns)
{
  // A camera as the capture thread sees it: two frames, then nothing until
  // the third attempt to open it again, then frames again.
  int reads = 0, opens = 0;
  auto read = [&] { ++reads; return reads <= 2 || opens >= 3; };
  auto reopen = [&] { ++opens; return opens != 2; };
  std::atomic<bool> stop(false);
  ::testing::internal::CaptureStderr();
  const auto interval = std::chrono::milliseconds(20);
  EXPECT_TRUE(ar::readOrReopen(read, reopen, "camera /dev/video9", stop, interval));
  EXPECT_TRUE(ar::readOrReopen(read, reopen, "camera /dev/video9", stop, interval));
  const auto lost = std::chrono::steady_clock::now();
  EXPECT_TRUE(ar::readOrReopen(read, reopen, "camera /dev/video9", stop, interval));
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - lost).count();
  EXPECT_EQ(opens, 3);
  EXPECT_GE(waited, 3 * 0.020);
  EXPECT_LT(waited, 3 * 0.020 + 0.1);
  EXPECT_TRUE(ar::readOrReopen(read, reopen, "camera /dev/video9", stop, interval));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "arVideo: camera /dev/video9 stopped sending frames; opening it again every 0.02 s until it returns\n"
            "arVideo: camera /dev/video9 is back\n");

  // Closing the video while the camera is away ends the wait at once.
  ::testing::internal::CaptureStderr();
  std::thread closer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      stop = true;
    });
  EXPECT_FALSE(ar::readOrReopen([] { return false; }, [] { return false; }, "camera /dev/video9", stop,
                                std::chrono::seconds(1)));
  closer.join();
  ::testing::internal::GetCapturedStderr();
}

TEST(Scene, ExtremeButPossibleCamerasRender)
{
  // A lens of a thousand image widths and a distortion far past any real
  // one: the renderer's sizes must not overflow.
  for (double focal : {1.0, 999.0 * 64})
    for (double distortion : {0.0, -1e9, 1e9})
      {
        ARParam cam = synth::nominalCamera(64, 48);
        cam.mat[0][0] = cam.mat[1][1] = focal;
        cam.dist_factor[2] = distortion;
        double pose[3][4];
        synth::poseAt(cam, 32, 24, 500, 20, 10, 30, pose);
        synth::Scene scene(cam, 1, 1);
        cv::Mat frame = scene.render(pose);
        EXPECT_EQ(frame.cols, 64);
        EXPECT_EQ(frame.rows, 48);
      }
}

TEST(Timer, SecondsSinceResetAndMillisecondSleeps)
{
  double beforeReset = arUtilTimer();
  EXPECT_GT(beforeReset, 0.0);
  EXPECT_LT(beforeReset, 600.0) << "counts from the library's loading, not the epoch";
  arUtilTimerReset();
  auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(250))
    {
    }
  EXPECT_NEAR(arUtilTimer(), 0.25, 0.05);
  start = std::chrono::steady_clock::now();
  arUtilSleep(50);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  arUtilTimerReset();
  EXPECT_GT(arUtilTimer(), 0.0) << "never exactly 0";
}
