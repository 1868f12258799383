// The data tools: the printable marker, the pattern maker on a picture of
// the marker, and the calibrator on chessboard views rendered through a
// known camera.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <fstream>
#include <iterator>

#include <AR/ar.h>

#include "process.h"
#include "scene.h"
#include "tracking_support.h"

namespace
{
  std::string tool(const char* name) { return testing_support::builtProgram(std::string("tools/") + name); }
  std::string temp(const std::string& name) { return std::string(::testing::TempDir()) + name; }

  std::string slurp(const std::string& path)
  {
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
}

TEST(MarkerTool, PngAtItsResolutionAndAPdfPage)
{
  std::string png = temp("m.png"), pdf = temp("m.pdf"), out;
  ASSERT_EQ(testing_support::run({tool("vorlinde-marker"), "--size-mm", "80", "--dpi", "300", "--png", png, "--pdf", pdf},
                                 &out), 0) << out;
  cv::Mat image = cv::imread(png, cv::IMREAD_COLOR);
  ASSERT_FALSE(image.empty());
  const int marker = static_cast<int>(std::lround(80 / 25.4 * 300));  // 945 pixels
  EXPECT_EQ(image.cols, marker + 2 * (marker / 10));
  const std::string bytes = slurp(png);
  // pHYs: 300 dpi = 11811 pixels per metre.
  const std::string phys = std::string("pHYs") + std::string("\x00\x00\x2e\x23\x00\x00\x2e\x23\x01", 9);
  EXPECT_NE(bytes.find(phys), std::string::npos);
  const std::string page = slurp(pdf);
  EXPECT_EQ(page.compare(0, 8, "%PDF-1.4"), 0);
  EXPECT_NE(page.find("/MediaBox [0 0 595.28 841.89]"), std::string::npos);
  EXPECT_NE(page.find("%%EOF"), std::string::npos);
  EXPECT_EQ(testing_support::run({tool("vorlinde-marker"), "--dpi", "9"}, &out), 1);
}

// Pages: the caption states the size asked for, a marker A4 cannot hold
// with its margins goes on A3, one no page asked for holds is refused with
// the largest that fits, and numbers must be numbers.
TEST(MarkerTool, PagesMarginsAndNumbers)
{
  const std::string pdf = temp("p.pdf");
  std::string out;
  ASSERT_EQ(testing_support::run({tool("vorlinde-marker"), "--size-mm", "80.5", "--pdf", pdf}, &out), 0) << out;
  EXPECT_NE(slurp(pdf).find("the black square is 80.5 mm wide"), std::string::npos);
  ASSERT_EQ(testing_support::run({tool("vorlinde-marker"), "--size-mm", "200", "--pdf", pdf}, &out), 0) << out;
  EXPECT_NE(slurp(pdf).find("/MediaBox [0 0 841.89 1190.55]"), std::string::npos) << "A3";
  EXPECT_NE(out.find("A3 page"), std::string::npos) << out;
  struct Case { std::vector<std::string> args; const char* message; } cases[] = {
    {{"--size-mm", "200", "--page", "A4"}, "a 200.0 mm marker does not fit A4 (210 x 297 mm) with 10 mm margins; 190.0 mm at most"},
    {{"--size-mm", "300"}, "does not fit A3 (297 x 420 mm) with 10 mm margins; 277.0 mm at most"},
    {{"--dpi", "300x"}, "--dpi needs a number, not \"300x\""},
    {{"--size-mm", "8O"}, "--size-mm needs a number, not \"8O\""},
    {{"--page", "B7"}, "--page takes A5, A4, A3, letter or WIDTHxHEIGHT"},
  };
  for (const Case& c : cases)
    {
      std::vector<std::string> argv = {tool("vorlinde-marker")};
      argv.insert(argv.end(), c.args.begin(), c.args.end());
      argv.insert(argv.end(), {"--pdf", pdf});
      EXPECT_EQ(testing_support::run(argv, &out), 1) << c.message;
      EXPECT_NE(out.find(c.message), std::string::npos) << out;
    }
}

TEST(PatternTool, PatternFromThePrintableMarkerMatchesOurs)
{
  std::string patt = temp("made.patt"), out;
  ASSERT_EQ(testing_support::run({tool("vorlinde-pattmaker"), tracking_test::dataFile("marker_80mm.png"), patt}, &out),
            0) << out;
  ARParam cam = tracking_test::camera();
  arInitCparam(&cam);
  int made = arLoadPatt(patt.c_str());
  ASSERT_GE(made, 0);
  synth::Scene scene(cam, 3);
  double pose[3][4];
  synth::poseAt(cam, 300, 260, 450, 25, -20, 130, pose);
  cv::Mat frame = scene.render(pose);
  ARMarkerInfo* list;
  int n;
  ASSERT_EQ(arDetectMarkerLite(frame.data, 100, &list, &n), 0);
  ARMarkerInfo* m = tracking_test::best(list, n, made);
  ASSERT_NE(m, nullptr);
  EXPECT_GT(m->cf, 0.85);
  EXPECT_EQ(testing_support::run({tool("vorlinde-pattmaker"), temp("nothing.png"), patt}, &out), 1);
  EXPECT_NE(out.find("cannot read"), std::string::npos) << out;
}

TEST(CalibrationTool, RecoversAKnownCameraFromChessboardViews)
{
  // A camera with a longer lens and barrel distortion; the views are of an
  // 8 x 8 chessboard 80 mm wide (7 x 7 inner corners of 10 mm).
  ARParam truth = synth::nominalCamera(640, 480, 50.0);
  truth.dist_factor[2] = 40.0;
  cv::Mat board(800, 800, CV_8UC3);
  for (int y = 0; y < 800; ++y)
    for (int x = 0; x < 800; ++x)
      board.at<cv::Vec3b>(y, x) = ((x / 100 + y / 100) % 2) ? cv::Vec3b(255, 255, 255) : cv::Vec3b(0, 0, 0);
  synth::Scene scene(truth, 2);
  scene.setDesign(board);
  std::vector<std::string> args = {tool("vorlinde-calib"), "--board", "7x7", "--square", "10", "-o", temp("cal.dat")};
  const double views[][5] = {{320, 240, 260, 0, 0},   {200, 160, 280, 25, -10}, {430, 330, 270, -20, 25},
                             {440, 150, 300, 15, 30}, {190, 330, 250, -30, -20}, {320, 240, 320, 35, 0}};
  int i = 0;
  for (const auto& v : views)
    {
      double pose[3][4];
      synth::poseAt(truth, v[0], v[1], v[2], v[3], v[4], 10.0 * i, pose);
      cv::Mat bgra = scene.render(pose), bgr;
      cv::cvtColor(bgra, bgr, cv::COLOR_BGRA2BGR);
      std::string path = temp("view" + std::to_string(i++) + ".png");
      ASSERT_TRUE(cv::imwrite(path, bgr));
      args.push_back(path);
    }
  std::string out;
  ASSERT_EQ(testing_support::run(args, &out), 0) << out;
  ARParam found;
  ASSERT_EQ(arParamLoad(temp("cal.dat").c_str(), 1, &found), 0);
  EXPECT_EQ(found.xsize, 640);
  EXPECT_NEAR(found.mat[0][0], truth.mat[0][0], 0.02 * truth.mat[0][0]) << out;
  EXPECT_NEAR(found.mat[1][1], truth.mat[1][1], 0.02 * truth.mat[1][1]) << out;
  EXPECT_NEAR(found.mat[0][2], truth.mat[0][2], 8.0) << out;
  EXPECT_NEAR(found.mat[1][2], truth.mat[1][2], 8.0) << out;
  EXPECT_GT(found.dist_factor[2], 10.0) << "barrel distortion found: " << out;
  EXPECT_LT(found.dist_factor[2], 80.0) << out;
  EXPECT_NE(out.find("reprojection error"), std::string::npos);
  for (const char* label : {"focal length", "image centre", "distortion", "(6 views)", "(1 view)", "under 0.5"})
    EXPECT_NE(out.find(label), std::string::npos) << label << " missing from\n" << out;

  // The same views as an image sequence through --video: every frame.
  const std::string dir = temp("calib-seq");
  testing_support::run({"/bin/mkdir", "-p", dir});
  for (int k = 0; k < 6; ++k)
    testing_support::run({"/bin/cp", args[7 + k], dir + "/v" + std::to_string(k) + ".png"});
  ASSERT_EQ(testing_support::run({tool("vorlinde-calib"), "--board", "7x7", "--square", "10", "-o", temp("seq.dat"),
                                  "--video", "-file=" + dir + "/v%d.png"},
                                 &out),
            0) << out;
  EXPECT_NE(out.find("calibration from 6 views"), std::string::npos) << out;

  // A board counted by its squares, and a file that is not there.
  args[2] = "8x8";
  args.push_back(temp("no-such-view.png"));
  EXPECT_EQ(testing_support::run(args, &out), 1);
  EXPECT_NE(out.find("--board counts the inner corners (a board of 10x7 squares is 9x6)"), std::string::npos) << out;
  EXPECT_NE(out.find("no-such-view.png: cannot be read"), std::string::npos) << out;
  EXPECT_EQ(out.find("WARN"), std::string::npos) << out;
}
