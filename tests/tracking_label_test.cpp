// Labelling: the run-based labeller against a reference built from
// OpenCV's border tracer and flood fill (the way regions were found
// before), on masks from plain shapes to speckle.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>
#include <opencv2/imgproc/imgproc_c.h>

#include <random>
#include <vector>

#include "label.h"
#include "square.h"
#include "scene.h"
#include "tracking_support.h"

namespace
{
  // Every region, outline and all, as the tracer and flood fill give it.
  std::vector<ar::Region> reference(const cv::Mat& mask, int areaMin, int areaMax)
  {
    std::vector<ar::Region> out;
    cv::Mat traced = mask.clone();
    CvMemStorage* storage = cvCreateMemStorage(0);
    CvMat picture = cvMat(traced.rows, traced.cols, CV_8UC1, traced.data);
    CvSeq* first = nullptr;
    cvFindContours(&picture, storage, &first, sizeof(CvContour), CV_RETR_CCOMP, CV_CHAIN_APPROX_NONE,
                   cvPoint(0, 0));
    for (CvSeq* c = first; c != nullptr; c = c->h_next)
      {
        const CvRect r = reinterpret_cast<CvContour*>(c)->rect;
        const cv::Rect box(r.x, r.y, r.width, r.height);
        if (box.x <= 1 || box.y <= 1 || box.x + box.width - 1 >= mask.cols - 2 ||
            box.y + box.height - 1 >= mask.rows - 2 || box.area() < areaMin || c->total > areaMax)
          continue;
        ar::Region region;
        region.outline.resize(static_cast<std::size_t>(c->total));
        cvCvtSeqToArray(c, region.outline.data(), CV_WHOLE_SEQ);
        cv::Mat fill = cv::Mat::zeros(box.height + 2, box.width + 2, CV_8UC1);
        cv::Mat roi = mask(box).clone();
        region.area = cv::floodFill(roi, fill, region.outline[0] - box.tl(), cv::Scalar(255), nullptr, cv::Scalar(),
                                    cv::Scalar(), 8 | cv::FLOODFILL_MASK_ONLY | (255 << 8));
        const cv::Moments m = cv::moments(fill(cv::Rect(1, 1, box.width, box.height)), true);
        region.cx = m.m10 / m.m00 + box.x;
        region.cy = m.m01 / m.m00 + box.y;
        region.box = box;
        if (region.area >= areaMin && region.area <= areaMax)
          out.push_back(region);
      }
    cvReleaseMemStorage(&storage);
    return out;
  }

  void expectSameRegions(const cv::Mat& mask, int areaMin, int areaMax, const char* what)
  {
    std::vector<ar::Region> ours;
    const std::size_t n = ar::findRegions(mask, areaMin, areaMax, ours);
    const std::vector<ar::Region> theirs = reference(mask, areaMin, areaMax);
    ASSERT_EQ(n, theirs.size()) << what;
    for (std::size_t i = 0; i < n; ++i)
      {
        SCOPED_TRACE(testing::Message() << what << ", region " << i);
        EXPECT_EQ(ours[i].area, theirs[i].area);
        EXPECT_EQ(ours[i].box, theirs[i].box);
        // Bit for bit: the centroid feeds the history's tests.
        EXPECT_EQ(ours[i].cx, theirs[i].cx);
        EXPECT_EQ(ours[i].cy, theirs[i].cy);
        EXPECT_EQ(ours[i].outline, theirs[i].outline);
      }
  }

  cv::Mat framed(cv::Mat mask)
  {
    ar::clearFrame(mask);
    return mask;
  }
}

