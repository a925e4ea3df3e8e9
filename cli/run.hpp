#pragma once
// quadrix-cli's work: one photo, or a batch of photos on several threads.

namespace quadrix {

struct CliOptions;

// One photo (the form MODE SRC [SAL]). Failures propagate as exceptions for
// the program to report; returns the exit status otherwise.
int RunSinglePhoto(const CliOptions& o);

// Every source of a batch, `o.jobs` at once (default: one per processor),
// each with its own host and engine workspace, on one thread each. A photo that fails is named
// on standard error with the reason and the others go on; returns 1 when
// any failed, after a summary line.
int RunBatch(const CliOptions& o);

}  // namespace quadrix
