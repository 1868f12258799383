// Stage 1 of detection: dark pixels and their 8-connected regions.
#ifndef AR_SRC_LABEL_H
#define AR_SRC_LABEL_H

#include <opencv2/core.hpp>
#include <opencv2/core/hal/intrin.hpp>

#include <cstddef>
#include <vector>

#include <AR/ar.h>

namespace ar
{
#if CV_SIMD
  // B + G + R of the v_uint8::nlanes BGRA pixels at p, in two halves.
  inline void channelSums(const ARUint8* p, cv::v_uint16& low, cv::v_uint16& high)
  {
    cv::v_uint8 b, g, r, a;
    cv::v_load_deinterleave(p, b, g, r, a);
    cv::v_uint16 b0, b1, g0, g1, r0, r1;
    cv::v_expand(b, b0, b1);
    cv::v_expand(g, g0, g1);
    cv::v_expand(r, r0, r1);
    low = b0 + g0 + r0;
    high = b1 + g1 + r1;
  }
#endif

  struct Region
  {
    int area;           // dark pixels
    cv::Rect box;       // exact bounding box
    double cx, cy;      // centroid, observed pixels
    std::vector<cv::Point> outline;  // outer boundary, from its top-left pixel
  };

  // The fixed threshold's dark test: 255 where B + G + R <= 3*thresh, else
  // 0, into mask (width x height, 8-bit), whose outermost frame is cleared.
  void binarise(const ARUint8* image, int width, int height, int thresh, cv::Mat& mask);

  // Clears the outermost 1-pixel frame of a mask: it is never a region's.
  void clearFrame(cv::Mat& mask);

  // The dark pixels of a frame in the labelling threshold mode set by
  // arSetLabelingThreshMode (thresh is used in the manual mode only;
  // previous: the markers the last detection reported).
  void darkMask(const ARUint8* image, int width, int height, int thresh, const std::vector<ARMarkerInfo>& previous,
                cv::Mat& mask);

  // The 8-connected regions of the mask's set pixels with areaMin..areaMax
  // pixels that do not touch the 1-pixel inset border, with their outer
  // boundaries; regions[0..count) on return, in reverse raster order of
  // their top-left pixels (the order tracing tools give). The cost follows the runs of set pixels,
  // not the number of regions: specks are dropped before any work of
  // their own. regions and the work buffers are reused from call to call.
  std::size_t findRegions(const cv::Mat& mask, int areaMin, int areaMax, std::vector<Region>& regions);
}

#endif
