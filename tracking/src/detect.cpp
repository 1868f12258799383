// Marker detection: the orchestrator of the stages, and the history that
// carries markers across frames.
#include <opencv2/core.hpp>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "edges.h"
#include "internal.h"
#include "label.h"
#include "square.h"

ARParam arParam;
int arImXsize = 0;
int arImYsize = 0;

namespace ar
{
  const DetectorParameters& parameters()
  {
    static const DetectorParameters params;
    return params;
  }
}

namespace
{
  struct Remembered
  {
    ARMarkerInfo marker;
    int age;
  };

  // Library-owned storage: the output list (valid until the next call),
  // the history, and scratch images reused from frame to frame.
  std::vector<ARMarkerInfo> g_output;
  std::vector<Remembered> g_history;
  cv::Mat g_mask;
  bool g_cameraSet = false;

  struct Candidate
  {
    const ar::Region* region;
    std::vector<cv::Point> contour;
    int corners[5];
    bool keep;
  };

  // Work lists kept from frame to frame with their buffers, so that a
  // program detecting for hours does not allocate in every frame.
  std::vector<ar::Region> g_regions;
  std::vector<Candidate> g_squares;

  // Of two squares whose centres are closer than a quarter of the larger
  // area, only the larger stays (an inner edge found beside an outer one).
  void dropDuplicates(std::vector<Candidate>& squares, std::size_t count)
  {
    for (std::size_t i = 0; i < count; ++i)
      for (std::size_t j = i + 1; j < count; ++j)
        {
          Candidate& a = squares[i];
          Candidate& b = squares[j];
          if (!a.keep || !b.keep)
            continue;
          const double dx = a.region->cx - b.region->cx, dy = a.region->cy - b.region->cy;
          const int larger = std::max(a.region->area, b.region->area);
          if (dx * dx + dy * dy < larger / 4)
            (a.region->area > b.region->area ? b : a).keep = false;
        }
  }

  double shortestSide(const double vertex[4][2])
  {
    double shortest = 1e300;
    for (int i = 0; i < 4; ++i)
      shortest = std::min(shortest, std::hypot(vertex[(i + 1) % 4][0] - vertex[i][0],
                                               vertex[(i + 1) % 4][1] - vertex[i][1]));
    return shortest;
  }

  // How far below the confidence cut-off a first look may find a square
  // and still be described in full. On the benchmark's rooms, in every
  // threshold mode and with fixed thresholds half and one and a half times
  // the right one, a marker's first look fell at most 0.18 below its full
  // match, and that on a marker matching at 0.98; the squares that matched
  // just above the cut-off when their first look saw nothing had corners
  // off the paper or crossed. Of the squares that are no markers (desk
  // edges, print, shadows) about 99 % look below 0.35.
  constexpr double kGlanceMargin = 0.15;

  bool continuesRemembered(const ARMarkerInfo& m);

  // A square's sides, corners and pattern. A square whose first look (the
  // pattern sampled at each cell's centre, through the outline's corners)
  // shows no marker is listed as that look found it; the others, and any
  // that a marker seen before may continue, have their sides moved onto
  // the intensity edges and their pattern sampled in full.
  bool describe(Candidate& c, const ARUint8* image, bool history, ARMarkerInfo& m)
  {
    std::memset(&m, 0, sizeof m);
    if (!ar::fitSides(c.contour, c.corners, arParam, m.line, m.vertex))
      return false;
    m.area = c.region->area;
    m.pos[0] = c.region->cx;
    m.pos[1] = c.region->cy;
    int sample[ar::PATTERN_VALUES];
    ar::glancePattern(image, arImXsize, arImYsize, arParam.dist_factor, m.vertex, sample);
    ar::matchPattern(sample, shortestSide(m.vertex) / 2 / AR_PATT_SIZE_X, m.id, m.dir, m.cf);
    if (m.cf < ar::parameters().confidenceCut - kGlanceMargin && !(history && continuesRemembered(m)))
      return true;
    ar::moveOntoEdges(image, arImXsize, arImYsize, arParam, m.line, m.vertex);
    ar::samplePattern(image, arImXsize, arImYsize, arParam.dist_factor, m.vertex, sample);
    ar::matchPattern(sample, shortestSide(m.vertex) / 2 / AR_PATT_SIZE_X, m.id, m.dir, m.cf);
    return true;
  }

  // Same marker as before: similar area, centre moved little for its size.
  bool continues(const ARMarkerInfo& previous, const ARMarkerInfo& current, double& d)
  {
    const double ratio = static_cast<double>(previous.area) / current.area;
    if (ratio < 0.7 || ratio > 1.43)
      return false;
    const double dx = current.pos[0] - previous.pos[0], dy = current.pos[1] - previous.pos[1];
    d = (dx * dx + dy * dy) / current.area;
    return d < 0.5;
  }

  bool continuesRemembered(const ARMarkerInfo& m)
  {
    double d;
    return std::any_of(g_history.begin(), g_history.end(),
                       [&](const Remembered& r) { return continues(r.marker, m, d); });
  }

