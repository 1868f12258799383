// Shared internals of the tracking library (C++ only).
#ifndef AR_SRC_INTERNAL_H
#define AR_SRC_INTERNAL_H

#include <AR/ar.h>

#include <cstdio>
#include <string>

// Diagnostics compiled out of release builds.
#ifdef AR_DEBUG
#define AR_DEBUG_PRINT(...) std::fprintf(stderr, __VA_ARGS__)
#else
#define AR_DEBUG_PRINT(...) ((void)0)
#endif

namespace ar
{
  // Tunables of detection, with their defaults.
  struct DetectorParameters
  {
    int areaMin = AR_AREA_MIN;          // pixels in a candidate region
    int areaMax = AR_AREA_MAX;
    double confidenceCut = 0.5;         // below: id -1
    int historyFrames = 2;              // a lost marker is reported this long
    double cornerSplitFactor = 0.01;    // corner test: dist^2 > area/0.75 * this
    double edgeTrim = 0.05;             // fraction of each side left out of fits
    int edgeSearch = 3;                 // pixels searched either side of a side
  };
  const DetectorParameters& parameters();

  // The 768 values of one 16x16 B, G, R sample: ((plane*16)+row)*16+col.
  enum { PATTERN_VALUES = 3 * AR_PATT_SIZE_X * AR_PATT_SIZE_Y };

  // Makes the loss of the X connection end the process with status 1 and
  // one line on standard error, through exit().
  void endQuietlyWhenDisplayIsLost();

  // One camera record, checked as arParamLoad checks it, but without a
  // word: why says what is wrong. 0, or -1.
  int loadParamQuietly(const char* filename, ARParam& param, std::string& why);

  // Best pattern and orientation for a sample (colour matching, no PCA).
  // cellPixels: the size of a pattern cell in the image, its shorter side
  // (small cells are also matched against templates softened by a cell).
  void matchPattern(const int sample[PATTERN_VALUES], double cellPixels, int& id, int& dir, double& cf);

  // Samples the central half of a square (4 fitted corners in ideal
  // coordinates, clockwise, corner 0 at the sample's top-left; seen through
  // the distortion dist_factor) into 16x16 B, G, R cells, as detection does.
  void samplePattern(const ARUint8* image, int width, int height, const double dist_factor[4],
                     const double vertex[4][2],
                     int sample[PATTERN_VALUES]);

  // The same sample from one point at the centre of each cell, the lens
  // taken as straight between the corners: a small part of the work, for a
  // first look at whether a square can be a marker at all.
  void glancePattern(const ARUint8* image, int width, int height, const double dist_factor[4],
                     const double vertex[4][2], int sample[PATTERN_VALUES]);
}

#endif
