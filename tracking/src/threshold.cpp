// Stage 1 of detection, the threshold: which pixels are dark, in the mode
// the caller chose (fixed, from last frame's markers, Otsu's, or local).
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

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

  // The local mean is taken on the sums S = b + g + r (three times the
  // grey) of 8 x 8 blocks, blurred; the threshold at a pixel is the
  // bilinear blend of the block thresholds around it (to an eighth), kept
  // in integers so that the blend and the test run on every pixel in one
  // pass over the image.
  constexpr int kBlock = 8;

  // Where pixel i lies between blocks, as a resize places it:
  // (i + 0.5) / 8 - 0.5 = (2 i - 7) / 16 blocks; the blocks a and b around
  // it and b's weight in eighths (the first and last block held at the
  // edges).
  void between(int i, int blocks, int& a, int& b, int& f)
  {
    const int pos = std::max(0, 2 * i - (kBlock - 1));
    a = std::min(pos / (2 * kBlock), blocks - 1);
    b = std::min(a + 1, blocks - 1);
    f = a == b ? 0 : (pos % (2 * kBlock)) * 8 / (2 * kBlock);
  }

  struct Adaptive
  {
    cv::Mat sums, mean;        // per block: mean S, then blurred
    cv::Mat blockThresh;       // per block, in S (16 bit)
    cv::Mat wide;              // block rows brought to full width, S x 8
    std::vector<uint16_t> acc, row;
    std::vector<int> columnBlock, columnWeight;  // per pixel column: between()
    int blocks = 0;
  };

  // S of every pixel of a row added to acc.
  void addRow(const ARUint8* p, uint16_t* acc, int width)
  {
    int x = 0;
#if CV_SIMD
    const int lanes = cv::v_uint8::nlanes;
    for (; x <= width - lanes; x += lanes)
      {
        cv::v_uint16 low, high;
        ar::channelSums(p + 4 * x, low, high);
        cv::v_store(acc + x, cv::vx_load(acc + x) + low);
        cv::v_store(acc + x + lanes / 2, cv::vx_load(acc + x + lanes / 2) + high);
      }
#endif
    for (; x < width; ++x)
      acc[x] = static_cast<uint16_t>(acc[x] + p[4 * x] + p[4 * x + 1] + p[4 * x + 2]);
  }

  // limit64 = upper * (8 - f) + lower * f.
  void blendRows(const uint16_t* upper, const uint16_t* lower, int f, uint16_t* limit64, int width)
  {
    int x = 0;
#if CV_SIMD
    const int lanes = cv::v_uint16::nlanes;
    const cv::v_uint16 wu = cv::vx_setall_u16(static_cast<uint16_t>(8 - f)), wl = cv::vx_setall_u16(static_cast<uint16_t>(f));
    for (; x <= width - lanes; x += lanes)
      cv::v_store(limit64 + x, cv::v_mul_wrap(cv::vx_load(upper + x), wu) + cv::v_mul_wrap(cv::vx_load(lower + x), wl));
#endif
    for (; x < width; ++x)
      limit64[x] = static_cast<uint16_t>(upper[x] * (8 - f) + lower[x] * f);
  }

  // Dark where S x 64 <= limit64.
  void darkRow(const ARUint8* p, const uint16_t* limit64, ARUint8* out, int width)
  {
    int x = 0;
#if CV_SIMD
    const int lanes = cv::v_uint8::nlanes, half = cv::v_uint16::nlanes;
    for (; x <= width - lanes; x += lanes)
      {
        cv::v_uint16 low, high;
        ar::channelSums(p + 4 * x, low, high);
        cv::v_store(out + x, cv::v_pack((low << 6) <= cv::vx_load(limit64 + x),
                                        (high << 6) <= cv::vx_load(limit64 + x + half)));
      }
#endif
    for (; x < width; ++x)
      out[x] = static_cast<ARUint8>((p[4 * x] + p[4 * x + 1] + p[4 * x + 2]) * 64 <= limit64[x] ? 255 : 0);
  }

  // A row of block values t brought to full width, x 8.
  void widen(const uint16_t* t, const std::vector<int>& a, const std::vector<int>& f, uint16_t* out, int width,
             int blocks)
  {
    for (int x = 0; x < width; ++x)
      {
        const int i = a[static_cast<std::size_t>(x)], w = f[static_cast<std::size_t>(x)];
        out[x] = static_cast<uint16_t>(t[i] * (8 - w) + t[std::min(i + 1, blocks - 1)] * w);
      }
  }

  int adaptive(const ARUint8* image, int width, int height, cv::Mat& mask)
  {
    static Adaptive w;
    const int bw = (width + kBlock - 1) / kBlock, bh = (height + kBlock - 1) / kBlock;
    w.sums.create(bh, bw, CV_32F);
    w.acc.resize(static_cast<std::size_t>(width) + 64);
    w.row.resize(static_cast<std::size_t>(width) + 64);
    // Block means of S from the middle row of each block (the mean is
    // blurred over many blocks next, and an eighth of the rows read is an
    // eighth of the memory traffic): that row, then each block's eight
    // columns.
    for (int by = 0; by < bh; ++by)
      {
        std::fill(w.acc.begin(), w.acc.end(), static_cast<uint16_t>(0));
        const int rows = 1;
        addRow(image + static_cast<std::size_t>(std::min(height - 1, by * kBlock + kBlock / 2)) * width * 4,
               w.acc.data(), width);
        float* out = w.sums.ptr<float>(by);
        const uint16_t* a = w.acc.data();
        const float whole = 1.0f / static_cast<float>(kBlock * rows);
        int bx = 0;
        for (; (bx + 1) * kBlock <= width; ++bx, a += kBlock)
          out[bx] = static_cast<float>(a[0] + a[1] + a[2] + a[3] + a[4] + a[5] + a[6] + a[7]) * whole;
        if (bx < bw)  // a last block narrower than the others
          {
            unsigned sum = 0;
            for (int x = bx * kBlock; x < width; ++x)
              sum += w.acc[static_cast<std::size_t>(x)];
            out[bx] = static_cast<float>(sum) / static_cast<float>((width - bx * kBlock) * rows);
          }
      }
    // The neighbourhood: about a tenth of the shorter side.
    const int window = std::max(3, std::min(width, height) / 10 / kBlock) | 1;
    cv::blur(w.sums, w.mean, cv::Size(window, window), cv::Point(-1, -1), cv::BORDER_REPLICATE);
    w.blockThresh.create(bh, bw, CV_16U);
    double total = 0;
    for (int by = 0; by < bh; ++by)
      {
        const float* m = w.mean.ptr<float>(by);
        uint16_t* t = w.blockThresh.ptr<uint16_t>(by);
        for (int bx = 0; bx < bw; ++bx)
          {
            total += m[bx];
            const double limit = std::min(m[bx] * (1 - kShareOfMean), m[bx] - 3.0 * kMinOffset);
            t[bx] = static_cast<uint16_t>(std::max(0.0, limit) + 0.5);
          }
      }
    // Along x as a resize blends (the block rows brought to full width,
    // in eighths again); along y in the test itself.
    if (static_cast<int>(w.columnBlock.size()) != width || w.blocks != bw)
      {
        w.columnBlock.resize(static_cast<std::size_t>(width));
        w.columnWeight.resize(static_cast<std::size_t>(width));
        for (int x = 0; x < width; ++x)
          {
            int b;
            between(x, bw, w.columnBlock[static_cast<std::size_t>(x)], b, w.columnWeight[static_cast<std::size_t>(x)]);
          }
        w.blocks = bw;
      }
    w.wide.create(bh, width, CV_16U);
    for (int by = 0; by < bh; ++by)
      widen(w.blockThresh.ptr<uint16_t>(by), w.columnBlock, w.columnWeight, w.wide.ptr<uint16_t>(by), width, bw);
    mask.create(height, width, CV_8UC1);
    for (int y = 0; y < height; ++y)
      {
        // Two rows share one blend: the threshold changes little over a block.
        int a, b, f;
        between(y & ~1, bh, a, b, f);
        if ((y & 1) == 0)
          blendRows(w.wide.ptr<uint16_t>(a), w.wide.ptr<uint16_t>(b), f, w.row.data(), width);
        darkRow(image + static_cast<std::size_t>(y) * width * 4, w.row.data(), mask.ptr<ARUint8>(y), width);
      }
    ar::clearFrame(mask);
    return localThresh(static_cast<int>(std::lround(total / (static_cast<double>(bw) * bh) / 3.0)));
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
