#include "cli/cli.hpp"

namespace quadrix {

int RunCli(int, char**) { return 0; }

}  // namespace quadrix
