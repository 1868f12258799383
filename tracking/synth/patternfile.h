// Making pattern files: four orientation blocks of 16 x 16 B, G, R values,
// block j being block 0 turned j x 90 degrees counter-clockwise, written
// as the tracking library's trainer writes them.
#ifndef VORLINDE_SYNTH_PATTERNFILE_H
#define VORLINDE_SYNTH_PATTERNFILE_H

#include <opencv2/core.hpp>

#include <string>
#include <vector>

#include <AR/ar.h>

namespace synth
{
  typedef std::vector<int> PatternBlock;  // 768 values, ((plane*16)+row)*16+col

  // Block 0 from an upright 16 x 16 BGR image of the pattern area.
  PatternBlock blockFromImage(const cv::Mat& bgr16);
  // The four blocks of an upright 16 x 16 BGR image (block j turned j
  // quarter turns counter-clockwise).
  std::vector<PatternBlock> blocksFromUpright(const cv::Mat& bgr16);
  // The four blocks of a detected square: block j is sampled starting at
  // vertex (j+2)%4, as the trainer does. image is BGRA at the camera's size.
  std::vector<PatternBlock> blocksFromDetection(const ARUint8* image, const ARParam& camera,
                                                const ARMarkerInfo& marker);
  // "%4d", 16 values a line, an empty line after each block.
  bool writePatternFile(const std::string& path, const std::vector<PatternBlock>& blocks);
  // The upright 16 x 16 pattern area of our marker (its interior).
  cv::Mat markerPatternArea();
}

#endif
