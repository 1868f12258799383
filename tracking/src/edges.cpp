#include "edges.h"

#include <cmath>

#include "internal.h"

namespace ar
{
  namespace
  {
    struct Line
    {
      double a, b, c;  // a*x + b*y + c = 0, (a, b) unit
    };

    // Principal-axis fit; false for fewer than two distinct points.
    bool fitLine(const std::vector<cv::Point2d>& pts, Line& line)
    {
      if (pts.size() < 2)
        return false;
      double mx = 0, my = 0;
      for (const cv::Point2d& p : pts)
        {
          mx += p.x;
          my += p.y;
        }
      mx /= static_cast<double>(pts.size());
      my /= static_cast<double>(pts.size());
      double sxx = 0, sxy = 0, syy = 0;
      for (const cv::Point2d& p : pts)
        {
          sxx += (p.x - mx) * (p.x - mx);
          sxy += (p.x - mx) * (p.y - my);
          syy += (p.y - my) * (p.y - my);
        }
      if (sxx + syy == 0)
        return false;
      // Direction of the larger eigenvalue of [[sxx, sxy], [sxy, syy]].
      const double angle = 0.5 * std::atan2(2 * sxy, sxx - syy);
      const double dx = std::cos(angle), dy = std::sin(angle);
      line.a = -dy;
      line.b = dx;
      line.c = -(line.a * mx + line.b * my);
      return true;
    }

    bool intersect(const Line& l1, const Line& l2, double& x, double& y)
    {
      const double det = l1.a * l2.b - l2.a * l1.b;
      if (std::fabs(det) < 0.0001)
        return false;
      x = (l1.b * l2.c - l2.b * l1.c) / det;
      y = (l2.a * l1.c - l1.a * l2.c) / det;
      return true;
    }

    // Half the window across an edge once it has been found (pixels): wide
    // enough for a sharp edge and most of a blurred one (sigma 1.5), narrow
    // enough to leave out what lies a few pixels beyond it.
    constexpr double kFineReach = 2.0;

    // Grey level (mean of B, G, R) at an observed position, bilinear;
    // -1 outside the image.
    double grey(const ARUint8* image, int width, int height, double x, double y)
    {
      if (!(x >= 0 && y >= 0 && x < width - 1 && y < height - 1))
        return -1;
      const int ix = static_cast<int>(x), iy = static_cast<int>(y);
      const double fx = x - ix, fy = y - iy;
      const ARUint8* p = image + (static_cast<std::size_t>(iy) * width + ix) * 4;
      const ARUint8* q = p + static_cast<std::size_t>(width) * 4;
      // B + G + R blended, a third of it at the end.
      auto s = [](const ARUint8* px) { return static_cast<double>(px[0] + px[1] + px[2]); };
      return ((s(p) * (1 - fx) + s(p + 4) * fx) * (1 - fy) + (s(q) * (1 - fx) + s(q + 4) * fx) * fy) * (1.0 / 3);
    }

    // Moves a side onto the intensity edge. Across the side, the grey
    // level goes from the dark frame to the light paper; normalised to 0..1
    // its integral over the span says where the step is, which holds for
    // blurred and area-sampled edges alike (the outline itself lies about
    // half a pixel inside the edge).
    bool refineSide(const Line& side, const double from[2], const double to[2], double reach,
                    const ARUint8* image, int width, int height, const ARParam& camera, Line& refined)
    {
      const double length = std::hypot(to[0] - from[0], to[1] - from[1]);
      const int positions = std::max(8, std::min(64, static_cast<int>(length)));
      const double step = 0.5;
      std::vector<double> profile(static_cast<std::size_t>(2 * reach / step + 0.5) + 1);
      std::vector<cv::Point2d> edge;
      edge.reserve(static_cast<std::size_t>(positions));
      for (int k = 0; k < positions; ++k)
        {
          // Keep clear of the corners, where the two sides meet.
          const double t = 0.12 + 0.76 * (k + 0.5) / positions;
          const double bx = from[0] + t * (to[0] - from[0]);
          const double by = from[1] + t * (to[1] - from[1]);
          // The first look spans the whole reach, to find the edge. Then the
          // window is centred on each estimate and narrowed: on a blurred
          // edge the ends of a window off the edge fall short of the dark
          // and the light level by different amounts, which moves the
          // estimate, and a wide window also takes in whatever lies beyond
          // the paper; centred and narrow, both ends fall short alike and
          // nothing else comes in.
          double centre = 0, found = 0, lastCentre = 0, lastOffset = 0;
          bool ok = false;
          for (int pass = 0; pass < 6; ++pass)
            {
              const double r = pass == 0 ? reach : std::min(reach, kFineReach);
              const int taps = static_cast<int>(2 * r / step + 0.5) + 1;
              bool inside = true;
              for (int i = 0; i < taps && inside; ++i)
                {
                  const double s = centre - r + i * step;
                  double ox, oy;
                  arParamIdeal2Observ(camera.dist_factor, bx + s * side.a, by + s * side.b, &ox, &oy);
                  profile[static_cast<std::size_t>(i)] = grey(image, width, height, ox, oy);
                  inside = profile[static_cast<std::size_t>(i)] >= 0;
                }
              if (!inside)
                break;
              const double first = (profile[0] + profile[1]) / 2;
              const double last =
                (profile[static_cast<std::size_t>(taps - 1)] + profile[static_cast<std::size_t>(taps - 2)]) / 2;
              if (std::fabs(last - first) < 24)
                break;
              // Integral of the normalised profile, dark end to light end.
              const bool darkFirst = first < last;
              const double dark = darkFirst ? first : last, light = darkFirst ? last : first;
              double area = 0;
              for (int i = 0; i < taps; ++i)
                {
                  const double f = (profile[static_cast<std::size_t>(i)] - dark) / (light - dark);
                  area += (i == 0 || i == taps - 1) ? f / 2 : f;
                }
              area *= step;
              // The step sits (2*r - area) from the dark end.
              const double fromDark = 2 * r - area;
              if (fromDark < 0.5 || fromDark > 2 * r - 0.5)
                break;
              const double estimate = centre + (darkFirst ? -r + fromDark : r - fromDark);
              if (std::fabs(estimate) > reach)
                break;
              found = estimate;
              ok = true;
              if (pass == 0)
                {
                  centre = found;
                  continue;
                }
              // A narrow window off the edge sees it only in part and moves
              // less than the way to it: the centre goes where the
              // estimate's offset would vanish (secant), not to the estimate.
              const double offset = estimate - centre;
              if (std::fabs(offset) < 0.005)
                break;
              double next = estimate;
              if (pass > 1 && std::fabs(offset - lastOffset) > 1e-6)
                next = centre - offset * (centre - lastCentre) / (offset - lastOffset);
              if (!(std::fabs(next) <= reach))
                break;
              lastCentre = centre;
              lastOffset = offset;
              centre = next;
              found = next;
            }
          if (ok)
            edge.emplace_back(bx + found * side.a, by + found * side.b);
        }
      if (static_cast<int>(edge.size()) < positions / 2)
        {
          AR_DEBUG_PRINT("refineSide: %zu of %d edge points\n", edge.size(), positions);
          return false;
        }
      return fitLine(edge, refined);
    }
  }

