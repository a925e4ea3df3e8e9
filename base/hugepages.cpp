#include "base/hugepages.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

#include "base/environment.hpp"

namespace quadrix {

void AdviseHugePages(void* p, std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
  static const bool off = std::getenv(kEnvNoHugePages) != nullptr;
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

}  // namespace quadrix
