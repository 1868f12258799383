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
    int label;
    int area;           // dark pixels
    cv::Rect box;       // exact bounding box
    double cx, cy;      // centroid, observed pixels
  };

  // Marks pixels with B + G + R <= 3*thresh (the outermost frame never),
  // labels 8-connected regions and keeps those within the area limits that
  // do not touch the 1-pixel inset border. labels stays valid for tracing.
  void findRegions(const ARUint8* image, int width, int height, int thresh, cv::Mat& mask,
                   cv::Mat& labels, std::vector<Region>& regions);
}

#endif
