#include "label.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "internal.h"

namespace ar
{
  namespace
  {
    // Dark test over one row of BGRA pixels: B + G + R <= limit -> 255.
    void binariseRow(const ARUint8* p, ARUint8* out, int width, int limit)
    {
      int x = 0;
#if CV_SIMD
      // Sums of at most 765 compare as signed 16-bit lanes (one compare,
      // where an unsigned one takes four): sum <= limit is sum < limit + 1.
      const int lanes = cv::v_uint8::nlanes;
      const cv::v_int16 bound = cv::vx_setall_s16(static_cast<short>(limit + 1));
      for (; x <= width - lanes; x += lanes)
        {
          cv::v_uint16 low, high;
          channelSums(p + 4 * x, low, high);
          const cv::v_int16 darkLow = bound > cv::v_reinterpret_as_s16(low);
          const cv::v_int16 darkHigh = bound > cv::v_reinterpret_as_s16(high);
          cv::v_store(out + x, cv::v_reinterpret_as_u8(cv::v_pack(darkLow, darkHigh)));
        }
#endif
      for (; x < width; ++x)
        {
          const int sum = p[4 * x] + p[4 * x + 1] + p[4 * x + 2];
          out[x] = static_cast<ARUint8>(sum <= limit ? 255 : 0);
        }
    }
  }

  void clearFrame(cv::Mat& mask)
  {
    const int width = mask.cols, height = mask.rows;
    std::memset(mask.ptr<ARUint8>(0), 0, static_cast<std::size_t>(width));
    std::memset(mask.ptr<ARUint8>(height - 1), 0, static_cast<std::size_t>(width));
    for (int y = 0; y < height; ++y)
      {
        mask.at<ARUint8>(y, 0) = 0;
        mask.at<ARUint8>(y, width - 1) = 0;
      }
  }

  void binarise(const ARUint8* image, int width, int height, int thresh, cv::Mat& mask)
  {
    mask.create(height, width, CV_8UC1);
    // Outside 0..255 every pixel is light, or dark; the row test's lanes
    // hold sums up to 765 only.
    if (thresh < 0 || thresh >= 255)
      mask.setTo(thresh < 0 ? 0 : 255);
    else
      for (int y = 0; y < height; ++y)
        binariseRow(image + static_cast<std::size_t>(y) * width * 4, mask.ptr<ARUint8>(y), width, 3 * thresh);
    clearFrame(mask);
  }

  namespace
  {
    // A horizontal run of set pixels, x0..x1 inclusive, and its place in
    // the union of runs that touch (the lowest index of a region is its
    // root: the region's first run in raster order).
    struct Run
    {
      int y, x0, x1;
      int parent;
    };

    struct Sums
    {
      long long area, sumX, sumY;
      int minX, maxX, minY, maxY;
    };

    int root(std::vector<Run>& runs, int i)
    {
      int r = i;
      while (runs[static_cast<std::size_t>(r)].parent != r)
        r = runs[static_cast<std::size_t>(r)].parent;
      while (runs[static_cast<std::size_t>(i)].parent != r)
        {
          const int next = runs[static_cast<std::size_t>(i)].parent;
          runs[static_cast<std::size_t>(i)].parent = r;
          i = next;
        }
      return r;
    }

    void join(std::vector<Run>& runs, int a, int b)
    {
      a = root(runs, a);
      b = root(runs, b);
      if (a < b)
        runs[static_cast<std::size_t>(b)].parent = a;
      else if (b < a)
        runs[static_cast<std::size_t>(a)].parent = b;
    }

    // One bit per pixel of a mask row (bit x % 64 of word x / 64), set
    // where the pixel is; words past the width are zero. Sixteen pixels at
    // a time where the processor can.
    void rowBits(const ARUint8* row, int width, std::uint64_t* bits, std::size_t words)
    {
      std::fill(bits, bits + words, 0);
      int x = 0;
#if CV_SIMD128
      for (; x + 16 <= width; x += 16)
        {
          const unsigned m = static_cast<unsigned>(cv::v_signmask(cv::v_load(row + x)));
          bits[static_cast<std::size_t>(x >> 6)] |= static_cast<std::uint64_t>(m) << (x & 63);
        }
#endif
      for (; x < width; ++x)
        if (row[x] != 0)
          bits[static_cast<std::size_t>(x >> 6)] |= std::uint64_t{1} << (x & 63);
    }

