// vorlinde-marker: the printable marker, as a PNG at a given resolution
// and as a one-page PDF, at a given side length.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "marker.h"

static const char* usage =
  "Usage: vorlinde-marker [--size-mm MM] [--dpi DPI] [--png FILE] [--pdf FILE]\n"
  "Writes the Vorlinde marker for printing: a PNG (with a white margin of a\n"
  "tenth of the side, its resolution recorded in the file) and/or an A4 PDF\n"
  "page with the marker centred. Print at 100 %; the black square must come\n"
  "out MM wide (default 80, the viewer's marker width). Default --dpi 300.\n";

static bool writeFile(const std::string& path, const std::string& bytes)
{
  std::ofstream out(path.c_str(), std::ios::binary);
  out << bytes;
  return static_cast<bool>(out);
}

int main(int argc, char** argv)
{
  double sizeMm = 80, dpi = 300;
  std::string png, pdf;
  for (int i = 1; i < argc; ++i)
    {
      std::string a = argv[i];
      bool hasValue = i + 1 < argc;
      if (a == "-h" || a == "--help")
        {
          std::fputs(usage, stdout);
          return 0;
        }
      if ((a == "--size-mm" || a == "--dpi" || a == "--png" || a == "--pdf") && !hasValue)
        {
          std::fprintf(stderr, "vorlinde-marker: %s needs a value\n", a.c_str());
          return 1;
        }
      if (a == "--size-mm")
        sizeMm = std::atof(argv[++i]);
      else if (a == "--dpi")
        dpi = std::atof(argv[++i]);
      else if (a == "--png")
        png = argv[++i];
      else if (a == "--pdf")
        pdf = argv[++i];
      else
        {
          std::fprintf(stderr, "vorlinde-marker: unknown argument \"%s\" (see --help)\n", a.c_str());
          return 1;
        }
    }
  if (!(sizeMm >= 10 && sizeMm <= 250) || !(dpi >= 50 && dpi <= 2400))
    {
      std::fprintf(stderr, "vorlinde-marker: --size-mm must be 10..250 and --dpi 50..2400\n");
      return 1;
    }
  if (png.empty() && pdf.empty())
    {
      std::fprintf(stderr, "vorlinde-marker: give --png FILE and/or --pdf FILE (see --help)\n");
      return 1;
    }
  if (!png.empty())
    {
      const int pixels = static_cast<int>(std::lround(sizeMm / 25.4 * dpi));
      cv::Mat image = synth::renderMarker(pixels, pixels / 10);
      if (!writeFile(png, synth::pngWithDpi(image, dpi)))
        {
          std::fprintf(stderr, "vorlinde-marker: cannot write %s\n", png.c_str());
          return 1;
        }
      std::printf("%s: %d x %d pixels, marker %d pixels = %.1f mm at %.0f dpi\n", png.c_str(), image.cols,
                  image.rows, pixels, sizeMm, dpi);
    }
  if (!pdf.empty())
    {
      if (!writeFile(pdf, synth::markerPdf(sizeMm)))
        {
          std::fprintf(stderr, "vorlinde-marker: cannot write %s\n", pdf.c_str());
          return 1;
        }
      std::printf("%s: A4 page, marker %.1f mm\n", pdf.c_str(), sizeMm);
    }
  return 0;
}
