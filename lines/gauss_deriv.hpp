#pragma once
// Gaussian derivative filters: free routines on raw float
// arrays that filter an image with pixel-integrated Gaussian kernels and their
// first and second derivatives, one axis at a time, mirroring the image about
// its first and last pixel at the borders.
//
// Image buffers are dense row-major arrays of w x h floats, pixel (x, y) at
// index y*w + x. Input and output buffers of one call are distinct.

#include <cstddef>
#include <vector>

#include "base/errors.hpp"

namespace quadrix {

// The selector of GaussDerivative: which mask goes across rows (vertical,
// along y) and which across columns (horizontal, along x).
enum DerivKind : int {
  DerivY = 1,   // vertical order 1, horizontal order 0
  DerivX = 2,   // vertical order 0, horizontal order 1
  DerivYY = 3,  // vertical order 2, horizontal order 0
  DerivXY = 4,  // vertical order 1, horizontal order 1
  DerivXX = 5,  // vertical order 0, horizontal order 2
};

// A mask of half-width n: 2n + 1 doubles, entries mask[-n] .. mask[n].
// Address it through its centre: Centre()[j] is mask[j].
struct GaussMask {
  std::vector<double> data;  // data[0] is mask[-n]
  int n = 0;

  const double* Centre() const { return data.data() + n; }
  double operator[](int j) const { return data[static_cast<std::size_t>(n + j)]; }
};

// The standard normal distribution function, accurate to double precision
// (Cody's three-range rational approximation of erf and erfc).
// 0 below -20, 1 above 20.
double NormalCdf(double x);

// Masks whose entries are the integrals of the Gaussian of scale sigma (order
// 0), of its first derivative (order 1) or of its second derivative (order 2)
// over one pixel; the end entries take the tails. Half-widths are
// ceil(3.09023230616781 sigma), ceil(3.46087178201605 sigma) and
// ceil(3.82922419517181 sigma) (4, 4 and 4 at sigma 1).
GaussMask GaussMask0(double sigma);
GaussMask GaussMask1(double sigma);
GaussMask GaussMask2(double sigma);

// out(x, y) = sum over j = -n..n of in(x, R(y + j)) * mask[j], summed in that
// order in double precision and stored as float; R mirrors about the first and
// last row without repeating them. `mask` points at the centre entry.
void ConvolveVertical(const float* in, const double* mask, int n, float* out, int w, int h);

// The same along each row: out(x, y) = sum of in(R(x + j), y) * mask[j].
void ConvolveHorizontal(const float* in, const double* mask, int n, float* out, int w, int h);

// Vertical convolution with the kind's vertical mask into a temporary buffer,
// then horizontal convolution with its horizontal mask into `out`.
// `kind` must be one of DerivY .. DerivXX (a failed internal check otherwise).
void GaussDerivative(const float* in, float* out, int w, int h, int kind, double sigma);

}  // namespace quadrix
