// Stage 1 of detection, the threshold: which pixels are dark, in the mode
// the caller chose (fixed, from last frame's markers, Otsu's, or local).
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
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
  // neighbourhood around it (about a tenth of the image's shorter side) by
  // kShareOfMean of that mean, and by at least kMinOffset. Light scales ink
  // and paper alike, so a share of the mean holds in a dim corner as under
  // the lamp, where a fixed offset would ask more contrast than a dim
  // marker has; the floor keeps sensor noise in dark places from counting.
  // Printed black lies far below any neighbourhood that holds paper, while
  // the shading of walls and benches seldom falls 40 % below its
  // surroundings: each of its spots would be a region to label.
  constexpr int kMinOffset = 8;
  constexpr double kShareOfMean = 0.4;

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
    std::vector<uint32_t> sums;     // per block: S over 8 pixels of its middle row, then boxed
    std::vector<uint32_t> across;   // sums boxed along the block row
    std::vector<uint32_t> column;   // the box down one column of blocks
    std::vector<uint32_t> padded;   // one row of sums, its ends repeated
    std::vector<int16_t> row;       // the bound of the row under test
    cv::Mat blockThresh;            // per block, in S (16 bit)
    cv::Mat wide;                   // two block rows brought to full width, S x 8
    std::vector<int> columnBlock, columnWeight;  // per pixel column: between()
    int blocks = 0;
  };

  // S summed over each block of 8 pixels of a row into out[0..blocks); a
  // last block narrower than 8 is scaled to 8 pixels.
  void blockSums(const ARUint8* p, int width, uint32_t* out, int blocks)
  {
    int bx = 0;
#if CV_SSE2
    // Alpha masked off, the byte sums of 2 pixels each (a block's four
    // pairs, the next block's four) in 64-bit lanes; two blocks at a time.
    {
      const __m128i colour = _mm_set1_epi32(0x00ffffff), zero = _mm_setzero_si128();
      const auto pairs = [&](const ARUint8* q) {
        const __m128i* v = reinterpret_cast<const __m128i*>(q);
        return _mm_add_epi64(_mm_sad_epu8(_mm_and_si128(_mm_loadu_si128(v), colour), zero),
                             _mm_sad_epu8(_mm_and_si128(_mm_loadu_si128(v + 1), colour), zero));
      };
      for (; (bx + 2) * kBlock <= width; bx += 2)
        {
          const ARUint8* q = p + 4 * kBlock * bx;
          const __m128i a = pairs(q), b = pairs(q + 4 * kBlock);
          const __m128i both = _mm_add_epi64(_mm_unpacklo_epi64(a, b), _mm_unpackhi_epi64(a, b));
          out[bx] = static_cast<uint32_t>(_mm_cvtsi128_si32(both));
          out[bx + 1] = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(both, both)));
        }
    }
#endif
#if CV_SIMD128
    // Alpha masked off, the byte sum of 4 pixels is their S.
    const cv::v_uint8x16 colour = cv::v_reinterpret_as_u8(cv::v_setall_u32(0x00ffffffu)), zero = cv::v_setzero_u8();
    for (; (bx + 1) * kBlock <= width; ++bx)
      {
        const ARUint8* q = p + 4 * kBlock * bx;
        out[bx] = cv::v_reduce_sad(cv::v_load(q) & colour, zero) + cv::v_reduce_sad(cv::v_load(q + 16) & colour, zero);
      }
