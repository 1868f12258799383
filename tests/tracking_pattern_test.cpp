// Pattern files: what the loader reads, where each block and colour plane
// goes, the slots, and the failures.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <fstream>
#include <vector>

#include <AR/ar.h>

#include "patternfile.h"
#include "scene.h"
#include "tracking_support.h"

namespace
{
  std::string temp(const char* name) { return std::string(::testing::TempDir()) + name; }

  std::vector<int> readInts(const std::string& path)
  {
    std::ifstream in(path.c_str());
    std::vector<int> values;
    int v;
    while (in >> v)
      values.push_back(v);
    return values;
  }

  // A marker whose interior is blue on the left and red on the right, with
  // a black bar at the top, rendered flat on white.
  cv::Mat colourMarker(cv::Mat& area16)
  {
    area16.create(16, 16, CV_8UC3);
    for (int r = 0; r < 16; ++r)
      for (int c = 0; c < 16; ++c)
        area16.at<cv::Vec3b>(r, c) = r < 4 ? cv::Vec3b(0, 0, 0)
                                           : (c < 8 ? cv::Vec3b(255, 60, 0) : cv::Vec3b(0, 60, 255));
    cv::Mat frame(480, 640, CV_8UC3, cv::Scalar::all(255));
    const int cell = 8, x0 = 200, y0 = 120;  // 32 cells of 8 pixels
    cv::rectangle(frame, cv::Rect(x0, y0, 32 * cell, 32 * cell), cv::Scalar::all(0), cv::FILLED);
    cv::Mat interior;
    cv::resize(area16, interior, cv::Size(16 * cell, 16 * cell), 0, 0, cv::INTER_NEAREST);
    interior.copyTo(frame(cv::Rect(x0 + 8 * cell, y0 + 8 * cell, 16 * cell, 16 * cell)));
    cv::Mat bgra;
    cv::cvtColor(frame, bgra, cv::COLOR_BGR2BGRA);
    return bgra;
  }
}

TEST(PatternFile, WrittenBlocksTurnCounterClockwiseInTrainerLayout)
{
  cv::Mat area = synth::markerPatternArea();
  std::string path = temp("ours.patt");
  ASSERT_TRUE(synth::writePatternFile(path, synth::blocksFromUpright(area)));
  std::vector<int> v = readInts(path);
  ASSERT_EQ(v.size(), 3072u);
  auto at = [&](int block, int plane, int row, int col) {
    return v[static_cast<std::size_t>(((block * 3 + plane) * 16 + row) * 16 + col)];
  };
  for (int j = 1; j < 4; ++j)
    for (int plane = 0; plane < 3; ++plane)
      for (int r = 0; r < 16; ++r)
        for (int c = 0; c < 16; ++c)
          ASSERT_EQ(at(j, plane, r, c), at(j - 1, plane, c, 15 - r)) << "block " << j;
  std::ifstream in(path.c_str(), std::ios::binary | std::ios::ate);
  EXPECT_EQ(static_cast<long>(in.tellg()), 12484L);
  // The shipped pattern is exactly this file.
  EXPECT_EQ(readInts(tracking_test::dataFile("patt.vesk")), v);
}

TEST(PatternFile, PlanesAreBlueGreenRed)
{
  cv::Mat area;
  cv::Mat frame = colourMarker(area);
  cv::Mat swapped;
  cv::cvtColor(area, swapped, cv::COLOR_BGR2RGB);
  ASSERT_TRUE(synth::writePatternFile(temp("bgr.patt"), synth::blocksFromUpright(area)));
  ASSERT_TRUE(synth::writePatternFile(temp("rgb.patt"), synth::blocksFromUpright(swapped)));
  int rgb = arLoadPatt(temp("rgb.patt").c_str());
  int bgr = arLoadPatt(temp("bgr.patt").c_str());
  ASSERT_EQ(rgb, 0);
  ASSERT_EQ(bgr, 1);
  ARParam cam = synth::nominalCamera(640, 480);
  arInitCparam(&cam);
  ARMarkerInfo* list;
  int n;
  ASSERT_EQ(arDetectMarkerLite(frame.data, 100, &list, &n), 0);
  ARMarkerInfo* m = tracking_test::best(list, n, bgr);
  ASSERT_NE(m, nullptr) << "the file in B, G, R plane order must win";
  EXPECT_GT(m->cf, 0.95);
  EXPECT_EQ(m->dir, 2);  // upright: vertex 2 is the top-left corner
}

TEST(PatternFile, SlotsFailuresAndMessages)
{
  std::string good = tracking_test::dataFile("patt.vesk");
  EXPECT_EQ(arLoadPatt(good.c_str()), 0);
  EXPECT_EQ(arLoadPatt(good.c_str()), 1);
  EXPECT_EQ(arLoadPatt(good.c_str()), 2);
  EXPECT_EQ(arFreePatt(1), 1);
  EXPECT_EQ(arFreePatt(1), -1);
  EXPECT_EQ(arLoadPatt(good.c_str()), 1) << "the lowest free slot is reused";
  EXPECT_EQ(arDeactivatePatt(7), -1);
  EXPECT_EQ(arActivatePatt(2), 1);

  ::testing::internal::CaptureStdout();
  EXPECT_EQ(arLoadPatt("no/such.patt"), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "\"no/such.patt\" not found!!\n");

  std::vector<int> v = readInts(good);
  std::string shortFile = temp("short.patt");
  {
    std::ofstream out(shortFile.c_str());
    for (std::size_t i = 0; i + 1 < v.size(); ++i)
      out << v[i] << " ";
    out << "x";
  }
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(arLoadPatt(shortFile.c_str()), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Pattern Data read error!!\n");

  // Values no pattern holds, or numbers that fit no int.
  const char* wrong[] = {"300", "-1", "99999999999999999999"};
  for (const char* value : wrong)
    {
      std::string badFile = temp("bad.patt");
      {
        std::ofstream out(badFile.c_str());
        for (std::size_t i = 0; i < v.size(); ++i)
          out << (i == 16 ? value : std::to_string(v[i])) << " ";
      }
      ::testing::internal::CaptureStdout();
      ::testing::internal::CaptureStderr();
      EXPECT_EQ(arLoadPatt(badFile.c_str()), -1) << value;
      EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Pattern Data read error!!\n") << value;
      const std::string err = ::testing::internal::GetCapturedStderr();
      if (std::string(value).size() < 5)
        {
          EXPECT_EQ(err, "arLoadPatt: " + badFile + ": value number 17 is outside 0..255\n");
        }
    }

  for (int i = 3; i < AR_PATT_NUM_MAX; ++i)
    ASSERT_EQ(arLoadPatt(good.c_str()), i);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(arLoadPatt(good.c_str()), -1) << "the 51st pattern";
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}
