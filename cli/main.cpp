#include "cli/cli.hpp"
#include "core/hugepages.hpp"

int main(int argc, char** argv) {
  quadrix::PreferHugePages(argv);
  return quadrix::RunCli(argc, argv);
}
