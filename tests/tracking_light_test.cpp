// Detection in rooms as they are: the threshold modes in dim light and in
// light falling across the frame, sensor noise, markers small, steep and
// close to an HD camera.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstring>
#include <memory>

#include <AR/ar.h>

#include "label.h"
#include "scene.h"
#include "tracking_support.h"

using namespace tracking_test;

namespace
{
  // Every test starts and ends in the manual mode, the library's default.
  class Light : public ::testing::Test
  {
  protected:
    void SetUp() override { ASSERT_EQ(arSetLabelingThreshMode(AR_LABELING_THRESH_MODE_MANUAL), 0); }
    void TearDown() override { arSetLabelingThreshMode(AR_LABELING_THRESH_MODE_MANUAL); }

    // A camera of the size asked, our pattern loaded, a background whose
    // greys straddle the usual threshold.
    void camera(int width, int height)
    {
      const ARParam nominal = synth::nominalCamera(640, 480);
      arParamChangeSize(const_cast<ARParam*>(&nominal), width, height, &cam);
      arInitCparam(&cam);
      if (id < 0)
        id = arLoadPatt(dataFile("patt.vesk").c_str());
      ASSERT_GE(id, 0);
      scene.reset(new synth::Scene(cam, 9));
      scene->setBackground(synth::texturedBackground(width, height, 3));
    }

    cv::Mat frame(double u, double v, double z, double rx, double ry, double roll)
    {
      synth::poseAt(cam, u, v, z, rx, ry, roll, truth);
      return scene->render(truth);
    }

    // Our marker, identified, or null.
    const ARMarkerInfo* find(const cv::Mat& image, int thresh = 100)
    {
      ARMarkerInfo* list;
      int n;
      EXPECT_EQ(arDetectMarkerLite(image.data, thresh, &list, &n), 0);
      return best(list, n, id);
    }

    ARParam cam;
    std::unique_ptr<synth::Scene> scene;
    double truth[3][4];
    static int id;
  };
  int Light::id = -1;

  int lastThresh()
  {
    int t = -1;
    EXPECT_EQ(arGetLabelingThresh(&t), 0);
    return t;
  }

  const AR_LABELING_THRESH_MODE kAutomatic[] = {AR_LABELING_THRESH_MODE_AUTO_MEDIAN, AR_LABELING_THRESH_MODE_AUTO_OTSU,
                                                AR_LABELING_THRESH_MODE_AUTO_ADAPTIVE, AR_LABELING_THRESH_MODE_AUTO};
}

TEST_F(Light, ModesAreSetReadAndUnknownOnesRefused)
{
  AR_LABELING_THRESH_MODE mode;
  ASSERT_EQ(arGetLabelingThreshMode(&mode), 0);
  EXPECT_EQ(mode, AR_LABELING_THRESH_MODE_MANUAL);
  for (AR_LABELING_THRESH_MODE m : kAutomatic)
    {
      ASSERT_EQ(arSetLabelingThreshMode(m), 0);
      ASSERT_EQ(arGetLabelingThreshMode(&mode), 0);
      EXPECT_EQ(mode, m);
    }
  EXPECT_EQ(arSetLabelingThreshMode(static_cast<AR_LABELING_THRESH_MODE>(9)), -1);
  EXPECT_EQ(arSetLabelingThreshMode(static_cast<AR_LABELING_THRESH_MODE>(-1)), -1);
  ASSERT_EQ(arGetLabelingThreshMode(&mode), 0);
  EXPECT_EQ(mode, AR_LABELING_THRESH_MODE_AUTO) << "a refused mode changes nothing";
  EXPECT_EQ(arGetLabelingThreshMode(nullptr), -1);
  EXPECT_EQ(arGetLabelingThresh(nullptr), -1);
}

