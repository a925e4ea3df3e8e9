#pragma once
// What the Octave tests share: one engine per process, scripts that stand in
// for the engine's program, the real one's path.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <string>

#include "engine/engine.hpp"
#include "engine/octave_client.hpp"
#include "test_support.hpp"

namespace octavetest {

using namespace quadrix;

// One Octave per test process: start-up is the slow part.
inline NumericEngine& SharedOctave() {
  static std::unique_ptr<NumericEngine> engine = MakeOctaveEngine();
  return *engine;
}

inline std::string WriteScript(const testsupport::TempDir& dir, const std::string& name,
                               const std::string& body) {
  const std::string path = dir / name;
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  ::chmod(path.c_str(), 0755);
  return path;
}

inline std::string RealOctave() {
  const auto r = testsupport::Run("command -v octave-cli");
  std::string path = r.out.substr(0, r.out.find('\n'));
  if (r.status != 0 || path.empty()) ADD_FAILURE() << "octave-cli is not installed";
  return path;
}

}  // namespace octavetest
