// The viewer's plain functions: which marker it stands the arm on, the
// keys, the rate line at ESC, and the OpenGL camera against the camera
// matrix.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstring>

#include <AR/gsub.h>

#include "arm_angle.h"
#include "viewer.h"
#include "viewer_state.h"

namespace
{
  ARMarkerInfo candidate(int id, double cf)
  {
    ARMarkerInfo m = {};
    m.id = id;
    m.cf = cf;
    return m;
  }
}

TEST(MarkerChoice, MostConfidentOfThePatternFirstOfEqual)
{
  struct Case { std::vector<ARMarkerInfo> list; int expected; const char* what; } cases[] = {
    {{candidate(3, 0.6), candidate(3, 0.8)}, 1, "0.6 then 0.8: the second"},
    {{candidate(3, 0.7), candidate(3, 0.7)}, 0, "equal: the first"},
    {{candidate(1, 0.9), candidate(-1, 0.45), candidate(2, 0.99)}, -1, "other patterns only"},
    {{candidate(-1, 0.45), candidate(3, 0.55)}, 1, "below 0.5 carries no id"},
    {{}, -1, "no candidates"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(chooseMarker(c.list.data(), static_cast<int>(c.list.size()), 3), c.expected) << c.what;
}

TEST(Keys, StepTheirJointsAndNothingElse)
{
  for (auto& a : arm_angle)
    a = 0.0f;
  for (unsigned char key : {'c', 'v', 'v', 'b', 'b', 'b', 'C', 'V', 'B', 'x', ' ', '\r'})
    onKey(key, 0, 0);
  EXPECT_EQ(arm_angle[0].load(), 10.0f);
  EXPECT_EQ(arm_angle[1].load(), 20.0f);
  EXPECT_EQ(arm_angle[2].load(), 30.0f);
  arm_angle[0] = 0.0f;
  for (int i = 0; i < 36; ++i)
    onKey('c', 0, 0);
  EXPECT_EQ(arm_angle[0].load(), 360.0f) << "angles are not wrapped";
}

TEST(KeysDeathTest, EscapeBeforeAnyFramePrintsZeroRateAndExitsZero)
{
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  frame_count = 0;
  EXPECT_EXIT(
    {
      dup2(2, 1);  // the rate line goes to standard output
      onKey(0x1b, 0, 0);
    },
    ::testing::ExitedWithCode(0), "\\*\\*\\* 0\\.000000 \\(frame/sec\\)");
}

TEST(GlCamera, ProjectionByHandAndAgainstTheCameraMatrix)
{
  ARParam cam = {};
  cam.xsize = 640;
  cam.ysize = 480;
  double mat[3][4] = {{800, 0, 320, 0}, {0, 800, 240, 0}, {0, 0, 1, 0}};
  std::memcpy(cam.mat, mat, sizeof mat);
  cam.dist_factor[3] = 1;
  // The y row flipped as argInit flips it.
  ARParam flipped = cam;
  for (int i = 0; i < 4; ++i)
    flipped.mat[1][i] = (cam.ysize - 1) * cam.mat[2][i] - cam.mat[1][i];
  double m[16];
  argConvGLcpara(&flipped, 50.0, 5000.0, m);
  EXPECT_NEAR(m[0], 2.5, 1e-9);
  EXPECT_NEAR(m[5], -3.333333, 1e-6);
  EXPECT_NEAR(m[8], 0.0, 1e-9);
  EXPECT_NEAR(m[9], -0.004167, 1e-6);
  EXPECT_NEAR(m[11], 1.0, 1e-12);

  // A point of a tilted marker, through projection . model-view . viewport,
  // lands where mat.[R|t] puts it after the (ysize - 1) flip.
  const double a = 0.5;
  double pose[3][4] = {{std::cos(a), 0, std::sin(a), 30}, {0, -1, 0, -20}, {std::sin(a), 0, -std::cos(a), 600}};
  double gl[16];
  argConvGlpara(pose, gl);
  EXPECT_EQ(gl[12], 30.0);
  EXPECT_EQ(gl[1], 0.0);
  EXPECT_EQ(gl[2], std::sin(a));
  EXPECT_EQ(gl[15], 1.0);
  const double P[4] = {25, -35, 40, 1};
  double eye[4] = {0, 0, 0, 0}, clip[4] = {0, 0, 0, 0};
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      eye[r] += gl[r + 4 * c] * P[c];
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      clip[r] += m[r + 4 * c] * eye[c];
  const double winX = (clip[0] / clip[3] + 1) / 2 * 640;
  const double winY = (clip[1] / clip[3] + 1) / 2 * 480;  // from the bottom
  double cam3[3];
  for (int r = 0; r < 3; ++r)
    cam3[r] = pose[r][0] * P[0] + pose[r][1] * P[1] + pose[r][2] * P[2] + pose[r][3];
  const double u = (800 * cam3[0] + 320 * cam3[2]) / cam3[2];
  const double v = (800 * cam3[1] + 240 * cam3[2]) / cam3[2];
  EXPECT_NEAR(winX, u, 1e-6);
  EXPECT_NEAR(winY, (480 - 1) - v, 1e-6);
  EXPECT_GT(clip[3], 0) << "in front of the camera";
}
