#include "label.h"

#include <opencv2/imgproc.hpp>

#include "internal.h"

namespace ar
{
  void findRegions(const ARUint8* image, int width, int height, int thresh, cv::Mat& mask,
                   cv::Mat& labels, std::vector<Region>& regions)
  {
    mask.create(height, width, CV_8UC1);
    const int limit = 3 * thresh;
    for (int y = 0; y < height; ++y)
      {
        const ARUint8* p = image + static_cast<std::size_t>(y) * width * 4;
        ARUint8* m = mask.ptr<ARUint8>(y);
        for (int x = 0; x < width; ++x, p += 4)
          m[x] = (p[0] + p[1] + p[2] <= limit) ? 255 : 0;
      }
    // The outermost frame is never part of a region.
    mask.row(0).setTo(0);
    mask.row(height - 1).setTo(0);
    mask.col(0).setTo(0);
    mask.col(width - 1).setTo(0);

    cv::Mat stats, centroids;
    int n = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
    regions.clear();
    const DetectorParameters& params = parameters();
    for (int k = 1; k < n; ++k)
      {
        const int* s = stats.ptr<int>(k);
        int area = s[cv::CC_STAT_AREA];
        if (area < params.areaMin || area > params.areaMax)
          continue;
        cv::Rect box(s[cv::CC_STAT_LEFT], s[cv::CC_STAT_TOP], s[cv::CC_STAT_WIDTH], s[cv::CC_STAT_HEIGHT]);
        // A region touching the inset border may be cut off by the image edge.
        if (box.x <= 1 || box.y <= 1 || box.x + box.width - 1 >= width - 2 ||
            box.y + box.height - 1 >= height - 2)
          continue;
        const double* c = centroids.ptr<double>(k);
        regions.push_back(Region{k, area, box, c[0], c[1]});
      }
  }
}
