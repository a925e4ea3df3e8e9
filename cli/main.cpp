#include "base/malloc_pages.hpp"
#include "cli/cli.hpp"
#include "engine/cholmod_factor.hpp"

namespace {

// Before the libraries start: the first run then costs only their loading.
[[maybe_unused]] void RestartEarly(int, char** argv, char** envp) {
  quadrix::RestartWithHugePageMalloc(argv, envp, quadrix::OneBlasThreadOnRestart(envp));
}
QUADRIX_BEFORE_LIBRARY_CONSTRUCTORS(RestartEarly);

}  // namespace

int main(int argc, char** argv) {
  quadrix::KeepFreedBlocksForReuse();
  quadrix::UseOneBlasThread();
  return quadrix::RunCli(argc, argv);
}
