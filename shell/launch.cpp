#include "shell/launch.hpp"

namespace quadrix {

namespace {
int exitStatus = 0;
}

LaunchSettings& TheLaunchSettings() {
  static LaunchSettings settings;
  return settings;
}

bool ReadLaunchSettings(const std::vector<std::string>& words, LaunchSettings& out) {
  if (words.size() >= 2 && words[1] == "--open") {
    out = LaunchSettings{};
    out.openWindow = true;
    out.useScaleTerm = true;
    if (words.size() > 2) out.srcPath = words[2];
    if (words.size() > 3) out.salPath = words[3];
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

void SetExitStatus(int status) { exitStatus = status; }
int ExitStatus() { return exitStatus; }

}  // namespace quadrix
