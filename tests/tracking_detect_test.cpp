// Detection and pose on frames rendered through a known, distorting
// camera: identity, corner order, orientation, pose accuracy, history,
// the confidence cut-off, the threshold and the image border.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstring>
#include <tuple>

#include <AR/ar.h>

#include "marker.h"
#include "scene.h"
#include "tracking_support.h"

using namespace tracking_test;

namespace
{
  struct Rig
  {
    Rig() : cam(camera()), scene(cam, 11)
    {
      arInitCparam(&cam);
      id = arLoadPatt(dataFile("patt.vesk").c_str());
    }
    ARParam cam;
    synth::Scene scene;
    int id;
  };

  Rig& rig()
  {
    static Rig r;
    return r;
  }

  // A frame of grey markers on white, drawn without any camera: the dark
  // cells at grey level `dark`, the marker's left edge at column x0.
  cv::Mat flatMarker(int dark, int x0, int side = 256)
  {
    cv::Mat frame(480, 640, CV_8UC3, cv::Scalar::all(255));
    cv::Mat marker = synth::renderMarker(side);
    marker.setTo(cv::Scalar::all(dark), marker == 0);
    cv::Rect where(x0, 100, side, side);
    where &= cv::Rect(0, 0, 640, 480);
    marker(cv::Rect(0, 0, where.width, where.height)).copyTo(frame(where));
    cv::Mat bgra;
    cv::cvtColor(frame, bgra, cv::COLOR_BGR2BGRA);
    return bgra;
  }

  // Paints the marker's interior (the pattern area) white.
  void coverInterior(cv::Mat& frame, const ARParam& cam, const double pose[3][4])
  {
    const double c[4][2] = {{-19, 19}, {19, 19}, {19, -19}, {-19, -19}};
    std::vector<cv::Point> poly;
    for (const auto& p : c)
      {
        double u, v, ou, ov;
        project(cam, pose, p[0], p[1], u, v);
        arParamIdeal2Observ(cam.dist_factor, u, v, &ou, &ov);
        poly.emplace_back(static_cast<int>(ou), static_cast<int>(ov));
      }
    cv::fillConvexPoly(frame, poly, cv::Scalar(255, 255, 255, 255));
  }

  int detectCount(const cv::Mat& frame, int thresh, int id)
  {
    ARMarkerInfo* list;
    int n;
    EXPECT_EQ(arDetectMarkerLite(frame.data, thresh, &list, &n), 0);
    int count = 0;
    for (int i = 0; i < n; ++i)
      count += list[i].id == id;
    return count;
  }
}

// distance (mm), tilt about the camera's X axis, about its Y axis, roll
class PoseGrid : public ::testing::TestWithParam<std::tuple<double, double, double, double> > {};

TEST_P(PoseGrid, IdentityCornersAndPose)
{
  double z, rx, ry, roll;
  std::tie(z, rx, ry, roll) = GetParam();
  Rig& r = rig();
  double truth[3][4];
  synth::poseAt(r.cam, 300, 260, z, rx, ry, roll, truth);
  cv::Mat frame = r.scene.render(truth);
  ARMarkerInfo* list;
  int n;
  ASSERT_EQ(arDetectMarkerLite(frame.data, 100, &list, &n), 0);
  ARMarkerInfo* m = best(list, n, r.id);
  ASSERT_NE(m, nullptr) << n << " candidates, none identified";
  EXPECT_GE(m->cf, 0.5);
  // Clockwise on screen (y down): positive shoelace sum.
  double shoelace = 0;
  for (int i = 0; i < 4; ++i)
    shoelace += m->vertex[i][0] * m->vertex[(i + 1) % 4][1] - m->vertex[(i + 1) % 4][0] * m->vertex[i][1];
  EXPECT_GT(shoelace, 0);
  // The pattern's top-left corner is vertex[(4 - dir) % 4], within a pixel.
  const double corners[4][2] = {{-40, 40}, {40, 40}, {40, -40}, {-40, -40}};
  for (int k = 0; k < 4; ++k)
    {
      double u, v;
      project(r.cam, truth, corners[k][0], corners[k][1], u, v);
      const double* found = m->vertex[(4 + k - m->dir) % 4];
      EXPECT_NEAR(found[0], u, 1.0) << "corner " << k;
      EXPECT_NEAR(found[1], v, 1.0) << "corner " << k;
    }
  double center[2] = {0, 0}, pose[3][4];
  double error = arGetTransMat(m, center, 80.0, pose);
  ASSERT_GE(error, 0);
  EXPECT_LT(error, 1.0);
  EXPECT_LT(translationError(pose, truth), 0.01 * z);
  EXPECT_LT(rotationError(pose, truth), 1.0);
  EXPECT_LT(pose[2][2], 0) << "marker Z points towards the camera";
}

