// vorlinde-pattmaker: makes a pattern file from a picture of a marker,
// either a marker image (our generator's PNG) or a camera frame in which
// the marker is detected, or from our built-in marker design.
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>
#include <vector>
#include <cstdlib>
#include <string>

#include <AR/ar.h>

#include "patternfile.h"
#include "scene.h"

static const char* usage =
  "Usage: vorlinde-pattmaker [options] IMAGE OUT.patt\n"
  "       vorlinde-pattmaker --builtin OUT.patt\n"
  "Finds the square marker in IMAGE (a marker image or a camera frame) and\n"
  "writes the pattern file the viewer loads (4 orientation blocks of 16x16\n"
  "B, G, R values; block 0 upright as the marker stands in the picture).\n"
  "--builtin writes the pattern of Vorlinde's own marker design.\n"
  "Options:\n"
  "  --camera FILE   camera parameters of the frame (default: a 60-degree\n"
  "                  camera without distortion at the image's size)\n"
  "  --thresh N      darkness threshold 0..255 (default 100)\n"
  "  --index K       which of several squares, largest first (default 0)\n";

static int fail(const std::string& message)
{
  std::fprintf(stderr, "vorlinde-pattmaker: %s\n", message.c_str());
  return 1;
}

int main(int argc, char** argv)
{
  std::string cameraFile, image, out;
  int thresh = 100, index = 0;
  bool builtin = false;
  for (int i = 1; i < argc; ++i)
    {
      std::string a = argv[i];
      if (a == "-h" || a == "--help")
        {
          std::fputs(usage, stdout);
          return 0;
        }
      if ((a == "--camera" || a == "--thresh" || a == "--index") && i + 1 >= argc)
        return fail(a + " needs a value");
      if (a == "--camera")
        cameraFile = argv[++i];
      else if (a == "--thresh")
        thresh = std::atoi(argv[++i]);
      else if (a == "--index")
        index = std::atoi(argv[++i]);
      else if (a == "--builtin")
        builtin = true;
      else if (a[0] == '-')
        return fail("unknown option " + a + " (see --help)");
      else if (image.empty() && !builtin)
        image = a;
      else
        out = a;
    }
  if (builtin)
    {
      if (out.empty())
        return fail("no output file (see --help)");
      if (!synth::writePatternFile(out, synth::blocksFromUpright(synth::markerPatternArea())))
        return fail("cannot write " + out);
      std::printf("%s: pattern of the built-in marker\n", out.c_str());
      return 0;
    }
  if (image.empty() || out.empty())
    return fail("need IMAGE and OUT.patt (see --help)");
  if (thresh < 0 || thresh > 255 || index < 0)
    return fail("--thresh must be 0..255 and --index 0 or more");

  cv::Mat original = cv::imread(image, cv::IMREAD_COLOR);
  if (original.empty())
    return fail("cannot read image " + image);
  ARParam fileCamera;
  if (!cameraFile.empty() && arParamLoad(cameraFile.c_str(), 1, &fileCamera) < 0)
    return fail("cannot load camera parameters " + cameraFile);

  // Detection takes squares of at most 100000 pixels, so a print-resolution
  // picture hides its marker's frame: look at the picture at decreasing
  // scales and keep the square that covers most of the picture.
  struct Best
  {
    double share = 0;
    int area = 0, count = 0;
    double x = 0, y = 0, scale = 1;
    std::vector<synth::PatternBlock> blocks;
  } best;
  for (double scale = 1.0; std::min(original.cols, original.rows) * scale >= 100; scale /= 2)
    {
      cv::Mat picture;
      cv::resize(original, picture, cv::Size(), scale, scale, scale < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
      // A bare marker image may touch its own edges: give it a white margin.
      const int pad = std::max(4, std::min(picture.cols, picture.rows) / 10);
      cv::copyMakeBorder(picture, picture, pad, pad, pad, pad, cv::BORDER_CONSTANT, cv::Scalar::all(255));
      cv::Mat bgra;
      cv::cvtColor(picture, bgra, cv::COLOR_BGR2BGRA);
      ARParam camera;
      if (cameraFile.empty())
        camera = synth::nominalCamera(bgra.cols, bgra.rows);
      else
        {
          // The same camera at this scale, shifted by the margin.
          arParamChangeSize(&fileCamera, picture.cols - 2 * pad, picture.rows - 2 * pad, &camera);
          camera.xsize = bgra.cols;
          camera.ysize = bgra.rows;
          camera.mat[0][2] += pad;
          camera.mat[1][2] += pad;
          camera.dist_factor[0] += pad;
          camera.dist_factor[1] += pad;
        }
      arInitCparam(&camera);
      ARMarkerInfo* markers = nullptr;
      int count = 0;
      if (arDetectMarkerLite(bgra.data, thresh, &markers, &count) < 0 || count == 0)
        continue;
      std::vector<int> order(static_cast<std::size_t>(count));
      for (int i = 0; i < count; ++i)
        order[static_cast<std::size_t>(i)] = i;
      std::sort(order.begin(), order.end(), [&](int a, int b) { return markers[a].area > markers[b].area; });
      if (index >= count)
        continue;
      const ARMarkerInfo& m = markers[order[static_cast<std::size_t>(index)]];
      const double share = static_cast<double>(m.area) / (static_cast<double>(picture.cols - 2 * pad) * (picture.rows - 2 * pad));
      if (share <= best.share)
        continue;
      best.share = share;
      best.area = m.area;
      best.count = count;
      best.scale = scale;
      best.x = (m.pos[0] - pad) / scale;
      best.y = (m.pos[1] - pad) / scale;
      best.blocks = synth::blocksFromDetection(bgra.data, camera, m);
    }
  if (best.blocks.empty())
    return fail("no square marker found in " + image + " (try another --thresh or --index)");
  if (!synth::writePatternFile(out, best.blocks))
    return fail("cannot write " + out);
  std::printf("%s: square %d of %d (at scale %g), centre (%.0f, %.0f)\n", out.c_str(), index, best.count,
              best.scale, best.x, best.y);
  return 0;
}
