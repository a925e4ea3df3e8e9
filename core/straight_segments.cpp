#include "core/result_terms.hpp"

namespace quadrix {

void AppendStraightSegmentRows(ResizeHost&, TripletMatrix&) {}

}  // namespace quadrix
