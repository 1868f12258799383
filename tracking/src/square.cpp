#include "square.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>

#include "internal.h"

namespace ar
{
  namespace
  {
    // Splits contour[st..ed] at the point farthest from its chord while
    // that point is farther than sqrt(thresh); the split points, in order,
    // go to found. False when more than five turn up (not a square).
    bool splitAtCorners(const std::vector<cv::Point>& c, int st, int ed, double thresh,
                        std::vector<int>& found)
    {
      // Twice the area of the triangle (st, ed, i), in integers: its size
      // is the distance from the chord times the chord's length.
      const long long a = c[ed].y - c[st].y;
      const long long b = c[st].x - c[ed].x;
      const long long k = static_cast<long long>(c[ed].x) * c[st].y - static_cast<long long>(c[ed].y) * c[st].x;
      long long most = 0;
      int at = -1;
      for (int i = st + 1; i < ed; ++i)
        {
          long long d = a * c[i].x + b * c[i].y + k;
          d = d < 0 ? -d : d;
          if (d > most)
            {
              most = d;
              at = i;
            }
        }
      const double len2 = static_cast<double>(a * a + b * b);
      if (at < 0 || len2 == 0 || static_cast<double>(most) * static_cast<double>(most) / len2 <= thresh)
        return true;
      if (!splitAtCorners(c, st, at, thresh, found) || found.size() > 5)
        return false;
      found.push_back(at);
      return splitAtCorners(c, at, ed, thresh, found);
    }

    bool exactlyOne(const std::vector<cv::Point>& c, int st, int ed, double thresh, int& corner)
    {
      std::vector<int> found;
      if (!splitAtCorners(c, st, ed, thresh, found) || found.size() != 1)
        return false;
      corner = found[0];
      return true;
    }

    // The square test: from point 0 find the farthest point, then each
    // half must hold one more corner (or one half two and the other none).
    // When the start point turns out to lie on a side rather than at a
    // corner (a corner rounded by blur or by a steep view, whose farthest
    // point from the top-left pixel is off the corner), the four corners
    // found elsewhere go to moved, in order, and the test fails; the caller
    // restarts the contour at one of them.
    bool cornersOf(const std::vector<cv::Point>& c, int area, int corners[5], std::vector<int>* moved = nullptr)
    {
      const int last = static_cast<int>(c.size()) - 1;
      int far = 0;
      long long dmax = 0;
      for (int i = 1; i < last; ++i)
        {
          const long long dx = c[i].x - c[0].x, dy = c[i].y - c[0].y;
          if (dx * dx + dy * dy > dmax)
            {
              dmax = dx * dx + dy * dy;
              far = i;
            }
        }
      if (far == 0)
        return false;
      const double thresh = (area / 0.75) * parameters().cornerSplitFactor;
      static thread_local std::vector<int> first, second;
      first.clear();
      second.clear();
      if (!splitAtCorners(c, 0, far, thresh, first) || !splitAtCorners(c, far, last, thresh, second))
        return false;
      corners[0] = 0;
      corners[4] = last;
      if (first.size() == 1 && second.size() == 1)
        {
          corners[1] = first[0];
          corners[2] = far;
          corners[3] = second[0];
          return true;
        }
      if (first.size() > 1 && second.empty())
        {
          int mid = far / 2;
          corners[3] = far;
          return exactlyOne(c, 0, mid, thresh, corners[1]) && exactlyOne(c, mid, far, thresh, corners[2]);
        }
      if (first.empty() && second.size() > 1)
        {
          int mid = (far + last) / 2;
          corners[1] = far;
          return exactlyOne(c, far, mid, thresh, corners[2]) && exactlyOne(c, mid, last, thresh, corners[3]);
        }
      if (moved != nullptr && first.size() + second.size() == 3)
        {
          moved->assign(first.begin(), first.end());
          moved->push_back(far);
          moved->insert(moved->end(), second.begin(), second.end());
        }
      return false;
    }

    // The contour closed again from its point `from` (an index of c).
    void restartAt(std::vector<cv::Point>& c, int from)
    {
      const int n = static_cast<int>(c.size()) - 1;
      std::rotate(c.begin(), c.begin() + from, c.begin() + n);
      c[static_cast<std::size_t>(n)] = c[0];
    }
  }

