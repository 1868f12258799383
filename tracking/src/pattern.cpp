// Pattern files and colour template matching.
#include "internal.h"
#include "regular_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <opencv2/core/hal/intrin.hpp>

namespace
{
  enum SlotState { FREE = 0, ACTIVE = 1, INACTIVE = 2 };

  struct Pattern
  {
    int state;
    // Inverted values minus the block mean: within -255..255, so that a dot
    // product with a sample's (768 products of at most 255 x 255) is exact
    // in 32 bits.
    std::int16_t colour[4][ar::PATTERN_VALUES];
    double colourNorm[4];
    // The same as a camera sees it when each cell is about a pixel or less
    // (blurred by a cell, the frame's black around it).
    std::int16_t soft[4][ar::PATTERN_VALUES];
    double softNorm[4];
  };

  // A block as seen through a blur of about a cell: each plane smoothed
  // with a Gaussian of sigma one cell, black beyond its edges (the frame).
  void soften(const int* raw, int* out)
  {
    const double w2[5] = {0.1353352832, 0.6065306597, 1.0, 0.6065306597, 0.1353352832};  // exp(-d^2/2)
    double total = 0;
    for (double v : w2)
      total += v;
    const int n = AR_PATT_SIZE_X;
    for (int plane = 0; plane < 3; ++plane)
      {
        const int* in = raw + plane * n * n;
        double rows[AR_PATT_SIZE_Y][AR_PATT_SIZE_X];
        for (int y = 0; y < n; ++y)
          for (int x = 0; x < n; ++x)
            {
              double acc = 0;
              for (int d = -2; d <= 2; ++d)
                acc += w2[d + 2] * (x + d >= 0 && x + d < n ? in[y * n + x + d] : 0);
              rows[y][x] = acc / total;
            }
        for (int y = 0; y < n; ++y)
          for (int x = 0; x < n; ++x)
            {
              double acc = 0;
              for (int d = -2; d <= 2; ++d)
                acc += w2[d + 2] * (y + d >= 0 && y + d < n ? rows[y + d][x] : 0);
              out[plane * n * n + y * n + x] = static_cast<int>(acc / total + 0.5);
            }
      }
  }

  Pattern g_patterns[AR_PATT_NUM_MAX];

  // Inverts a block, removes its integer mean and measures the result.
  void prepareBlock(const int* raw, std::int16_t* centred, double& norm)
  {
    long sum = 0;
    for (int i = 0; i < ar::PATTERN_VALUES; ++i)
      sum += 255 - raw[i];
    const long mean = sum / ar::PATTERN_VALUES;
    double squares = 0;
    for (int i = 0; i < ar::PATTERN_VALUES; ++i)
      {
        centred[i] = static_cast<std::int16_t>(255 - raw[i] - mean);
        squares += static_cast<double>(centred[i]) * centred[i];
      }
    norm = std::sqrt(squares);
    if (norm == 0.0)
      norm = 0.0000001;
  }

  enum Read { VALUE, NOT_A_NUMBER, OUT_OF_RANGE };

  // The next whitespace-separated integer of a pattern file, as fscanf's
  // %d reads it, but without its undefined behaviour on numbers that do not
  // fit, and refusing values outside 0..255, which no pattern holds.
  Read readValue(std::FILE* f, int& value)
  {
    int c;
    do
      c = std::getc(f);
    while (c != EOF && std::isspace(c));
    char token[16];
    std::size_t n = 0;
    while (c != EOF && !std::isspace(c))
      {
        if (n + 1 == sizeof token)
          return NOT_A_NUMBER;
        token[n++] = static_cast<char>(c);
        c = std::getc(f);
      }
    token[n] = '\0';
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(token, &end, 10);
    if (n == 0 || *end != '\0' || errno != 0)
      return NOT_A_NUMBER;
    value = static_cast<int>(std::max(-1L, std::min(v, 256L)));
    return v < 0 || v > 255 ? OUT_OF_RANGE : VALUE;
  }

  bool validSlot(int patt_no)
  {
    return patt_no >= 0 && patt_no < AR_PATT_NUM_MAX && g_patterns[patt_no].state != FREE;
  }
}

