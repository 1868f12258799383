// The real program in a real window (the tests' Xvfb), on the built-in
// scene: where the arm's boxes appear and in which colours, angles from
// the port and from the keys, the marker leaving, ESC, and the start-up
// failures with their messages and status.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <dlfcn.h>
#include <unistd.h>

#include <signal.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

#include <AR/param.h>

#include "peer.h"
#include "process.h"
#include "scene.h"
#include "sender.h"

using testing_support::Process;
using Clock = std::chrono::steady_clock;

namespace
{
  enum Colour { BLUE, RED, GREEN, GREY, OTHER };

  const char* name(Colour c)
  {
    static const char* names[] = {"blue", "red", "green", "grey", "other"};
    return names[c];
  }

  Colour classify(const cv::Vec3b& bgr)
  {
    const int b = bgr[0], g = bgr[1], r = bgr[2];
    if (b > r + 40 && b > g + 40)
      return BLUE;
    if (r > g + 40 && r > b + 40)
      return RED;
    if (g > r + 40 && g > b + 40)
      return GREEN;
    // The grey link's long sides are lit up to white (its normals are not
    // renormalised after scaling); its ends are a darker grey.
    const int hi = std::max(b, std::max(g, r)), lo = std::min(b, std::min(g, r));
    if (hi - lo < 30 && (hi + lo) / 2 > 60)
      return GREY;
    return OTHER;
  }

  void setUpEnvironment()
  {
    setenv("DISPLAY", testing_support::fixtureDisplay().c_str(), 1);
  }

  cv::Mat screenshot()
  {
    std::string path = std::string(::testing::TempDir()) + "screen.png";
    EXPECT_EQ(testing_support::run({"/usr/bin/import", "-window", "root", "-crop", "640x480+0+0", path}), 0);
    return cv::imread(path, cv::IMREAD_COLOR);
  }

