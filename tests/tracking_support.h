// Helpers for the tracking tests: a distorting test camera, frames of our
// marker at known poses, and comparisons of poses.
#ifndef VORLINDE_TESTS_TRACKING_SUPPORT_H
#define VORLINDE_TESTS_TRACKING_SUPPORT_H

#include <cmath>
#include <string>

#include <AR/ar.h>

#include "scene.h"

namespace tracking_test
{
  // 640x480, 60 degrees, with noticeable barrel distortion.
  inline ARParam camera()
  {
    ARParam p = synth::nominalCamera(640, 480);
    p.dist_factor[0] = 322.0;
    p.dist_factor[1] = 236.5;
    p.dist_factor[2] = 6.0;   // about 3 px at the corners
    p.dist_factor[3] = 0.99;
    return p;
  }

  inline std::string dataFile(const char* name)
  {
    return std::string(PROJ_SOURCE_DIR) + "/Data/" + name;
  }

  // Angle between two rotations, degrees.
  inline double rotationError(const double a[3][4], const double b[3][4])
  {
    double trace = 0;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        trace += a[i][j] * b[i][j];
    double c = std::max(-1.0, std::min(1.0, (trace - 1) / 2));
    return std::acos(c) * 180.0 / M_PI;
  }

  inline double translationError(const double a[3][4], const double b[3][4])
  {
    return std::sqrt(std::pow(a[0][3] - b[0][3], 2) + std::pow(a[1][3] - b[1][3], 2) +
                     std::pow(a[2][3] - b[2][3], 2));
  }

  // Ideal pixel of a marker point (mm) under a pose.
  inline void project(const ARParam& cam, const double conv[3][4], double X, double Y, double& u, double& v)
  {
    double p[3];
    for (int r = 0; r < 3; ++r)
      p[r] = conv[r][0] * X + conv[r][1] * Y + conv[r][3];
    double h[3];
    for (int r = 0; r < 3; ++r)
      h[r] = cam.mat[r][0] * p[0] + cam.mat[r][1] * p[1] + cam.mat[r][2] * p[2] + cam.mat[r][3];
    u = h[0] / h[2];
    v = h[1] / h[2];
  }

  // The most confident candidate of pattern id, or null.
  inline ARMarkerInfo* best(ARMarkerInfo* list, int count, int id)
  {
    ARMarkerInfo* found = nullptr;
    for (int i = 0; i < count; ++i)
      if (list[i].id == id && (found == nullptr || list[i].cf > found->cf))
        found = &list[i];
    return found;
  }
}

#endif
