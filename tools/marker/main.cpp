// vorlinde-marker: the printable marker, as a PNG at a given resolution
// and as a one-page PDF, at a given side length.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "marker.h"

namespace
{
  const char* usage =
    "Usage: vorlinde-marker [--size-mm MM] [--dpi DPI] [--page PAGE] [--png FILE] [--pdf FILE]\n"
    "Writes the Vorlinde marker for printing: a PNG (with a white margin of a\n"
    "tenth of the side, its resolution recorded in the file) and/or a PDF page\n"
    "with the marker centred. Print at 100 %; the black square must come out\n"
    "MM wide (default 80, the viewer's marker width: another size needs the\n"
    "component's marker_width set to it). Default --dpi 300.\n"
    "PAGE is A5, A4 (the default), A3, letter or WIDTHxHEIGHT in mm; a marker\n"
    "that does not fit A4 with 10 mm margins goes on A3.\n";

  const double MARGIN_MM = 10.0;
  const double CAPTION_MM = 12.0;  // below the marker

  struct Page
  {
    const char* name;
    double w, h;
  };
  const Page pages[] = {{"A5", 148, 210}, {"A4", 210, 297}, {"A3", 297, 420}, {"letter", 215.9, 279.4}};

  [[noreturn]] void fail(const std::string& message)
  {
    std::fprintf(stderr, "vorlinde-marker: %s\n", message.c_str());
    std::exit(1);
  }

  // The whole text as a number, else a refusal naming the option.
  double number(const std::string& option, const char* text)
  {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (*text == '\0' || *end != '\0' || errno != 0 || !std::isfinite(v))
      fail(option + " needs a number, not \"" + text + "\"");
    return v;
  }

  Page parsePage(const std::string& text)
  {
    for (const Page& p : pages)
      if (strcasecmp(text.c_str(), p.name) == 0)
        return p;
    const std::string::size_type x = text.find('x');
    if (x != std::string::npos)
      {
        Page p = {"custom", number("--page", text.substr(0, x).c_str()), number("--page", text.substr(x + 1).c_str())};
        if (p.w >= 50 && p.h >= 50 && p.w <= 2000 && p.h <= 2000)
          return p;
      }
    fail("--page takes A5, A4, A3, letter or WIDTHxHEIGHT in mm (50 to 2000), not \"" + text + "\"");
  }

  // The largest marker a page holds with its margins and the caption.
  double largestOn(const Page& p)
  {
    return std::floor(std::min(p.w - 2 * MARGIN_MM, p.h - 2 * MARGIN_MM - CAPTION_MM) * 10) / 10;
  }

  bool writeFile(const std::string& path, const std::string& bytes)
  {
    std::ofstream out(path.c_str(), std::ios::binary);
    out << bytes;
    return static_cast<bool>(out);
  }
}

int main(int argc, char** argv)
{
  double sizeMm = 80, dpi = 300;
  std::string png, pdf, pageText;
  for (int i = 1; i < argc; ++i)
    {
      const std::string a = argv[i];
      if (a == "-h" || a == "--help")
        {
          std::fputs(usage, stdout);
          return 0;
        }
      const bool takesValue = a == "--size-mm" || a == "--dpi" || a == "--png" || a == "--pdf" || a == "--page";
      if (takesValue && i + 1 >= argc)
        fail(a + " needs a value");
      if (a == "--size-mm")
        sizeMm = number(a, argv[++i]);
      else if (a == "--dpi")
        dpi = number(a, argv[++i]);
      else if (a == "--png")
        png = argv[++i];
      else if (a == "--pdf")
        pdf = argv[++i];
      else if (a == "--page")
        pageText = argv[++i];
      else
        fail("unknown argument \"" + a + "\" (see --help)");
    }
  if (!(sizeMm >= 10 && sizeMm <= 1000) || !(dpi >= 50 && dpi <= 2400))
    fail("--size-mm must be 10..1000 and --dpi 50..2400");
  if (png.empty() && pdf.empty())
    fail("give --png FILE and/or --pdf FILE (see --help)");
  if (!png.empty())
    {
      const int pixels = static_cast<int>(std::lround(sizeMm / 25.4 * dpi));
      if (pixels > 20000)
        fail("the PNG would be " + std::to_string(pixels) + " pixels wide; lower --dpi");
      cv::Mat image = synth::renderMarker(pixels, pixels / 10);
      if (!writeFile(png, synth::pngWithDpi(image, dpi)))
        fail("cannot write " + png);
      std::printf("%s: %d x %d pixels, marker %d pixels = %.1f mm at %.0f dpi\n", png.c_str(), image.cols,
                  image.rows, pixels, sizeMm, dpi);
    }
  if (!pdf.empty())
    {
      // The page asked for; else A4, or A3 for a marker A4 cannot hold.
      Page page = pageText.empty() ? pages[1] : parsePage(pageText);
      if (pageText.empty() && largestOn(page) < sizeMm)
        page = pages[2];
      if (largestOn(page) < sizeMm)
        {
          char message[256];
          std::snprintf(message, sizeof message,
                        "a %.1f mm marker does not fit %s (%.0f x %.0f mm) with %.0f mm margins; %.1f mm at most, "
                        "or a larger --page",
                        sizeMm, page.name, page.w, page.h, MARGIN_MM, largestOn(page));
          fail(message);
        }
      if (!writeFile(pdf, synth::markerPdf(sizeMm, page.w, page.h)))
        fail("cannot write " + pdf);
      std::printf("%s: %s page (%.0f x %.0f mm), marker %.1f mm\n", pdf.c_str(), page.name, page.w, page.h, sizeMm);
    }
  return 0;
}
