#include "base/malloc_pages.hpp"

#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cstdlib>
#include <fstream>
#include <string>

#include "base/environment.hpp"

namespace quadrix {

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr char kTunable[] = "glibc.malloc.hugetlb";

bool HugePagesOnRequestOnly() {
  std::ifstream f("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string modes;
  std::getline(f, modes);
  return modes.find("[madvise]") != std::string::npos;
}

}  // namespace

void RestartWithHugePageMalloc(char** argv) {
#if defined(__linux__) && defined(__GLIBC__)
  if (kSanitized || argv == nullptr || std::getenv(kEnvNoHugePages) != nullptr) return;
  const char* current = std::getenv("GLIBC_TUNABLES");
  std::string tunables = current != nullptr ? current : "";
  if (tunables.find(kTunable) != std::string::npos || !HugePagesOnRequestOnly()) return;
  tunables += (tunables.empty() ? "" : ":") + std::string(kTunable) + "=1";
  if (setenv("GLIBC_TUNABLES", tunables.c_str(), 1) != 0) return;
  execv("/proc/self/exe", argv);
  // Not run again: go on as we are, without the tunable.
  if (current != nullptr)
    setenv("GLIBC_TUNABLES", current, 1);
  else
    unsetenv("GLIBC_TUNABLES");
#else
  (void)argv;
#endif
}

void KeepFreedBlocksForReuse() {
#if defined(__GLIBC__)
  if (kSanitized) return;
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 128 << 20);
  mallopt(M_ARENA_MAX, 1);
#endif
}

void GiveFreedMemoryBack() {
#if defined(__GLIBC__)
  if (!kSanitized) malloc_trim(0);
#endif
}

}  // namespace quadrix
