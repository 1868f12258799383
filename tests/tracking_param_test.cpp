// Camera parameter records: the file's byte layout, resizing, printing and
// the distortion model, against values worked out by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <AR/param.h>

namespace
{
  ARParam handRecord()
  {
    ARParam p = {};
    p.xsize = 640;
    p.ysize = 480;
    double mat[3][4] = {{800, 0, 320, 0}, {0, 800, 240, 0}, {0, 0, 1, 0}};
    std::memcpy(p.mat, mat, sizeof mat);
    p.dist_factor[0] = 320;
    p.dist_factor[1] = 240;
    p.dist_factor[2] = 100;
    p.dist_factor[3] = 1;
    return p;
  }

  std::string tempPath(const char* name)
  {
    return std::string(::testing::TempDir()) + name;
  }

  std::vector<unsigned char> bytesOf(const std::string& path)
  {
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  void writeBytes(const std::string& path, const std::vector<unsigned char>& bytes)
  {
    std::ofstream out(path.c_str(), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }

  bool same(const ARParam& a, const ARParam& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
}

TEST(CameraFile, BigEndianLayoutRoundTripAndShortFiles)
{
  ARParam p = handRecord();
  const ARParam before = p;
  std::string path = tempPath("camera.dat");
  ASSERT_EQ(arParamSave(&path[0], 1, &p), 0);
  EXPECT_TRUE(same(p, before)) << "the caller's record must not change";

  std::vector<unsigned char> bytes = bytesOf(path);
  ASSERT_EQ(bytes.size(), 136u);
  const std::vector<unsigned char> head = {0x00, 0x00, 0x02, 0x80, 0x00, 0x00, 0x01, 0xe0};
  EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 8), head);
  // 800.0 = 0x4089000000000000 at mat[0][0]; 1.0 = 0x3ff0000000000000 at
  // mat[2][2] (offset 8 + 10*8) and at dist_factor[3] (offset 128).
  const std::vector<unsigned char> eight_hundred = {0x40, 0x89, 0, 0, 0, 0, 0, 0};
  const std::vector<unsigned char> one = {0x3f, 0xf0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + 8, bytes.begin() + 16), eight_hundred);
  EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + 88, bytes.begin() + 96), one);
  EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + 128, bytes.begin() + 136), one);

  ARParam loaded;
  ASSERT_EQ(arParamLoad(path.c_str(), 1, &loaded), 0);
  EXPECT_TRUE(same(loaded, before));

  // Two records fill two arguments; one record cannot fill two.
  std::vector<unsigned char> twice = bytes;
  twice.insert(twice.end(), bytes.begin(), bytes.end());
  std::string two = tempPath("two.dat");
  writeBytes(two, twice);
  ARParam a = {}, b = {};
  ASSERT_EQ(arParamLoad(two.c_str(), 2, &a, &b), 0);
  EXPECT_TRUE(same(a, before) && same(b, before));
  a = ARParam(), b = ARParam();
  EXPECT_EQ(arParamLoad(path.c_str(), 2, &a, &b), -1);
  EXPECT_TRUE(same(a, before)) << "records read before the failure stay filled";

  std::string shortFile = tempPath("short.dat");
  writeBytes(shortFile, std::vector<unsigned char>(bytes.begin(), bytes.end() - 1));
  EXPECT_EQ(arParamLoad(shortFile.c_str(), 1, &a), -1);
  EXPECT_EQ(arParamLoad(path.c_str(), 0, &a), -1);
  EXPECT_EQ(arParamLoad(tempPath("missing.dat").c_str(), 1, &a), -1);
  std::string unwritable = "/nonexistent-dir/camera.dat";
  EXPECT_EQ(arParamSave(&unwritable[0], 1, &p), -1);
}

