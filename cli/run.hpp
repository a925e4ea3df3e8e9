#pragma once
// quadrix-cli's work: one photo, or a batch of photos on several threads.

#include <functional>
#include <string>
#include <vector>

#include "core/settings.hpp"

namespace quadrix {

struct CliOptions;

// Where a photo's notices go (one line each, without the program's name).
using Notify = std::function<void(const std::string&)>;

// The options (the environment's settings already applied by the parser)
// as the core's settings. `solverThreads`: see ResizeSettings.
ResizeSettings SettingsOf(const CliOptions& o, bool solverThreads = true);

// The photo o.sources[0] resized and its files written as RunSinglePhoto
// writes them, each notice handed to `notice`; with o.engine, on that engine
// rather than the process's choice. Throws what the work throws
// (DescribeFailure says it). Returns the pictures written (the -o paths).
std::vector<std::string> ResizeOnePhoto(const CliOptions& o, const Notify& notice);

// One photo (the form MODE SRC [SAL]). Failures propagate as exceptions for
// the program to report; returns the exit status otherwise.
int RunSinglePhoto(const CliOptions& o);

// Every source of a batch, `o.jobs` at once (default: one per processor),
// each with its own host and engine workspace, on one thread each. A photo that fails is named
// on standard error with the reason and the others go on; returns 1 when
// any failed, after a summary line.
int RunBatch(const CliOptions& o);

}  // namespace quadrix
