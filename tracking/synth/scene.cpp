#include "scene.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "marker.h"

namespace synth
{
  namespace
  {
    // Textures kept, one per size; beyond that the cache starts again.
    constexpr std::size_t kMaxTextures = 64;

    cv::Matx33d rotX(double deg)
    {
      double a = deg * CV_PI / 180, c = std::cos(a), s = std::sin(a);
      return cv::Matx33d(1, 0, 0, 0, c, -s, 0, s, c);
    }
    cv::Matx33d rotY(double deg)
    {
      double a = deg * CV_PI / 180, c = std::cos(a), s = std::sin(a);
      return cv::Matx33d(c, 0, s, 0, 1, 0, -s, 0, c);
    }
    cv::Matx33d rotZ(double deg)
    {
      double a = deg * CV_PI / 180, c = std::cos(a), s = std::sin(a);
      return cv::Matx33d(c, -s, 0, s, c, 0, 0, 0, 1);
    }

    cv::Mat makeBackground(int width, int height, unsigned seed)
    {
      cv::RNG rng(seed);
      cv::Mat bg(height, width, CV_8UC3);
      // A soft light gradient, then shapes of many greys and colours, some
      // dark enough to be candidates the detector must reject.
      for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
          {
            double g = 170 + 50 * std::sin(x * 0.011 + y * 0.004) + 20 * std::cos(y * 0.017);
            bg.at<cv::Vec3b>(y, x) = cv::Vec3b(cv::saturate_cast<uchar>(g + 10), cv::saturate_cast<uchar>(g),
                                               cv::saturate_cast<uchar>(g - 15));
          }
      const int shapes = 24 + (width * height) / 20000;
      for (int i = 0; i < shapes; ++i)
        {
          cv::Scalar colour(rng.uniform(40, 250), rng.uniform(40, 250), rng.uniform(40, 250));
          cv::Point c(rng.uniform(0, width), rng.uniform(0, height));
          int r = rng.uniform(8, std::max(9, width / 10));
          switch (rng.uniform(0, 3))
            {
            case 0:
              cv::circle(bg, c, r, colour, cv::FILLED, cv::LINE_AA);
              break;
            case 1:
              cv::rectangle(bg, c, c + cv::Point(r, r * 2 / 3), colour, cv::FILLED, cv::LINE_AA);
              break;
            default:
              cv::line(bg, c, c + cv::Point(rng.uniform(-r, r), rng.uniform(-r, r)), colour,
                       rng.uniform(1, 4), cv::LINE_AA);
              break;
            }
        }
      cv::GaussianBlur(bg, bg, cv::Size(3, 3), 0.8);
      return bg;
    }
  }

  ARParam nominalCamera(int width, int height, double hfov)
  {
    ARParam p = {};
    p.xsize = width;
    p.ysize = height;
    const double f = (width / 2.0) / std::tan(hfov * CV_PI / 360.0);
    const double cx = (width - 1) / 2.0, cy = (height - 1) / 2.0;
    double mat[3][4] = {{f, 0, cx, 0}, {0, f, cy, 0}, {0, 0, 1, 0}};
    std::memcpy(p.mat, mat, sizeof mat);
    p.dist_factor[0] = cx;
    p.dist_factor[1] = cy;
    p.dist_factor[2] = 0.0;
    p.dist_factor[3] = 1.0;
    return p;
  }

  void poseAt(const ARParam& camera, double u, double v, double z, double rx, double ry, double roll,
              double conv[3][4])
  {
    // Facing the camera: marker X right, Y up (camera -Y), Z towards it.
    const cv::Matx33d facing(1, 0, 0, 0, -1, 0, 0, 0, -1);
    const cv::Matx33d R = rotX(rx) * rotY(ry) * facing * rotZ(roll);
    const double fx = camera.mat[0][0], skew = camera.mat[0][1], cx = camera.mat[0][2];
    const double fy = camera.mat[1][1], cy = camera.mat[1][2];
    const double y = (v - cy) / fy;
    const double x = (u - cx - skew * y) / fx;
    const double t[3] = {x * z, y * z, z};
    for (int r = 0; r < 3; ++r)
      {
        for (int c = 0; c < 3; ++c)
          conv[r][c] = R(r, c);
        conv[r][3] = t[r];
      }
  }