  void applyHistory(std::vector<ARMarkerInfo>& found)
  {
    // 1. Inherit id and cf from the marker each one continues, when its own
    //    match is weaker; re-derive dir from the corners' correspondence.
    for (const Remembered& r : g_history)
      {
        const ARMarkerInfo& p = r.marker;
        int best = -1;
        double bestD = 0;
        for (std::size_t j = 0; j < found.size(); ++j)
          {
            double d;
            if (continues(p, found[j], d) && (best < 0 || d < bestD))
              {
                best = static_cast<int>(j);
                bestD = d;
              }
          }
        if (best < 0 || found[static_cast<std::size_t>(best)].cf >= p.cf)
          continue;
        ARMarkerInfo& c = found[static_cast<std::size_t>(best)];
        c.cf = p.cf;
        c.id = p.id;
        double minDiff = 0;
        for (int rot = 0; rot < 4; ++rot)
          {
            double diff = 0;
            for (int k = 0; k < 4; ++k)
              for (int a = 0; a < 2; ++a)
                {
                  const double e = p.vertex[k][a] - c.vertex[(rot + k) % 4][a];
                  diff += e * e;
                }
            if (rot == 0 || diff < minDiff)
              {
                minDiff = diff;
                c.dir = (p.dir - rot + 4) % 4;
              }
          }
      }
    // 2. Cut-off.
    for (ARMarkerInfo& m : found)
      if (m.cf < ar::parameters().confidenceCut)
        m.id = -1;
    // 3. Age, and forget what has been gone too long.
    const int limit = ar::parameters().historyFrames + 2;
    for (Remembered& r : g_history)
      ++r.age;
    g_history.erase(std::remove_if(g_history.begin(), g_history.end(),
                                   [&](const Remembered& r) { return r.age >= limit; }),
                    g_history.end());
    // 4. Remember every identified marker, one entry per id.
    for (const ARMarkerInfo& m : found)
      {
        if (m.id < 0)
          continue;
        auto same = std::find_if(g_history.begin(), g_history.end(),
                                 [&](const Remembered& r) { return r.marker.id == m.id; });
        if (same != g_history.end())
          *same = Remembered{m, 1};
        else
          g_history.push_back(Remembered{m, 1});
      }
    // 5. Re-inject remembered markers nothing continues, unchanged.
    const std::size_t current = found.size();
    for (const Remembered& r : g_history)
      {
        bool seen = false;
        for (std::size_t j = 0; j < current && !seen; ++j)
          {
            double d;
            seen = continues(r.marker, found[j], d);
          }
        if (!seen)
          found.push_back(r.marker);
      }
  }

  int fail(const char* why)
  {
    std::fprintf(stderr, "arDetectMarker: %s\n", why);
    std::fflush(stderr);
    return -1;
  }

  int detect(ARUint8* image, int thresh, bool history, ARMarkerInfo** marker_info, int* marker_num)
  {
    if (marker_num != nullptr)
      *marker_num = 0;
    // A failure says why, once per call, on standard error.
    if (image == nullptr || marker_info == nullptr || marker_num == nullptr)
      return fail("no image or no place for the result (a null pointer)");
    if (!g_cameraSet)
      return fail("no camera: arInitCparam was not called");
    if (arImXsize < 3 || arImYsize < 3)
      {
        char why[96];
        std::snprintf(why, sizeof why, "the image (%d x %d pixels) is smaller than the 3 x 3 detection needs",
                      arImXsize, arImYsize);
        return fail(why);
      }
    try
      {
        // Step 1. Dark regions of a plausible size, clear of the border.
        // The upper limit was set for 640 x 480 and grows with larger
        // images, so that a marker held close to an HD camera is still
        // found; smaller images keep it.
        const ar::DetectorParameters& params = ar::parameters();
        const long long pixels = static_cast<long long>(arImXsize) * arImYsize;
        const long long areaMax = std::max<long long>(
          params.areaMax, static_cast<long long>(params.areaMax) * pixels / (640 * 480));
        ar::darkMask(image, arImXsize, arImYsize, thresh, g_output, g_mask);
        const std::size_t regions = ar::findRegions(
          g_mask, params.areaMin, static_cast<int>(std::min<long long>(areaMax, INT_MAX)), g_regions);

        // Step 2. Regions whose outline has exactly four corners.
        std::size_t squares = 0;
        for (std::size_t i = 0; i < regions; ++i)
          {
            if (squares == g_squares.size())
              g_squares.emplace_back();
            Candidate& c = g_squares[squares];
            c.keep = true;
            c.region = &g_regions[i];
            if (ar::findSquare(g_regions[i], c.contour, c.corners))
              ++squares;
          }

        // Step 3. One square per marker.
        dropDuplicates(g_squares, squares);

        // Step 4. Sides, corners and the pattern of each square.
        std::vector<ARMarkerInfo> found;
        for (std::size_t i = 0; i < squares; ++i)
          {
            Candidate& c = g_squares[i];
            ARMarkerInfo m;
            if (c.keep && describe(c, image, history, m))
              found.push_back(m);
          }

        // Step 5. History (or just the confidence cut-off).
        if (history)
          applyHistory(found);
        else
          for (ARMarkerInfo& m : found)
            if (m.cf < ar::parameters().confidenceCut)
              m.id = -1;

        g_output.swap(found);
      }
    catch (const cv::Exception& e)
      {
        return fail(e.what());
      }
    *marker_info = g_output.empty() ? nullptr : g_output.data();
    *marker_num = static_cast<int>(g_output.size());
    return 0;
  }
}

extern "C" int arInitCparam(ARParam* param)
{
  if (param == nullptr)
    return -1;
  arParam = *param;
  arImXsize = param->xsize;
  arImYsize = param->ysize;
  g_cameraSet = true;
  return 0;
}

extern "C" int arDetectMarker(ARUint8* dataPtr, int thresh, ARMarkerInfo** marker_info, int* marker_num)
{
  return detect(dataPtr, thresh, true, marker_info, marker_num);
}

extern "C" int arDetectMarkerLite(ARUint8* dataPtr, int thresh, ARMarkerInfo** marker_info,
                                  int* marker_num)
{
  return detect(dataPtr, thresh, false, marker_info, marker_num);
}
