#pragma once
// SIGINT and SIGTERM during a batch: the first asks the batch to stop
// handing out photos (those in flight finish), a second ends the process at
// once. Outputs are named only when complete, so neither leaves a partial
// file.

namespace quadrix {

class BatchInterrupt {
 public:
  // Takes over SIGINT and SIGTERM until destroyed.
  BatchInterrupt();
  ~BatchInterrupt();
  BatchInterrupt(const BatchInterrupt&) = delete;
  BatchInterrupt& operator=(const BatchInterrupt&) = delete;

  // The signal that asked to stop; 0 for none yet.
  static int Signal();
};

}  // namespace quadrix
