#pragma once
// What the fuzz targets share: the input as a file the readers can open, the
// pixel limit they read under, and the check that ends a run when a reader
// breaks its promise without crashing.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "imageio/image_file.hpp"

namespace quadrix::fuzz {

// Small enough that no valid header makes a reader allocate more than a few
// tens of megabytes (a million 16-bit RGBA pixels and the codecs' rows):
// the fuzzer's memory limit then catches only real excess. The hostile
// files of the seed corpus are all far above it.
inline constexpr std::int64_t kMaxPixels = std::int64_t{1} << 20;

// Ends the run as a crash (libFuzzer saves the input) when `ok` is false.
inline void Expect(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

// An anonymous file in memory, named by /proc/self/fd/N: the readers take
// paths, and a memfd costs no disk and leaves nothing behind.
class MemoryFile {
 public:
  MemoryFile() : fd_(::memfd_create("quadrix-fuzz", MFD_CLOEXEC)) {
    Expect(fd_ >= 0, "memfd_create");
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemoryFile() { ::close(fd_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  // The file holds exactly `size` bytes from `data` afterwards.
  void Fill(const std::uint8_t* data, size_t size) {
    Expect(::ftruncate(fd_, 0) == 0, "ftruncate");
    for (size_t done = 0; done < size;) {
      const ssize_t n = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
      Expect(n > 0, "pwrite");
      done += static_cast<size_t>(n);
    }
  }
  const std::string& path() const { return path_; }

 private:
  int fd_;
  std::string path_;
};

// The format the readers tell from these first bytes (as image_file.cpp
// does), so that each reader's target can pass over the others' files.
// BigTIFF counts as TIFF: libtiff reads it, though the readers do not yet.
inline ImageFormat FormatOfBytes(const std::uint8_t* b, size_t n) {
  const auto starts = [&](const char* magic, size_t m) {
    return n >= m && std::memcmp(b, magic, m) == 0;
  };
  if (starts("\xFF\xD8\xFF", 3)) return ImageFormat::kJpeg;
  if (starts("\x89PNG\r\n\x1A\n", 8)) return ImageFormat::kPng;
  if (starts("BM", 2) && n >= 18) return ImageFormat::kBmp;
  if (starts("II*\0", 4) || starts("MM\0*", 4) || starts("II+\0", 4) || starts("MM\0+", 4))
    return ImageFormat::kTiff;
  if (n >= 12 && starts("RIFF", 4) && std::memcmp(b + 8, "WEBP", 4) == 0) return ImageFormat::kWebp;
  return ImageFormat::kUnknown;
}

}  // namespace quadrix::fuzz
