// The viewer's frame loop on the built-in scene, the source unpaced
// (frames rendered beforehand): frames per second at 640x480 and 1280x720,
// split into image upload and background drawing, detection and pose, and
// the arm with the buffer swap. The peer, measured in the same run, draws
// the background with glDrawPixels instead of the undistorted texture mesh.
// Needs a display: xvfb-run -s "-screen 0 1400x800x24" build/bench/viewer_bench
#include <GL/freeglut.h>
#include <GL/gl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <AR/gsub.h>

#include "arm_angle.h"
#include "scene.h"
#include "viewer.h"
#include "viewer_state.h"

namespace
{
  using Clock = std::chrono::steady_clock;

  double ms(Clock::time_point a, Clock::time_point b)
  {
    return std::chrono::duration<double, std::milli>(b - a).count();
  }

  double median(std::vector<double> v)
  {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
  }

  double p99(std::vector<double> v)
  {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[(v.size() * 99) / 100];
  }
}

int main(int argc, char** argv)
{
  if (std::getenv("DISPLAY") == nullptr)
    {
      std::fprintf(stderr, "viewer_bench needs a display: xvfb-run -s \"-screen 0 1400x800x24\" %s\n", argv[0]);
      return 2;
    }
  setenv("LP_NUM_THREADS", "0", 0);  // Mesa's software renderer on this one core
  glutInit(&argc, argv);
  const int frames = 120;
  std::printf("%-10s %9s %9s %9s %9s %9s %9s | %10s %7s\n", "size", "upload", "detect", "arm+swap", "frame",
              "p99", "fps", "peer frame", "ratio");
  for (cv::Size size : {cv::Size(640, 480), cv::Size(1280, 720)})
    {
      ARParam file, cam;
      if (arParamLoad("Data/camera_para.dat", 1, &file) < 0)
        {
          std::fprintf(stderr, "run from the source tree (Data/)\n");
          return 1;
        }
      arParamChangeSize(&file, size.width, size.height, &cam);
      camera_param = cam;
      arInitCparam(&camera_param);
      pattern_id = arLoadPatt("Data/patt.vesk");
      synth::Scene scene(cam, 1, 2);
      std::vector<cv::Mat> images;
      for (int i = 0; i < 30; ++i)
        {
          double pose[3][4];
          synth::pathPose(cam, i * 0.3, pose);
          images.push_back(scene.render(pose));
        }
      argInit(&camera_param, 1.0, 0, 0, 0, 0);
      arm_angle[0] = 20.0f;
      arm_angle[1] = 30.0f;
      arm_angle[2] = 40.0f;

      std::vector<double> upload, detect, draw, total, peer;
      for (int n = 0; n < frames + 10; ++n)
        {
          ARUint8* image = images[static_cast<std::size_t>(n) % images.size()].data;
          const Clock::time_point t0 = Clock::now();
          argDrawMode2D();
          argDispImage(image, 0, 0);
          glFinish();
          const Clock::time_point t1 = Clock::now();
          ARMarkerInfo* candidates;
          int count;
          arDetectMarker(image, detect_threshold, &candidates, &count);
          const int k = chooseMarker(candidates, count, pattern_id);
          if (k >= 0)
            arGetTransMat(&candidates[k], marker_center, marker_width, marker_pose);
          const Clock::time_point t2 = Clock::now();
          if (k >= 0)
            drawArm();
          argSwapBuffers();
          glFinish();
          const Clock::time_point t3 = Clock::now();
          if (n < 10)
            continue;  // warm-up
          upload.push_back(ms(t0, t1));
          detect.push_back(ms(t1, t2));
          draw.push_back(ms(t2, t3));
          total.push_back(ms(t0, t3));

          // The peer: the same frame with glDrawPixels for the background.
          const Clock::time_point p0 = Clock::now();
          argDrawMode2D();
          glPixelZoom(1.0f, -1.0f);
          glRasterPos3d(0, size.height - 0.5, -1);
          glDrawPixels(size.width, size.height, GL_BGRA, GL_UNSIGNED_BYTE, image);
          glFinish();
          arDetectMarker(image, detect_threshold, &candidates, &count);
          const int j = chooseMarker(candidates, count, pattern_id);
          if (j >= 0)
            {
              arGetTransMat(&candidates[j], marker_center, marker_width, marker_pose);
              drawArm();
            }
          argSwapBuffers();
          glFinish();
          peer.push_back(ms(p0, Clock::now()));
        }
      const double frame = median(total);
      std::printf("%4dx%-5d %7.3fms %7.3fms %7.3fms %7.3fms %7.3fms %9.1f | %8.3fms %7.2f\n", size.width,
                  size.height, median(upload), median(detect), median(draw), frame, p99(total), 1000.0 / frame,
                  median(peer), frame / median(peer));
      arFreePatt(pattern_id);
    }
  std::printf("target: at most 4 ms a frame at 1280x720 on one core\n");
  return 0;
}
