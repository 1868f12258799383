// A synthetic camera scene: our marker, printed on white paper, at a known
// pose over a textured background, seen through a camera with its
// distortion. Deterministic for a given seed. Used by the built-in video
// source, the tests and the benchmarks.
#ifndef VORLINDE_SYNTH_SCENE_H
#define VORLINDE_SYNTH_SCENE_H

#include <opencv2/core.hpp>

#include <map>

#include <AR/param.h>

namespace synth
{
  // A nominal camera: width x height, horizontal field of view hfov
  // degrees, principal point at the image centre, no distortion.
  ARParam nominalCamera(int width, int height, double hfov = 60.0);

  // The pose that puts the marker centre on pixel (u, v) at depth z (mm),
  // facing the camera, then tilted about the camera's X and Y axes by rx,
  // ry and turned in its own plane by roll (degrees, counter-clockwise as
  // seen from the camera).
  void poseAt(const ARParam& camera, double u, double v, double z, double rx, double ry, double roll,
              double conv[3][4]);

  // A smooth path through poses that stay in view: t in seconds. Its
  // depth stays within kPathNearest..kPathFarthest (mm).
  void pathPose(const ARParam& camera, double t, double conv[3][4]);
  constexpr double kPathNearest = 290.0, kPathFarthest = 470.0;

  class Scene
  {
  public:
    // camera must already be sized to the image wanted.
    Scene(const ARParam& camera, unsigned seed, int supersample = 3);

    // The frame with the marker (side marker_mm, on paper with a margin) at
    // pose conv, as 8-bit BGRA. Without a pose (conv NULL) the background
    // alone. One thread at a time: the work buffers are the scene's.
    cv::Mat render(const double (*conv)[4], double marker_mm = 80.0) const;
    // The same into bgra, whose buffer is used again when it has the size.
    void render(const double (*conv)[4], cv::Mat& bgra, double marker_mm = 80.0) const;

    const ARParam& camera() const { return m_camera; }

    // Makes at once the textures every depth in nearest..farthest (mm)
    // needs, so that rendering along a path allocates nothing new.
    void prepare(double nearest, double farthest, double marker_mm = 80.0) const;

    // Another marker design to print on the paper instead of ours: a
    // square image of the marker alone (black frame to black frame).
    void setDesign(const cv::Mat& bgr);

    // Another background: a BGR image of the frame's size.
    void setBackground(const cv::Mat& bgr);

  private:
    // Renders the paper into area (pixels) of frame.
    void renderArea(const cv::Matx33d& Hinv, double paper, double marker_mm, double distance,
                    const cv::Rect& area, cv::Mat& frame) const;
    // The marker, marker texels wide, on its paper.
    const cv::Mat& texture(int marker) const;
    // The texels across the marker at a depth: about as dense as sub-pixels.
    int texelsAt(double distance, double marker_mm) const;

    ARParam m_camera;
    int m_s;
    cv::Mat m_ideal;       // CV_32FC2: ideal position of each sub-pixel
    cv::Mat m_background;  // CV_8UC3 at sub-pixel resolution
    cv::Mat m_backgroundFrame;  // the same at pixel resolution
    mutable std::map<int, cv::Mat> m_textures;
    cv::Mat m_design;
    mutable cv::Mat m_frame;  // the frame in BGR, reused from frame to frame
  };

  // Adds Gaussian noise (sigma grey levels) and/or Gaussian blur (sigma
  // pixels) to a BGRA frame, deterministically for a seed.
  void degrade(cv::Mat& bgra, double noise_sigma, double blur_sigma, unsigned seed);

  // Light that falls across the frame: every colour scaled by a gain going
  // linearly from left to right across the width (dim light: both equal).
  void light(cv::Mat& bgra, double left, double right);

  // A grey texture of blotches and grain whose levels spread over
  // mean +- spread: a carpet or a wooden desk whose greys straddle a
  // threshold, making regions of every size on both sides of it.
  cv::Mat texturedBackground(int width, int height, unsigned seed, double mean = 100, double spread = 45);
}

#endif
