// VorlindeComp --help: what the program takes, and where it looks.
#include <cstdio>
#include <cstring>

#include <AR/video.h>

#include "viewer.h"

bool askedForHelp(int argc, char** argv)
{
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0)
      return true;
  return false;
}

void printUsage()
{
  std::printf(
    "Usage: VorlindeComp [MANAGER OPTIONS] [GLUT OPTIONS]\n"
    "Shows the camera picture with a three-joint arm drawn on the printed marker.\n"
    "The joints follow the \"Angle\" port of the RT component Vorlinde0 (once a\n"
    "tool has activated it), and the keys c, v and b; ESC ends the program.\n"
    "\n"
    "Manager options:\n"
    "  -f FILE        the configuration file; without it the first of\n"
    "                 $RTC_MANAGER_CONFIG, ./rtc.conf (in the working directory),\n"
    "                 /etc/rtc.conf, /etc/rtc/rtc.conf, /usr/local/etc/rtc.conf,\n"
    "                 /usr/local/etc/rtc/rtc.conf that exists\n"
    "  -i             a missing -f FILE is no error\n"
    "  -o KEY:VALUE   one configuration key (repeatable), e.g.\n"
    "                 -o corba.nameservers:localhost:2809 -o exec_cxt.periodic.rate:30\n"
    "  -p PORT        the port to listen on (corba.endpoints :PORT)\n"
    "  -a             no manager object\n"
    "  -d             this process is the master manager\n"
    "Other options (-display :1, say) go to the window.\n"
    "\n"
    "The video source is Data/video.conf, or the environment variable\n"
    "VORLINDE_VIDEO when set (VORLINDE_VIDEO=-synthetic needs no camera).\n");
  arVideoDispOption();
  std::printf(
    "\n"
    "Data files, looked up in the working directory (run the program where its\n"
    "Data/ folder is):\n"
    "  Data/camera_para.dat   the camera's calibration (vorlinde-calib makes one)\n"
    "  Data/patt.vesk         the marker's pattern (vorlinde-pattmaker makes one)\n"
    "  Data/video.conf        the video options above\n"
    "\n"
    "VORLINDE_TRACE=frames prints what each frame found.\n");
}
