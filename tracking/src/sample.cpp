// Stage 5 of detection: sampling the pattern inside a square.
#include <opencv2/imgproc.hpp>

#include <cstring>

#include "internal.h"

namespace ar
{
  namespace
  {
    // Samples per axis: 16, 32 or 64, about one per pattern pixel.
    int divisions(double len2)
    {
      int div = AR_PATT_SIZE_X;
      const long quarter = static_cast<long>(len2) / 4;
      while (div < AR_PATT_SAMPLE_NUM && static_cast<long>(div) * div < quarter)
        div *= 2;
      return div;
    }

    double dist2(const double a[2], const double b[2])
    {
      return (a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]);
    }
  }

  void samplePattern(const ARUint8* image, int width, int height, const double corners[4][2],
                     int sample[PATTERN_VALUES])
  {
    // The unit square (100,100)-(110,100)-(110,110)-(100,110) onto the
    // corners; its central half, 102.5..107.5, is the pattern.
    cv::Point2f from[4] = {{100, 100}, {110, 100}, {110, 110}, {100, 110}};
    cv::Point2f to[4];
    for (int i = 0; i < 4; ++i)
      to[i] = cv::Point2f(static_cast<float>(corners[i][0]), static_cast<float>(corners[i][1]));
    cv::Matx33d H = cv::getPerspectiveTransform(from, to);

    const int xdiv = divisions(std::max(dist2(corners[0], corners[1]), dist2(corners[2], corners[3])));
    const int ydiv = divisions(std::max(dist2(corners[1], corners[2]), dist2(corners[3], corners[0])));
    std::memset(sample, 0, sizeof(int) * PATTERN_VALUES);
    const int cell = AR_PATT_SIZE_X * AR_PATT_SIZE_Y;
    for (int j = 0; j < ydiv; ++j)
      {
        const double Y = 102.5 + 5.0 * (j + 0.5) / ydiv;
        const int row = j * AR_PATT_SIZE_Y / ydiv;
        for (int i = 0; i < xdiv; ++i)
          {
            const double X = 102.5 + 5.0 * (i + 0.5) / xdiv;
            const double w = H(2, 0) * X + H(2, 1) * Y + H(2, 2);
            if (w == 0)
              continue;
            // Truncated, not rounded: the nearest pixel towards zero.
            const int x = static_cast<int>((H(0, 0) * X + H(0, 1) * Y + H(0, 2)) / w);
            const int y = static_cast<int>((H(1, 0) * X + H(1, 1) * Y + H(1, 2)) / w);
            if (x < 0 || y < 0 || x >= width || y >= height)
              continue;  // outside the image counts as black
            const ARUint8* p = image + (static_cast<std::size_t>(y) * width + x) * 4;
            const int at = row * AR_PATT_SIZE_X + i * AR_PATT_SIZE_X / xdiv;
            sample[at] += p[0];
            sample[cell + at] += p[1];
            sample[2 * cell + at] += p[2];
          }
      }
    const int per = (xdiv / AR_PATT_SIZE_X) * (ydiv / AR_PATT_SIZE_Y);
    for (int i = 0; i < PATTERN_VALUES; ++i)
      sample[i] /= per;
  }
}
