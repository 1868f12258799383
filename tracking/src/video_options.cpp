#include "video_options.h"

#include <sys/stat.h>

#include <cerrno>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "capture.h"
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
           "  -fourcc=CODE       camera pixel format: MJPG, YUYV, ... (v4l2-ctl --list-formats-ext)\n"
           "  -exposure=N|auto   camera exposure in the driver's units, or automatic\n"
           "  -focus=N|auto      camera focus in the driver's units, or automatic\n"
           "  -flipv, -fliph     mirror the camera picture vertically / horizontally\n"
           "  -file=PATH         a video file, an image sequence such as frames/%04d.png,\n"
           "                     or a network stream (rtsp://..., http://...)\n"
           "  -gst=\"PIPELINE\"    a GStreamer pipeline ending in appsink\n"
           "  -loop              start the file again at its end\n"
           "  -allframes         a file or pipeline hands out every frame, none replaced by a\n"
           "                     newer one, as fast as they are taken (offline work)\n"
           "  -synthetic         the built-in scene: our marker moving over a textured\n"
           "                     background, seen through Data/camera_para.dat\n"
           "  -seed=N            the built-in scene's background (default 1)\n"
           "  -light=G           the built-in scene dimmed to G (0..1, default 1)\n"
           "  -still             the built-in scene's marker stays where it starts\n"
           "  -frames=N          the built-in scene's marker leaves after N frames\n"
           "The string may also name a file holding the options (Data/video.conf);\n"
           "VORLINDE_VIDEO, when set, replaces it.\n";
  }

  namespace
  {
    // Words separated by blanks; double quotes keep blanks inside one
    // (-gst="videotestsrc ! appsink") and are dropped.
    bool splitWords(const std::string& text, std::vector<std::string>& words, std::string& error)
    {
      std::string word;
      bool inWord = false, quoted = false;
      for (char c : text)
        {
          if (c == '"')
            {
              quoted = !quoted;
              inWord = true;
            }
          else if (!quoted && std::isspace(static_cast<unsigned char>(c)))
            {
              if (inWord)
                words.push_back(word);
              word.clear();
              inWord = false;
            }
          else
            {
              word += c;
              inWord = true;
            }
        }
      if (quoted)
        {
          error = "a double quote is not closed in the video options";
          return false;
        }
      if (inWord)
        words.push_back(word);
      return true;
    }

    // -exposure= and -focus=: a number from 0 to 1e6 in the driver's
    // units, or auto.
    bool controlValue(const std::string& value, double& out)
    {
      if (value == "auto")
        {
          out = VideoOptions::AUTO;
          return true;
        }
      char* end = nullptr;
      const double v = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !std::isfinite(v) || v < 0 || v > 1e6)
        return false;
      out = v;
      return true;
    }

    bool setKind(VideoOptions& o, VideoOptions::Kind kind, std::string& error)
    {
      if (o.kind != VideoOptions::CAMERA && o.kind != kind)
        {
          error = "-file, -gst and -synthetic name different sources; give one";
          return false;
        }
      o.kind = kind;
      return true;
    }
  }

  bool parseVideoOptions(const std::string& text, VideoOptions& o, std::string& error)
  {
    o = VideoOptions();
    std::vector<std::string> words;
    if (!splitWords(text, words, error))
      return false;
    bool camera = false, cameraControls = false;
    for (const std::string& word : words)
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
            if (!setKind(o, VideoOptions::FILE, error))
              return false;
          }
        else if (key == "-gst=" && !value.empty())
          {
            o.pipeline = value;
            if (!setKind(o, VideoOptions::PIPELINE, error))
              return false;
          }
        else if (key == "-fourcc=")
          {
            if (value.size() != 4 || value.find_first_not_of(
                                       "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 ") !=
                                       std::string::npos)
              {
                error = word + ": needs four letters or digits, such as MJPG or YUYV";
                return false;
              }
            o.fourcc = value;
            cameraControls = true;
          }
        else if (key == "-exposure=" || key == "-focus=")
          {
            if (!controlValue(value, key == "-exposure=" ? o.exposure : o.focus))
              {
                error = word + ": needs auto or a number from 0 to 1000000 (the driver's units)";
                return false;
              }
            cameraControls = true;
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
            if (!setKind(o, VideoOptions::SYNTHETIC, error))
              return false;
          }
        else if (word == "-flipv")
          o.flipV = true;
        else if (word == "-fliph")
          o.flipH = true;
        else if (word == "-loop")
          o.loop = true;
        else if (word == "-allframes")
          o.allFrames = true;
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
        error = "-dev cannot be combined with -file, -gst or -synthetic";
        return false;
      }
    if (o.allFrames && (o.kind == VideoOptions::CAMERA || (o.kind == VideoOptions::FILE && isNetworkStream(o.file))))
      {
        error = "-allframes is for a recording (-file) or a pipeline (-gst): a camera or a stream does not wait";
        return false;
      }
    if (cameraControls && o.kind != VideoOptions::CAMERA)
      {
        error = "-fourcc, -exposure and -focus are for a camera (-dev), not for -file, -gst or -synthetic";
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
