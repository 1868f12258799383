// Camera parameter records: big-endian file I/O, resizing, printing and
// the distortion model.
#include <AR/param.h>

#include "internal.h"
#include "regular_file.h"

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#if defined(__SANITIZE_THREAD__)
#include <opencv2/core/utility.hpp>
// ThreadSanitizer cannot see how OpenCV's worker threads (TBB) hand work
// over, and reports every hand-off as a race: in such builds OpenCV runs
// its loops in the calling thread. (Here because every part of the library
// and every program using it has camera parameters.)
static const bool serial_opencv = (cv::setNumThreads(1), true);
#endif

namespace
{
  const std::size_t RECORD_SIZE = 136;

  void putBig(unsigned char* out, std::uint64_t value, int bytes)
  {
    for (int i = 0; i < bytes; ++i)
      out[i] = static_cast<unsigned char>(value >> (8 * (bytes - 1 - i)));
  }

  std::uint64_t getBig(const unsigned char* in, int bytes)
  {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
      value = (value << 8) | in[i];
    return value;
  }

  void encode(const ARParam& p, unsigned char* out)
  {
    putBig(out, static_cast<std::uint32_t>(p.xsize), 4);
    putBig(out + 4, static_cast<std::uint32_t>(p.ysize), 4);
    const double* values[16];
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 4; ++c)
        values[r * 4 + c] = &p.mat[r][c];
    for (int i = 0; i < 4; ++i)
      values[12 + i] = &p.dist_factor[i];
    for (int i = 0; i < 16; ++i)
      {
        std::uint64_t bits;
        std::memcpy(&bits, values[i], 8);
        putBig(out + 8 + 8 * i, bits, 8);
      }
  }

  void decode(const unsigned char* in, ARParam& p)
  {
    p.xsize = static_cast<std::int32_t>(getBig(in, 4));
    p.ysize = static_cast<std::int32_t>(getBig(in + 4, 4));
    double* values[16];
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 4; ++c)
        values[r * 4 + c] = &p.mat[r][c];
    for (int i = 0; i < 4; ++i)
      values[12 + i] = &p.dist_factor[i];
    for (int i = 0; i < 16; ++i)
      {
        std::uint64_t bits = getBig(in + 8 + 8 * i, 8);
        std::memcpy(values[i], &bits, 8);
      }
  }
}

namespace
{
  // Why a record holds values no camera has, or "" when it is sound: a
  // corrupt or foreign file (random bytes, the wrong byte order, a
  // half-written calibration) must not reach detection, where it would
  // give a black picture or a marker that is never found.
  std::string implausible(const ARParam& p)
  {
    char text[160];
    auto say = [&](const char* format, double value) {
      std::snprintf(text, sizeof text, format, value);
      return std::string(text);
    };
    if (p.xsize < 1 || p.xsize > 16384 || p.ysize < 1 || p.ysize > 16384)
      {
        std::snprintf(text, sizeof text, "image size %d x %d is outside 1..16384 (a file of another byte order?)",
                      p.xsize, p.ysize);
        return text;
      }
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 4; ++c)
        if (!std::isfinite(p.mat[r][c]))
          {
            std::snprintf(text, sizeof text, "mat[%d][%d] = %g is not a finite number", r, c, p.mat[r][c]);
            return text;
          }
    for (int i = 0; i < 4; ++i)
      if (!std::isfinite(p.dist_factor[i]))
        {
          std::snprintf(text, sizeof text, "dist_factor[%d] = %g is not a finite number", i, p.dist_factor[i]);
          return text;
        }
    // A focal length longer than a thousand image widths is a field of
    // view under a twentieth of a degree: no camera's.
    const double longest = 1000.0 * std::max(p.xsize, p.ysize);
    if (!(p.mat[0][0] > 0) || p.mat[0][0] > longest)
      return say("focal length fx (mat[0][0]) = %g pixels is no camera's", p.mat[0][0]);
    if (!(p.mat[1][1] > 0) || p.mat[1][1] > longest)
      return say("focal length fy (mat[1][1]) = %g pixels is no camera's", p.mat[1][1]);
    if (!(p.dist_factor[3] > 0))
      return say("distortion scale (dist_factor[3]) = %g is not positive", p.dist_factor[3]);
    // The 3x3 part must be invertible, relative to the size of its rows.
    const double(*m)[4] = p.mat;
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    double scale = 1.0;
    for (int r = 0; r < 3; ++r)
      scale *= std::sqrt(m[r][0] * m[r][0] + m[r][1] * m[r][1] + m[r][2] * m[r][2]);
    if (!(std::fabs(det) > 1e-9 * scale))
      return "the camera matrix (mat) is not invertible";
    return "";
  }

  // The next record of f into target, unless it is incomplete (why stays
  // empty) or holds values no camera has (why says which).
  bool readRecord(std::FILE* f, ARParam& target, std::string& why)
  {
    unsigned char record[RECORD_SIZE];
    if (std::fread(record, 1, RECORD_SIZE, f) != RECORD_SIZE)
      return false;
    ARParam read;
    decode(record, read);
    why = implausible(read);
    if (!why.empty())
      return false;
    target = read;
    return true;
  }

  // The records of a call: param, then num - 1 further ARParam* arguments.
  std::vector<ARParam*> records(ARParam* first, int num, va_list& more)
  {
    std::vector<ARParam*> list(1, first);
    for (int i = 1; i < num; ++i)
      list.push_back(va_arg(more, ARParam*));
    return list;
  }
}

