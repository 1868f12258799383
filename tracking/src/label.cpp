#include "label.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/imgproc/imgproc_c.h>

#include <cstdint>
#include <cstring>

#include "internal.h"

namespace ar
{
  namespace
  {
    // Dark test over one row of BGRA pixels: B + G + R <= limit -> 255.
    void binariseRow(const ARUint8* p, ARUint8* out, int width, int limit)
    {
      int x = 0;
#if CV_SIMD
      const int lanes = cv::v_uint8::nlanes;
      const cv::v_uint16 bound = cv::vx_setall_u16(static_cast<ushort>(limit));
      for (; x <= width - lanes; x += lanes)
        {
          cv::v_uint8 b, g, r, a;
          cv::v_load_deinterleave(p + 4 * x, b, g, r, a);
          cv::v_uint16 b0, b1, g0, g1, r0, r1;
          cv::v_expand(b, b0, b1);
          cv::v_expand(g, g0, g1);
          cv::v_expand(r, r0, r1);
          cv::v_store(out + x, cv::v_pack((b0 + g0 + r0) <= bound, (b1 + g1 + r1) <= bound));
        }
#endif
      for (; x < width; ++x)
        {
          const int sum = p[4 * x] + p[4 * x + 1] + p[4 * x + 2];
          out[x] = static_cast<ARUint8>(sum <= limit ? 255 : 0);
        }
    }

    // Pixel count and centroid of the 8-connected region holding seed: a
    // scan-line flood fill into a mask of the region's bounding box, then
    // that mask's moments.
    void measure(cv::Mat& mask, const cv::Rect& box, cv::Point seed, cv::Mat& fill, int& area, double& cx,
                 double& cy)
    {
      fill.create(box.height + 2, box.width + 2, CV_8UC1);
      fill.setTo(0);
      cv::Mat roi = mask(box);
      area = cv::floodFill(roi, fill, seed - box.tl(), cv::Scalar(255), nullptr, cv::Scalar(), cv::Scalar(),
                           8 | cv::FLOODFILL_MASK_ONLY | (255 << 8));
      const cv::Moments m = cv::moments(fill(cv::Rect(1, 1, box.width, box.height)), true);
      cx = m.m10 / m.m00 + box.x;
      cy = m.m01 / m.m00 + box.y;
    }
  }

  void findRegions(const ARUint8* image, int width, int height, int thresh, cv::Mat& mask,
                   std::vector<Region>& regions)
  {
    mask.create(height, width, CV_8UC1);
    const int limit = 3 * thresh;
    for (int y = 0; y < height; ++y)
      binariseRow(image + static_cast<std::size_t>(y) * width * 4, mask.ptr<ARUint8>(y), width, limit);
    // The outermost frame is never part of a region.
    std::memset(mask.ptr<ARUint8>(0), 0, static_cast<std::size_t>(width));
    std::memset(mask.ptr<ARUint8>(height - 1), 0, static_cast<std::size_t>(width));
    for (int y = 0; y < height; ++y)
      {
        mask.at<ARUint8>(y, 0) = 0;
        mask.at<ARUint8>(y, width - 1) = 0;
      }

    // Outer boundaries of all regions, including regions inside holes of
    // others (a marker on a white sheet held against a dark background).
    // The tracer's own storage is reused from frame to frame and only the
    // candidates' outlines are copied out: on noisy frames most regions are
    // specks, and a container for each would cost more than the tracing.
    static CvMemStorage* storage = cvCreateMemStorage(0);
    cvClearMemStorage(storage);
    static cv::Mat traced;
    mask.copyTo(traced);  // the tracer marks the image it reads
    CvMat picture = cvMat(traced.rows, traced.cols, CV_8UC1, traced.data);
    CvSeq* first = nullptr;
    cvFindContours(&picture, storage, &first, sizeof(CvContour), CV_RETR_CCOMP, CV_CHAIN_APPROX_NONE,
                   cvPoint(0, 0));
    regions.clear();
    const DetectorParameters& params = parameters();
    cv::Mat fill;
    // With two levels, the outer boundaries are the top level's chain.
    for (CvSeq* c = first; c != nullptr; c = c->h_next)
      {
        const CvRect r = reinterpret_cast<CvContour*>(c)->rect;
        const cv::Rect box(r.x, r.y, r.width, r.height);
        // A region touching the inset border may be cut off by the edge.
        if (box.x <= 1 || box.y <= 1 || box.x + box.width - 1 >= width - 2 ||
            box.y + box.height - 1 >= height - 2)
          continue;
        // Cheap bounds first: a region holds no more pixels than its box,
        // nor fewer than its outline.
        if (box.area() < params.areaMin || c->total > params.areaMax)
          continue;
        Region region;
        region.outline.resize(static_cast<std::size_t>(c->total));
        cvCvtSeqToArray(c, region.outline.data(), CV_WHOLE_SEQ);
        measure(mask, box, region.outline[0], fill, region.area, region.cx, region.cy);
        if (region.area < params.areaMin || region.area > params.areaMax)
          continue;
        region.box = box;
        regions.push_back(std::move(region));
      }
  }
}
