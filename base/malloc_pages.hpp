#pragma once

namespace quadrix {

// Called first thing in a program's main: runs the program again with
// glibc's malloc giving its memory transparent huge pages
// (GLIBC_TUNABLES=glibc.malloc.hugetlb=1, read only at start). A photo's
// pipeline touches a few hundred megabytes of fresh memory, and with 4 KiB
// pages the page faults cost a fifth of its time. Returns, changing
// nothing, when the kernel gives huge pages only on request and that is not
// the case (or always, or never), when the tunable is already set, when
// QUADRIX_NO_HUGEPAGES is set, under a sanitizer, or when the program
// cannot be run again.
void RestartWithHugePageMalloc(char** argv);

// Called next: keeps freed blocks of up to 64 MiB in one heap for reuse.
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