  bool fitSides(const std::vector<cv::Point>& contour, const int corners[5], const ARParam& camera,
                double line[4][3], double vertex[4][2])
  {
    Line sides[4];
    const double trim = parameters().edgeTrim;
    std::vector<cv::Point2d> pts;
    for (int i = 0; i < 4; ++i)
      {
        const int n = corners[i + 1] - corners[i] + 1;
        const double w = n * trim + 0.5;
        const int st = static_cast<int>(corners[i] + w);
        const int ed = static_cast<int>(corners[i + 1] - w);
        pts.clear();
        for (int j = st; j <= ed; ++j)
          {
            double ix, iy;
            arParamObserv2Ideal(camera.dist_factor, contour[static_cast<std::size_t>(j)].x,
                                contour[static_cast<std::size_t>(j)].y, &ix, &iy);
            pts.emplace_back(ix, iy);
          }
        if (!fitLine(pts, sides[i]))
          return false;
      }
    double v[4][2];
    for (int i = 0; i < 4; ++i)
      if (!intersect(sides[(i + 3) % 4], sides[i], v[i][0], v[i][1]))
        return false;
    for (int i = 0; i < 4; ++i)
      {
        line[i][0] = sides[i].a;
        line[i][1] = sides[i].b;
        line[i][2] = sides[i].c;
        vertex[i][0] = v[i][0];
        vertex[i][1] = v[i][1];
      }
    return true;
  }

  void moveOntoEdges(const ARUint8* image, int width, int height, const ARParam& camera, double line[4][3],
                     double vertex[4][2])
  {
    Line refined[4];
    bool moved = false;
    for (int i = 0; i < 4; ++i)
      {
        const Line side{line[i][0], line[i][1], line[i][2]};
        refined[i] = side;
        // Search no farther out than the paper around the marker may reach
        // (an eighth of the neighbouring sides for ours), nor farther in
        // than the black frame (a quarter).
        const double* const v = vertex[i];
        const double* const prevV = vertex[(i + 3) % 4];
        const double* const nextV = vertex[(i + 1) % 4];
        const double* const oppV = vertex[(i + 2) % 4];
        const double prev = std::hypot(v[0] - prevV[0], v[1] - prevV[1]);
        const double next = std::hypot(oppV[0] - nextV[0], oppV[1] - nextV[1]);
        const double reach = std::max(1.5, std::min(parameters().edgeSearch + 0.5, 0.1 * std::min(prev, next)));
        Line r;
        if (refineSide(side, v, nextV, reach, image, width, height, camera, r))
          {
            refined[i] = r;
            moved = true;
          }
      }
    if (!moved)
      return;
    double rv[4][2];
    for (int i = 0; i < 4; ++i)
      if (!intersect(refined[(i + 3) % 4], refined[i], rv[i][0], rv[i][1]))
        return;
    for (int i = 0; i < 4; ++i)
      {
        line[i][0] = refined[i].a;
        line[i][1] = refined[i].b;
        line[i][2] = refined[i].c;
        vertex[i][0] = rv[i][0];
        vertex[i][1] = rv[i][1];
      }
  }
}