  void pathPose(const ARParam& camera, double t, double conv[3][4])
  {
    const double w = camera.xsize, h = camera.ysize;
    const double u = w * (0.5 + 0.18 * std::sin(0.31 * t));
    const double v = h * (0.5 + 0.15 * std::sin(0.23 * t + 1.0));
    const double z = (kPathNearest + kPathFarthest) / 2 + (kPathFarthest - kPathNearest) / 2 * std::sin(0.17 * t);
    // Seen from the front and above, as a marker lying on a table, so that
    // what stands on it stands up in the picture.
    poseAt(camera, u, v, z, -50 + 12 * std::sin(0.27 * t), 20 * std::sin(0.19 * t + 0.5), 25 * std::sin(0.11 * t),
           conv);
  }

  Scene::Scene(const ARParam& camera, unsigned seed, int supersample)
    : m_camera(camera), m_s(std::max(1, supersample))
  {
    const int W = camera.xsize * m_s, H = camera.ysize * m_s;
    m_ideal.create(H, W, CV_32FC2);
    for (int ys = 0; ys < H; ++ys)
      {
        cv::Vec2f* row = m_ideal.ptr<cv::Vec2f>(ys);
        const double oy = (ys + 0.5) / m_s - 0.5;
        for (int xs = 0; xs < W; ++xs)
          {
            const double ox = (xs + 0.5) / m_s - 0.5;
            double ix, iy;
            arParamObserv2Ideal(camera.dist_factor, ox, oy, &ix, &iy);
            row[xs] = cv::Vec2f(static_cast<float>(ix), static_cast<float>(iy));
          }
      }
    cv::Mat bg = makeBackground(camera.xsize, camera.ysize, seed);
    cv::resize(bg, m_background, cv::Size(W, H), 0, 0, cv::INTER_LINEAR);
    cv::resize(m_background, m_backgroundFrame, cv::Size(camera.xsize, camera.ysize), 0, 0, cv::INTER_AREA);
  }

  const cv::Mat& Scene::texture(int marker) const
  {
    auto it = m_textures.find(marker);
    if (it != m_textures.end())
      return it->second;
    if (m_textures.size() >= kMaxTextures)
      m_textures.clear();
    // Paper: the marker plus a white margin of an eighth of its side
    // (10 mm at 80 mm) on each side; marker is a multiple of 8 texels.
    if (m_design.empty())
      return m_textures[marker] = renderMarker(marker, marker / 8);
    cv::Mat scaled, tex;
    cv::resize(m_design, scaled, cv::Size(marker, marker), 0, 0, cv::INTER_NEAREST);
    cv::copyMakeBorder(scaled, tex, marker / 8, marker / 8, marker / 8, marker / 8, cv::BORDER_CONSTANT,
                       cv::Scalar::all(255));
    return m_textures[marker] = tex;
  }

  int Scene::texelsAt(double distance, double marker_mm) const
  {
    // Texels about as dense as sub-pixels at the marker's distance, so that
    // bilinear texturing plus the sub-pixel box filter give each pixel its
    // true coverage along the marker's edges.
    const double wanted = marker_mm * m_s * m_camera.mat[0][0] / std::max(50.0, distance);
    const double texels = std::max(32.0, std::min(8192.0, wanted));  // NaN gives 32
    return 8 * static_cast<int>(std::lround(texels / 8));
  }

  void Scene::prepare(double nearest, double farthest, double marker_mm) const
  {
    const int most = texelsAt(nearest, marker_mm), least = texelsAt(farthest, marker_mm);
    if (static_cast<std::size_t>(most - least) / 8 >= kMaxTextures)
      return;  // more than the cache holds: made as they are needed
    for (int marker = least; marker <= most; marker += 8)
      texture(marker);
  }

  void Scene::setBackground(const cv::Mat& bgr)
  {
    cv::resize(bgr, m_background, m_background.size(), 0, 0, cv::INTER_LINEAR);
    cv::resize(m_background, m_backgroundFrame, m_backgroundFrame.size(), 0, 0, cv::INTER_AREA);
  }

  void Scene::setDesign(const cv::Mat& bgr)
  {
    m_design = bgr.clone();
    m_textures.clear();
  }