extern "C" int arLoadPatt(const char* filename)
{
  int slot = 0;
  while (slot < AR_PATT_NUM_MAX && g_patterns[slot].state != FREE)
    ++slot;
  if (slot == AR_PATT_NUM_MAX)
    return -1;
  std::string why;
  std::FILE* f = ar::openRegularFile(filename, ar::MAX_START_FILE_BYTES, "r", why);
  if (f == nullptr)
    {
      if (why == "does not exist" || filename == nullptr)
        std::printf("\"%s\" not found!!\n", filename != nullptr ? filename : "(null)");
      else
        std::fprintf(stderr, "arLoadPatt: %s: %s\n", filename, why.c_str());
      return -1;
    }
  static int raw[4][ar::PATTERN_VALUES];
  for (int block = 0; block < 4; ++block)
    for (int i = 0; i < ar::PATTERN_VALUES; ++i)
      {
        const Read r = readValue(f, raw[block][i]);
        if (r == VALUE)
          continue;
        if (r == OUT_OF_RANGE)
          std::fprintf(stderr, "arLoadPatt: %s: value number %d is outside 0..255\n", filename,
                       block * ar::PATTERN_VALUES + i + 1);
        std::printf("Pattern Data read error!!\n");
        std::fclose(f);
        return -1;
      }
  std::fclose(f);
  Pattern& p = g_patterns[slot];
  for (int block = 0; block < 4; ++block)
    {
      prepareBlock(raw[block], p.colour[block], p.colourNorm[block]);
      int soft[ar::PATTERN_VALUES];
      soften(raw[block], soft);
      prepareBlock(soft, p.soft[block], p.softNorm[block]);
    }
  p.state = ACTIVE;
  return slot;
}

extern "C" int arFreePatt(int patt_no)
{
  if (!validSlot(patt_no))
    return -1;
  g_patterns[patt_no].state = FREE;
  return 1;
}

extern "C" int arActivatePatt(int patt_no)
{
  if (!validSlot(patt_no))
    return -1;
  g_patterns[patt_no].state = ACTIVE;
  return 1;
}

extern "C" int arDeactivatePatt(int patt_no)
{
  if (!validSlot(patt_no))
    return -1;
  g_patterns[patt_no].state = INACTIVE;
  return 1;
}

namespace ar
{
  namespace
  {
    long long dot(const std::int16_t* a, const std::int16_t* b)
    {
#if CV_SIMD128
      cv::v_int32x4 sum = cv::v_setzero_s32();
      for (int i = 0; i < PATTERN_VALUES; i += 8)
        sum += cv::v_dotprod(cv::v_load(a + i), cv::v_load(b + i));
      return cv::v_reduce_sum(sum);
#else
      long long sum = 0;
      for (int i = 0; i < PATTERN_VALUES; ++i)
        sum += a[i] * b[i];
      return sum;
#endif
    }
  }

  void matchPattern(const int sample[PATTERN_VALUES], double cellPixels, int& id, int& dir, double& cf)
  {
    // Cells of about a pixel or less are seen blurred by the camera and by
    // sampling: they are also matched against the softened templates.
    const bool small = cellPixels < 1.5;
    // The sample inverted, less its integer mean (values 0..255 give
    // -255..255, and sums that are exact in 32 bits).
    alignas(16) std::int16_t x[PATTERN_VALUES];
    long sum = 0;
    for (int i = 0; i < PATTERN_VALUES; ++i)
      sum += 255 - sample[i];
    const int mean = static_cast<int>(sum / PATTERN_VALUES);
    for (int i = 0; i < PATTERN_VALUES; ++i)
      x[i] = static_cast<std::int16_t>(255 - sample[i] - mean);
    const double norm = std::sqrt(static_cast<double>(dot(x, x)));
    if (norm == 0.0)
      {
        // A uniform interior: nothing to correlate.
        id = 0;
        dir = 0;
        cf = -1.0;
        return;
      }
    id = -1;
    dir = -1;
    cf = 0.0;
    for (int k = 0; k < AR_PATT_NUM_MAX; ++k)
      {
        const Pattern& p = g_patterns[k];
        if (p.state != ACTIVE)
          continue;
        for (int j = 0; j < 4; ++j)
          {
            double score = static_cast<double>(dot(x, p.colour[j])) / p.colourNorm[j] / norm;
            if (small)
              score = std::max(score, static_cast<double>(dot(x, p.soft[j])) / p.softNorm[j] / norm);
            if (score > cf)
              {
                cf = score;
                id = k;
                dir = j;
              }
          }
      }
  }
}
