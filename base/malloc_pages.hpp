#pragma once

#include <span>

namespace quadrix {

// Runs the program again with glibc's malloc giving its memory transparent
// huge pages (GLIBC_TUNABLES=glibc.malloc.hugetlb=1, read only at start). A
// photo's pipeline touches a few hundred megabytes of fresh memory, and
// with 4 KiB pages the page faults cost a fifth of its time. The new run
// gets `envp` with the tunable and the NAME=VALUE entries of `extra` (null
// ones skipped). Returns, changing nothing, when the kernel gives huge pages
// only on request and that is not the case (or always, or never), when the
// tunable is already set, when QUADRIX_NO_HUGEPAGES is set, under a
// sanitizer, or when the program cannot be run again.
//
// Meant for QUADRIX_BEFORE_LIBRARY_CONSTRUCTORS: the first run then pays
// for loading the libraries but not for starting them (OpenBLAS, OpenCV,
// the toolkit), some 15 ms. It uses system calls and string functions
// alone, since the C library has not set itself up yet.
void RestartWithHugePageMalloc(char** argv, char** envp, std::span<const char* const> extra);

// Puts `fn`, a void(int argc, char** argv, char** envp), in the program's
// .preinit_array: it runs once the libraries are loaded and before any of
// their constructors. Nothing under a sanitizer, whose runtime starts
// there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUADRIX_BEFORE_LIBRARY_CONSTRUCTORS(fn)
#else
#define QUADRIX_BEFORE_LIBRARY_CONSTRUCTORS(fn) \
  [[gnu::section(".preinit_array"), gnu::used]] static void (*fn##AtStart)(int, char**, char**) = fn
#endif

// Called first thing in main: keeps freed blocks of up to 64 MiB in one heap for reuse.
// By default every block above a few hundred kilobytes is mapped afresh and
// given back when freed, and each thread allocates from an arena of its
// own: the analysis's temporary images then cost a page fault per 4 KiB
// each time, a third of the time of a small photo's resize. The photo and
// the pictures, larger, are still mapped on their own and given back.
void KeepFreedBlocksForReuse();

// Returns the heap's free memory to the system (malloc_trim). Nothing under
// a sanitizer, whose allocator is not glibc's: there the call would set up
// glibc's own heap, and two threads doing so at once crash.
void GiveFreedMemoryBack();

}  // namespace quadrix
