// Stage 1 of detection, the threshold: which pixels are dark, in the mode
// the caller chose (fixed, from last frame's markers, Otsu's, or local).
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>

#include <AR/param.h>

#include "internal.h"
#include "label.h"

namespace
{
  AR_LABELING_THRESH_MODE g_mode = AR_LABELING_THRESH_MODE_MANUAL;
  int g_lastThresh = 100;

  int greyAt(const ARUint8* image, int width, int height, double x, double y)
  {
    const int ix = static_cast<int>(std::lround(x)), iy = static_cast<int>(std::lround(y));
    if (ix < 0 || iy < 0 || ix >= width || iy >= height)
      return -1;
    const ARUint8* p = image + (static_cast<std::size_t>(iy) * width + ix) * 4;
    return (p[0] + p[1] + p[2]) / 3;
  }

  // Otsu's threshold of the grey levels (B + G + R)/3 of every other pixel
  // of every other row: the largest t whose split dark <= t, light > t
  // separates the two classes best.
  int otsu(const ARUint8* image, int width, int height)
  {
    std::array<long long, 256> hist{};
    for (int y = 0; y < height; y += 2)
      {
        const ARUint8* p = image + static_cast<std::size_t>(y) * width * 4;
        for (int x = 0; x < width; x += 2, p += 8)
          ++hist[static_cast<std::size_t>((p[0] + p[1] + p[2]) / 3)];
      }
    long long total = 0;
    double sum = 0;
    for (int g = 0; g < 256; ++g)
      {
        total += hist[static_cast<std::size_t>(g)];
        sum += static_cast<double>(g) * hist[static_cast<std::size_t>(g)];
      }
    long long dark = 0;
    double darkSum = 0, best = -1;
    int thresh = 100;
    for (int t = 0; t < 255; ++t)
      {
        dark += hist[static_cast<std::size_t>(t)];
        darkSum += static_cast<double>(t) * hist[static_cast<std::size_t>(t)];
        const long long light = total - dark;
        if (dark == 0 || light == 0)
          continue;
        const double meanDark = darkSum / dark, meanLight = (sum - darkSum) / light;
        const double between = static_cast<double>(dark) * light * (meanLight - meanDark) * (meanLight - meanDark);
        if (between > best)
          {
            best = between;
            thresh = t;
          }
      }
    return thresh;
  }

