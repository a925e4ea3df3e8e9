#pragma once
// Array versions of the three elementary functions of the detector's
// per-pixel steps of the detector: theta = atan2(Gx, -Gy) and s = sin theta,
// c = -cos theta, each evaluated in double precision and rounded to float.
//
// Results are exactly those of rounding the C library's std::atan2, std::sin
// and std::cos to float. A fast branch-free approximation (measured error
// below 2e-15 relative) is rounded only where every value within 2^-40
// (9e-13) relative of it rounds to the same float; the few other elements,
// and all special inputs (zeros, infinities, NaN, angles outside [0, 6.5]),
// go to the C library. Checked exhaustively for every float angle in
// [0, 6.5] and on 4e8 argument pairs of atan2, in both kernel versions.

#include <cstddef>

namespace quadrix::detail {

// theta[i] = (float) std::atan2((double) gx[i], -(double) gy[i]).
void Atan2ToFloat(const float* gx, const float* gy, float* theta, std::size_t count);

// s[i] = (float) std::sin((double) theta[i]),
// c[i] = (float) -std::cos((double) theta[i]).
void SinNegCosToFloat(const float* theta, float* s, float* c, std::size_t count);

// The detector's per-pixel kernels come in a baseline and, on x86 processors
// that have it, an AVX2 version with identical results. true makes every
// later call use the baseline version (for tests); false restores the choice.
void UseBaselineKernelsForTesting(bool baseline);

}  // namespace quadrix::detail