#endif
    for (; bx < blocks; ++bx)
      {
        const int x0 = bx * kBlock, x1 = std::min(width, x0 + kBlock);
        uint32_t sum = 0;
        for (int x = x0; x < x1; ++x)
          sum += static_cast<uint32_t>(p[4 * x] + p[4 * x + 1] + p[4 * x + 2]);
        out[bx] = (sum * kBlock + static_cast<uint32_t>(x1 - x0) / 2) / static_cast<uint32_t>(x1 - x0);
      }
  }

  // acc += plus - minus (minus may be null), n values.
  void addRows(uint32_t* acc, const uint32_t* plus, const uint32_t* minus, int n)
  {
    int i = 0;
#if CV_SIMD
    const int lanes = cv::v_uint32::nlanes;
    for (; i <= n - lanes; i += lanes)
      {
        cv::v_uint32 v = cv::vx_load(acc + i) + cv::vx_load(plus + i);
        if (minus != nullptr)
          v = v - cv::vx_load(minus + i);
        cv::v_store(acc + i, v);
      }
#endif
    for (; i < n; ++i)
      acc[i] += plus[i] - (minus != nullptr ? minus[i] : 0);
  }

  // The threshold of each block, in S, from its box sum (box: the pixels
  // one box sum stands for); the sum of the box sums is returned.
  uint64_t blockThresholds(const uint32_t* box, int n, float perPixel, uint16_t* t)
  {
    const float keep = static_cast<float>(1 - kShareOfMean), offset = 3.0f * kMinOffset;
    uint64_t total = 0;
    int i = 0;
#if CV_SIMD128
    const cv::v_float32x4 scale = cv::v_setall_f32(perPixel), k = cv::v_setall_f32(keep), o = cv::v_setall_f32(offset);
    const cv::v_float32x4 zero = cv::v_setzero_f32(), half = cv::v_setall_f32(0.5f);
    for (; i + 8 <= n; i += 8)
      {
        cv::v_int32x4 q[2];
        for (int h = 0; h < 2; ++h)
          {
            const cv::v_uint32x4 b = cv::v_load(box + i + 4 * h);
            total += cv::v_reduce_sum(b);
            // Box sums stay far below 2^31: their signed conversion is exact.
            const cv::v_float32x4 m = cv::v_cvt_f32(cv::v_reinterpret_as_s32(b)) * scale;
            q[h] = cv::v_trunc(cv::v_max(zero, cv::v_min(m * k, m - o)) + half);
          }
        cv::v_store(t + i, cv::v_pack_u(q[0], q[1]));
      }
#endif
    for (; i < n; ++i)
      {
        total += box[i];
        const float m = static_cast<float>(box[i]) * perPixel;  // mean S
        t[i] = static_cast<uint16_t>(std::max(0.0f, std::min(m * keep, m - offset)) + 0.5f);
      }
    return total;
  }

  // Each block's sum replaced by the sum over the square of (2r+1)^2
  // blocks around it, the outermost blocks repeated beyond the edges:
  // along each row with a sliding sum, then down the columns a row at a
  // time (across holds the row sums).
  void boxSums(std::vector<uint32_t>& sums, std::vector<uint32_t>& across, std::vector<uint32_t>& column,
               std::vector<uint32_t>& padded, int bw, int bh, int r)
  {
    const auto clamp = [](int i, int n) { return static_cast<std::size_t>(std::min(n - 1, std::max(0, i))); };
    // A row with its end blocks repeated r times beyond each end: the
    // sliding sum then runs without a test.
    padded.resize(static_cast<std::size_t>(bw + 2 * r + 1));
    for (int by = 0; by < bh; ++by)
      {
        const uint32_t* in = &sums[static_cast<std::size_t>(by) * bw];
        uint32_t* out = &across[static_cast<std::size_t>(by) * bw];
        for (int i = 0; i < r; ++i)
          {
            padded[static_cast<std::size_t>(i)] = in[0];
            padded[static_cast<std::size_t>(bw + r + i)] = in[bw - 1];
          }
        padded[static_cast<std::size_t>(bw + 2 * r)] = in[bw - 1];
        std::copy(in, in + bw, padded.begin() + r);
        const uint32_t* p = padded.data();
        uint32_t sum = 0;
        for (int i = 0; i <= 2 * r; ++i)
          sum += p[i];
        for (int bx = 0; bx < bw; ++bx)
          {
            out[bx] = sum;
            sum += p[bx + 2 * r + 1] - p[bx];
          }
      }
    column.assign(static_cast<std::size_t>(bw), 0);
    for (int i = -r; i <= r; ++i)
      addRows(column.data(), &across[clamp(i, bh) * bw], nullptr, bw);
    for (int by = 0; by < bh; ++by)
      {
        std::copy(column.begin(), column.end(), sums.begin() + by * bw);
        addRows(column.data(), &across[clamp(by + r + 1, bh) * bw], &across[clamp(by - r, bh) * bw], bw);
      }
  }

  // The bound a row is tested against, from the rows of block values
  // (x 8) above and below it and the lower one's weight f in eighths:
  // limit = upper * (8 - f) + lower * f, S x 64 at most. S x 64 <= limit
  // holds for a whole number S exactly when S < limit / 64 (rounded down)
  // + 1, the bound: a test of S itself, in signed 16-bit lanes.
  void blendRows(const uint16_t* upper, const uint16_t* lower, int f, int16_t* bound, int width)
  {
    int x = 0;
#if CV_SIMD
    const int lanes = cv::v_uint16::nlanes;
    const cv::v_uint16 wu = cv::vx_setall_u16(static_cast<uint16_t>(8 - f)), wl = cv::vx_setall_u16(static_cast<uint16_t>(f));
    const cv::v_uint16 one = cv::vx_setall_u16(1);
    if (f == 0)
      // On the upper row's own blocks: limit / 64 is upper / 8.
      for (; x <= width - 2 * lanes; x += 2 * lanes)
        {
          cv::v_store(bound + x, cv::v_reinterpret_as_s16((cv::vx_load(upper + x) >> 3) + one));
          cv::v_store(bound + x + lanes, cv::v_reinterpret_as_s16((cv::vx_load(upper + x + lanes) >> 3) + one));
        }
    else
      for (; x <= width - 2 * lanes; x += 2 * lanes)
        {
          const cv::v_uint16 first = cv::v_mul_wrap(cv::vx_load(upper + x), wu) + cv::v_mul_wrap(cv::vx_load(lower + x), wl);
          const cv::v_uint16 second =
            cv::v_mul_wrap(cv::vx_load(upper + x + lanes), wu) + cv::v_mul_wrap(cv::vx_load(lower + x + lanes), wl);
          cv::v_store(bound + x, cv::v_reinterpret_as_s16((first >> 6) + one));
          cv::v_store(bound + x + lanes, cv::v_reinterpret_as_s16((second >> 6) + one));
        }
#endif
    for (; x < width; ++x)
      bound[x] = static_cast<int16_t>(((upper[x] * (8 - f) + lower[x] * f) >> 6) + 1);
  }

  // Dark where S < bound.
  void darkRow(const ARUint8* p, const int16_t* bound, ARUint8* out, int width)
  {
    int x = 0;
#if CV_SIMD
    const int lanes = cv::v_uint8::nlanes, half = cv::v_uint16::nlanes;
    for (; x <= width - lanes; x += lanes)
      {
        cv::v_uint16 low, high;
        ar::channelSums(p + 4 * x, low, high);
        const cv::v_int16 darkLow = cv::vx_load(bound + x) > cv::v_reinterpret_as_s16(low);
        const cv::v_int16 darkHigh = cv::vx_load(bound + x + half) > cv::v_reinterpret_as_s16(high);
        cv::v_store(out + x, cv::v_reinterpret_as_u8(cv::v_pack(darkLow, darkHigh)));
      }
#endif
    for (; x < width; ++x)
      out[x] = static_cast<ARUint8>(p[4 * x] + p[4 * x + 1] + p[4 * x + 2] < bound[x] ? 255 : 0);
  }

  // A row of block values t brought to full width, x 8. Pixels 8a+4 ..
  // 8a+11 lie between blocks a and a+1 with a+1's weight 0..7 (between()),
  // so the interior goes a block pair at a time; the columns before the
  // first pair and after the last follow the table.
  void widen(const uint16_t* t, const std::vector<int>& a, const std::vector<int>& f, uint16_t* out, int width,
             int blocks)
  {
    const auto scalar = [&](int x) {
      const int i = a[static_cast<std::size_t>(x)], w = f[static_cast<std::size_t>(x)];
      out[x] = static_cast<uint16_t>(t[i] * (8 - w) + t[std::min(i + 1, blocks - 1)] * w);
    };
    int x = 0;
#if CV_SSE2
    // The pair's two values from one 32-bit load, each spread over eight
    // lanes by one shuffle.
    const __m128i rising = _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7), falling = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
    for (; x < std::min(width, kBlock / 2); ++x)
      scalar(x);
    for (int b = 0; b + 1 < blocks && x + kBlock <= width; ++b, x += kBlock)
      {
        uint32_t pair;
        std::memcpy(&pair, t + b, sizeof pair);
        const __m128i both = _mm_unpacklo_epi16(_mm_cvtsi32_si128(static_cast<int>(pair)), _mm_cvtsi32_si128(static_cast<int>(pair)));
        const __m128i left = _mm_shuffle_epi32(both, 0x00), right = _mm_shuffle_epi32(both, 0x55);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x),
                         _mm_add_epi16(_mm_mullo_epi16(left, falling), _mm_mullo_epi16(right, rising)));
      }