TEST_F(Light, AutomaticModesFindTheMarkerInDimAndFallingLightWhereManualDoesNot)
{
  camera(640, 480);
  // Dim: the white paper at grey 89, below the usual threshold.
  cv::Mat dim = frame(330, 250, 450, 20, -15, 30);
  double dimTruth[3][4];
  std::memcpy(dimTruth, truth, sizeof truth);
  synth::light(dim, 0.35, 0.35);
  synth::degrade(dim, 3, 0, 1);
  // Light falling from the left to a third on the right, where the marker is.
  cv::Mat falling = frame(520, 260, 420, -10, 25, 200);
  double fallingTruth[3][4];
  std::memcpy(fallingTruth, truth, sizeof truth);
  synth::light(falling, 1.0, 0.3);
  synth::degrade(falling, 3, 0, 2);

  for (const cv::Mat* image : {&dim, &falling})
    {
      const bool isDim = image == &dim;
      SCOPED_TRACE(isDim ? "dim" : "falling light");
      std::memcpy(truth, isDim ? dimTruth : fallingTruth, sizeof truth);
      arSetLabelingThreshMode(AR_LABELING_THRESH_MODE_MANUAL);
      EXPECT_EQ(find(*image, 100), nullptr);
      EXPECT_EQ(lastThresh(), 100);
      for (AR_LABELING_THRESH_MODE m : kAutomatic)
        {
          SCOPED_TRACE(testing::Message() << "mode " << m);
          ASSERT_EQ(arSetLabelingThreshMode(m), 0);
          // Twice: the median mode starts from Otsu's threshold, then
          // takes its own from the marker it found.
          for (int pass = 0; pass < 2; ++pass)
            {
              const ARMarkerInfo* found = find(*image, 100);
              ASSERT_NE(found, nullptr) << "pass " << pass;
              EXPECT_GT(found->cf, 0.7);
              double center[2] = {0, 0}, pose[3][4];
              ASSERT_GE(arGetTransMat(const_cast<ARMarkerInfo*>(found), center, 80.0, pose), 0);
              EXPECT_LT(translationError(pose, truth), 0.01 * truth[2][3]);
              const int t = lastThresh();
              EXPECT_GT(t, 5);
              EXPECT_LT(t, isDim ? 89 : 200) << "between the black frame and the paper";
            }
        }
    }
}

// The recommended mode where a global threshold has no chance: a room at a
// quarter of the light, and a lamp to one side whose light falls to a tenth
// across the frame; markers near and far, in the light and in the shade.
TEST_F(Light, TheRecommendedModeHoldsInAVeryDimRoomAndBesideALamp)
{
  camera(640, 480);
  ASSERT_EQ(arSetLabelingThreshMode(AR_LABELING_THRESH_MODE_AUTO), 0);
  int missed = 0, tried = 0;
  for (double u : {120.0, 320.0, 520.0})
    for (double z : {300.0, 700.0, 1200.0})
      for (int room = 0; room < 2; ++room)
        {
          cv::Mat image = frame(u, 160 + z / 10, z, 25, -20, u / 3 + z / 7);
          if (room == 0)
            synth::light(image, 0.25, 0.25);
          else
            synth::light(image, 1.0, 0.1);
          synth::degrade(image, 3, 0.6, static_cast<unsigned>(u + z + room));
          ++tried;
          const ARMarkerInfo* m = find(image);
          double center[2] = {0, 0}, pose[3][4];
          if (m == nullptr || arGetTransMat(const_cast<ARMarkerInfo*>(m), center, 80.0, pose) < 0 ||
              translationError(pose, truth) > 0.01 * truth[2][3])
            {
              ++missed;
              ADD_FAILURE() << (room == 0 ? "dim room" : "lamp to the left") << ": marker at u " << u << ", " << z
                            << " mm " << (m == nullptr ? "not found" : "found in the wrong place");
            }
        }
  EXPECT_EQ(missed, 0) << "of " << tried;
}

TEST_F(Light, SensorNoiseFindsTheSameMarkerAsTheCleanFrame)
{
  camera(640, 480);
  const cv::Mat clean = frame(300, 220, 600, 30, 10, 75);
  cv::Mat noisy = clean.clone();
  synth::degrade(noisy, 8, 0, 5);
  for (AR_LABELING_THRESH_MODE m : {AR_LABELING_THRESH_MODE_MANUAL, AR_LABELING_THRESH_MODE_AUTO})
    {
      SCOPED_TRACE(testing::Message() << "mode " << m);
      arSetLabelingThreshMode(m);
      const ARMarkerInfo* a = find(clean);
      ASSERT_NE(a, nullptr);
      const ARMarkerInfo cleanOne = *a;
      const ARMarkerInfo* b = find(noisy);
      ASSERT_NE(b, nullptr);
      EXPECT_EQ(b->dir, cleanOne.dir);
      for (int k = 0; k < 4; ++k)
        EXPECT_LT(std::hypot(b->vertex[k][0] - cleanOne.vertex[k][0], b->vertex[k][1] - cleanOne.vertex[k][1]), 0.3);
    }
}

