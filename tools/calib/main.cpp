// vorlinde-calib: camera parameter files. From chessboard pictures (files,
// or frames of a live video source) with OpenCV's calibration, converted
// to the file's one-coefficient radial model; or a nominal camera.
#include <opencv2/calib3d.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <AR/param.h>
#include <AR/video.h>

#include "scene.h"

static const char* usage =
  "Usage: vorlinde-calib --board COLSxROWS --square MM -o FILE IMAGE...\n"
  "       vorlinde-calib --board COLSxROWS --square MM -o FILE --video CONFIG [--views N]\n"
  "       vorlinde-calib --nominal WIDTHxHEIGHT [--hfov DEG] -o FILE\n"
  "Writes a camera parameter file (camera_para.dat).\n"
  "  --board COLSxROWS  inner corners of the chessboard, e.g. 9x6\n"
  "  --square MM        side of one chessboard square\n"
  "  --video CONFIG     take views from a video source (same options as the\n"
  "                     viewer, e.g. \"-dev=/dev/video0 -width=640 -height=480\");\n"
  "                     hold the board still in different places and angles\n"
  "  --views N          views to collect from a camera (default 15); a file or\n"
  "                     image sequence (-file=...) gives all its frames\n"
  "  --nominal WxH      a camera of the given size without distortion\n"
  "  --hfov DEG         its horizontal field of view (default 60)\n"
  "Reports what it found (focal lengths, image centre, distortion), the\n"
  "reprojection error (under 0.5 pixels is good) and how well the file's\n"
  "distortion model fits OpenCV's (pixels, RMS).\n";

static int fail(const std::string& message)
{
  std::fprintf(stderr, "vorlinde-calib: %s\n", message.c_str());
  return 1;
}

static bool parseSize(const std::string& text, int& a, int& b)
{
  return std::sscanf(text.c_str(), "%dx%d", &a, &b) == 2 && a > 0 && b > 0;
}

static bool findBoard(const cv::Mat& grey, cv::Size board, std::vector<cv::Point2f>& corners)
{
  if (!cv::findChessboardCorners(grey, board, corners,
                                 cv::CALIB_CB_ADAPTIVE_THRESH | cv::CALIB_CB_NORMALIZE_IMAGE))
    return false;
  cv::cornerSubPix(grey, corners, cv::Size(11, 11), cv::Size(-1, -1),
                   cv::TermCriteria(cv::TermCriteria::EPS + cv::TermCriteria::COUNT, 30, 0.01));
  return true;
}

// The file's model with s = 1 keeps OpenCV's K as the ideal camera; the
// radial coefficient is the least-squares fit of OpenCV's k1 model over
// the image. Returns the fit's RMS difference in pixels.
static double toFileModel(const cv::Matx33d& K, double k1, cv::Size size, ARParam& p)
{
  p.xsize = size.width;
  p.ysize = size.height;
  double mat[3][4] = {{K(0, 0), K(0, 1), K(0, 2), 0}, {0, K(1, 1), K(1, 2), 0}, {0, 0, 1, 0}};
  std::memcpy(p.mat, mat, sizeof mat);
  const double cx = K(0, 2), cy = K(1, 2);
  double num = 0, den = 0;
  std::vector<cv::Vec4d> samples;  // u, v, observed u, observed v (offsets)
  for (int y = 0; y <= 20; ++y)
    for (int x = 0; x <= 20; ++x)
      {
        const double u = x * (size.width - 1) / 20.0 - cx, v = y * (size.height - 1) / 20.0 - cy;
        const double xn = u / K(0, 0), yn = v / K(1, 1), r2 = xn * xn + yn * yn;
        const double ou = u * (1 + k1 * r2), ov = v * (1 + k1 * r2);
        const double w = u * u + v * v;
        // observed - ideal = -p * ideal * |ideal|^2
        num += -(ou - u) * u * w - (ov - v) * v * w;
        den += w * w * (u * u + v * v);
        samples.emplace_back(u, v, ou, ov);
      }
  const double pcoef = den > 0 ? num / den : 0;
  p.dist_factor[0] = cx;
  p.dist_factor[1] = cy;
  p.dist_factor[2] = pcoef * 1e8;
  p.dist_factor[3] = 1.0;
  double sq = 0;
  for (const cv::Vec4d& s : samples)
    {
      double ox, oy;
      arParamIdeal2Observ(p.dist_factor, s[0] + cx, s[1] + cy, &ox, &oy);
      sq += std::pow(ox - cx - s[2], 2) + std::pow(oy - cy - s[3], 2);
    }
  return std::sqrt(sq / samples.size());
}

