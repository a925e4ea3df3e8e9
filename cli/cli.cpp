// quadrix-cli: the batch face of the resizing core.

#include "cli/cli.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <new>
#include <string>

#include "base/check.hpp"
#include "cli/failures.hpp"
#include "cli/options.hpp"
#include "cli/run.hpp"
#include "core/inputs.hpp"
#include "core/outputs.hpp"
#include "engine/engine.hpp"
#include "interop_gl/pictures.hpp"
#include "lines/gauss_deriv.hpp"

namespace quadrix {

namespace {

constexpr const char* kProg = "quadrix-cli";

}  // namespace

int RunCli(int argc, char** argv) {
  CliOptions options;
  try {
    options = ParseCliOptions(argc, argv);
  } catch (const UsageError& e) {
    std::cerr << kProg << ": " << e.message << " (see " << kProg << " --help)" << std::endl;
    return 2;
  }
  if (options.help) {
    std::cout << kCliUsage;
    return 0;
  }
  if (options.version) {
    std::cout << kProg << " " << QUADRIX_VERSION << "\n";
    return 0;
  }
  if (options.outputPattern && *options.outputPattern == kStandardOutput) {
    std::cout.flush();
    options.streamFd = ::dup(STDOUT_FILENO);
    if (options.streamFd < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
      std::cerr << kProg << ": cannot set standard output apart: " << std::strerror(errno)
                << std::endl;
      return 1;
    }
  }
  if (options.engine) SetEngineChoice(*options.engine);
  if (options.batch) return RunBatch(options);
  // One photo: what goes wrong ends the program with status 1.
  try {
    return RunSinglePhoto(options);
  } catch (...) {
    const Failure failure = DescribeFailure(std::current_exception());
    std::cout.flush();
    if (failure.ownLine)
      std::cerr << failure.text << std::endl;
    else
      std::cerr << kProg << ": " << failure.text << std::endl;
  }
  return 1;
}

}  // namespace quadrix