// A blurred edge is found where it is, not pulled towards the background
// beyond the paper: corners within an eighth of a pixel, near and far.
TEST_F(Light, BlurredEdgesAreFoundWhereTheyAre)
{
  camera(640, 480);
  for (double z : {400.0, 1000.0})
    for (double roll : {10.0, 100.0})
      {
        SCOPED_TRACE(testing::Message() << z << " mm, turned " << roll);
        cv::Mat image = frame(330, 250, z, 15, -10, roll);
        synth::degrade(image, 0, 1.5, 7);
        const ARMarkerInfo* m = find(image);
        ASSERT_NE(m, nullptr);
        double worst = 0;
        for (int k = 0; k < 4; ++k)
          {
            double u, v, nearest = 1e9;
            project(cam, truth, k == 0 || k == 3 ? -40 : 40, k < 2 ? 40 : -40, u, v);
            for (int j = 0; j < 4; ++j)
              nearest = std::min(nearest, std::hypot(m->vertex[j][0] - u, m->vertex[j][1] - v));
            worst = std::max(worst, nearest);
          }
        EXPECT_LT(worst, 0.12);
      }
}

TEST_F(Light, SmallSteepAndNearMarkersAreIdentified)
{
  camera(640, 480);
  // 20 pixels across, facing the camera; then far and tilted by 60 degrees.
  const double f = cam.mat[0][0];
  for (double roll : {0.0, 37.0, 90.0, 215.0})
    {
      SCOPED_TRACE(testing::Message() << "20 px, turned " << roll);
      ASSERT_NE(find(frame(320, 240, f * 80 / 20, 0, 0, roll)), nullptr);
    }
  for (double towards : {0.0, 90.0, 180.0, 270.0})
    {
      SCOPED_TRACE(testing::Message() << "60 degrees towards " << towards);
      const double rx = 60 * std::cos(towards * M_PI / 180), ry = 60 * std::sin(towards * M_PI / 180);
      ASSERT_NE(find(frame(300, 260, 1100, rx, ry, 20)), nullptr);
    }

  // Close to an HD camera: the marker fills a third of the frame, its dark
  // pixels above the limit set for 640 x 480.
  camera(1280, 720);
  const double side = std::sqrt(1280.0 * 720 / 3);
  const ARMarkerInfo* near = find(frame(640, 360, cam.mat[0][0] * 80 / side, 0, 0, 10));
  ASSERT_NE(near, nullptr);
  EXPECT_GT(near->area, AR_AREA_MAX);
}

TEST_F(Light, OtherMarkersAreNotTakenForOursAtAnySize)
{
  // Random 4 x 4 designs inside a black frame, from near to 20 px across:
  // the softened templates used for small cells must not turn them into
  // our marker.
  camera(640, 480);
  cv::RNG rng(12);
  int squares = 0;
  for (int design = 0; design < 6; ++design)
    {
      cv::Mat cells(6, 6, CV_8UC3, cv::Scalar::all(0));
      for (int y = 1; y < 5; ++y)
        for (int x = 1; x < 5; ++x)
          if (rng.uniform(0, 2) == 1)
            cells.at<cv::Vec3b>(y, x) = cv::Vec3b(255, 255, 255);
      cv::Mat image;
      cv::resize(cells, image, cv::Size(600, 600), 0, 0, cv::INTER_NEAREST);
      scene->setDesign(image);
      for (double z : {400.0, 900.0, 1500.0, cam.mat[0][0] * 80 / 20})
        {
          ARMarkerInfo* list;
          int n;
          ASSERT_EQ(arDetectMarkerLite(frame(320, 240, z, 15, -10, 30 * design).data, 100, &list, &n), 0);
          for (int i = 0; i < n; ++i, ++squares)
            EXPECT_EQ(list[i].id, -1) << "design " << design << " at " << z << " mm: cf " << list[i].cf;
        }
    }
  EXPECT_GT(squares, 18) << "the designs were seen as squares";
}

// The local threshold takes the shading of a dim, textured room for what it
// is: marking its darker spots would hand the labeller thousands of regions
// a frame, each costing time and none a marker.
TEST_F(Light, TheLocalThresholdLeavesTheShadingOfADimRoomAlone)
{
  ASSERT_EQ(arSetLabelingThreshMode(AR_LABELING_THRESH_MODE_AUTO_ADAPTIVE), 0);
  for (unsigned seed : {31u, 32u, 33u})
    {
      cv::Mat room = synth::texturedBackground(640, 480, seed, 70, 30);
      cv::GaussianBlur(room, room, cv::Size(0, 0), 4);
      if (room.channels() == 3)
        cv::cvtColor(room, room, cv::COLOR_BGR2BGRA);
      synth::degrade(room, 8, 0, seed);
      cv::Mat mask;
      ar::darkMask(room.data, room.cols, room.rows, 100, {}, mask);
      EXPECT_LT(cv::countNonZero(mask), room.total() / 100) << "room " << seed;
    }
}