int main(int argc, char** argv)
{
  // Our own lines say what went wrong with a picture.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
  std::string out, video, nominal;
  int cols = 0, rows = 0, views = 15;
  double square = 0, hfov = 60;
  std::vector<std::string> images;
  for (int i = 1; i < argc; ++i)
    {
      std::string a = argv[i];
      if (a == "-h" || a == "--help")
        {
          std::fputs(usage, stdout);
          return 0;
        }
      bool takes = a == "--board" || a == "--square" || a == "-o" || a == "--video" || a == "--views" ||
                   a == "--nominal" || a == "--hfov";
      if (takes && i + 1 >= argc)
        return fail(a + " needs a value");
      if (a == "--board")
        {
          if (!parseSize(argv[++i], cols, rows))
            return fail("--board takes COLSxROWS, e.g. 9x6");
        }
      else if (a == "--square")
        square = std::atof(argv[++i]);
      else if (a == "-o")
        out = argv[++i];
      else if (a == "--video")
        video = argv[++i];
      else if (a == "--views")
        views = std::atoi(argv[++i]);
      else if (a == "--nominal")
        nominal = argv[++i];
      else if (a == "--hfov")
        hfov = std::atof(argv[++i]);
      else if (a[0] == '-')
        return fail("unknown option " + a + " (see --help)");
      else
        images.push_back(a);
    }
  if (out.empty())
    return fail("no output file: -o FILE (see --help)");

  ARParam param;
  if (!nominal.empty())
    {
      int w, h;
      if (!parseSize(nominal, w, h) || !(hfov > 1 && hfov < 179))
        return fail("--nominal takes WIDTHxHEIGHT and --hfov 1..179");
      param = synth::nominalCamera(w, h, hfov);
    }
  else
    {
      if (cols < 2 || rows < 2 || !(square > 0))
        return fail("--board COLSxROWS and --square MM are needed (see --help)");
      const cv::Size board(cols, rows);
      std::vector<std::vector<cv::Point2f> > found;
      cv::Size size;
      auto take = [&](const cv::Mat& bgr, const std::string& name) {
        cv::Mat grey;
        cv::cvtColor(bgr, grey, bgr.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
        if (size.area() != 0 && grey.size() != size)
          {
            std::printf("%s: %dx%d, not the size of the others; skipped\n", name.c_str(), grey.cols, grey.rows);
            return;
          }
        std::vector<cv::Point2f> corners;
        if (!findBoard(grey, board, corners))
          {
            std::printf("%s: no chessboard found\n", name.c_str());
            return;
          }
        size = grey.size();
        found.push_back(corners);
        std::printf("%s: chessboard found (%zu %s)\n", name.c_str(), found.size(), found.size() == 1 ? "view" : "views");
      };
      for (const std::string& path : images)
        {
          cv::Mat img;
          if (access(path.c_str(), R_OK) == 0)
            img = cv::imread(path, cv::IMREAD_COLOR);
          if (img.empty())
            std::printf("%s: cannot be read (no such file, or not an image); skipped\n", path.c_str());
          else
            take(img, path);
        }
      if (!video.empty())
        {
          // A recording: every frame, to its end, however long the search
          // for the board takes on each (a stream cannot wait).
          const bool recorded = video.find("-file=") != std::string::npos;
          if (recorded && video.find("://") == std::string::npos)
            video += " -allframes";
          if (arVideoOpen(&video[0]) < 0)
            return fail("cannot open the video source \"" + video + "\"");
          int w, h;
          arVideoInqSize(&w, &h);
          arVideoCapStart();
          // A live camera: one view a second at most, so that the board
          // can move between them.
          auto last = std::chrono::steady_clock::now() - std::chrono::seconds(2);
          for (int frames = 0; (recorded || static_cast<int>(found.size()) < views) && frames < 100000;)
            {
              ARUint8* image = arVideoGetImage();
              if (image == nullptr)
                {
                  if (arVideoInqEnded() == 1)
                    break;
                  std::this_thread::sleep_for(std::chrono::milliseconds(5));
                  continue;
                }
              ++frames;
              if (recorded || std::chrono::steady_clock::now() - last > std::chrono::seconds(1))
                {
                  cv::Mat frame(h, w, CV_8UC4, image);
                  size_t before = found.size();
                  take(frame.clone(), "frame " + std::to_string(frames));
                  if (found.size() > before)
                    last = std::chrono::steady_clock::now();
                }
              arVideoCapNext();
            }
          arVideoCapStop();
          arVideoClose();
        }
      if (found.empty())
        return fail("no chessboard was found in any view; --board counts the inner corners (a board of 10x7 "
                    "squares is 9x6)");
      if (found.size() < 3)
        return fail("a chessboard was found in " + std::to_string(found.size()) + (found.size() == 1 ? " view" : " views") +
                    "; at least 3 are needed");
      std::vector<cv::Point3f> objectBoard;
      for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
          objectBoard.emplace_back(static_cast<float>(c * square), static_cast<float>(r * square), 0.f);
      std::vector<std::vector<cv::Point3f> > object(found.size(), objectBoard);
      cv::Mat K, dist;
      std::vector<cv::Mat> rvecs, tvecs;
      const double rms = cv::calibrateCamera(object, found, size, K, dist, rvecs, tvecs,
                                             cv::CALIB_FIX_K2 | cv::CALIB_FIX_K3 | cv::CALIB_ZERO_TANGENT_DIST);
      const double fit = toFileModel(cv::Matx33d(K), dist.at<double>(0), size, param);
      std::printf("calibration from %zu views of %dx%d pixels:\n", found.size(), size.width, size.height);
      std::printf("  focal length        fx %.1f, fy %.1f pixels\n", param.mat[0][0], param.mat[1][1]);
      std::printf("  image centre        cx %.1f, cy %.1f pixels\n", param.mat[0][2], param.mat[1][2]);
      std::printf("  distortion          factor %.2f, scale %.3f (the file's radial model)\n", param.dist_factor[2],
                  param.dist_factor[3]);
      std::printf("  reprojection error  %.3f pixels RMS (%s)\n", rms,
                  rms < 0.5 ? "good: under 0.5" : "over 0.5: more views, a flatter board, sharper pictures");
      std::printf("  model fit           %.3f pixels RMS over the image (the file's model against OpenCV's)\n", fit);
    }
  if (arParamSave(&out[0], 1, &param) < 0)
    return fail("cannot write " + out);
  std::printf("%s written:\n", out.c_str());
  arParamDisp(&param);
  return 0;
}
