// quadrix-cli: the batch face of the resizing core.

#include "cli/cli.hpp"

#include <iostream>
#include <new>
#include <string>

#include "cli/options.hpp"
#include "cli/run.hpp"
#include "core/assertion.hpp"
#include "core/inputs.hpp"
#include "core/outputs.hpp"
#include "detect/GaussDeriv.hpp"
#include "engine/engine.hpp"
#include "interop_gl/pictures.hpp"

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
  if (options.engine) SetEngineChoice(*options.engine);
  if (options.batch) return RunBatch(options);
  // One photo: what goes wrong ends the program with status 1.
  try {
    return RunSinglePhoto(options);
  } catch (const InputError& e) {
    std::cerr << kProg << ": " << e.what()
              << (e.kind() == InputError::Kind::kTooLarge ? " (raise it with --max-pixels)" : "")
              << std::endl;
  } catch (const OutputError& e) {
    std::cerr << kProg << ": " << e.what() << std::endl;
  } catch (const EffectError& e) {
    std::cerr << kProg << ": " << e.what() << std::endl;
  } catch (const EngineError& e) {
    std::cerr << kProg << ": " << e.what() << std::endl;
  } catch (const AssertionError& e) {
    ReportAssertion(e);
  } catch (const cv::Exception& e) {
    ReportAssertion(e);  // the same one-line report, whatever the status
  } catch (const FilterOutOfMemory& e) {
    std::cerr << e.what() << std::endl;
  } catch (const std::bad_alloc&) {
    std::cerr << kProg << ": out of memory" << std::endl;
  }
  return 1;
}

}  // namespace quadrix
