#pragma once

#include <cstddef>

namespace quadrix {

// Offers the whole 2 MiB pages inside [p, p + bytes) to the kernel for
// transparent huge pages. Only worth calling on large memory that has not
// been touched yet: the first touch of 4 KiB pages costs more than the
// arithmetic on a big photo. Changes nothing but the page size; does nothing
// when QUADRIX_NO_HUGEPAGES is set.
void AdviseHugePages(void* p, std::size_t bytes);

}  // namespace quadrix
