// Our marker: a black square frame a quarter of the side wide around a
// white interior carrying an asymmetric glyph (a bold V over a block in
// the lower-left), so that each of the four orientations differs. The
// design is a 32 x 32 grid of cells: 8 frame cells on each side, 16 x 16
// interior cells.
#ifndef VORLINDE_SYNTH_MARKER_H
#define VORLINDE_SYNTH_MARKER_H

#include <opencv2/core.hpp>

#include <string>

namespace synth
{
  enum { MARKER_CELLS = 32, FRAME_CELLS = 8 };

  // True when cell (col, row) of the 32 x 32 design is black; row 0 is the
  // marker's top.
  bool markerCellBlack(int col, int row);

  // The marker, pixels x pixels, 8-bit BGR, black 0 and white 255, with a
  // white margin of margin pixels on each side.
  cv::Mat renderMarker(int pixels, int margin = 0);

  // A one-page PDF of the page size given (A4 unless told) with the marker
  // at side_mm, centred, and a caption stating its size.
  std::string markerPdf(double side_mm, double page_w_mm = 210.0, double page_h_mm = 297.0);

  // PNG bytes of image with a pHYs chunk stating dpi.
  std::string pngWithDpi(const cv::Mat& image, double dpi);
}

#endif