  bool findSquare(const Region& region, std::vector<cv::Point>& contour, int corners[5])
  {
    const std::vector<cv::Point>& outline = region.outline;
    const int n = static_cast<int>(outline.size());
    if (n < 4)
      return false;
    // Clockwise on screen (y down) means a positive shoelace sum; the
    // tracer's first point (leftmost of the top row) stays first, and the
    // others are taken backwards when the tracer went the other way.
    long long shoelace = 0;
    for (int i = 0; i < n; ++i)
      {
        const cv::Point& p = outline[static_cast<std::size_t>(i)];
        const cv::Point& q = outline[static_cast<std::size_t>(i + 1 < n ? i + 1 : 0)];
        shoelace += static_cast<long long>(p.x) * q.y - static_cast<long long>(q.x) * p.y;
      }
    const bool backwards = shoelace < 0;
    const auto point = [&](int j) -> const cv::Point& {
      return outline[static_cast<std::size_t>(backwards && j != 0 ? n - j : j)];
    };
    // Restart at the point farthest from the start, and close the loop.
    int far = 0;
    long long dmax = -1;
    for (int j = 0; j < n; ++j)
      {
        const long long dx = point(j).x - outline[0].x, dy = point(j).y - outline[0].y;
        if (dx * dx + dy * dy > dmax)
          {
            dmax = dx * dx + dy * dy;
            far = j;
          }
      }
    contour.resize(static_cast<std::size_t>(n) + 1);
    for (int i = 0; i <= n; ++i)
      {
        const int j = far + i;
        contour[static_cast<std::size_t>(i)] = point(j < n ? j : j - n);
      }
    static thread_local std::vector<int> moved;
    moved.clear();
    if (cornersOf(contour, region.area, corners, &moved))
      return true;
    if (moved.size() != 4)
      return false;
    // Five corners where four were wanted: the start and the four found
    // elsewhere. Either the start lies on a side (then each side between
    // the other four is straight, the start's too), or two of the five are
    // the two ends of a corner cut off by blur or a steep view (then they
    // are close together, and one of them stands for the corner).
    std::vector<int> five = {0};
    five.insert(five.end(), moved.begin(), moved.end());
    const double thresh = (region.area / 0.75) * parameters().cornerSplitFactor;
    bool straight = true;
    {
      std::vector<cv::Point> restarted = contour;
      restartAt(restarted, moved[0]);
      std::vector<int> extra;
      for (int k = 0; k < 4 && straight; ++k)
        {
          const int a = moved[static_cast<std::size_t>(k)] - moved[0];
          const int b = k < 3 ? moved[static_cast<std::size_t>(k + 1)] - moved[0] : n;
          straight = splitAtCorners(restarted, a, b, thresh, extra) && extra.empty();
        }
    }
    if (!straight)
      {
        // The closest two neighbours among the five, within a quarter of
        // the mean side: the later one goes (the start, if it is one of
        // them).
        double gaps[5], perimeter = 0;
        for (int k = 0; k < 5; ++k)
          {
            gaps[k] = cv::norm(contour[static_cast<std::size_t>(five[static_cast<std::size_t>(k)])] -
                               contour[static_cast<std::size_t>(five[static_cast<std::size_t>((k + 1) % 5)])]);
            perimeter += gaps[k];
          }
        int drop = -1;
        double closest = 0.25 * perimeter / 4;
        for (int k = 0; k < 5; ++k)
          {
            const int next = (k + 1) % 5;
            const double d = gaps[k];
            if (d < closest)
              {
                closest = d;
                drop = next == 0 || k == 0 ? 0 : next;
              }
          }
        if (drop < 0)
          return false;
        five.erase(five.begin() + drop);
        if (drop != 0)
          {
            // The start stays a corner: no restart.
            for (int k = 0; k < 4; ++k)
              corners[k] = five[static_cast<std::size_t>(k)];
            corners[4] = n;
            return true;
          }
      }
    // Restarted at the first corner after the start.
    restartAt(contour, moved[0]);
    for (int k = 0; k < 4; ++k)
      corners[k] = moved[static_cast<std::size_t>(k)] - moved[0];
    corners[4] = n;
    return true;
  }
}