INSTANTIATE_TEST_SUITE_P(
  Distances, PoseGrid,
  ::testing::Values(std::make_tuple(300.0, 0.0, 0.0, 0.0), std::make_tuple(300.0, 60.0, 0.0, 23.0),
                    std::make_tuple(300.0, -25.0, 55.0, 180.0), std::make_tuple(500.0, 45.0, 10.0, 90.0),
                    std::make_tuple(650.0, 0.0, -60.0, 270.0), std::make_tuple(800.0, 60.0, 0.0, 0.0),
                    std::make_tuple(1000.0, 0.0, 0.0, 47.0), std::make_tuple(1000.0, 30.0, -30.0, 135.0),
                    std::make_tuple(1000.0, 45.0, 0.0, 200.0)));

TEST(Orientation, FourTurnsGiveFourDirections)
{
  Rig& r = rig();
  const int expected[4] = {2, 3, 0, 1};  // upright, then 90, 180, 270 degrees counter-clockwise
  for (int turn = 0; turn < 4; ++turn)
    {
      double truth[3][4];
      synth::poseAt(r.cam, 320, 240, 450, 0, 0, 90.0 * turn, truth);
      cv::Mat frame = r.scene.render(truth);
      ARMarkerInfo* list;
      int n;
      arDetectMarkerLite(frame.data, 100, &list, &n);
      ARMarkerInfo* m = best(list, n, r.id);
      ASSERT_NE(m, nullptr);
      EXPECT_EQ(m->dir, expected[turn]) << 90 * turn << " degrees";
      EXPECT_GT(m->cf, 0.9);
    }
}

TEST(History, CarriesIdThroughABadFrameAndReportsALostMarkerTwice)
{
  Rig& r = rig();
  double truth[3][4];
  synth::poseAt(r.cam, 330, 250, 420, 20, -15, 30, truth);
  cv::Mat seen = r.scene.render(truth);
  // The same frame with the interior painted over: a square without pattern.
  cv::Mat covered = seen.clone();
  coverInterior(covered, r.cam, truth);
  cv::Mat blank = r.scene.render(nullptr);
  const cv::Mat* frames[] = {&seen, &seen, &covered, &blank, &blank, &blank, &blank};
  // Expected identified markers per frame, with and without history.
  const int withHistory[] = {1, 1, 1, 1, 1, 0, 0};
  const int lite[] = {1, 1, 0, 0, 0, 0, 0};
  int dir = -1;
  double lastVertex = 0, firstVertex[4][2];
  for (int f = 0; f < 7; ++f)
    {
      ARMarkerInfo* list;
      int n;
      ASSERT_EQ(arDetectMarker(frames[f]->data, 100, &list, &n), 0);
      ARMarkerInfo* m = best(list, n, r.id);
      EXPECT_EQ(m != nullptr ? 1 : 0, withHistory[f]) << "frame " << f;
      if (m != nullptr)
        {
          if (dir < 0)
            {
              dir = m->dir;
              std::memcpy(firstVertex, m->vertex, sizeof firstVertex);
            }
          EXPECT_EQ(m->dir, dir) << "frame " << f;
          // The square that carries the id on is measured as well as the
          // marker was (its pose is drawn), not left where its outline is.
          if (f == 2)
            for (int k = 0; k < 4; ++k)
              {
                EXPECT_NEAR(m->vertex[k][0], firstVertex[k][0], 0.1) << "corner " << k;
                EXPECT_NEAR(m->vertex[k][1], firstVertex[k][1], 0.1) << "corner " << k;
              }
          if (f >= 3)
            {
              EXPECT_EQ(m->vertex[0][0], lastVertex) << "a lost marker is reported unchanged";
            }
          lastVertex = m->vertex[0][0];
        }
      ASSERT_EQ(arDetectMarkerLite(frames[f]->data, 100, &list, &n), 0);
      EXPECT_EQ(best(list, n, r.id) != nullptr ? 1 : 0, lite[f]) << "lite, frame " << f;
    }
}

