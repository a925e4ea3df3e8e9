#include "core/hugepages.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif

namespace quadrix {

namespace {

constexpr const char* kTunable = "glibc.malloc.hugetlb=1";

bool KernelOffersHugePages() {
  std::ifstream f("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string mode;
  std::getline(f, mode);
  return mode.find("[always]") != std::string::npos || mode.find("[madvise]") != std::string::npos;
}

bool GlibcHasTunable() {
#if defined(__GLIBC__)
  // The malloc huge page tunable exists from glibc 2.35 on.
  return __GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 35);
#else
  return false;
#endif
}

bool UnderSanitizer() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#else
  return false;
#endif
}

}  // namespace

void AdviseHugePages(void* p, std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
  static const bool off = std::getenv("QUADRIX_NO_HUGEPAGES") != nullptr;
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  if (off || p == nullptr || bytes < kHuge) return;
  const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kHuge - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

void PreferHugePages(char** argv) {
  if (!GlibcHasTunable() || UnderSanitizer() || std::getenv("QUADRIX_NO_HUGEPAGES") != nullptr)
    return;
  const char* current = std::getenv("GLIBC_TUNABLES");
  std::string tunables = current ? current : "";
  if (tunables.find("glibc.malloc.hugetlb") != std::string::npos) return;
  if (!KernelOffersHugePages()) return;
  tunables = tunables.empty() ? kTunable : tunables + ":" + kTunable;
  if (::setenv("GLIBC_TUNABLES", tunables.c_str(), 1) != 0) return;
  ::execv("/proc/self/exe", argv);
  // Still here: run on with ordinary pages.
}

}  // namespace quadrix
