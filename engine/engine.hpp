#pragma once
// The numeric engine seam. An engine is a workspace of named arrays driven by
// command lines, in the manner of an outside numeric engine's client library:
// put a variable, evaluate a line, get a variable. Every call reports success;
// on failure LastError() says why.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/errors.hpp"

namespace quadrix {

// A column crossing the engine boundary: doubles, or 32-bit ints (class int32
// in the engine).
struct EngineArray {
  enum class Class { Double, Int32 };
  Class cls = Class::Double;
  std::vector<double> real;     // used when cls == Double
  std::vector<int32_t> int32s;  // used when cls == Int32

  static EngineArray Doubles(std::vector<double> v) {
    EngineArray a;
    a.real = std::move(v);
    return a;
  }
  static EngineArray Int32s(std::vector<int32_t> v) {
    EngineArray a;
    a.cls = Class::Int32;
    a.int32s = std::move(v);
    return a;
  }
  size_t rows() const { return cls == Class::Double ? real.size() : int32s.size(); }
};

class NumericEngine {
 public:
  virtual ~NumericEngine() = default;
  virtual const char* Name() const = 0;
  // Puts the array into the workspace under name, replacing an older one.
  virtual bool PutVariable(const std::string& name, EngineArray value) = 0;
  // Runs one command line; returns when it has finished.
  virtual bool EvalString(const std::string& text) = 0;
  // Copies a workspace variable out.
  virtual bool GetVariable(const std::string& name, EngineArray& out) = 0;
  virtual const std::string& LastError() const = 0;
};

// A failure of the engine itself (it could not be started, or a command line
// other than the factorisation failed): not something the core can mend.
class EngineError : public Error {
 public:
  explicit EngineError(const std::string& message) : Error(ErrorKind::kEngine, message) {}
};

// The process-wide connection, shared by every host.
struct EngineConnection {
  std::unique_ptr<NumericEngine> handle;
  // Close the connection at process exit; the desktop application clears it.
  bool closeAtExit = true;

  ~EngineConnection();
};

EngineConnection& TheEngineConnection();

// Opens the process-wide connection with the chosen engine (see
// ChosenEngineName) if it is not open yet, and returns it; null when the
// choice is the built-in engine, which works in process and needs no
// connection. Throws EngineError when the engine cannot be started or the
// choice is not an engine's name; the handle then stays null and a later
// call tries again.
NumericEngine* OpenEngineConnection();
// The same for a connection of one's own (say, one per worker of a batch, so
// that each worker has its own engine process and workspace).
NumericEngine* OpenEngineConnection(EngineConnection& connection);
// The same with the engine named here rather than the process's choice (a
// caller that takes the engine per call, as the Python module does).
NumericEngine* OpenEngineConnection(EngineConnection& connection, const std::string& name);

// The engines that can be chosen: "builtin" (in process) and "octave" (GNU
// Octave as a child process).
bool IsEngineName(const std::string& name);
// Chooses the engine for OpenEngineConnection, over QUADRIX_ENGINE; for a
// command-line option. Throws std::invalid_argument for an unknown name.
void SetEngineChoice(const std::string& name);
// The choice made by SetEngineChoice, else the environment variable
// QUADRIX_ENGINE when set and not empty, else "builtin". Throws EngineError
// when the variable names no engine.
std::string ChosenEngineName();

// GNU Octave started as "octave-cli" from PATH, with the default time-out
// (see engine/octave_client.hpp). Throws EngineError "cannot start the
// numeric engine 'octave-cli': <reason>" when it cannot be started.
std::unique_ptr<NumericEngine> MakeOctaveEngine();

}  // namespace quadrix