TEST(Labelling, SameRegionsOutlinesAndCentroidsAsTheTracer)
{
  // Shapes whose outlines double back: a one-pixel line, a ring with a
  // region in its hole, diagonal contacts, single pixels, a comb.
  cv::Mat shapes = cv::Mat::zeros(60, 80, CV_8UC1);
  cv::line(shapes, {5, 5}, {40, 5}, cv::Scalar(255));
  cv::rectangle(shapes, {10, 10}, {40, 40}, cv::Scalar(255), 4);
  cv::rectangle(shapes, {20, 20}, {30, 30}, cv::Scalar(255), cv::FILLED);
  shapes.at<uchar>(45, 50) = shapes.at<uchar>(46, 51) = shapes.at<uchar>(47, 50) = 255;
  shapes.at<uchar>(50, 70) = 255;
  for (int x = 50; x < 75; x += 2)
    cv::line(shapes, {x, 10}, {x, 30}, cv::Scalar(255));
  cv::line(shapes, {50, 30}, {75, 30}, cv::Scalar(255));
  expectSameRegions(framed(shapes), 1, 100000, "shapes");

  // Speckle at several densities, and regions cut by the inset border.
  std::mt19937 rng(7);
  for (double density : {0.05, 0.3, 0.5, 0.7})
    {
      cv::Mat noise(97, 131, CV_8UC1);
      std::bernoulli_distribution dark(density);
      for (int y = 0; y < noise.rows; ++y)
        for (int x = 0; x < noise.cols; ++x)
          noise.at<uchar>(y, x) = dark(rng) ? 255 : 0;
      expectSameRegions(framed(noise), 1, 100000, "speckle");
      expectSameRegions(framed(noise), 20, 400, "speckle within limits");
    }

  // A real frame: our marker over the textured background, with noise.
  ARParam cam = tracking_test::camera();
  synth::Scene scene(cam, 4);
  double pose[3][4];
  synth::poseAt(cam, 300, 260, 450, 25, -20, 130, pose);
  cv::Mat frame = scene.render(pose);
  synth::degrade(frame, 8, 0, 3);
  cv::Mat mask;
  ar::binarise(frame.data, frame.cols, frame.rows, 100, mask);
  expectSameRegions(mask, AR_AREA_MIN, AR_AREA_MAX, "noisy frame");
}

TEST(Labelling, WorkBuffersAreReusedAcrossFramesOfEveryKind)
{
  // A busy frame, then a quiet one, then the busy one again: the same
  // answers each time from the same buffers.
  cv::Mat busy = cv::Mat::zeros(50, 50, CV_8UC1), quiet = cv::Mat::zeros(50, 50, CV_8UC1);
  for (int y = 4; y < 46; y += 3)
    for (int x = 4; x < 46; x += 3)
      busy.at<uchar>(y, x) = 255;
  cv::rectangle(quiet, {10, 10}, {30, 30}, cv::Scalar(255), cv::FILLED);
  std::vector<ar::Region> regions;
  EXPECT_EQ(ar::findRegions(busy, 1, 100, regions), 14u * 14u);
  ASSERT_EQ(ar::findRegions(quiet, 1, 1000, regions), 1u);
  EXPECT_EQ(regions[0].area, 21 * 21);
  EXPECT_EQ(regions[0].outline.size(), 80u);
  EXPECT_EQ(ar::findRegions(busy, 1, 100, regions), 14u * 14u);
  EXPECT_EQ(regions[0].outline.size(), 1u);
}

// Quadrilaterals with one corner cut off (as blur or a steep view rounds
// it): the outline's start falls beside that corner, or the cut's two ends
// both look like corners; the four corners are still found.
TEST(Squares, ACutCornerStillGivesFourCorners)
{
  struct Shape
  {
    std::vector<cv::Point> polygon;  // the cut corner's two ends second and third
    cv::Point corners[4];            // the real ones, the cut one between its ends
  };
  const Shape shapes[] = {
    {{{20, 10}, {53, 10}, {54, 13}, {46, 26}, {11, 26}}, {{20, 10}, {54, 11}, {46, 26}, {11, 26}}},
    {{{20, 10}, {54, 12}, {56, 16}, {48, 32}, {9, 28}}, {{20, 10}, {56, 13}, {48, 32}, {9, 28}}},
  };
  for (const Shape& shape : shapes)
    {
      SCOPED_TRACE(testing::Message() << "cut at " << shape.polygon[1] << shape.polygon[2]);
      cv::Mat mask = cv::Mat::zeros(60, 80, CV_8UC1);
      cv::fillConvexPoly(mask, shape.polygon, cv::Scalar(255));
      std::vector<ar::Region> regions;
      ASSERT_EQ(ar::findRegions(mask, 70, 100000, regions), 1u);
      std::vector<cv::Point> contour;
      int corners[5];
      ASSERT_TRUE(ar::findSquare(regions[0], contour, corners));
      for (const cv::Point& r : shape.corners)
        {
          double nearest = 1e9;
          for (int k = 0; k < 4; ++k)
            nearest = std::min(nearest, cv::norm(contour[static_cast<std::size_t>(corners[k])] - r));
          EXPECT_LT(nearest, 3.5) << r;
        }
      EXPECT_EQ(corners[4], static_cast<int>(contour.size()) - 1);
    }
}
