#include "base/malloc_pages.hpp"
#include "cli/cli.hpp"
#include "engine/cholmod_factor.hpp"

int main(int argc, char** argv) {
  quadrix::AskOneBlasThreadOnRestart();
  quadrix::RestartWithHugePageMalloc(argv);
  quadrix::KeepFreedBlocksForReuse();
  quadrix::UseOneBlasThread();
  return quadrix::RunCli(argc, argv);
}
