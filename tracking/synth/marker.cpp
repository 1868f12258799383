#include "marker.h"

#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <sstream>
#include <vector>

namespace synth
{
  namespace
  {
    // The interior glyph, row 0 at the top.
    const char* const glyph[16] = {
      "................",
      "..XXX......XXX..",
      "..XXX......XXX..",
      "...XXX....XXX...",
      "...XXX....XXX...",
      "....XXX..XXX....",
      "....XXX..XXX....",
      ".....XXXXXX.....",
      ".....XXXXXX.....",
      "......XXXX......",
      "......XXXX......",
      "................",
      ".XXXX...........",
      ".XXXX...........",
      ".XXXX...........",
      "................",
    };

    std::uint32_t crc32(const unsigned char* data, std::size_t n, std::uint32_t crc = 0)
    {
      crc = ~crc;
      for (std::size_t i = 0; i < n; ++i)
        {
          crc ^= data[i];
          for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
      return ~crc;
    }

    void put32(std::string& out, std::uint32_t v)
    {
      for (int i = 3; i >= 0; --i)
        out += static_cast<char>((v >> (8 * i)) & 0xff);
    }
  }

  bool markerCellBlack(int col, int row)
  {
    if (col < FRAME_CELLS || row < FRAME_CELLS || col >= MARKER_CELLS - FRAME_CELLS ||
        row >= MARKER_CELLS - FRAME_CELLS)
      return true;
    return glyph[row - FRAME_CELLS][col - FRAME_CELLS] == 'X';
  }

  cv::Mat renderMarker(int pixels, int margin)
  {
    cv::Mat image(pixels + 2 * margin, pixels + 2 * margin, CV_8UC3, cv::Scalar::all(255));
    for (int y = 0; y < pixels; ++y)
      {
        cv::Vec3b* row = image.ptr<cv::Vec3b>(y + margin);
        const int cellRow = static_cast<int>(static_cast<long>(y) * MARKER_CELLS / pixels);
        for (int x = 0; x < pixels; ++x)
          if (markerCellBlack(static_cast<int>(static_cast<long>(x) * MARKER_CELLS / pixels), cellRow))
            row[x + margin] = cv::Vec3b(0, 0, 0);
      }
    return image;
  }

  namespace
  {
    std::string number(double v)
    {
      char text[32];
      std::snprintf(text, sizeof text, "%.2f", v);
      return text;
    }
  }

  std::string markerPdf(double side_mm, double page_w_mm, double page_h_mm)
  {
    const double pt = 72.0 / 25.4;
    const double pageW = page_w_mm * pt, pageH = page_h_mm * pt;
    const double side = side_mm * pt, cell = side / MARKER_CELLS;
    const double x0 = (pageW - side) / 2, y0 = (pageH - side) / 2;
    std::ostringstream content;
    content.setf(std::ios::fixed);
    content.precision(3);
    content << "0 g\n";
    // One rectangle per horizontal run of black cells; PDF y runs up.
    for (int row = 0; row < MARKER_CELLS; ++row)
      for (int col = 0; col < MARKER_CELLS;)
        {
          if (!markerCellBlack(col, row))
            {
              ++col;
              continue;
            }
          int end = col;
          while (end < MARKER_CELLS && markerCellBlack(end, row))
            ++end;
          content << x0 + col * cell << " " << y0 + (MARKER_CELLS - 1 - row) * cell << " "
                  << (end - col) * cell << " " << cell << " re f\n";
          col = end;
        }
    char caption[128];
    std::snprintf(caption, sizeof caption, "Vorlinde marker - print at 100%%: the black square is %.1f mm wide",
                  side_mm);
    content << "BT /F1 10 Tf " << x0 << " " << y0 - 24 << " Td (" << caption << ") Tj ET\n";
    const std::string stream = content.str();

    std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + number(pageW) + " " + number(pageH) +
        "] /Contents 4 0 R /Resources << /Font << /F1 5 0 R >> >> >>",
      "<< /Length " + std::to_string(stream.size()) + " >>\nstream\n" + stream + "endstream",
      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
    };
    std::string pdf = "%PDF-1.4\n";
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < objects.size(); ++i)
      {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
      }
    const std::size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (std::size_t off : offsets)
      {
        char line[32];
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", off);
        pdf += line;
      }
    pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
           std::to_string(xref) + "\n%%EOF\n";
    return pdf;
  }

  std::string pngWithDpi(const cv::Mat& image, double dpi)
  {
    std::vector<unsigned char> png;
    cv::imencode(".png", image, png);
    // Insert pHYs (pixels per metre) right after the 33-byte signature+IHDR.
    const std::uint32_t ppm = static_cast<std::uint32_t>(dpi / 0.0254 + 0.5);
    std::string chunk = "pHYs";
    put32(chunk, ppm);
    put32(chunk, ppm);
    chunk += '\1';
    std::string out(png.begin(), png.begin() + 33);
    put32(out, 9);
    out += chunk;
    put32(out, crc32(reinterpret_cast<const unsigned char*>(chunk.data()), chunk.size()));
    out.append(png.begin() + 33, png.end());
    return out;
  }
}