namespace ar
{
  int loadParamQuietly(const char* filename, ARParam& param, std::string& why)
  {
    std::FILE* f = ar::openRegularFile(filename, ar::MAX_START_FILE_BYTES, "rb", why);
    if (f == nullptr)
      return -1;
    const int result = readRecord(f, param, why) ? 0 : -1;
    std::fclose(f);
    return result;
  }
}

extern "C" int arParamLoad(const char* filename, int num, ARParam* param, ...)
{
  if (num < 1 || filename == nullptr || param == nullptr)
    return -1;
  va_list more;
  va_start(more, param);
  const std::vector<ARParam*> targets = records(param, num, more);
  va_end(more);
  std::string why;
  std::FILE* f = ar::openRegularFile(filename, ar::MAX_START_FILE_BYTES, "rb", why);
  if (f == nullptr)
    {
      // A missing file is the caller's to report (with its own message);
      // anything else would go unexplained.
      if (why != "does not exist")
        std::fprintf(stderr, "arParamLoad: %s: %s\n", filename, why.c_str());
      return -1;
    }
  int result = 0;
  for (ARParam* target : targets)
    {
      std::string why;
      if (target == nullptr || !readRecord(f, *target, why))
        {
          // The records read so far stay filled.
          if (!why.empty())
            std::fprintf(stderr, "arParamLoad: %s: %s\n", filename, why.c_str());
          result = -1;
          break;
        }
    }
  std::fclose(f);
  return result;
}

extern "C" int arParamSave(char* filename, int num, ARParam* param, ...)
{
  if (num < 1 || filename == nullptr || param == nullptr)
    return -1;
  va_list more;
  va_start(more, param);
  const std::vector<ARParam*> sources = records(param, num, more);
  va_end(more);
  std::FILE* f = std::fopen(filename, "wb");
  if (f == nullptr)
    return -1;
  int result = 0;
  for (const ARParam* source : sources)
    {
      unsigned char record[RECORD_SIZE];
      if (source == nullptr)
        {
          result = -1;
          break;
        }
      encode(*source, record);
      if (std::fwrite(record, 1, RECORD_SIZE, f) != RECORD_SIZE)
        {
          result = -1;
          break;
        }
    }
  if (std::fclose(f) != 0)
    result = -1;
  return result;
}

extern "C" int arParamChangeSize(ARParam* source, int xsize, int ysize, ARParam* newparam)
{
  if (source == nullptr || newparam == nullptr || source->xsize == 0)
    return -1;
  // Work from a copy, so that an in-place call scales as well.
  const ARParam s = *source;
  const double k = static_cast<double>(xsize) / static_cast<double>(s.xsize);
  newparam->xsize = xsize;
  newparam->ysize = ysize;
  for (int i = 0; i < 4; ++i)
    {
      newparam->mat[0][i] = s.mat[0][i] * k;
      newparam->mat[1][i] = s.mat[1][i] * k;
      newparam->mat[2][i] = s.mat[2][i];
    }
  newparam->dist_factor[0] = s.dist_factor[0] * k;
  newparam->dist_factor[1] = s.dist_factor[1] * k;
  newparam->dist_factor[2] = s.dist_factor[2] / (k * k);
  newparam->dist_factor[3] = s.dist_factor[3];
  return 0;
}

