#include "base/malloc_pages.hpp"

#include <fcntl.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cstring>

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
constexpr char kTunablesVar[] = "GLIBC_TUNABLES=";
// A larger environment goes on without the restart.
constexpr size_t kMaxEnvironment = 4096;

bool StartsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Read with system calls alone: the C library's streams are not set up yet.
bool HugePagesOnRequestOnly() {
  const int fd = open("/sys/kernel/mm/transparent_hugepage/enabled", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char modes[128] = {};
  const ssize_t n = read(fd, modes, sizeof modes - 1);
  close(fd);
  return n > 0 && std::strstr(modes, "[madvise]") != nullptr;
}

}  // namespace

void RestartWithHugePageMalloc(char** argv, char** envp, std::span<const char* const> extra) {
#if defined(__linux__) && defined(__GLIBC__)
  if (kSanitized || argv == nullptr || argv[0] == nullptr || envp == nullptr) return;
  // Static rather than from the heap, which the C library has not set up.
  static char* env[kMaxEnvironment + 8];
  static char tunables[4096];
  const char* current = nullptr;
  size_t n = 0;
  for (char** e = envp; *e != nullptr; ++e) {
    if (StartsWith(*e, kEnvNoHugePages) && (*e)[std::strlen(kEnvNoHugePages)] == '=') return;
    if (StartsWith(*e, kTunablesVar)) {
      current = *e + std::strlen(kTunablesVar);
      continue;
    }
    if (n >= kMaxEnvironment) return;
    env[n++] = *e;
  }
  if (current != nullptr && std::strstr(current, kTunable) != nullptr) return;
  if (!HugePagesOnRequestOnly()) return;
  // GLIBC_TUNABLES=[what the user set:]glibc.malloc.hugetlb=1
  size_t used = 0;
  const auto append = [&](const char* text) {
    const size_t len = std::strlen(text);
    if (used + len >= sizeof tunables) return false;
    std::memcpy(tunables + used, text, len + 1);
    used += len;
    return true;
  };
  bool fits = append(kTunablesVar);
  if (fits && current != nullptr && current[0] != '\0') fits = append(current) && append(":");
  if (!fits || !append(kTunable) || !append("=1")) return;
  env[n++] = tunables;
  for (const char* e : extra)
    if (e != nullptr && n < kMaxEnvironment + 7) env[n++] = const_cast<char*>(e);
  env[n] = nullptr;
  execve("/proc/self/exe", argv, env);
  // Not run again: go on as we are, without the tunable.
#else
  (void)argv;
  (void)envp;
  (void)extra;
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
