#pragma once

namespace quadrix {

// The command-line tool; returns the process exit status.
int RunCli(int argc, char** argv);

}  // namespace quadrix
