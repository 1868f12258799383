// Stage 5 of detection: sampling the pattern inside a square.
#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>

#include <AR/param.h>

#include "internal.h"

namespace ar
{
#if CV_SIMD128
  namespace
  {
    // A pixel's B, G, R, A as four single-precision lanes.
    cv::v_float32x4 channels(const ARUint8* at)
    {
      return cv::v_cvt_f32(cv::v_reinterpret_as_s32(cv::v_load_expand_q(at)));
    }
  }
#endif

  void samplePattern(const ARUint8* image, int width, int height, const double dist_factor[4],
                     const double vertex[4][2], int sample[PATTERN_VALUES])
  {
    // The unit square onto the fitted corners (ideal coordinates); its
    // central half is the pattern. Each of the 16 x 16 cells is the mean
    // of kPer x kPer points spread over it, each taken between the four
    // pixels around it where the camera saw it: small and steep markers
    // are sampled where their cells are, not where the outline's integer
    // corners put them.
    constexpr int kPer = 3;
    cv::Point2f unit[4] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}}, to[4];
    for (int i = 0; i < 4; ++i)
      to[i] = cv::Point2f(static_cast<float>(vertex[i][0]), static_cast<float>(vertex[i][1]));
    const cv::Matx33d H = cv::getPerspectiveTransform(unit, to);
    const int cell = AR_PATT_SIZE_X * AR_PATT_SIZE_Y;
    // The points lie on a grid of kPer x 16 positions across and down:
    // each column's and row's share of the map is worked out once.
    constexpr int kAlong = kPer * AR_PATT_SIZE_X, kDown = kPer * AR_PATT_SIZE_Y;
    double across[kAlong][3], down[kDown][3];
    for (int i = 0; i < kAlong; ++i)
      {
        const double u = 0.25 + 0.5 * (i / kPer + (i % kPer + 0.5) / kPer) / AR_PATT_SIZE_X;
        for (int k = 0; k < 3; ++k)
          across[i][k] = H(k, 0) * u;
      }
    for (int j = 0; j < kDown; ++j)
      {
        const double v = 0.25 + 0.5 * (j / kPer + (j % kPer + 0.5) / kPer) / AR_PATT_SIZE_Y;
        for (int k = 0; k < 3; ++k)
          down[j][k] = H(k, 1) * v + H(k, 2);
      }
    for (int row = 0; row < AR_PATT_SIZE_Y; ++row)
      for (int col = 0; col < AR_PATT_SIZE_X; ++col)
        {
          // B, G, R (and A, unused) summed over the cell's points.
#if CV_SIMD128
          cv::v_float32x4 total = cv::v_setzero_f32();
#else
          double total[4] = {0, 0, 0, 0};
#endif
          for (int a = 0; a < kPer; ++a)
            for (int b = 0; b < kPer; ++b)
              {
                const double* x = across[col * kPer + b];
                const double* y = down[row * kPer + a];
                const double w = x[2] + y[2];
                if (w == 0)
                  continue;
                const double toIdeal = 1.0 / w;
                double ox, oy;
                arParamIdeal2Observ(dist_factor, (x[0] + y[0]) * toIdeal, (x[1] + y[1]) * toIdeal, &ox, &oy);
                if (!(ox >= 0 && oy >= 0 && ox <= width - 1 && oy <= height - 1))
                  continue;  // outside the image counts as black
                const int x0 = std::min(static_cast<int>(ox), width - 2), y0 = std::min(static_cast<int>(oy), height - 2);
                const double fx = ox - x0, fy = oy - y0;
                const ARUint8* p = image + (static_cast<std::size_t>(y0) * width + x0) * 4;
                const ARUint8* q = p + static_cast<std::size_t>(width) * 4;
                const double w00 = (1 - fx) * (1 - fy), w01 = fx * (1 - fy), w10 = (1 - fx) * fy, w11 = fx * fy;
#if CV_SIMD128
                // The four pixels' channels at once, in single precision
                // (sums of at most 9 x 255: exact enough to round alike).
                total += channels(p) * cv::v_setall_f32(static_cast<float>(w00)) +
                         channels(p + 4) * cv::v_setall_f32(static_cast<float>(w01)) +
                         channels(q) * cv::v_setall_f32(static_cast<float>(w10)) +
                         channels(q + 4) * cv::v_setall_f32(static_cast<float>(w11));
#else
                for (int c = 0; c < 3; ++c)
                  total[c] += w00 * p[c] + w01 * p[4 + c] + w10 * q[c] + w11 * q[4 + c];
#endif
              }
#if CV_SIMD128
          float sum[4];
          cv::v_store(sum, total);
#else
          const double* sum = total;
#endif
          const int at = row * AR_PATT_SIZE_X + col;
          for (int c = 0; c < 3; ++c)
            sample[c * cell + at] = static_cast<int>(sum[c] / (kPer * kPer) + 0.5);
        }
  }

  void glancePattern(const ARUint8* image, int width, int height, const double dist_factor[4],
                     const double vertex[4][2], int sample[PATTERN_VALUES])
  {
    // Where the camera saw the corners; inside them the lens is taken as
    // straight, which a first look can afford.
    double x[4], y[4];
    for (int i = 0; i < 4; ++i)
      arParamIdeal2Observ(dist_factor, vertex[i][0], vertex[i][1], &x[i], &y[i]);
    // The unit square onto those corners: (0,0), (1,0), (1,1), (0,1) to
    // corners 0..3.
    const double sx = x[0] - x[1] + x[2] - x[3], sy = y[0] - y[1] + y[2] - y[3];
    const double dx1 = x[1] - x[2], dx2 = x[3] - x[2], dy1 = y[1] - y[2], dy2 = y[3] - y[2];
    const double det = dx1 * dy2 - dx2 * dy1;
    const double g = det != 0 ? (sx * dy2 - dx2 * sy) / det : 0;
    const double h = det != 0 ? (dx1 * sy - sx * dy1) / det : 0;
    const double a = x[1] - x[0] + g * x[1], b = x[3] - x[0] + h * x[3];
    const double d = y[1] - y[0] + g * y[1], e = y[3] - y[0] + h * y[3];
    const int cell = AR_PATT_SIZE_X * AR_PATT_SIZE_Y;
    // Cell centres across, in single precision (a hundredth of a pixel and
    // better in any image): a row's sixteen positions are worked out in one
    // loop of their own, which the compiler can run four lanes at a time.
    float across[AR_PATT_SIZE_X];
    for (int col = 0; col < AR_PATT_SIZE_X; ++col)
      across[col] = static_cast<float>(0.25 + 0.5 * (col + 0.5) / AR_PATT_SIZE_X);
    const float fa = static_cast<float>(a), fd = static_cast<float>(d), fg = static_cast<float>(g);
    for (int row = 0; row < AR_PATT_SIZE_Y; ++row)
      {
        const double v = 0.25 + 0.5 * (row + 0.5) / AR_PATT_SIZE_Y;
        const float xv = static_cast<float>(b * v + x[0]), yv = static_cast<float>(e * v + y[0]);
        const float wv = static_cast<float>(h * v + 1);
        float xs[AR_PATT_SIZE_X], ys[AR_PATT_SIZE_X];
        for (int col = 0; col < AR_PATT_SIZE_X; ++col)
          {
            const float toImage = 1.0f / (fg * across[col] + wv);
            xs[col] = (fa * across[col] + xv) * toImage;
            ys[col] = (fd * across[col] + yv) * toImage;
          }
        for (int col = 0; col < AR_PATT_SIZE_X; ++col)
          {
            const int at = row * AR_PATT_SIZE_X + col;
            const float ox = xs[col], oy = ys[col];
            if (!(ox >= 0 && oy >= 0 && ox <= width - 1 && oy <= height - 1))
              {
                for (int c = 0; c < 3; ++c)
                  sample[c * cell + at] = 0;  // outside the image counts as black
                continue;
              }
            const int x0 = std::min(static_cast<int>(ox), width - 2), y0 = std::min(static_cast<int>(oy), height - 2);
            const float fx = ox - static_cast<float>(x0), fy = oy - static_cast<float>(y0);
            const ARUint8* p = image + (static_cast<std::size_t>(y0) * width + x0) * 4;
            const ARUint8* q = p + static_cast<std::size_t>(width) * 4;
#if CV_SIMD128
            const cv::v_float32x4 left = channels(p), below = channels(q);
            const cv::v_float32x4 top = left + (channels(p + 4) - left) * cv::v_setall_f32(fx);
            const cv::v_float32x4 bottom = below + (channels(q + 4) - below) * cv::v_setall_f32(fx);
            const cv::v_int32x4 value =
              cv::v_round(top + (bottom - top) * cv::v_setall_f32(fy));
            int out[4];
            cv::v_store(out, value);
            for (int c = 0; c < 3; ++c)
              sample[c * cell + at] = out[c];
#else
            for (int c = 0; c < 3; ++c)
              {
                const float top = p[c] + (p[4 + c] - p[c]) * fx, bottom = q[c] + (q[4 + c] - q[c]) * fx;
                sample[c * cell + at] = static_cast<int>(top + (bottom - top) * fy + 0.5f);
              }
#endif
          }
      }
  }
}