#elif CV_SIMD128
    const cv::v_uint16x8 rising(0, 1, 2, 3, 4, 5, 6, 7), falling(8, 7, 6, 5, 4, 3, 2, 1);
    for (; x < std::min(width, kBlock / 2); ++x)
      scalar(x);
    for (int b = 0; b + 1 < blocks && x + kBlock <= width; ++b, x += kBlock)
      cv::v_store(out + x, cv::v_mul_wrap(cv::v_setall_u16(t[b]), falling) +
                             cv::v_mul_wrap(cv::v_setall_u16(t[b + 1]), rising));
#endif
    for (; x < width; ++x)
      scalar(x);
  }

  int adaptive(const ARUint8* image, int width, int height, cv::Mat& mask)
  {
    static Adaptive w;
    const int bw = (width + kBlock - 1) / kBlock, bh = (height + kBlock - 1) / kBlock;
    const std::size_t blocks = static_cast<std::size_t>(bw) * static_cast<std::size_t>(bh);
    w.sums.resize(blocks);
    w.across.resize(blocks);
    w.row.resize(static_cast<std::size_t>(width) + 64);
    // Block sums from the middle row of each block (the mean is blurred
    // over many blocks next, and an eighth of the rows read is an eighth of
    // the memory traffic).
    for (int by = 0; by < bh; ++by)
      blockSums(image + static_cast<std::size_t>(std::min(height - 1, by * kBlock + kBlock / 2)) * width * 4, width,
                &w.sums[static_cast<std::size_t>(by) * bw], bw);
    // The neighbourhood: a square of about a tenth of the shorter side,
    // summed along the rows, then down the columns (back into sums).
    const int window = std::max(3, std::min(width, height) / 10 / kBlock) | 1, r = window / 2;
    boxSums(w.sums, w.across, w.column, w.padded, bw, bh, r);
    w.blockThresh.create(bh, bw, CV_16U);
    const float perPixel = 1.0f / static_cast<float>(kBlock * window * window);
    uint64_t total = 0;
    for (int by = 0; by < bh; ++by)
      total += blockThresholds(&w.sums[static_cast<std::size_t>(by) * bw], bw, perPixel, w.blockThresh.ptr<uint16_t>(by));
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
    // Only the two block rows in use are kept at full width, each widened
    // when the rows under test first reach it (block rows come in order):
    // they stay in the first-level cache, where a whole frame of them would
    // not.
    w.wide.create(2, width, CV_16U);
    int widened[2] = {-1, -1};
    const auto wideRow = [&](int by, int other) {
      for (int slot = 0; slot < 2; ++slot)
        if (widened[slot] == by)
          return w.wide.ptr<uint16_t>(slot);
      const int slot = widened[0] == other ? 1 : 0;
      widen(w.blockThresh.ptr<uint16_t>(by), w.columnBlock, w.columnWeight, w.wide.ptr<uint16_t>(slot), width, bw);
      widened[slot] = by;
      return w.wide.ptr<uint16_t>(slot);
    };
    mask.create(height, width, CV_8UC1);
    for (int y = 0; y < height; ++y)
      {
        // Two rows share one blend: the threshold changes little over a block.
        if ((y & 1) == 0)
          {
            int a, b, f;
            between(y, bh, a, b, f);
            const uint16_t* upper = wideRow(a, b);
            const uint16_t* lower = wideRow(b, a);
            blendRows(upper, lower, f, w.row.data(), width);
          }
        darkRow(image + static_cast<std::size_t>(y) * width * 4, w.row.data(), mask.ptr<ARUint8>(y), width);
      }
    ar::clearFrame(mask);
    return localThresh(static_cast<int>(std::lround(static_cast<double>(total) * perPixel / (static_cast<double>(bw) * bh) / 3.0)));
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
