#include "shell/launch.hpp"

#include <filesystem>

namespace quadrix {

namespace {
namespace fs = std::filesystem;
int exitStatus = 0;

// The words without --verbose.
bool ReadWords(const std::vector<std::string>& words, LaunchSettings& out) {
  // "quadrix PHOTO [SAL]" opens the photo as --open does; a first word that
  // reads as MODE keeps its meaning when more words follow.
  std::error_code ec;
  const bool photoFirst = words.size() >= 2 && fs::is_regular_file(words[1], ec) &&
                          (words.size() == 2 || (words[1][0] != '0' && words[1][0] != '1'));
  // Plain "quadrix" opens the empty window, as from the desktop's menu.
  if (words.size() <= 1 || words[1] == "--open" || photoFirst) {
    const size_t first = photoFirst ? 1 : 2;
    out = LaunchSettings{};
    out.openWindow = true;
    out.useScaleTerm = true;
    if (words.size() > first) out.srcPath = words[first];
    if (words.size() > first + 1) out.salPath = words[first + 1];
    return true;
  }
  if (words.size() < 3) return false;
  const char mode = words[1].empty() ? '\0' : words[1][0];
  if (mode != '0' && mode != '1') return false;
  out.srcPath = words[2];
  out.salPath = words.size() > 3 ? words[3] : std::string();
  out.useScaleTerm = mode == '1';
  out.openWindow = false;
  return true;
}

}  // namespace

LaunchSettings& TheLaunchSettings() {
  static LaunchSettings settings;
  return settings;
}

bool ReadLaunchSettings(const std::vector<std::string>& given, LaunchSettings& out) {
  std::vector<std::string> words;
  bool verbose = false;
  for (const std::string& w : given) {
    if (w == "--verbose")
      verbose = true;
    else
      words.push_back(w);
  }
  if (!ReadWords(words, out)) return false;
  out.verbose = verbose;
  return true;
}

void SetExitStatus(int status) { exitStatus = status; }
int ExitStatus() { return exitStatus; }

}  // namespace quadrix
