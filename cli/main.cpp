#include "cli/cli.hpp"

int main(int argc, char** argv) { return quadrix::RunCli(argc, argv); }
