#include "base/errors.hpp"

namespace quadrix {

void OutOfMemory() { throw FilterOutOfMemory(); }

}  // namespace quadrix
