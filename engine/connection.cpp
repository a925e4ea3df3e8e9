#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "base/environment.hpp"
#include "engine/engine.hpp"
#include "engine/octave_client.hpp"

namespace quadrix {

namespace {

// Where an engine left open at exit stays reachable (volatile: the store must
// not be optimised away).
NumericEngine* volatile engineLeftOpen = nullptr;

std::optional<std::string>& EngineChoice() {
  static std::optional<std::string> choice;
  return choice;
}

// The Octave time-out may be raised for very large images.
OctaveOptions OctaveOptionsFromEnvironment() {
  OctaveOptions options;
  const char* env = std::getenv(kEnvEngineTimeout);
  if (env == nullptr || *env == '\0') return options;
  char* end = nullptr;
  errno = 0;
  const double seconds = std::strtod(env, &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 || seconds > 1e6)
    throw EngineError(std::string("invalid QUADRIX_ENGINE_TIMEOUT '") + env +
                      "': expected a number of seconds above 0");
  options.timeout = std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000)));
  return options;
}

}  // namespace

EngineConnection::~EngineConnection() {
  // Left open when asked: the process ends without closing it (an outside
  // engine then sees its input close). Kept reachable, so that a leak
  // checker sees an engine left open on purpose, not one lost.
  if (!closeAtExit) engineLeftOpen = handle.release();
}

EngineConnection& TheEngineConnection() {
  static EngineConnection connection;
  return connection;
}

bool IsEngineName(const std::string& name) { return name == "builtin" || name == "octave"; }

void SetEngineChoice(const std::string& name) {
  if (!IsEngineName(name))
    throw std::invalid_argument("unknown numeric engine '" + name + "' (use builtin or octave)");
  EngineChoice() = name;
}

std::string ChosenEngineName() {
  if (EngineChoice()) return *EngineChoice();
  const char* env = std::getenv(kEnvEngine);
  if (env == nullptr || *env == '\0') return "builtin";
  if (!IsEngineName(env))
    throw EngineError(std::string("unknown numeric engine '") + env +
                      "' in QUADRIX_ENGINE (use builtin or octave)");
  return env;
}

NumericEngine* OpenEngineConnection() { return OpenEngineConnection(TheEngineConnection()); }

NumericEngine* OpenEngineConnection(EngineConnection& c) {
  return OpenEngineConnection(c, ChosenEngineName());
}

NumericEngine* OpenEngineConnection(EngineConnection& c, const std::string& name) {
  if (!IsEngineName(name))
    throw EngineError("unknown numeric engine '" + name + "' (use builtin or octave)");
  if (name == "builtin") return nullptr;
  if (!c.handle) c.handle = MakeOctaveEngine(OctaveOptionsFromEnvironment());
  return c.handle.get();
}

}  // namespace quadrix