  // The program on a video source (the built-in scene, say), on the tests'
  // display or another.
  // trace: one line per frame on standard output (VORLINDE_TRACE=frames),
  // for a test that reads them as they come.
  std::unique_ptr<Process> startViewer(const std::string& video, const std::vector<std::string>& extra = {},
                                       const std::string& display = testing_support::fixtureDisplay(),
                                       bool trace = false)
  {
    std::vector<std::string> argv = {testing_support::builtProgram("viewer/VorlindeComp"), "-o",
                                     "corba.nameservers:" + testing_support::fixtureNamingService(), "-o",
                                     "exec_cxt.periodic.rate:50"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::vector<std::string> env = {"VORLINDE_VIDEO=" + video, "DISPLAY=" + display};
    if (trace)
      env.push_back("VORLINDE_TRACE=frames");
    return std::unique_ptr<Process>(new Process(argv, env, PROJ_SOURCE_DIR));
  }

  // The window pixel (column, row) where a marker point (mm) appears: the
  // ideal pixel (u, v) of the camera lands at window (u, v + 1), as the
  // OpenGL camera of the window helpers places it.
  cv::Point windowPixel(const ARParam& cam, const double pose[3][4], double X, double Y, double Z)
  {
    double p[3];
    for (int r = 0; r < 3; ++r)
      p[r] = pose[r][0] * X + pose[r][1] * Y + pose[r][2] * Z + pose[r][3];
    const double u = (cam.mat[0][0] * p[0] + cam.mat[0][1] * p[1] + cam.mat[0][2] * p[2]) / p[2];
    const double v = (cam.mat[1][1] * p[1] + cam.mat[1][2] * p[2]) / p[2];
    return cv::Point(static_cast<int>(std::floor(u)), static_cast<int>(std::floor(v + 1)));
  }

  struct StillScene
  {
    StillScene()
    {
      ARParam file;
      EXPECT_EQ(arParamLoad((std::string(PROJ_SOURCE_DIR) + "/Data/camera_para.dat").c_str(), 1, &file), 0);
      arParamChangeSize(&file, 640, 480, &cam);
      synth::pathPose(cam, 0.0, pose);
    }
    ARParam cam;
    double pose[3][4];
  };

  // A box by the two ends of its axis (marker mm) and its colour.
  struct BoxAt
  {
    double from[3], to[3];
    Colour colour;
  };

  // The majority colour around a pixel (3 x 3).
  Colour colourAt(const cv::Mat& shot, cv::Point p)
  {
    int votes[5] = {0, 0, 0, 0, 0};
    for (int dy = -1; dy <= 1; ++dy)
      for (int dx = -1; dx <= 1; ++dx)
        ++votes[classify(shot.at<cv::Vec3b>(p.y + dy, p.x + dx))];
    return static_cast<Colour>(std::max_element(votes, votes + 5) - votes);
  }

  // The camera picture the window shows under the arm: the built-in scene
  // (seed 1) at the still pose.
  const cv::Mat& background()
  {
    static cv::Mat bg = [] {
      StillScene s;
      synth::Scene scene(s.cam, 1);
      cv::Mat bgra = scene.render(s.pose), bgr;
      cv::cvtColor(bgra, bgr, cv::COLOR_BGRA2BGR);
      return bgr;
    }();
    return bg;
  }

  // Each box shows its colour somewhere along its axis where it stands out
  // from the scene behind it (the grey link is lit up to white, which a
  // white paper behind it would hide).
  // The boxes missing from a screenshot, described; empty when every box
  // shows.
  std::string missingBoxes(const cv::Mat& shot, const std::vector<BoxAt>& boxes)
  {
    StillScene s;
    if (shot.empty())
      return "no screenshot";
    std::string missing;
    for (const BoxAt& b : boxes)
      {
        bool seen = false;
        std::string found;
        for (double t : {0.5, 0.3, 0.7, 0.2, 0.8})
          {
            const double x = b.from[0] + t * (b.to[0] - b.from[0]), y = b.from[1] + t * (b.to[1] - b.from[1]),
                         z = b.from[2] + t * (b.to[2] - b.from[2]);
            const cv::Point p = windowPixel(s.cam, s.pose, x, y, z);
            const cv::Vec3b drawn = shot.at<cv::Vec3b>(p), scene = background().at<cv::Vec3b>(p);
            const int diff = std::abs(drawn[0] - scene[0]) + std::abs(drawn[1] - scene[1]) + std::abs(drawn[2] - scene[2]);
            const Colour c = colourAt(shot, p);
            found += std::string(" ") + name(c) + (diff > 40 ? "" : "(as the scene)");
            if (c == b.colour && diff > 40)
              {
                seen = true;
                break;
              }
          }
        if (!seen)
          missing += std::string("no ") + name(b.colour) + " box along (" + std::to_string(b.from[0]) + ", " +
                     std::to_string(b.from[1]) + ", " + std::to_string(b.from[2]) + ")-(" + std::to_string(b.to[0]) +
                     ", " + std::to_string(b.to[1]) + ", " + std::to_string(b.to[2]) + "); saw" + found + "\n";
      }
    return missing;
  }

  void expectArm(const cv::Mat& shot, const std::vector<BoxAt>& boxes, const char* what)
  {
    const std::string missing = missingBoxes(shot, boxes);
    EXPECT_EQ(missing, "") << what;
  }

  // Until the window shows the arm so (a datum or a key takes a period of
  // the component and a frame, however loaded the machine is); then as
  // expectArm.
  void expectArmSoon(const std::vector<BoxAt>& boxes, const char* what, int timeout_ms = 8000)
  {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string missing;
    do
      {
        missing = missingBoxes(screenshot(), boxes);
        if (missing.empty())
          return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    while (Clock::now() < deadline);
    ADD_FAILURE() << what << ":\n" << missing;
  }

  // Until the blue base box shows (at height mm on the marker).
  bool waitForArm(int timeout_ms, double height = 10)
  {
    StillScene s;
    cv::Point base = windowPixel(s.cam, s.pose, 0, 0, height);
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < deadline)
      {
        cv::Mat shot = screenshot();
        if (!shot.empty() && colourAt(shot, base) == BLUE)
          return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    return false;
  }

  // Frames of one colour each (BGR), as an image sequence in a new
  // directory; returns the directory.
  std::string colourFrames(const std::vector<cv::Scalar>& colours, cv::Size size)
  {
    char dir[] = "/tmp/vorlinde-frames-XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    for (std::size_t i = 0; i < colours.size(); ++i)
      {
        char name[256];
        std::snprintf(name, sizeof name, "%s/%04zu.png", dir, i);
        EXPECT_TRUE(cv::imwrite(name, cv::Mat(size, CV_8UC3, colours[i])));
      }
    return dir;
  }

  int xdotool(std::vector<std::string> args)
  {
    args.insert(args.begin(), "/usr/bin/xdotool");
    return testing_support::run(args);
  }

  // ESC in the window at (x, y): the program ends with 0 and the rate of
  // its last line ("*** %f (frame/sec)"), or -1 without one.
  double escapeAndReadRate(Process& viewer, int x, int y)
  {
    xdotool({"mousemove", std::to_string(x), std::to_string(y)});
    xdotool({"key", "Escape"});
    EXPECT_EQ(viewer.wait(5000), 0);
    std::string line, rate;
    while (viewer.readLine(line, 1000))
      if (line.rfind("*** ", 0) == 0)
        rate = line;
    double fps = -1;
    EXPECT_EQ(std::sscanf(rate.c_str(), "*** %lf (frame/sec)", &fps), 1) << rate;
    return fps;
  }

  int anglesend(std::vector<std::string> args)
  {
    args.insert(args.begin(), {testing_support::builtProgram("tools/anglesend"), "-q", "-n",
                               testing_support::fixtureNamingService(), "Vorlinde0:Angle"});
    std::string output;
    int status = testing_support::run(args, &output);
    EXPECT_EQ(status, 0) << output;
    return status;
  }

  const std::vector<BoxAt> upright = {{{0, 0, 0}, {0, 0, 20}, BLUE}, {{0, 0, 20}, {0, 0, 40}, RED},
                                      {{0, 0, 40}, {0, 0, 60}, GREEN}, {{0, 0, 60}, {0, 0, 80}, GREY}};
  // Joint 0 at 90: the links lie along -Y at height 20.
  const std::vector<BoxAt> bentForward = {{{0, 0, 0}, {0, 0, 20}, BLUE}, {{0, 0, 20}, {0, -20, 20}, RED},
                                          {{0, -20, 20}, {0, -40, 20}, GREEN}, {{0, -40, 20}, {0, -60, 20}, GREY}};
  // Joints 1 and 2 at 90: link 3 along +X from height 60.
  const std::vector<BoxAt> topSideways = {{{0, 0, 0}, {0, 0, 20}, BLUE}, {{0, 0, 20}, {0, 0, 40}, RED},
                                          {{0, 0, 40}, {0, 0, 60}, GREEN}, {{0, 0, 60}, {20, 0, 60}, GREY}};
}

class Viewer : public ::testing::Test
{
protected:
  void SetUp() override
  {
    setUpEnvironment();
    if (testing_support::fixtureDisplay().empty())
      GTEST_SKIP() << "no X display";
  }
};

TEST_F(Viewer, ArmFollowsThePortAtTheMarkersPose)
{
  auto viewer = startViewer("-synthetic -still");
  ASSERT_TRUE(waitForArm(8000)) << viewer->errorText();
  expectArm(screenshot(), upright, "all angles 0");
  anglesend({"90", "0", "0"});
  expectArmSoon(bentForward, "joint 0 at 90");
  anglesend({"0", "90", "90"});
  expectArmSoon(topSideways, "joints 1 and 2 at 90");
}

TEST_F(Viewer, KeysStepJointsAndUpperCaseDoesNothing)
{
  auto viewer = startViewer("-synthetic -still", {}, testing_support::fixtureDisplay(), true);
  ASSERT_TRUE(viewer->waitForOutput("): arm on the marker", 8000)) << viewer->errorText();
  xdotool({"mousemove", "320", "240"});
  std::vector<std::string> keys = {"key", "--delay", "30", "C", "V", "B"};
  for (int i = 0; i < 9; ++i)
    keys.push_back("c");
  xdotool(keys);
  // Every frame says the joints it drew: joint 0 steps by 10 up to 90,
  // the others never move.
  std::string line;
  bool bent = false;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!bent && Clock::now() < deadline && viewer->readLine(line, 5000))
    {
      double j0, j1, j2;
      const std::string::size_type at = line.find("joints ");
      if (at == std::string::npos || std::sscanf(line.c_str() + at, "joints %lf %lf %lf", &j0, &j1, &j2) != 3)
        continue;
      EXPECT_EQ(j1, 0.0) << line;
      EXPECT_EQ(j2, 0.0) << line;
      EXPECT_EQ(std::fmod(j0, 10.0), 0.0) << line;
      bent = j0 == 90.0;
    }
  ASSERT_TRUE(bent) << "nine presses of c";
  expectArmSoon(bentForward, "nine presses of c");
  escapeAndReadRate(*viewer, 320, 240);
}

TEST_F(Viewer, ArmOutlivesTheMarkerByTwoFramesAndEscapeReportsTheRate)
{
  // Two frames a second; the marker is gone from the camera's fifth frame
  // on. The program says what each frame found: after the last frame with
  // the marker it still draws the arm, from the detector's memory, on the
  // two frames it shows next; then no marker.
  auto viewer = startViewer("-synthetic -still -fps=2 -frames=4", {}, testing_support::fixtureDisplay(), true);
  std::vector<bool> arm;  // per frame shown, from the last one with the marker
  std::string line;
  const auto deadline = Clock::now() + std::chrono::seconds(15);
  while (arm.size() < 5 && Clock::now() < deadline && viewer->readLine(line, 5000))
    {
      int frame = 0;
      long camera = 0;
      if (std::sscanf(line.c_str(), "frame %d (camera frame %ld):", &frame, &camera) != 2)
        continue;
      const bool drawn = line.find("arm on the marker") != std::string::npos;
      if (camera <= 4)
        {
          EXPECT_TRUE(drawn) << line;
          arm.assign(1, drawn);
        }
      else if (!arm.empty())
        arm.push_back(drawn);
    }
  EXPECT_EQ(arm, (std::vector<bool>{true, true, true, false, false})) << viewer->errorText();

  const double fps = escapeAndReadRate(*viewer, 320, 240);
  EXPECT_GT(fps, 1.0);
  EXPECT_LT(fps, 3.0);
}

TEST_F(Viewer, AFileThatEndsKeepsItsLastPictureAndTheRateCountsOnlyItsFrames)
{
  // Three seconds of frames (the window's start-up takes the first half
  // second of them), the last of its own colour.
  const cv::Scalar last(40, 160, 200);
  std::vector<cv::Scalar> colours;
  for (int i = 0; i < 29; ++i)
    colours.push_back(cv::Scalar(200 * (i % 2), 8 * i, 200));
  colours.push_back(last);
  const std::string dir = colourFrames(colours, cv::Size(320, 240));
  auto viewer = startViewer("-file=" + dir + "/%04d.png -fps=10");
  const std::string ended = "video source ended: " + dir + "/%04d.png after 30 frames\n";
  auto deadline = Clock::now() + std::chrono::seconds(8);
  while (viewer->errorText().find(ended) == std::string::npos && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_NE(viewer->errorText().find(ended), std::string::npos) << viewer->errorText();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // frozen: not to be counted

  cv::Mat shot = screenshot();
  ASSERT_FALSE(shot.empty());
  const cv::Vec3b centre = shot.at<cv::Vec3b>(120, 160);
  for (int c = 0; c < 3; ++c)
    EXPECT_NEAR(centre[c], last[c], 8) << "the window keeps the last picture";

  const double fps = escapeAndReadRate(*viewer, 160, 120);
  // The rate counts the frames shown, over the file's three seconds: of
  // the 30 at 10 a second, a loaded machine may not have shown every one.
  long captured = 0, notShown = 0;
  const std::string counts = viewer->errorText();
  ASSERT_EQ(std::sscanf(counts.substr(counts.find("video: ")).c_str(), "video: %ld frames captured, %ld not shown",
                        &captured, &notShown),
            2)
    << counts;
  EXPECT_EQ(captured, 30);
  EXPECT_NEAR(fps, 10.0 * static_cast<double>(captured - notShown) / captured, 2.5)
    << "frames at 10 a second, whatever came after them";
  const std::string err = viewer->errorText();
  EXPECT_EQ(err.find(ended), err.rfind(ended)) << "said once: " << err;
  std::system(("rm -rf " + dir).c_str());
}

// A GStreamer pipeline decoding a recording of the built-in scene: the
// marker is found and the arm drawn on it, as from the scene itself.
TEST_F(Viewer, AGStreamerPipelineFeedsTheTracker)
{
  StillScene s;
  synth::Scene scene(s.cam, 1);
  cv::Mat bgra, bgr;
  scene.render(s.pose, bgra);
  cv::cvtColor(bgra, bgr, cv::COLOR_BGRA2BGR);
  const std::string clip = std::string(PROJ_BINARY_DIR) + "/tests/scene-clip.avi";
  {
    cv::VideoWriter writer(clip, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30, bgr.size());
    ASSERT_TRUE(writer.isOpened());
    for (int i = 0; i < 60; ++i)
      writer.write(bgr);
  }
  auto viewer = startViewer("-gst=\"filesrc location=" + clip + " ! decodebin ! videoconvert ! appsink\" -loop");
  ASSERT_TRUE(waitForArm(8000)) << viewer->errorText();
  expectArm(screenshot(), upright, "all angles 0, from the pipeline");
  const std::string err = viewer->errorText();
  EXPECT_NE(err.find("video: GStreamer pipeline 640x480"), std::string::npos) << err;
  std::remove(clip.c_str());
}

TEST_F(Viewer, LosingTheDisplayEndsWithOneLineAndNoNameLeft)
{
  testing_support::XServer display;
  ASSERT_FALSE(display.display().empty()) << "no display for the test";
  auto viewer = startViewer("-synthetic -still", {}, display.display(), true);
  ASSERT_TRUE(viewer->waitForOutput("frame 2 ", 8000)) << viewer->errorText();  // drawing frames
  display.kill();
  EXPECT_EQ(viewer->wait(5000), 1);
  const std::string err = viewer->errorText();
  EXPECT_NE(err.find("argMainLoop: the connection to the X display was lost; exiting\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("terminate"), std::string::npos) << err;
  EXPECT_EQ(err.find("XIO"), std::string::npos) << err;
  std::string output;
  std::vector<std::string> args = {testing_support::builtProgram("tools/anglesend"), "-n",
                                   testing_support::fixtureNamingService(), "Vorlinde0:Angle", "1"};
  EXPECT_EQ(testing_support::run(args, &output), 1);
  EXPECT_NE(output.find("no component"), std::string::npos) << output;
}

class ViewerStart : public Viewer
{
protected:
  // A working directory holding some of the data files.
  std::string dataDir(bool camera, bool pattern)
  {
    char dir[] = "/tmp/vorlinde-data-XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    std::string d = dir;
    std::string cmd = "mkdir -p " + d + "/Data";
    if (camera)
      cmd += " && cp " + std::string(PROJ_SOURCE_DIR) + "/Data/camera_para.dat " + d + "/Data/";
    if (pattern)
      cmd += " && cp " + std::string(PROJ_SOURCE_DIR) + "/Data/patt.vesk " + d + "/Data/";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    dirs.push_back(d);
    return d;
  }

  struct Outcome
  {
    int status;
    std::string out, err;
  };

  Outcome run(const std::string& video, const std::string& cwd)
  {
    Process p({testing_support::builtProgram("viewer/VorlindeComp"), "-o", "naming.enable:NO"},
              {"VORLINDE_VIDEO=" + video, "DISPLAY=" + testing_support::fixtureDisplay()}, cwd);
    Outcome o;
    std::string line;
    while (p.readLine(line, 10000))
      o.out += line + "\n";
    o.status = p.wait(10000);
    o.err = p.errorText();
    return o;
  }

  void TearDown() override
  {
    for (const std::string& d : dirs)
      std::system(("rm -rf " + d).c_str());
  }

  std::vector<std::string> dirs;
};

TEST_F(ViewerStart, MissingFilesAndCameraFailWithTheirMessages)
{
  const std::string noCameraDir = dataDir(false, true);
  Outcome noCamera = run("-synthetic", noCameraDir);
  EXPECT_EQ(noCamera.status, 1);
  EXPECT_EQ(noCamera.out, "Image size (x,y) = (640,480)\nCamera parameter load error !!\n");
  EXPECT_EQ(noCamera.err, "Data/camera_para.dat: no such file in " + noCameraDir + "\n");

  const std::string noPatternDir = dataDir(true, false);
  Outcome noPattern = run("-synthetic", noPatternDir);
  EXPECT_EQ(noPattern.status, 1);
  EXPECT_EQ(noPattern.err, "Data/patt.vesk: no such file in " + noPatternDir + "\n");
  EXPECT_NE(noPattern.out.find("*** Camera Parameter ***\n"), std::string::npos) << noPattern.out;
  const std::string tail = "\"Data/patt.vesk\" not found!!\npattern load error !!\n";
  ASSERT_GE(noPattern.out.size(), tail.size());
  EXPECT_EQ(noPattern.out.substr(noPattern.out.size() - tail.size()), tail);

  // A camera file of values no camera has: one line says which, then the
  // viewer's own message.
  const std::string corrupt = dataDir(true, true);
  const std::string cameraFile = corrupt + "/Data/camera_para.dat";
  ARParam p;
  ASSERT_EQ(arParamLoad(cameraFile.c_str(), 1, &p), 0);
  p.dist_factor[3] = 0;
  ASSERT_EQ(arParamSave(const_cast<char*>(cameraFile.c_str()), 1, &p), 0);
  Outcome badCamera = run("-synthetic", corrupt);
  EXPECT_EQ(badCamera.status, 1);
  EXPECT_EQ(badCamera.out, "Image size (x,y) = (640,480)\nCamera parameter load error !!\n");
  EXPECT_EQ(std::count(badCamera.err.begin(), badCamera.err.end(), '\n'), 1) << badCamera.err;
  EXPECT_NE(badCamera.err.find("Data/camera_para.dat: distortion scale (dist_factor[3]) = 0"), std::string::npos)
    << badCamera.err;

  // A source too small to detect anything in: detection says why.
  const std::string tinyDir = colourFrames({cv::Scalar(0, 0, 0)}, cv::Size(2, 2));
  dirs.push_back(tinyDir);
  Outcome tiny = run("-file=" + tinyDir + "/%04d.png", dataDir(true, true));
  EXPECT_EQ(tiny.status, 1);
  EXPECT_NE(tiny.err.find("arDetectMarker: the image (2 x 2 pixels) is smaller than the 3 x 3 detection needs\n"),
            std::string::npos) << tiny.err;

  Outcome noDevice = run("-dev=/dev/video-vorlinde-none", dataDir(true, true));
  EXPECT_EQ(noDevice.status, 1);
  EXPECT_EQ(noDevice.out, "");
  EXPECT_EQ(std::count(noDevice.err.begin(), noDevice.err.end(), '\n'), 1) << noDevice.err;
  EXPECT_NE(noDevice.err.find("cannot open camera /dev/video-vorlinde-none (no camera? try VORLINDE_VIDEO=-synthetic)"),
            std::string::npos) << noDevice.err;

  // An unknown video option: that option, not the whole list.
  Outcome bogus = run("-synthetic -bogus", dataDir(true, true));
  EXPECT_EQ(bogus.status, 1);
  EXPECT_EQ(bogus.out, "");
  EXPECT_EQ(bogus.err, "arVideoOpen: unknown video option \"-bogus\" (--help lists the video options)\n");
}

// --help: the options, the video options and where the files are looked
// for; nothing is started.
TEST_F(ViewerStart, HelpSaysWhatTheProgramTakes)
{
  for (const char* flag : {"-h", "--help"})
    {
      std::string out;
      EXPECT_EQ(testing_support::run({testing_support::builtProgram("viewer/VorlindeComp"), "-o", "naming.enable:NO", flag},
                                     &out),
                0);
      for (const char* text : {"-f FILE", "./rtc.conf", "-o KEY:VALUE", "-fps=N", "-light=G", "-still", "-frames=N",
                               "Data/camera_para.dat", "Data/patt.vesk", "VORLINDE_VIDEO", "working directory"})
        EXPECT_NE(out.find(text), std::string::npos) << flag << ": no " << text << " in\n" << out;
    }
}

// Data files that are no regular files, or far too large: one line names
// the file and why, then the usual failure; never a start that hangs.
TEST_F(ViewerStart, DataFilesThatAreNoRegularFilesAreRefusedInOneLine)
{
  struct Case { const char* file; const char* make; const char* video; const char* out; const char* err; } cases[] = {
    {"Data/camera_para.dat", "mkfifo", "-synthetic", "Camera parameter load error !!\n",
     "arParamLoad: Data/camera_para.dat: is a FIFO, not a regular file\n"},
    {"Data/patt.vesk", "mkdir", "-synthetic", "pattern load error !!\n",
     "arLoadPatt: Data/patt.vesk: is a directory, not a regular file\n"},
    {"Data/patt.vesk", "huge", "-synthetic", "pattern load error !!\n",
     "arLoadPatt: Data/patt.vesk: is larger than 1 MiB; no such file is that long\n"},
    {"Data/video.conf", "mkfifo", "Data/video.conf", "",
     "arVideoOpen: video configuration Data/video.conf is a FIFO, not a regular file\n"},
  };
  for (const Case& c : cases)
    {
      const std::string dir = dataDir(true, true), path = dir + "/" + c.file;
      std::string make = std::string("rm -f ") + path + " && ";
      if (std::string(c.make) == "huge")
        make += "head -c 2000000 /dev/zero | tr '\\0' '1' > " + path;
      else
        make += std::string(c.make) + " " + path;
      ASSERT_EQ(std::system(make.c_str()), 0) << make;
      const Clock::time_point start = Clock::now();
      Outcome o = run(c.video, dir);
      EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 8.0) << c.file;
      EXPECT_EQ(o.status, 1) << c.file;
      EXPECT_GE(o.out.size(), std::strlen(c.out));
      EXPECT_EQ(o.out.substr(o.out.size() - std::min(o.out.size(), std::strlen(c.out))), c.out) << o.out;
      EXPECT_EQ(o.err, c.err);
    }
}

// The program's component, from another process as a tool finds it
// (waiting up to 5 s for its name); nil if it is not found.
RTC::RTObject_ptr viewerComponent()
{
  static sender::AngleSender* self = sender::startSender("viewer_test");
  EXPECT_NE(self, nullptr);
  RTC::PortService_var port;
  std::string error;
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!sender::findPort(testing_support::fixtureNamingService(), "Vorlinde0:Angle", port, error))
    {
      if (Clock::now() > deadline)
        {
          ADD_FAILURE() << error;
          return RTC::RTObject::_nil();
        }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  RTC::PortProfile_var profile = port->get_port_profile();
  return RTC::RTObject::_duplicate(profile->owner);
}

// exit() on the component, as rtexit calls it.
RTC::ReturnCode_t exitComponent()
{
  RTC::RTObject_var rtc = viewerComponent();
  return CORBA::is_nil(rtc) ? RTC::RTC_ERROR : rtc->exit();
}

TEST_F(Viewer, ThresholdAndMarkerWidthFollowTheComponentsParameters)
{
  // The marker printed at 160 mm (rtc.conf, at start): the same picture
  // means a marker twice as far, so the arm stands half as tall.
  {
    auto viewer = startViewer("-synthetic -still", {"-o", "TEST.Vorlinde.conf.default.marker_width:160"});
    ASSERT_TRUE(waitForArm(8000, 5)) << viewer->errorText();
    const std::vector<BoxAt> half = {{{0, 0, 0}, {0, 0, 10}, BLUE}, {{0, 0, 10}, {0, 0, 20}, RED},
                                     {{0, 0, 20}, {0, 0, 30}, GREEN}, {{0, 0, 30}, {0, 0, 40}, GREY}};
    expectArm(screenshot(), half, "marker_width 160");
    escapeAndReadRate(*viewer, 320, 240);
  }
  // A dim room: the fixed threshold (100) finds no marker; "auto" set from
  // a tool, as rtconf sets it, finds it.
  auto viewer = startViewer("-synthetic -still -light=0.3");
  RTC::RTObject_var rtc = viewerComponent();
  ASSERT_FALSE(CORBA::is_nil(rtc));
  RTC::ExecutionContextList_var contexts = rtc->get_owned_contexts();
  ASSERT_EQ(contexts[0]->activate_component(rtc), RTC::RTC_OK);
  EXPECT_FALSE(waitForArm(1500)) << "the fixed threshold found the marker in the dim scene";
  SDOPackage::Configuration_var config = rtc->get_configuration();
  SDOPackage::ConfigurationSet_var set = config->get_configuration_set("default");
  for (CORBA::ULong i = 0; i < set->configuration_data.length(); ++i)
    if (std::string(set->configuration_data[i].name.in()) == "threshold")
      set->configuration_data[i].value <<= "auto";
  EXPECT_TRUE(config->set_configuration_set_values(set));
  EXPECT_TRUE(config->activate_configuration_set("default"));
  EXPECT_TRUE(waitForArm(5000)) << "threshold auto";
  escapeAndReadRate(*viewer, 320, 240);
}

TEST_F(Viewer, ExitFromAToolEndsTheProgramWithItsNameUnlessToldNotTo)
{
  std::vector<std::string> lookup = {testing_support::builtProgram("tools/anglesend"), "-n",
                                     testing_support::fixtureNamingService(), "Vorlinde0:Angle", "1"};
  {
    auto viewer = startViewer("-synthetic -still");
    ASSERT_TRUE(waitForArm(8000)) << viewer->errorText();
    EXPECT_EQ(exitComponent(), RTC::RTC_OK);
    EXPECT_EQ(viewer->wait(5000), 0) << viewer->errorText();
    std::string output;
    EXPECT_EQ(testing_support::run(lookup, &output), 1);
    EXPECT_NE(output.find("no component"), std::string::npos) << output;
  }
  // manager.shutdown_on_nortcs: NO keeps the window, without a component.
  auto viewer = startViewer("-synthetic -still", {"-o", "manager.shutdown_on_nortcs:NO"});
  ASSERT_TRUE(waitForArm(8000)) << viewer->errorText();
  EXPECT_EQ(exitComponent(), RTC::RTC_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_TRUE(viewer->running());
  std::string output;
  EXPECT_EQ(testing_support::run(lookup, &output), 1);
  escapeAndReadRate(*viewer, 320, 240);
}

// ESC and exit() from a tool end the program within three seconds, even
// while a peer holds one of its calls open (an add_component whose
// attach_context never answers); an exit() while the program is still
// starting ends it too.
TEST_F(Viewer, TheProgramEndsInTimeWhateverAPeerHolds)
{
  for (const std::string how : {"escape", "exit"})
    {
      auto viewer = startViewer("-synthetic -still");
      ASSERT_TRUE(waitForArm(8000)) << viewer->errorText();
      RTC::RTObject_var rtc = viewerComponent();
      ASSERT_FALSE(CORBA::is_nil(rtc));
      RTC::ExecutionContextList_var contexts = rtc->get_owned_contexts();
      testing_support::HangingAttach peer(contexts[0]);
      const Clock::time_point start = Clock::now();
      if (how == "escape")
        {
          xdotool({"mousemove", "320", "240"});
          xdotool({"key", "Escape"});
        }
      else
        EXPECT_EQ(rtc->exit(), RTC::RTC_OK);
      EXPECT_EQ(viewer->wait(5000), 0) << how << ": " << viewer->errorText();
      // About 1 s after ESC (the peer's call is left after a second), 2 s
      // after exit() (which waits a second first, as a manager left with
      // no component does); a loaded machine's scheduling on top.
      EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), how == "exit" ? 4.0 : 3.0) << how;
    }

  auto starting = startViewer("-synthetic -still");
  RTC::RTObject_var rtc = viewerComponent();  // named before the window shows
  ASSERT_FALSE(CORBA::is_nil(rtc));
  EXPECT_EQ(rtc->exit(), RTC::RTC_OK);
  EXPECT_EQ(starting->wait(5000), 0) << starting->errorText();
}

// scripts/demo as a new user runs it: the sender waits for the component
// instead of racing it, and ESC, Ctrl-C or the end of DEMO_SECONDS end it
// quietly.
TEST_F(Viewer, TheDemoStartsInOrderAndEndsQuietly)
{
  const std::vector<std::string> env = {std::string("BUILD_DIR=") + PROJ_BINARY_DIR,
                                        "DISPLAY=" + testing_support::fixtureDisplay()};
  {
    Process demo({std::string(PROJ_SOURCE_DIR) + "/scripts/demo"}, {env[0], env[1], "DEMO_SECONDS=4"});
    EXPECT_EQ(demo.wait(120000), 0) << demo.errorText();
    std::string out, line;
    while (demo.readLine(line, 100))
      out += line + "\n";
    EXPECT_NE(out.find("demo: naming service on"), std::string::npos) << out;
    EXPECT_EQ(out.find("the angle sender stopped"), std::string::npos) << out;
    const std::string err = demo.errorText();
    EXPECT_EQ(err.find("not delivered"), std::string::npos) << err;
    EXPECT_EQ(err.find("anglesend"), std::string::npos) << err;
  }
  Process demo({std::string(PROJ_SOURCE_DIR) + "/scripts/demo"}, env);
  ASSERT_TRUE(demo.waitForOutput("demo: the angle sender moves", 120000)) << demo.errorText();
  ASSERT_TRUE(demo.waitForOutput("*** Camera Parameter ***", 20000)) << demo.errorText();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  demo.signal(SIGINT);
  EXPECT_EQ(demo.wait(10000), 0);
  const std::string err = demo.errorText();
  EXPECT_EQ(err.find("not delivered"), std::string::npos) << err;
  EXPECT_EQ(err.find("anglesend"), std::string::npos) << err;
}

// cmake --install into a new prefix: the installed program runs from its
// share directory on the built-in scene, the installed module loads, and
// cpack makes a Debian package that names the libraries it needs.
TEST_F(Viewer, InstalledProgramRunsAndThePackageNamesItsDependencies)
{
  char dir[] = "/tmp/vorlinde-install-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string prefix = dir;
  std::string output;
  // A user's own file in Data/ is not shipped: only the tracked ones are.
  const std::string stray = std::string(PROJ_SOURCE_DIR) + "/Data/my_own_camera.dat";
  std::ofstream(stray.c_str()) << "mine";
  const int installed = testing_support::run({PROJ_CMAKE, "--install", PROJ_BINARY_DIR, "--prefix", prefix}, &output);
  std::remove(stray.c_str());
  ASSERT_EQ(installed, 0) << output;
  ASSERT_EQ(access((prefix + "/share/vorlinde/Data/patt.vesk").c_str(), R_OK), 0);
  EXPECT_NE(access((prefix + "/share/vorlinde/Data/my_own_camera.dat").c_str(), F_OK), 0) << "a user's file installed";
  EXPECT_EQ(access((prefix + "/share/doc/vorlinde/docs/screenshot.png").c_str(), R_OK), 0) << "the README's picture";
  void* module = dlopen((prefix + "/lib/vorlinde/Vorlinde.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  EXPECT_NE(dlsym(module, "VorlindeInit"), nullptr);

  Process viewer({prefix + "/bin/VorlindeComp", "-o", "corba.nameservers:" + testing_support::fixtureNamingService()},
                 {"VORLINDE_VIDEO=-synthetic -still", "DISPLAY=" + testing_support::fixtureDisplay()},
                 prefix + "/share/vorlinde");
  ASSERT_TRUE(waitForArm(8000)) << viewer.errorText();
  escapeAndReadRate(viewer, 320, 240);

  ASSERT_EQ(testing_support::run({PROJ_CPACK, "-G", "DEB", "-B", prefix + "/package", "--config",
                                  std::string(PROJ_BINARY_DIR) + "/CPackConfig.cmake"},
                                 &output, 120000),
            0)
    << output;
  ASSERT_EQ(testing_support::run({"/bin/sh", "-c", "dpkg-deb -f " + prefix + "/package/vorlinde_*.deb Package Depends"},
                                 &output),
            0);
  EXPECT_NE(output.find("Package: vorlinde"), std::string::npos) << output;
  for (const char* library : {"libomniorb4", "libopencv-core", "libglut"})
    EXPECT_NE(output.find(library), std::string::npos) << library << " missing from " << output;
  // Its programs and libraries come without debugging symbols.
  ASSERT_EQ(testing_support::run({"/bin/sh", "-c", "cd " + prefix + "/package && dpkg-deb -x vorlinde_*.deb unpacked"}),
            0);
  for (const char* file : {"/usr/bin/VorlindeComp", "/usr/lib/vorlinde/libvorlinde-rtm.so", "/usr/lib/vorlinde/Vorlinde.so"})
    {
      EXPECT_EQ(testing_support::run({"/bin/sh", "-c",
                                      "readelf -S " + prefix + "/package/unpacked" + file + " | grep -q debug_info"}),
                1)
        << file << " is not stripped";
    }
  testing_support::run({"/bin/rm", "-rf", prefix});
}

TEST_F(Viewer, TerminatingRemovesTheComponentsName)
{
  auto viewer = startViewer("-synthetic -still");
  // The start-up lines reach the pipe while the program runs.
  EXPECT_TRUE(viewer->waitForOutput("*** Camera Parameter ***", 5000));
  ASSERT_TRUE(waitForArm(8000)) << viewer->errorText();
  viewer->signal(SIGTERM);
  EXPECT_EQ(viewer->wait(5000), 128 + SIGTERM);
  std::string output;
  // The sender finds no component any more.
  std::vector<std::string> args = {testing_support::builtProgram("tools/anglesend"), "-n",
                                   testing_support::fixtureNamingService(), "Vorlinde0:Angle", "1"};
  EXPECT_EQ(testing_support::run(args, &output), 1);
  EXPECT_NE(output.find("no component"), std::string::npos) << output;
}
