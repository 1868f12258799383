// Marker pose: an IPPE-square initial pose of the four ideal corners,
// refined by Levenberg-Marquardt, reported as [R|t] with the mean squared
// reprojection error.
#include <opencv2/calib3d.hpp>

#include <cmath>
#include <vector>

#include "internal.h"

namespace
{
  // The reprojection error through the full 3x4 camera matrix.
  double meanSquaredError(const std::vector<cv::Point3d>& object, const std::vector<cv::Point2d>& image,
                          const double conv[3][4])
  {
    double sum = 0;
    for (std::size_t i = 0; i < object.size(); ++i)
      {
        double cam[3];
        for (int r = 0; r < 3; ++r)
          cam[r] = conv[r][0] * object[i].x + conv[r][1] * object[i].y + conv[r][2] * object[i].z + conv[r][3];
        double h[3];
        for (int r = 0; r < 3; ++r)
          h[r] = arParam.mat[r][0] * cam[0] + arParam.mat[r][1] * cam[1] + arParam.mat[r][2] * cam[2] +
                 arParam.mat[r][3];
        if (h[2] == 0)
          return -1;
        const double ex = h[0] / h[2] - image[i].x, ey = h[1] / h[2] - image[i].y;
        sum += ex * ex + ey * ey;
      }
    return sum / static_cast<double>(object.size());
  }
}

extern "C" double arGetTransMat(ARMarkerInfo* marker_info, double center[2], double width, double conv[3][4])
{
  if (marker_info == nullptr || conv == nullptr || !(width > 0) || marker_info->dir < 0 ||
      marker_info->dir > 3)
    return -1;
  const int dir = marker_info->dir;
  const double h = width / 2;
  // Corners about the marker centre (X right, Y up, Z out of the marker):
  // top-left, top-right, bottom-right, bottom-left, as IPPE-square wants.
  std::vector<cv::Point3d> object = {{-h, h, 0}, {h, h, 0}, {h, -h, 0}, {-h, -h, 0}};
  std::vector<cv::Point2d> image(4);
  for (int k = 0; k < 4; ++k)
    {
      const double* v = marker_info->vertex[(4 + k - dir) % 4];
      if (!std::isfinite(v[0]) || !std::isfinite(v[1]))
        return -1;
      image[static_cast<std::size_t>(k)] = cv::Point2d(v[0], v[1]);
    }
  // The corners are ideal, so the ideal camera has no distortion.
  const double (&P)[3][4] = arParam.mat;
  cv::Matx33d K(P[0][0], P[0][1], P[0][2], P[1][0], P[1][1], P[1][2], P[2][0], P[2][1], P[2][2]);
  if (K(2, 2) == 0 || K(0, 0) == 0 || K(1, 1) == 0)
    return -1;
  K *= 1.0 / K(2, 2);
  try
    {
      // IPPE-square gives the initial pose; Levenberg-Marquardt then refines
      // a small correction dR in R = dR.R0 (corners pre-rotated by R0), so
      // that the rotation vector never nears 180 degrees, where its
      // parameterisation degenerates.
      cv::Mat rvec, tvec;
      bool ok = cv::solvePnP(object, image, K, cv::noArray(), rvec, tvec, false, cv::SOLVEPNP_IPPE_SQUARE);
      if (!ok || !cv::checkRange(rvec) || !cv::checkRange(tvec))
        ok = cv::solvePnP(object, image, K, cv::noArray(), rvec, tvec, false, cv::SOLVEPNP_ITERATIVE);
      if (!ok || !cv::checkRange(rvec) || !cv::checkRange(tvec))
        return -1;
      cv::Matx33d R0;
      cv::Rodrigues(rvec, R0);
      std::vector<cv::Point3d> turned;
      for (const cv::Point3d& p : object)
        turned.push_back(cv::Point3d(R0 * cv::Vec3d(p.x, p.y, p.z)));
      cv::Mat dr = cv::Mat::zeros(3, 1, CV_64F);
      cv::solvePnPRefineLM(turned, image, K, cv::noArray(), dr, tvec);
      cv::Matx33d dR;
      cv::Rodrigues(dr, dR);
      const cv::Matx33d R = dR * R0;
      cv::Vec3d t(tvec.at<double>(0), tvec.at<double>(1), tvec.at<double>(2));
      for (int i = 0; i < 9; ++i)
        if (!std::isfinite(R.val[i]))
          return -1;
      if (!(t[2] > 0) || !std::isfinite(t[0]) || !std::isfinite(t[1]))
        return -1;
      // A centre offset: the marker's own centre sits at (cx, cy, 0).
      const double cx = center != nullptr ? center[0] : 0.0;
      const double cy = center != nullptr ? center[1] : 0.0;
      cv::Vec3d shifted = t - R * cv::Vec3d(cx, cy, 0);
      double result[3][4];
      for (int r = 0; r < 3; ++r)
        {
          for (int c = 0; c < 3; ++c)
            result[r][c] = R(r, c);
          result[r][3] = shifted[r];
        }
      for (cv::Point3d& p : object)
        {
          p.x += cx;
          p.y += cy;
        }
      double error = meanSquaredError(object, image, result);
      if (error < 0)
        return -1;
      for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
          conv[r][c] = result[r][c];
      return error;
    }
  catch (const cv::Exception& e)
    {
      AR_DEBUG_PRINT("arGetTransMat: %s\n", e.what());
      return -1;
    }
}
