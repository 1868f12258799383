#include "video_options.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "regular_file.h"

namespace ar
{
  namespace
  {
    bool positiveInt(const std::string& text, int& out)
    {
      if (text.empty() || text.size() > 9)
        return false;
      char* end = nullptr;
      long v = std::strtol(text.c_str(), &end, 10);
      if (*end != '\0' || v <= 0)
        return false;
      out = static_cast<int>(v);
      return true;
    }

    bool positiveNumber(const std::string& text, double& out)
    {
      char* end = nullptr;
      errno = 0;
      double v = std::strtod(text.c_str(), &end);
      if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(v) || v <= 0 || v > 1000)
        return false;
      out = v;
      return true;
    }
  }

  const char* videoOptionHelp()
  {
    return "Video options:\n"
           "  -dev=PATH          V4L2 camera device (default /dev/video0)\n"
           "  -width=N           frame width (default 640)\n"
           "  -height=N          frame height (default 480)\n"
           "  -fps=N             frame rate (camera or file: its own; built-in scene: 30)\n"
           "  -flipv, -fliph     mirror the camera picture vertically / horizontally\n"
           "  -file=PATH         a video file or an image sequence such as frames/%04d.png\n"
           "  -loop              start the file again at its end\n"
           "  -synthetic         the built-in scene: our marker moving over a textured\n"
           "                     background, seen through Data/camera_para.dat\n"
           "  -seed=N            the built-in scene's background (default 1)\n"
           "  -light=G           the built-in scene dimmed to G (0..1, default 1)\n"
           "  -still             the built-in scene's marker stays where it starts\n"
           "  -frames=N          the built-in scene's marker leaves after N frames\n"
           "The string may also name a file holding the options (Data/video.conf);\n"
           "VORLINDE_VIDEO, when set, replaces it.\n";
  }

  bool parseVideoOptions(const std::string& text, VideoOptions& o, std::string& error)
  {
    o = VideoOptions();
    std::istringstream words(text);
    std::string word;
    bool camera = false;
    while (words >> word)
      {
        std::string::size_type eq = word.find('=');
        const std::string key = word.substr(0, eq == std::string::npos ? word.size() : eq + 1);
        const std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
        if (key == "-dev=" && !value.empty())
          {
            o.device = value;
            camera = true;
          }
        else if (key == "-width=" || key == "-height=")
          {
            if (!positiveInt(value, key == "-width=" ? o.width : o.height) ||
                (key == "-width=" ? o.width : o.height) > 8192)
              {
                error = word + ": needs a size in pixels, 1 to 8192";
                return false;
              }
            o.sizeGiven = true;
          }
        else if (key == "-fps=")
          {
            // A period must fit the clock: 1e-300 frames a second is none.
            if (!positiveNumber(value, o.fps) || o.fps < 0.01)
              {
                error = word + ": needs frames per second, from 0.01 to 1000";
                return false;
              }
          }
        else if (key == "-light=")
          {
            if (!positiveNumber(value, o.light) || o.light > 1.0)
              {
                error = word + ": needs the light as a fraction, above 0 and at most 1";
                return false;
              }
          }
        else if (key == "-seed=")
          {
            int seed = 0;
            if (!positiveInt(value, seed) && value != "0")
              {
                error = word + ": needs a whole number";
                return false;
              }
            o.seed = value == "0" ? 0u : static_cast<unsigned>(seed);
          }
        else if (key == "-file=" && !value.empty())
          {
            o.file = value;
            if (o.kind == VideoOptions::SYNTHETIC)
              {
                error = "-file and -synthetic cannot be combined";
                return false;
              }
            o.kind = VideoOptions::FILE;
          }
        else if (key == "-frames=")
          {
            int frames = 0;
            if (!positiveInt(value, frames) && value != "0")
              {
                error = word + ": needs a number of frames";
                return false;
              }
            o.markerFrames = frames;
          }
        else if (word == "-still")
          o.still = true;
        else if (word == "-synthetic")
          {
            if (o.kind == VideoOptions::FILE)
              {
                error = "-file and -synthetic cannot be combined";
                return false;
              }
            o.kind = VideoOptions::SYNTHETIC;
          }
        else if (word == "-flipv")
          o.flipV = true;
        else if (word == "-fliph")
          o.flipH = true;
        else if (word == "-loop")
          o.loop = true;
        else
          {
            error = "unknown video option \"" + word + "\"";
            error += word[0] != '-' ? " (no video configuration file of that name either)"
                                    : " (--help lists the video options)";
            return false;
          }
      }
    if (camera && o.kind != VideoOptions::CAMERA)
      {
        error = "-dev cannot be combined with -file or -synthetic";
        return false;
      }
    return true;
  }

  bool resolveVideoConfig(const char* config, std::string& text, std::string& error)
  {
    text = config != nullptr ? config : "";
    const char* env = std::getenv("VORLINDE_VIDEO");
    if (env != nullptr && env[0] != '\0')
      text = env;
    // A name that exists is the configuration file, whatever it is; text
    // that names nothing is the options themselves.
    struct stat st;
    if (text.empty() || text[0] == '-' || stat(text.c_str(), &st) != 0)
      return true;
    const std::string path = text;
    std::string why;
    if (!readRegularFile(path.c_str(), MAX_START_FILE_BYTES, text, why))
      {
        error = "video configuration " + path + " " + why;
        return false;
      }
    return true;
  }
}
