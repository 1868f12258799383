// The video option string: parsing, and where the string comes from.
#ifndef AR_SRC_VIDEO_OPTIONS_H
#define AR_SRC_VIDEO_OPTIONS_H

#include <string>

namespace ar
{
  struct VideoOptions
  {
    enum Kind { CAMERA, FILE, SYNTHETIC, PIPELINE };
    Kind kind = CAMERA;
    std::string device = "/dev/video0";
    std::string file;      // a file, an image sequence or a network stream
    std::string pipeline;  // GStreamer
    // Camera controls: NOT_GIVEN leaves the camera's own setting.
    static constexpr double NOT_GIVEN = -1, AUTO = -2;
    std::string fourcc;    // "" keeps the camera's pixel format
    double exposure = NOT_GIVEN;
    double focus = NOT_GIVEN;
    int width = 640;
    int height = 480;
    bool sizeGiven = false;
    double fps = 0;  // 0: the source's own (camera, file) or 30 (built-in)
    bool flipV = false;
    bool flipH = false;
    bool loop = false;
    bool allFrames = false;  // a recording or pipeline: every frame taken, none replaced
    unsigned seed = 1;
    double light = 1.0;      // built-in scene: its light, a dim room below 1
    bool still = false;      // built-in scene: the marker stays put
    int markerFrames = -1;   // built-in scene: frames with the marker (-1: all)
  };

  // Parses "-dev=/dev/video0 -width=640 ..."; false with a one-line
  // reason in error for an unknown option or a bad value.
  bool parseVideoOptions(const std::string& text, VideoOptions& options, std::string& error);

  // The option string to use for config: VORLINDE_VIDEO when set and
  // non-empty, else config; a string naming an existing file is replaced
  // by that file's text. False (with a one-line reason) when it names
  // something that is no regular file of at most 1 MiB.
  bool resolveVideoConfig(const char* config, std::string& text, std::string& error);

  // The option list arVideoDispOption prints.
  const char* videoOptionHelp();
}

#endif