  // Midway between the median grey of a marker's black frame (the middle
  // of its band) and that of the paper just outside it; -1 when the two
  // are not told apart (no paper around it, or a marker leaving the frame).
  int markerThresh(const ARUint8* image, int width, int height, const ARMarkerInfo& m)
  {
    cv::Point2f unit[4] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}}, seen[4];
    for (int i = 0; i < 4; ++i)
      {
        double ox, oy;
        arParamIdeal2Observ(arParam.dist_factor, m.vertex[i][0], m.vertex[i][1], &ox, &oy);
        seen[i] = cv::Point2f(static_cast<float>(ox), static_cast<float>(oy));
      }
    const cv::Matx33d H = cv::getPerspectiveTransform(unit, seen);
    // Points around the square of half-side r about the centre.
    const auto ring = [&](double r, std::vector<int>& greys) {
      const int per = 16;
      for (int side = 0; side < 4; ++side)
        for (int k = 0; k < per; ++k)
          {
            const double t = -r + 2 * r * (k + 0.5) / per;
            const double u = 0.5 + (side == 0 ? t : side == 1 ? r : side == 2 ? -t : -r);
            const double v = 0.5 + (side == 0 ? -r : side == 1 ? t : side == 2 ? r : -t);
            const double w = H(2, 0) * u + H(2, 1) * v + H(2, 2);
            if (w <= 0)
              continue;
            const int g = greyAt(image, width, height, (H(0, 0) * u + H(0, 1) * v + H(0, 2)) / w,
                                 (H(1, 0) * u + H(1, 1) * v + H(1, 2)) / w);
            if (g >= 0)
              greys.push_back(g);
          }
    };
    std::vector<int> frame, paper;
    ring(0.375, frame);   // the frame is the outer quarter on each side
    ring(0.5625, paper);  // a sixteenth of the side outside the edge
    if (frame.size() < 32 || paper.size() < 32)
      return -1;
    std::nth_element(frame.begin(), frame.begin() + frame.size() / 2, frame.end());
    std::nth_element(paper.begin(), paper.begin() + paper.size() / 2, paper.end());
    const int dark = frame[frame.size() / 2], light = paper[paper.size() / 2];
    if (light - dark < 16)
      return -1;
    return (dark + light) / 2;
  }

  // Local threshold: dark when the grey lies below the mean of the square
  // neighbourhood around it (about a tenth of the image's shorter side) by a
  // quarter of that mean, and by at least kMinOffset. Light scales ink and
  // paper alike, so a share of the mean holds in a dim corner as under the
  // lamp, where a fixed offset would ask more contrast than a dim marker
  // has; the floor keeps sensor noise in dark places from counting. The
  // mean changes slowly: it is taken on a picture a quarter the size, and
  // the threshold brought back to full size between its points.
  constexpr int kMinOffset = 8;
  constexpr double kShareOfMean = 0.25;

  int localThresh(int mean)
  {
    return std::max(0, std::min(mean - kMinOffset, static_cast<int>(mean * (1 - kShareOfMean) + 0.5)));
  }

  int adaptive(const ARUint8* image, int width, int height, cv::Mat& mask)
  {
    static cv::Mat grey, small, smallMean;
    const cv::Mat bgra(height, width, CV_8UC4, const_cast<ARUint8*>(image));
    cv::cvtColor(bgra, grey, cv::COLOR_BGRA2GRAY);
    const int shrink = std::min(width, height) >= 160 ? 4 : 1;
    const int block = std::max(3, std::min(width, height) / 10 / shrink) | 1;
    if (shrink > 1)
      cv::resize(grey, small, cv::Size((width + shrink - 1) / shrink, (height + shrink - 1) / shrink), 0, 0,
                 cv::INTER_AREA);
    else
      grey.copyTo(small);
    cv::blur(small, smallMean, cv::Size(block, block), cv::Point(-1, -1), cv::BORDER_REPLICATE);
    static cv::Mat byShare, byFloor, smallThresh, thresh;
    smallMean.convertTo(byShare, CV_8U, 1 - kShareOfMean);
    cv::subtract(smallMean, cv::Scalar(kMinOffset), byFloor);
    cv::min(byShare, byFloor, smallThresh);
    if (shrink > 1)
      cv::resize(smallThresh, thresh, grey.size(), 0, 0, cv::INTER_LINEAR);
    else
      smallThresh.copyTo(thresh);
    cv::compare(grey, thresh, mask, cv::CMP_LE);
    ar::clearFrame(mask);
    return localThresh(static_cast<int>(std::lround(cv::mean(smallMean)[0])));
  }
}

namespace ar
{
  void darkMask(const ARUint8* image, int width, int height, int thresh, const std::vector<ARMarkerInfo>& previous,
                cv::Mat& mask)
  {
    switch (g_mode)
      {
      case AR_LABELING_THRESH_MODE_AUTO_ADAPTIVE:
        g_lastThresh = adaptive(image, width, height, mask);
        return;
      case AR_LABELING_THRESH_MODE_AUTO_OTSU:
        thresh = otsu(image, width, height);
        break;
      case AR_LABELING_THRESH_MODE_AUTO_MEDIAN:
        {
          int sum = 0, count = 0;
          for (const ARMarkerInfo& m : previous)
            {
              const int t = markerThresh(image, width, height, m);
              if (t >= 0)
                {
                  sum += t;
                  ++count;
                }
            }
          thresh = count > 0 ? sum / count : otsu(image, width, height);
          break;
        }
      default:
        break;
      }
    g_lastThresh = thresh;
    binarise(image, width, height, thresh, mask);
  }
}

extern "C" int arSetLabelingThreshMode(AR_LABELING_THRESH_MODE mode)
{
  switch (mode)
    {
    case AR_LABELING_THRESH_MODE_MANUAL:
    case AR_LABELING_THRESH_MODE_AUTO_MEDIAN:
    case AR_LABELING_THRESH_MODE_AUTO_OTSU:
    case AR_LABELING_THRESH_MODE_AUTO_ADAPTIVE:
      g_mode = mode;
      return 0;
    default:
      return -1;
    }
}

extern "C" int arGetLabelingThreshMode(AR_LABELING_THRESH_MODE* mode)
{
  if (mode == nullptr)
    return -1;
  *mode = g_mode;
  return 0;
}

extern "C" int arGetLabelingThresh(int* thresh)
{
  if (thresh == nullptr)
    return -1;
  *thresh = g_lastThresh;
  return 0;
}