    // The first bit at or after x that is set (set true) or clear, or the
    // end of the words; a count of words' worth of bits, not of pixels.
    inline __attribute__((always_inline)) int nextBit(const std::uint64_t* bits, std::size_t words, int x, bool set)
    {
      std::size_t w = static_cast<std::size_t>(x >> 6);
      if (w >= words)
        return static_cast<int>(words * 64);
      std::uint64_t cur = (set ? bits[w] : ~bits[w]) & (~std::uint64_t{0} << (x & 63));
      while (cur == 0)
        {
          if (++w == words)
            return static_cast<int>(words * 64);
          cur = set ? bits[w] : ~bits[w];
        }
      return static_cast<int>(w * 64) + __builtin_ctzll(cur);
    }

    // The pixels of row here that have a set 8-neighbour (in above, here or
    // below), into out: a pixel with none is a region of its own, of one
    // pixel. Bit x's neighbours x - 1 and x + 1 cross word boundaries.
    void withNeighbours(const std::uint64_t* above, const std::uint64_t* here, const std::uint64_t* below,
                        std::uint64_t* out, std::size_t words)
    {
      std::uint64_t prevV = 0, prevH = 0;  // the word before's columns
      for (std::size_t w = 0; w < words; ++w)
        {
          const std::uint64_t v = above[w] | below[w], h = here[w];
          const std::uint64_t nextV = w + 1 < words ? above[w + 1] | below[w + 1] : 0;
          const std::uint64_t nextH = w + 1 < words ? here[w + 1] : 0;
          const std::uint64_t cols = v | h;  // set in the column, this row aside where h
          const std::uint64_t left = (cols << 1) | ((prevV | prevH) >> 63);
          const std::uint64_t right = (cols >> 1) | ((nextV | nextH) << 63);
          out[w] = h & (v | left | right);
          prevV = v;
          prevH = h;
        }
    }

    // Chain-code directions: 0 right, then counter-clockwise on screen in
    // steps of 45 degrees (1 up-right, 2 up, ... 7 down-right).
    const int kDx[8] = {1, 1, 0, -1, -1, -1, 0, 1};
    const int kDy[8] = {0, -1, -1, -1, 0, 1, 1, 1};

    // The outer boundary of the region whose top-left pixel is start: every
    // boundary pixel in order, down the left side first (counter-clockwise
    // on screen), a pixel passed twice where the region is one pixel thin.
    // The mask's frame is clear, so every neighbour looked at exists.
    void traceOutline(const cv::Mat& mask, cv::Point start, std::vector<cv::Point>& outline)
    {
      outline.clear();
      const auto set = [&](cv::Point p, int s) {
        return mask.at<ARUint8>(p.y + kDy[s & 7], p.x + kDx[s & 7]) != 0;
      };
      // The first neighbour clockwise from the left one (which is clear).
      int s = 4;
      do
        s = (s - 1) & 7;
      while (!set(start, s) && s != 4);
      if (s == 4)
        {
          outline.push_back(start);  // a single pixel
          return;
        }
      const cv::Point second(start.x + kDx[s], start.y + kDy[s]);
      cv::Point here = start;
      for (;;)
        {
          // The next set neighbour counter-clockwise from where we came.
          do
            ++s;
          while (!set(here, s));
          s &= 7;
          outline.push_back(here);
          const cv::Point next(here.x + kDx[s], here.y + kDy[s]);
          if (next == start && here == second)
            return;
          here = next;
          s = (s + 4) & 7;
        }
    }
  }

