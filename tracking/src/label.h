// Stage 1 of detection: dark pixels and their 8-connected regions.
#ifndef AR_SRC_LABEL_H
#define AR_SRC_LABEL_H

#include <opencv2/core.hpp>

#include <vector>

#include <AR/ar.h>

namespace ar
{
  struct Region
  {
    int area;           // dark pixels
    cv::Rect box;       // exact bounding box
    double cx, cy;      // centroid, observed pixels
    std::vector<cv::Point> outline;  // outer boundary, from its top-left pixel
  };

  // Marks pixels with B + G + R <= 3*thresh (the outermost frame never),
  // traces the outer boundary of each 8-connected region and keeps those
  // within the area limits that do not touch the 1-pixel inset border.
  void findRegions(const ARUint8* image, int width, int height, int thresh, cv::Mat& mask,
                   std::vector<Region>& regions);
}

#endif
