#pragma once
// The desktop program's command line and its exit status. Nothing here needs
// the toolkit, so it can be checked without a display.

#include <string>
#include <vector>

namespace quadrix {

// The choices of the command line, written once at start-up and read once by
// the frame's load step.
struct LaunchSettings {
  bool useScaleTerm = false;
  std::string salPath;  // empty: the importance map is computed
  std::string srcPath;  // empty only with openWindow: the window opens empty
  // `quadrix --open [SRC [SAL]]`: mode 1, and a photo that cannot be loaded
  // leaves the window open (empty) instead of ending the program.
  bool openWindow = false;
  // --verbose anywhere: the core's diagnostic lines on standard output.
  bool verbose = false;
};

LaunchSettings& TheLaunchSettings();

inline constexpr char kUsageText[] = "Usage: quadrix [0/1] [src file] [sal file?]";
// What the empty window says.
inline constexpr char kOpenHint[] = "Open a photo with Ctrl+O or drop one here";

// What `quadrix --help` prints.
inline constexpr char kHelpText[] =
    "Usage: quadrix [--verbose] [PHOTO [IMPORTANCE]]\n"
    "       quadrix --open [PHOTO [IMPORTANCE]]\n"
    "       quadrix MODE PHOTO [IMPORTANCE]\n"
    "\n"
    "Opens the window, with PHOTO when given; drag the window's border and the\n"
    "picture follows it, resized content-aware. A photo that cannot be read\n"
    "leaves the window open.\n"
    "\n"
    "  MODE        0: similarity energy only; 1: also pull each quad towards a\n"
    "              uniform scale. With MODE the program ends when PHOTO cannot\n"
    "              be read (mode 1 otherwise).\n"
    "  IMPORTANCE  an importance image (grey; brighter is more important)\n"
    "  --verbose   print the core's diagnostic lines on standard output\n"
    "  --help      show this help and exit\n"
    "  --version   show the version and exit\n";

// words[0] is the program name, then MODE SRC [SAL], --open [SRC [SAL]],
// SRC [SAL] when SRC is an existing file (as --open), or nothing (as --open); --verbose may stand
// anywhere; later words are ignored. Only the first character of MODE counts. False on
// a usage error, leaving `out` as it was.
bool ReadLaunchSettings(const std::vector<std::string>& words, LaunchSettings& out);

// Exit statuses besides success.
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// The status the process ends with; a failure records it before the frame
// goes away, since the toolkit's event loop itself always ends with 0.
void SetExitStatus(int status);
int ExitStatus();

}  // namespace quadrix