TEST(Confidence, WeakMatchesStayInTheListWithoutId)
{
  Rig& r = rig();
  double truth[3][4];
  synth::poseAt(r.cam, 320, 240, 400, 10, 10, 0, truth);
  cv::Mat frame = r.scene.render(truth);
  coverInterior(frame, r.cam, truth);
  ARMarkerInfo* list;
  int n;
  ASSERT_EQ(arDetectMarkerLite(frame.data, 100, &list, &n), 0);
  int squares = 0;
  for (int i = 0; i < n; ++i)
    if (list[i].area > 2000)
      {
        ++squares;
        EXPECT_EQ(list[i].id, -1);
        EXPECT_LT(list[i].cf, 0.5);
        // Its corners are where the square's are, in order, clockwise.
        const double corners[4][2] = {{-40, 40}, {40, 40}, {40, -40}, {-40, -40}};
        double u[4], v[4];
        for (int k = 0; k < 4; ++k)
          project(r.cam, truth, corners[k][0], corners[k][1], u[k], v[k]);
        int first = 0;
        for (int k = 1; k < 4; ++k)
          if (std::hypot(list[i].vertex[k][0] - u[0], list[i].vertex[k][1] - v[0]) <
              std::hypot(list[i].vertex[first][0] - u[0], list[i].vertex[first][1] - v[0]))
            first = k;
        for (int k = 0; k < 4; ++k)
          {
            EXPECT_NEAR(list[i].vertex[(first + k) % 4][0], u[k], 1.0) << "corner " << k;
            EXPECT_NEAR(list[i].vertex[(first + k) % 4][1], v[k], 1.0) << "corner " << k;
          }
      }
  EXPECT_EQ(squares, 1) << "the unidentified square is still reported";
}

TEST(Threshold, DarkIsAtMostThreeTimesTheThresholdAndTheBorderIsOff)
{
  ARParam cam = synth::nominalCamera(640, 480);
  arInitCparam(&cam);
  int id = arLoadPatt(dataFile("patt.vesk").c_str());
  EXPECT_EQ(detectCount(flatMarker(100, 200), 100, id), 1) << "grey 100 is dark at 100";
  EXPECT_EQ(detectCount(flatMarker(101, 200), 100, id), 0) << "grey 101 is not";
  EXPECT_EQ(detectCount(flatMarker(0, 200), 0, id), 1) << "black is dark at 0";
  EXPECT_EQ(detectCount(flatMarker(1, 200), 0, id), 0) << "grey 1 is not";
  EXPECT_EQ(detectCount(flatMarker(254, 200), 254, id), 1) << "grey 254 is dark at 254";
  EXPECT_EQ(detectCount(flatMarker(0, 1), 100, id), 0) << "touching the inset border";
  EXPECT_EQ(detectCount(flatMarker(0, 2), 100, id), 1);
  ARMarkerInfo* list;
  int n;
  ARUint8* none = nullptr;
  EXPECT_EQ(arDetectMarker(none, 100, &list, &n), -1);
}
