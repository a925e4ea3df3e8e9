#include "base/malloc_pages.hpp"
#include "cli/cli.hpp"

int main(int argc, char** argv) {
  quadrix::RestartWithHugePageMalloc(argv);
  quadrix::KeepFreedBlocksForReuse();
  return quadrix::RunCli(argc, argv);
}