  cv::Mat Scene::render(const double (*conv)[4], double marker_mm) const
  {
    cv::Mat bgra;
    render(conv, bgra, marker_mm);
    return bgra;
  }

  void Scene::render(const double (*conv)[4], cv::Mat& bgra, double marker_mm) const
  {
    m_backgroundFrame.copyTo(m_frame);
    cv::Mat& frame = m_frame;
    if (conv != nullptr)
      {
        const auto& P = m_camera.mat;
        const cv::Matx33d K(P[0][0], P[0][1], P[0][2], P[1][0], P[1][1], P[1][2], P[2][0], P[2][1], P[2][2]);
        const cv::Matx33d H = K * cv::Matx33d(conv[0][0], conv[0][1], conv[0][3], conv[1][0], conv[1][1],
                                              conv[1][3], conv[2][0], conv[2][1], conv[2][3]);
        const cv::Matx33d Hinv = H.inv();
        const double paper = marker_mm * 1.25;
        // Only the pixels the paper covers are rendered again: its corners'
        // box in observed pixels, with room for the distortion's bulge.
        cv::Rect area(0, 0, m_camera.xsize, m_camera.ysize);
        std::vector<cv::Point2f> corners;
        bool inFront = true;
        for (const cv::Vec3d& corner : {cv::Vec3d(-paper / 2, paper / 2, 1), cv::Vec3d(paper / 2, paper / 2, 1),
                                       cv::Vec3d(paper / 2, -paper / 2, 1), cv::Vec3d(-paper / 2, -paper / 2, 1)})
          {
            const cv::Vec3d h = H * corner;
            if (h[2] <= 0)
              {
                inFront = false;
                break;
              }
            double ox, oy;
            arParamIdeal2Observ(m_camera.dist_factor, h[0] / h[2], h[1] / h[2], &ox, &oy);
            if (!(std::fabs(ox) < 1e6 && std::fabs(oy) < 1e6))
              {
                inFront = false;  // no box worth the name: render it all
                break;
              }
            corners.emplace_back(static_cast<float>(ox), static_cast<float>(oy));
          }
        if (inFront)
          {
            const int bulge = 4 + static_cast<int>(std::min(std::fabs(m_camera.dist_factor[2]), 10000.0));
            cv::Rect box = cv::boundingRect(corners);
            box = cv::Rect(box.x - bulge, box.y - bulge, box.width + 2 * bulge, box.height + 2 * bulge);
            area &= box;
          }
        if (area.area() > 0)
          renderArea(Hinv, paper, marker_mm, conv[2][3], area, frame);
      }
    cv::cvtColor(frame, bgra, cv::COLOR_BGR2BGRA);
  }

