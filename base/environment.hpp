#pragma once
// Every environment variable the programs read, named in one place. Each is
// read where its setting is used; the messages about a bad value name the
// variable as written here.

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace quadrix {

// The variable `name` read by `parse` (text -> std::optional<T>), or
// `fallback` when it is unset or empty. Throws std::invalid_argument
// "invalid NAME 'VALUE': EXPECTED" when it does not parse.
template <class T, class Parse>
T SettingFromEnvironment(const char* name, T fallback, Parse parse, const char* expected) {
  const char* env = std::getenv(name);
  if (env == nullptr || *env == '\0') return fallback;
  const auto v = parse(std::string(env));
  if (!v)
    throw std::invalid_argument(std::string("invalid ") + name + " '" + env + "': " + expected);
  return *v;
}

// Resize settings (core/settings.hpp: SettingsFromEnvironment).
inline constexpr char kEnvMinScale[] = "QUADRIX_MIN_SCALE";  // guard's minimum quad scale, or none
inline constexpr char kEnvMaxPixels[] = "QUADRIX_MAX_PIXELS";  // largest image decoded
inline constexpr char kEnvWorkSize[] = "QUADRIX_WORK_SIZE";    // working copy's side, or none
inline constexpr char kEnvMaxMemory[] = "QUADRIX_MAX_MEMORY";  // memory a resize may take
// The numeric engine (engine/connection.cpp; quadrix-cli's --engine wins).
inline constexpr char kEnvEngine[] = "QUADRIX_ENGINE";                 // builtin or octave
inline constexpr char kEnvEngineTimeout[] = "QUADRIX_ENGINE_TIMEOUT";  // seconds per engine call
// The face cascade file (saliency/face_detect.cpp).
inline constexpr char kEnvFaceCascade[] = "QUADRIX_FACE_CASCADE";
// Set at all: switches (base/hugepages.cpp, interop_gl/pictures.cpp, the window).
inline constexpr char kEnvNoHugePages[] = "QUADRIX_NO_HUGEPAGES";
inline constexpr char kEnvNoOpenGl[] = "QUADRIX_NO_OPENGL";
inline constexpr char kEnvNoSharedContext[] = "QUADRIX_NO_SHARED_CONTEXT";
// The window's per-frame timings, written to this file.
inline constexpr char kEnvTickLog[] = "QUADRIX_TICK_LOG";

}  // namespace quadrix