extern "C" int arParamDisp(ARParam* param)
{
  std::printf("--------------------------------------\n");
  std::printf("SIZE = %d, %d\n", param->xsize, param->ysize);
  std::printf("Distortion factor = %f %f %f %f\n", param->dist_factor[0], param->dist_factor[1],
              param->dist_factor[2], param->dist_factor[3]);
  for (int r = 0; r < 3; ++r)
    {
      for (int c = 0; c < 4; ++c)
        std::printf("%7.5f ", param->mat[r][c]);
      std::printf("\n");
    }
  std::printf("--------------------------------------\n");
  return 0;
}

extern "C" int arParamIdeal2Observ(const double dist_factor[4], const double ix, const double iy,
                                   double* ox, double* oy)
{
  if (dist_factor[2] == 0.0 && dist_factor[3] == 1.0)
    {
      *ox = ix;  // no distortion: the same point
      *oy = iy;
      return 0;
    }
  const double p = dist_factor[2] / 100000000.0;
  const double x = (ix - dist_factor[0]) * dist_factor[3];
  const double y = (iy - dist_factor[1]) * dist_factor[3];
  if (x == 0.0 && y == 0.0)
    {
      *ox = dist_factor[0];
      *oy = dist_factor[1];
      return 0;
    }
  const double d = 1.0 - p * (x * x + y * y);
  *ox = x * d + dist_factor[0];
  *oy = y * d + dist_factor[1];
  return 0;
}

extern "C" int arParamObserv2Ideal(const double dist_factor[4], const double ox, const double oy,
                                   double* ix, double* iy)
{
  if (dist_factor[2] == 0.0 && dist_factor[3] == 1.0)
    {
      *ix = ox;
      *iy = oy;
      return 0;
    }
  const double p = dist_factor[2] / 100000000.0;
  double px = ox - dist_factor[0];
  double py = oy - dist_factor[1];
  const double q = std::sqrt(px * px + py * py);
  double z = q;
  if (q != 0.0)
    for (int i = 0; i < 3; ++i)
      {
        const double denom = 1.0 - 3.0 * p * z * z;
        if (denom == 0.0)
          break;
        const double next = z - ((1.0 - p * z * z) * z - q) / denom;
        if (z != 0.0)
          {
            px *= next / z;
            py *= next / z;
          }
        z = next;
      }
  *ix = px / dist_factor[3] + dist_factor[0];
  *iy = py / dist_factor[3] + dist_factor[1];
  return 0;
}

extern "C" int arParamDecompMat(double source[3][4], double cpara[3][4], double trans[3][4])
{
  // RQ split by Gram-Schmidt from the bottom row up: source = K.[R|t].
  double m[3][4];
  std::memcpy(m, source, sizeof m);
  if (m[2][3] < 0)
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 4; ++c)
        m[r][c] = -m[r][c];
  double K[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
  double R[3][3];
  auto dot = [](const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; };
  for (int r = 2; r >= 0; --r)
    {
      double v[3] = {m[r][0], m[r][1], m[r][2]};
      for (int below = r + 1; below < 3; ++below)
        {
          K[r][below] = dot(m[r], R[below]);
          for (int i = 0; i < 3; ++i)
            v[i] -= K[r][below] * R[below][i];
        }
      double n = std::sqrt(dot(v, v));
      if (n == 0.0)
        return -1;
      K[r][r] = n;
      for (int i = 0; i < 3; ++i)
        R[r][i] = v[i] / n;
    }
  // t = K^-1 . column 3 (back substitution).
  double t[3];
  t[2] = m[2][3] / K[2][2];
  t[1] = (m[1][3] - K[1][2] * t[2]) / K[1][1];
  t[0] = (m[0][3] - K[0][1] * t[1] - K[0][2] * t[2]) / K[0][0];
  for (int r = 0; r < 3; ++r)
    {
      for (int c = 0; c < 3; ++c)
        {
          cpara[r][c] = K[r][c];
          trans[r][c] = R[r][c];
        }
      cpara[r][3] = 0.0;
      trans[r][3] = t[r];
    }
  return 0;
}
