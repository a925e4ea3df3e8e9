#pragma once

#include <cstddef>

namespace quadrix {

// Offers the whole 2 MiB pages inside [p, p + bytes) to the kernel for
// transparent huge pages. Only worth calling on large memory that has not
// been touched yet: the first touch of 4 KiB pages costs more than the
// arithmetic on a big photo. Changes nothing but the page size; does nothing
// when QUADRIX_NO_HUGEPAGES is set.
void AdviseHugePages(void* p, std::size_t bytes);

// On Linux, restarts the program once with glibc's malloc set to ask for
// transparent huge pages (glibc reads that setting only at start-up). The
// large images, triplet lists and factors of a big photo are touched for the
// first time during one build, and with 4 KiB pages those first-touch faults
// cost more than the arithmetic. Returns normally when nothing is to be done
// or the restart is not possible.
void PreferHugePages(char** argv);

}  // namespace quadrix
