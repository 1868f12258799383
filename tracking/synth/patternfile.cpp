#include "patternfile.h"

#include <opencv2/imgproc.hpp>

#include <cstdio>

#include "marker.h"
#include "internal.h"

namespace synth
{
  PatternBlock blockFromImage(const cv::Mat& bgr16)
  {
    CV_Assert(bgr16.rows == AR_PATT_SIZE_Y && bgr16.cols == AR_PATT_SIZE_X && bgr16.type() == CV_8UC3);
    PatternBlock block(ar::PATTERN_VALUES);
    for (int plane = 0; plane < 3; ++plane)
      for (int row = 0; row < AR_PATT_SIZE_Y; ++row)
        for (int col = 0; col < AR_PATT_SIZE_X; ++col)
          block[static_cast<std::size_t>((plane * AR_PATT_SIZE_Y + row) * AR_PATT_SIZE_X + col)] =
            bgr16.at<cv::Vec3b>(row, col)[plane];
    return block;
  }

  std::vector<PatternBlock> blocksFromUpright(const cv::Mat& bgr16)
  {
    std::vector<PatternBlock> blocks;
    cv::Mat turned = bgr16.clone();
    for (int j = 0; j < 4; ++j)
      {
        blocks.push_back(blockFromImage(turned));
        cv::rotate(turned, turned, cv::ROTATE_90_COUNTERCLOCKWISE);
      }
    return blocks;
  }

  std::vector<PatternBlock> blocksFromDetection(const ARUint8* image, const ARParam& camera,
                                                const ARMarkerInfo& marker)
  {
    std::vector<PatternBlock> blocks;
    for (int j = 0; j < 4; ++j)
      {
        double corners[4][2];
        for (int k = 0; k < 4; ++k)
          for (int a = 0; a < 2; ++a)
            corners[k][a] = marker.vertex[(j + 2 + k) % 4][a];
        int sample[ar::PATTERN_VALUES];
        ar::samplePattern(image, camera.xsize, camera.ysize, camera.dist_factor, corners, sample);
        blocks.emplace_back(sample, sample + ar::PATTERN_VALUES);
      }
    return blocks;
  }

  bool writePatternFile(const std::string& path, const std::vector<PatternBlock>& blocks)
  {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr)
      return false;
    for (const PatternBlock& block : blocks)
      {
        for (std::size_t i = 0; i < block.size(); ++i)
          {
            std::fprintf(f, "%4d", block[i]);
            if (i % AR_PATT_SIZE_X == AR_PATT_SIZE_X - 1)
              std::fprintf(f, "\n");
          }
        std::fprintf(f, "\n");
      }
    return std::fclose(f) == 0;
  }

  cv::Mat markerPatternArea()
  {
    cv::Mat area(AR_PATT_SIZE_Y, AR_PATT_SIZE_X, CV_8UC3);
    for (int row = 0; row < AR_PATT_SIZE_Y; ++row)
      for (int col = 0; col < AR_PATT_SIZE_X; ++col)
        area.at<cv::Vec3b>(row, col) = markerCellBlack(col + FRAME_CELLS, row + FRAME_CELLS)
                                         ? cv::Vec3b(0, 0, 0)
                                         : cv::Vec3b(255, 255, 255);
    return area;
  }
}
