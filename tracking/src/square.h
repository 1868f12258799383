// Stages 2-3 of detection: a region's outline and its four corners.
#ifndef AR_SRC_SQUARE_H
#define AR_SRC_SQUARE_H

#include <opencv2/core.hpp>

#include <vector>

#include "label.h"

namespace ar
{
  // The region's outer boundary, clockwise on screen, restarted at the
  // point farthest from the leftmost pixel of its top row (or, when that
  // point lies beside a rounded corner, at a corner) and closed (the last
  // point repeats the first). corners[0..4] are contour indices of the
  // four corners, corners[4] the closing index. False when not a square.
  bool findSquare(const Region& region, std::vector<cv::Point>& contour, int corners[5]);
}

#endif