  std::size_t findRegions(const cv::Mat& mask, int areaMin, int areaMax, std::vector<Region>& regions)
  {
    const int width = mask.cols, height = mask.rows;
    static std::vector<Run> runs;
    static std::vector<Sums> sums;
    runs.clear();
    if (width < 3 || height < 3)
      return 0;  // no pixel inside the frame
    // Runs row by row (the frame is clear), each joined to the runs of the
    // row above that touch it, diagonals included.
    // A pixel with no set neighbour is a region of one pixel: below
    // areaMin (2 or more) it is left out before it costs a run, which in
    // sensor noise is a run in five. Rows are read once, three kept.
    const std::size_t words = static_cast<std::size_t>((width + 63) / 64);
    static std::vector<std::uint64_t> bits;
    bits.resize(words * 4);
    std::uint64_t* rowsRead[3] = {bits.data(), bits.data() + words, bits.data() + 2 * words};
    std::uint64_t* kept = bits.data() + 3 * words;
    const bool dropSingles = areaMin > 1;
    std::fill(rowsRead[0], rowsRead[0] + words, 0);  // row 0: the frame
    rowBits(mask.ptr<ARUint8>(1), width, rowsRead[1], words);
    std::size_t above = 0, aboveEnd = 0;
    for (int y = 1; y < height - 1; ++y)
      {
        rowBits(mask.ptr<ARUint8>(y + 1), width, rowsRead[2], words);
        const std::uint64_t* row = rowsRead[1];
        if (dropSingles)
          {
            withNeighbours(rowsRead[0], rowsRead[1], rowsRead[2], kept, words);
            row = kept;
          }
        const std::size_t first = runs.size();
        std::size_t j = above;
        for (int x = nextBit(row, words, 1, true); x < width; x = nextBit(row, words, x, true))
          {
            const int end = std::min(width, nextBit(row, words, x, false));
            const int index = static_cast<int>(runs.size());
            runs.push_back(Run{y, x, end - 1, index});
            while (j < aboveEnd && runs[j].x1 < x - 1)
              ++j;
            for (std::size_t k = j; k < aboveEnd && runs[k].x0 <= end; ++k)
              join(runs, index, static_cast<int>(k));
            while (j < aboveEnd && runs[j].x1 < end)
              ++j;
            x = end;
          }
        above = first;
        aboveEnd = runs.size();
        std::uint64_t* oldest = rowsRead[0];
        rowsRead[0] = rowsRead[1];
        rowsRead[1] = rowsRead[2];
        rowsRead[2] = oldest;
      }

    // Each region's pixel count, sums and box, gathered at its root. A
    // run's parent comes before it and has its root by now, so one look
    // gives the root.
    sums.resize(runs.size());
    for (std::size_t i = 0; i < runs.size(); ++i)
      {
        // A copy first: reading the run back after writing its parent
        // would wait on the store.
        const Run run = runs[i];
        const int r = runs[static_cast<std::size_t>(run.parent)].parent;
        runs[i].parent = r;
        const long long len = run.x1 - run.x0 + 1;
        Sums& s = sums[static_cast<std::size_t>(r)];
        if (r == static_cast<int>(i))
          s = Sums{0, 0, 0, run.x0, run.x1, run.y, run.y};
        s.area += len;
        s.sumX += (static_cast<long long>(run.x0) + run.x1) * len / 2;
        s.sumY += static_cast<long long>(run.y) * len;
        s.minX = std::min(s.minX, run.x0);
        s.maxX = std::max(s.maxX, run.x1);
        s.maxY = run.y;  // rows come in order
      }

    // Regions within the limits, clear of the inset border, last found
    // first; only these are traced.
    std::size_t count = 0;
    for (std::size_t i = runs.size(); i-- > 0;)
      {
        if (runs[i].parent != static_cast<int>(i))
          continue;
        const Sums& s = sums[i];
        if (s.minX <= 1 || s.minY <= 1 || s.maxX >= width - 2 || s.maxY >= height - 2)
          continue;
        if (s.area < areaMin || s.area > areaMax)
          continue;
        if (count == regions.size())
          regions.emplace_back();
        Region& region = regions[count];
        traceOutline(mask, cv::Point(runs[i].x0, runs[i].y), region.outline);
        if (static_cast<long long>(region.outline.size()) > areaMax)
          continue;  // a thread-thin region longer than any marker's outline
        region.area = static_cast<int>(s.area);
        region.box = cv::Rect(s.minX, s.minY, s.maxX - s.minX + 1, s.maxY - s.minY + 1);
        // The centroid as the box-relative moments give it.
        region.cx = static_cast<double>(s.sumX - s.area * s.minX) / static_cast<double>(s.area) + s.minX;
        region.cy = static_cast<double>(s.sumY - s.area * s.minY) / static_cast<double>(s.area) + s.minY;
        ++count;
      }
    return count;
  }
}