TEST(CameraFile, ValuesNoCameraHasAreRefusedInOneLine)
{
  struct Case
  {
    const char* what;
    void (*change)(ARParam&);
    const char* says;
  };
  const Case cases[] = {
    {"width 0", [](ARParam& p) { p.xsize = 0; }, "image size 0 x 480 is outside"},
    {"height 20000", [](ARParam& p) { p.ysize = 20000; }, "image size 640 x 20000"},
    {"fx NaN", [](ARParam& p) { p.mat[0][0] = std::nan(""); }, "mat[0][0] = nan is not a finite number"},
    {"cy infinite", [](ARParam& p) { p.mat[1][2] = HUGE_VAL; }, "mat[1][2] = inf is not a finite number"},
    {"fx 0", [](ARParam& p) { p.mat[0][0] = 0; }, "focal length fx (mat[0][0]) = 0 pixels"},
    {"fx 1e300", [](ARParam& p) { p.mat[0][0] = 1e300; }, "focal length fx (mat[0][0]) = 1e+300"},
    {"fy negative", [](ARParam& p) { p.mat[1][1] = -800; }, "focal length fy (mat[1][1]) = -800"},
    {"scale 0", [](ARParam& p) { p.dist_factor[3] = 0; }, "distortion scale (dist_factor[3]) = 0"},
    {"centre NaN", [](ARParam& p) { p.dist_factor[0] = std::nan(""); }, "dist_factor[0] = nan"},
    {"last row 0", [](ARParam& p) { p.mat[2][2] = 0; }, "not invertible"},
  };
  const std::string path = tempPath("bad.dat");
  auto refused = [&](const char* what, const char* says) {
    ARParam target = handRecord();
    const ARParam before = target;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(arParamLoad(path.c_str(), 1, &target), -1) << what;
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("arParamLoad: " + path + ": ", 0), 0u) << what << ": " << err;
    EXPECT_NE(err.find(says), std::string::npos) << what << ": " << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << what << ": " << err;
    EXPECT_TRUE(same(target, before)) << what << ": the target changed";
  };
  for (const Case& c : cases)
    {
      ARParam p = handRecord();
      c.change(p);
      ASSERT_EQ(arParamSave(const_cast<char*>(path.c_str()), 1, &p), 0);
      refused(c.what, c.says);
    }

  // Written in the other byte order, or random bytes.
  ARParam p = handRecord();
  ASSERT_EQ(arParamSave(const_cast<char*>(path.c_str()), 1, &p), 0);
  std::vector<unsigned char> bytes = bytesOf(path);
  std::reverse(bytes.begin(), bytes.begin() + 4);
  std::reverse(bytes.begin() + 4, bytes.begin() + 8);
  for (std::size_t at = 8; at < 136; at += 8)
    std::reverse(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at) + 8);
  writeBytes(path, bytes);
  refused("little-endian", "is outside 1..16384 (a file of another byte order?)");
  std::srand(7);
  for (unsigned char& b : bytes)
    b = static_cast<unsigned char>(std::rand());
  writeBytes(path, bytes);
  refused("random bytes", "arParamLoad");

  // Extreme but possible: a very long lens.
  p.mat[0][0] = p.mat[1][1] = 999.0 * 640;
  ASSERT_EQ(arParamSave(const_cast<char*>(path.c_str()), 1, &p), 0);
  ARParam loaded;
  EXPECT_EQ(arParamLoad(path.c_str(), 1, &loaded), 0);
}

TEST(CameraFile, DisplayText)
{
  ARParam p = handRecord();
  p.dist_factor[2] = 0;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(arParamDisp(&p), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "--------------------------------------\n"
            "SIZE = 640, 480\n"
            "Distortion factor = 320.000000 240.000000 0.000000 1.000000\n"
            "800.00000 0.00000 320.00000 0.00000 \n"
            "0.00000 800.00000 240.00000 0.00000 \n"
            "0.00000 0.00000 1.00000 0.00000 \n"
            "--------------------------------------\n");
}

TEST(CameraModel, ChangeSizeScalesByTheXRatioAlsoInPlace)
{
  ARParam source = handRecord();
  ARParam expected = {};
  expected.xsize = 320;
  expected.ysize = 200;
  double mat[3][4] = {{400, 0, 160, 0}, {0, 400, 120, 0}, {0, 0, 1, 0}};
  std::memcpy(expected.mat, mat, sizeof mat);
  expected.dist_factor[0] = 160;
  expected.dist_factor[1] = 120;
  expected.dist_factor[2] = 400;  // f / k^2 with k = 1/2
  expected.dist_factor[3] = 1;
  ARParam out;
  ASSERT_EQ(arParamChangeSize(&source, 320, 200, &out), 0);
  EXPECT_TRUE(same(out, expected));
  ARParam inPlace = handRecord();
  ASSERT_EQ(arParamChangeSize(&inPlace, 320, 200, &inPlace), 0);
  EXPECT_TRUE(same(inPlace, expected)) << "an in-place resize must scale too";
}

TEST(CameraModel, DistortionByHandAndRoundTrip)
{
  const double dist[4] = {320, 240, 100, 1};
  double ox, oy;
  arParamIdeal2Observ(dist, 420, 240, &ox, &oy);
  EXPECT_NEAR(ox, 419.0, 1e-12);
  EXPECT_NEAR(oy, 240.0, 1e-12);
  arParamIdeal2Observ(dist, 320, 240, &ox, &oy);
  EXPECT_EQ(ox, 320.0);
  EXPECT_EQ(oy, 240.0);
  double ix, iy;
  arParamObserv2Ideal(dist, 320, 240, &ix, &iy);
  EXPECT_EQ(ix, 320.0);
  EXPECT_EQ(iy, 240.0);
  const double scaled[4] = {318.5, 242.25, 40, 0.985};
  for (double x = 220; x <= 420; x += 25)
    for (double y = 150; y <= 330; y += 30)
      {
        arParamIdeal2Observ(scaled, x, y, &ox, &oy);
        arParamObserv2Ideal(scaled, ox, oy, &ix, &iy);
        EXPECT_NEAR(ix, x, 1e-6);
        EXPECT_NEAR(iy, y, 1e-6);
      }
}
