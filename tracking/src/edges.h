// Stage 4 of detection: the four sides as lines in ideal coordinates,
// fitted first to the outline and then to the intensity edge.
#ifndef AR_SRC_EDGES_H
#define AR_SRC_EDGES_H

#include <opencv2/core.hpp>

#include <vector>

#include <AR/ar.h>

namespace ar
{
  // Fills line[4][3] and vertex[4][2] (ideal pixels) with the lines fitted
  // to the closed contour between its corner indices. False when a side has
  // too few points or two sides are parallel.
  bool fitSides(const std::vector<cv::Point>& contour, const int corners[5], const ARParam& camera,
                double line[4][3], double vertex[4][2]);

  // Moves each side found by fitSides onto the intensity edge of the BGRA
  // image where that edge can be found, and the corners with them. Sides
  // and corners stay as they are when the moved sides do not meet.
  void moveOntoEdges(const ARUint8* image, int width, int height, const ARParam& camera, double line[4][3],
                     double vertex[4][2]);
}

#endif
