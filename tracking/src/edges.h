// Stage 4 of detection: the four sides as lines in ideal coordinates,
// fitted first to the outline and then to the intensity edge.
#ifndef AR_SRC_EDGES_H
#define AR_SRC_EDGES_H

#include <opencv2/core.hpp>

#include <vector>

#include <AR/ar.h>

namespace ar
{
  // Fills line[4][3] and vertex[4][2] (ideal pixels) from the closed
  // contour and its corner indices. image is the BGRA frame the contour
  // came from, used to move each side onto the intensity edge. False when a
  // side has too few points or two sides are parallel.
  bool fitSides(const std::vector<cv::Point>& contour, const int corners[5], const ARUint8* image,
                int width, int height, const ARParam& camera, double line[4][3], double vertex[4][2]);
}

#endif