  void Scene::renderArea(const cv::Matx33d& Hinv, double paper, double marker_mm, double distance,
                         const cv::Rect& area, cv::Mat& frame) const
  {
    // Each pixel of the area is the mean of its sub-pixels, each either the
    // paper's texture (bilinear) or the background. Done in place with no
    // work buffers: buffers sized after an area that changes frame after
    // frame would fragment the heap of a program that renders for hours.
    const int marker = texelsAt(distance, marker_mm);
    const cv::Mat& tex = texture(marker);
    const double scale = marker / marker_mm;  // texels per mm
    const int s = m_s;
    const float inv = 1.0f / static_cast<float>(s * s);
    const float lastX = static_cast<float>(tex.cols - 1), lastY = static_cast<float>(tex.rows - 1);
    cv::parallel_for_(cv::Range(area.y, area.y + area.height), [&](const cv::Range& rows) {
        for (int y = rows.start; y < rows.end; ++y)
          {
            cv::Vec3b* out = frame.ptr<cv::Vec3b>(y);
            for (int x = area.x; x < area.x + area.width; ++x)
              {
                float sum[3] = {0, 0, 0};
                for (int ys = y * s; ys < (y + 1) * s; ++ys)
                  {
                    const cv::Vec2f* ideal = m_ideal.ptr<cv::Vec2f>(ys);
                    const cv::Vec3b* back = m_background.ptr<cv::Vec3b>(ys);
                    for (int xs = x * s; xs < (x + 1) * s; ++xs)
                      {
                        const double ix = ideal[xs][0], iy = ideal[xs][1];
                        const double w = Hinv(2, 0) * ix + Hinv(2, 1) * iy + Hinv(2, 2);
                        float tx = -1, ty = -1;
                        if (w > 0)
                          {
                            const double X = (Hinv(0, 0) * ix + Hinv(0, 1) * iy + Hinv(0, 2)) / w;
                            const double Y = (Hinv(1, 0) * ix + Hinv(1, 1) * iy + Hinv(1, 2)) / w;
                            // Texel centres sit at integer coordinates.
                            tx = static_cast<float>((X + paper / 2) * scale - 0.5);
                            ty = static_cast<float>((paper / 2 - Y) * scale - 0.5);
                          }
                        if (tx >= 0 && ty >= 0 && tx < lastX && ty < lastY)
                          {
                            const int x0 = static_cast<int>(tx), y0 = static_cast<int>(ty);
                            const float fx = tx - x0, fy = ty - y0;
                            const cv::Vec3b* r0 = tex.ptr<cv::Vec3b>(y0) + x0;
                            const cv::Vec3b* r1 = tex.ptr<cv::Vec3b>(y0 + 1) + x0;
                            for (int c = 0; c < 3; ++c)
                              sum[c] += (1 - fy) * ((1 - fx) * r0[0][c] + fx * r0[1][c]) +
                                        fy * ((1 - fx) * r1[0][c] + fx * r1[1][c]);
                          }
                        else
                          for (int c = 0; c < 3; ++c)
                            sum[c] += back[xs][c];
                      }
                  }
                for (int c = 0; c < 3; ++c)
                  out[x][c] = cv::saturate_cast<uchar>(sum[c] * inv);
              }
          }
      });
  }

  void degrade(cv::Mat& bgra, double noise_sigma, double blur_sigma, unsigned seed)
  {
    if (blur_sigma > 0)
      cv::GaussianBlur(bgra, bgra, cv::Size(0, 0), blur_sigma);
    if (noise_sigma > 0)
      {
        cv::RNG rng(seed);
        cv::Mat noise(bgra.size(), CV_16SC4);
        rng.fill(noise, cv::RNG::NORMAL, 0, noise_sigma);
        cv::Mat wide;
        bgra.convertTo(wide, CV_16SC4);
        wide += noise;
        wide.convertTo(bgra, CV_8UC4);
        // Alpha stays opaque.
        std::vector<cv::Mat> planes;
        cv::split(bgra, planes);
        planes[3].setTo(255);
        cv::merge(planes, bgra);
      }
  }

  void light(cv::Mat& bgra, double left, double right)
  {
    const int width = bgra.cols;
    for (int y = 0; y < bgra.rows; ++y)
      {
        cv::Vec4b* row = bgra.ptr<cv::Vec4b>(y);
        for (int x = 0; x < width; ++x)
          {
            const double gain = width > 1 ? left + (right - left) * x / (width - 1) : left;
            for (int c = 0; c < 3; ++c)
              row[x][c] = cv::saturate_cast<uchar>(row[x][c] * gain);
          }
      }
  }

  cv::Mat texturedBackground(int width, int height, unsigned seed, double mean, double spread)
  {
    cv::RNG rng(seed);
    cv::Mat sum = cv::Mat::zeros(height, width, CV_32F);
    // Blotches of several sizes, then grain.
    for (double scale : {40.0, 12.0, 3.0, 1.0})
      {
        cv::Mat layer(height, width, CV_32F);
        rng.fill(layer, cv::RNG::NORMAL, 0, 1);
        cv::GaussianBlur(layer, layer, cv::Size(0, 0), scale);
        cv::Scalar m, sd;
        cv::meanStdDev(layer, m, sd);
        sum += (layer - m[0]) / std::max(1e-6, sd[0]) * (scale >= 12 ? 1.0 : 0.5);
      }
    cv::Scalar m, sd;
    cv::meanStdDev(sum, m, sd);
    cv::Mat grey;
    // About 95 % of the levels within the spread.
    sum.convertTo(grey, CV_8U, spread / (2 * std::max(1e-6, sd[0])), mean - m[0] * spread / (2 * std::max(1e-6, sd[0])));
    cv::Mat bgr;
    cv::cvtColor(grey, bgr, cv::COLOR_GRAY2BGR);
    return bgr;
  }
}
