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
};

LaunchSettings& TheLaunchSettings();

inline constexpr char kUsageText[] = "Usage: quadrix [0/1] [src file] [sal file?]";
inline constexpr char kLoadUsageText[] = "Usage: quadrix [src file] [sal file?]";
// What the empty window says.
inline constexpr char kOpenHint[] = "Open a photo with Ctrl+O or drop one here";

// words[0] is the program name, then MODE SRC [SAL] or --open [SRC [SAL]];
// later words are ignored. Only the first character of MODE counts. False on
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
