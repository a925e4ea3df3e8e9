#pragma once
// Memory as the limit of what a resize may take on. The pixel limit bounds
// pixels, not memory: a small valid file can ask for gigabytes, and a batch
// of N workers for N times as much. So the programs estimate a photo's peak
// from its header (the bytes a pixel costs in each stage of the pipeline,
// as measured) and refuse, before decoding, what would not fit the budget;
// a batch's workers share one budget.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "imageio/image_file.hpp"

namespace quadrix {

// How a photo is resized, as far as its memory goes.
struct MemoryUse {
  // The photo's header (ReadImageInfo) and its file's size in bytes.
  ImageInfo photo;
  std::int64_t fileBytes = 0;
  // The working copy's longest side (ResizeSettings::WorkSide()); 0: the
  // photo is analysed at its own size.
  int workSide = 0;
  // The sizes of the pictures drawn, one at a time, in `outputFormat`
  // (kUnknown: none written, as in the window). Empty: the photo's size.
  std::vector<cv::Size> outputs;
  ImageFormat outputFormat = ImageFormat::kUnknown;
  // WebP at quality 0 (lossless) costs several times lossy's memory.
  bool losslessWebp = false;
  // The window: the photo stays loaded beside its view texture.
  bool window = false;
};

// The photo at `path` as far as its memory goes: its header, its file's
// size and `workSide`; nullopt when the header cannot be read or is above
// `maxPixels` (the read itself then says why).
std::optional<MemoryUse> MemoryUseOf(const std::string& path, std::int64_t maxPixels, int workSide);

// The peak bytes the process is expected to need for `use` (the program
// itself included), a little above what was measured.
std::int64_t EstimatePeakBytes(const MemoryUse& use);

// "4.9 GiB", "640 MiB", "12 KiB" (powers of 1024, as ParseMemorySize reads
// them; one decimal below 10).
std::string MemoryText(std::int64_t bytes);

// An amount of memory as written: a whole or decimal number with an
// optional unit, k/K, M, G or T (powers of 1024; a trailing "B" or "iB"
// is allowed), at least 1 MiB; nullopt for anything else.
std::optional<std::int64_t> ParseMemorySize(const std::string& text);

// Half of the machine's memory (or of the control group's limit, when
// lower): the rest stays for the desktop and what else runs.
std::int64_t DefaultMaxMemory();

// QUADRIX_MAX_MEMORY when set and not empty, else DefaultMaxMemory().
// Throws std::invalid_argument naming the variable and its value.
std::int64_t MaxMemoryFromEnvironment();

// A photo whose estimate is above the limit. The message names both; the
// programs add how to change the limit.
class MemoryLimitError : public Error {
 public:
  MemoryLimitError(const std::string& path, std::int64_t needed, std::int64_t limit);
  std::int64_t needed() const { return needed_; }

 private:
  std::int64_t needed_;
};

// Throws MemoryLimitError when `needed` is above `limit` (0: no limit).
void CheckMemoryLimit(const std::string& path, std::int64_t needed, std::int64_t limit);

// Memory shared by workers: each takes what its photo needs before it
// starts and gives it back when done. Thread-safe.
class MemoryBudget {
 public:
  // total 0: no limit.
  explicit MemoryBudget(std::int64_t total) : total_(total) {}
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  // What a worker holds; given back when destroyed.
  class Lease {
   public:
    Lease() = default;
    Lease(Lease&& other) noexcept;
    Lease& operator=(Lease&& other) noexcept;
    ~Lease();
    std::int64_t bytes() const { return bytes_; }

   private:
    friend class MemoryBudget;
    Lease(MemoryBudget* budget, std::int64_t bytes) : budget_(budget), bytes_(bytes) {}
    MemoryBudget* budget_ = nullptr;
    std::int64_t bytes_ = 0;
  };

  // Waits until `bytes` fit beside what the other workers hold. Throws
  // MemoryLimitError (naming `path`) at once when they never can. While
  // waiting, `stop` is asked now and then; when it says yes, returns an
  // empty lease.
  Lease Take(const std::string& path, std::int64_t bytes, const std::function<bool()>& stop);

  std::int64_t total() const { return total_; }
  std::int64_t InUse() const;

 private:
  void Give(std::int64_t bytes);

  const std::int64_t total_;
  mutable std::mutex mutex_;
  std::condition_variable freed_;
  std::int64_t inUse_ = 0;
};

}  // namespace quadrix
