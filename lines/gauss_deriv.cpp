#include "lines/gauss_deriv.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "base/check.hpp"
#include "base/large_buffer.hpp"

namespace quadrix {

namespace {

// --- NormalCdf ------------------------------------------------------------

constexpr double kUpperLimit = 20.0;
constexpr double kSqrt2 = 1.41421356237309504880;
constexpr double kSqrtPi = 1.772453850905516027;

// Cody (1969), erf on |u| < 0.46875: u * P1(u^2) / Q1(u^2).
constexpr double P10 = 242.66795523053176;
constexpr double P11 = 21.979261618294153;
constexpr double P12 = 6.996383488619135;
constexpr double P13 = -0.035609843701815386;
constexpr double Q10 = 215.0588758698612;
constexpr double Q11 = 91.1649054045149;
constexpr double Q12 = 15.082797630407788;
constexpr double Q13 = 1.0;

// erfc on 0.46875 <= |u| < 4: exp(-u^2) * P2(|u|) / Q2(|u|).
constexpr double P20 = 300.4592610201616005;
constexpr double P21 = 451.9189537118729422;
constexpr double P22 = 339.3208167343436870;
constexpr double P23 = 152.9892850469404039;
constexpr double P24 = 43.16222722205673530;
constexpr double P25 = 7.211758250883093659;
constexpr double P26 = 0.5641955174789739711;
constexpr double P27 = -0.0000001368648573827167067;
constexpr double Q20 = 300.4592609569832933;
constexpr double Q21 = 790.9509253278980272;
constexpr double Q22 = 931.3540948506096211;
constexpr double Q23 = 638.9802644656311665;
constexpr double Q24 = 277.5854447439876434;
constexpr double Q25 = 77.00015293522947295;
constexpr double Q26 = 12.78272731962942351;
constexpr double Q27 = 1.0;

// erfc on |u| >= 4: exp(-u^2) / |u| * (1/sqrt(pi) + z * P3(z) / Q3(z)), z = 1/u^2.
constexpr double P30 = -0.00299610707703542174;
constexpr double P31 = -0.0494730910623250734;
constexpr double P32 = -0.226956593539686930;
constexpr double P33 = -0.278661308609647788;
constexpr double P34 = -0.0223192459734184686;
constexpr double Q30 = 0.0106209230528467918;
constexpr double Q31 = 0.191308926107829841;
constexpr double Q32 = 1.05167510706793207;
constexpr double Q33 = 1.98733201817135256;
constexpr double Q34 = 1.0;

// --- Masks ----------------------------------------------------------------

constexpr double kSqrt2PiInv = 0.3989422804014327;  // 1 / sqrt(2 pi)
constexpr double kMaxSizeMask0 = 3.09023230616781;
constexpr double kMaxSizeMask1 = 3.46087178201605;
constexpr double kMaxSizeMask2 = 3.82922419517181;

// Phi_sigma(t): the distribution function of the Gaussian of scale sigma.
double Phi0(double t, double sigma) { return NormalCdf(t / sigma); }

// g(t): the Gaussian density of scale sigma.
double Phi1(double t, double sigma) {
  return kSqrt2PiInv / sigma * std::exp(-(t * t) / (2.0 * sigma * sigma));
}

// g2(t): the derivative of the density.
double Phi2(double t, double sigma) {
  return -t * (kSqrt2PiInv / (sigma * sigma * sigma)) * std::exp(-(t * t) / (2.0 * sigma * sigma));
}

// A zero-filled array of `count` elements; an exhausted allocation is
// reported through OutOfMemory.
template <class T>
std::vector<T> ZeroFilled(size_t count) {
  try {
    return std::vector<T>(count);
  } catch (const std::bad_alloc&) {
    OutOfMemory();
  }
}

GaussMask NewMask(double limit, double sigma) {
  GaussMask mask;
  mask.n = static_cast<int>(std::ceil(limit * sigma));
  mask.data = ZeroFilled<double>(2 * static_cast<size_t>(mask.n) + 1);
  return mask;
}

// Fills the mask from a pixel integral `inner`(i) and the two tails.
template <class Inner, class Lo, class Hi>
void FillMask(GaussMask& mask, Inner inner, Lo lo, Hi hi) {
  const int n = mask.n;
  double* m = mask.data.data() + n;
  for (int i = -n + 1; i <= n - 1; ++i) m[i] = inner(i);
  m[-n] = lo(n);
  m[n] = hi(n);
}

// --- Convolution ----------------------------------------------------------

// The mirrored index of k in [0, len): -k below 0, 2 len - k - 2 above.
inline int Mirror(int k, int len) {
  if (k < 0) {
    k = -k;
  } else if (k >= len) {
    k = 2 * len - k - 2;
  }
  // Sides of n pixels or fewer: clamp the mirrored index into the image.
  return std::clamp(k, 0, len - 1);
}

// Length of one block of outputs: the double accumulators stay in L1.
constexpr int kBlock = 512;

// One group of G (1..4) consecutive taps k..k+G-1 over the outputs
// [i0, i0 + len): acc += src[k][i] * m[k] + ... term by term in tap order.
// First: the sum starts from 0.0. Last: the sum is stored as float in out.
template <int G, bool First, bool Last>
__attribute__((always_inline)) inline void TapGroup(const float* const* src, const double* m, int k,
                                                    int i0, int len, double* acc, float* out) {
  const float* __restrict p0 = src[k] + i0;
  const float* __restrict p1 = src[G > 1 ? k + 1 : k] + i0;
  const float* __restrict p2 = src[G > 2 ? k + 2 : k] + i0;
  const float* __restrict p3 = src[G > 3 ? k + 3 : k] + i0;
  const double m0 = m[k];
  const double m1 = G > 1 ? m[k + 1] : 0.0;
  const double m2 = G > 2 ? m[k + 2] : 0.0;
  const double m3 = G > 3 ? m[k + 3] : 0.0;
  double* __restrict a = acc;
  float* __restrict o = out + i0;
  for (int i = 0; i < len; ++i) {
    double s = First ? 0.0 : a[i];
    s += static_cast<double>(p0[i]) * m0;
    if constexpr (G > 1) s += static_cast<double>(p1[i]) * m1;
    if constexpr (G > 2) s += static_cast<double>(p2[i]) * m2;
    if constexpr (G > 3) s += static_cast<double>(p3[i]) * m3;
    if constexpr (Last) {
      o[i] = static_cast<float>(s);
    } else {
      a[i] = s;
    }
  }
}

template <int G>
__attribute__((always_inline)) inline void TapGroupAt(bool first, bool last,
                                                      const float* const* src, const double* m,
                                                      int k, int i0, int len, double* acc,
                                                      float* out) {
  if (first) {
    if (last) {
      TapGroup<G, true, true>(src, m, k, i0, len, acc, out);
    } else {
      TapGroup<G, true, false>(src, m, k, i0, len, acc, out);
    }
  } else if (last) {
    TapGroup<G, false, true>(src, m, k, i0, len, acc, out);
  } else {
    TapGroup<G, false, false>(src, m, k, i0, len, acc, out);
  }
}

// out[i] = sum over k = 0..taps-1 of src[k][i] * m[k], for i in [0, len),
// added in the order of k in double precision and stored as float. The taps
// go in groups of four over a block of outputs, which keeps that order. The
// outputs are independent, so the compiler may work on several at once; on
// x86 a second copy for AVX2 is chosen at load time (same IEEE operations,
// no contraction: see CMakeLists.txt).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void ConvolveSpan(const float* const* src, const double* m, int taps, float* out, int len) {
  alignas(64) double acc[kBlock];
  for (int i0 = 0; i0 < len; i0 += kBlock) {
    const int blockLen = std::min(kBlock, len - i0);
    for (int k = 0; k < taps; k += 4) {
      const int g = std::min(4, taps - k);
      const bool first = k == 0;
      const bool last = k + g == taps;
      switch (g) {
        case 4:
          TapGroupAt<4>(first, last, src, m, k, i0, blockLen, acc, out);
          break;
        case 3:
          TapGroupAt<3>(first, last, src, m, k, i0, blockLen, acc, out);
          break;
        case 2:
          TapGroupAt<2>(first, last, src, m, k, i0, blockLen, acc, out);
          break;
        default:
          TapGroupAt<1>(first, last, src, m, k, i0, blockLen, acc, out);
          break;
      }
    }
  }
}

}  // namespace

double NormalCdf(double x) {
  if (x < -kUpperLimit) return 0.0;
  if (x > kUpperLimit) return 1.0;

  double y = x / kSqrt2;
  const bool negative = y < 0;
  if (negative) y = -y;
  const double y2 = y * y;

  if (y < 0.46875) {
    const double y4 = y2 * y2;
    const double y6 = y4 * y2;
    const double r1 = P10 + P11 * y2 + P12 * y4 + P13 * y6;
    const double r2 = Q10 + Q11 * y2 + Q12 * y4 + Q13 * y6;
    const double erf = y * r1 / r2;
    return negative ? 0.5 - 0.5 * erf : 0.5 + 0.5 * erf;
  }

  double erfc;
  if (y < 4.0) {
    const double r1 =
        ((((((P27 * y + P26) * y + P25) * y + P24) * y + P23) * y + P22) * y + P21) * y + P20;
    const double r2 =
        ((((((Q27 * y + Q26) * y + Q25) * y + Q24) * y + Q23) * y + Q22) * y + Q21) * y + Q20;
    erfc = std::exp(-y2) * r1 / r2;
  } else {
    const double z = 1.0 / y2;
    const double r1 = (((P34 * z + P33) * z + P32) * z + P31) * z + P30;
    const double r2 = (((Q34 * z + Q33) * z + Q32) * z + Q31) * z + Q30;
    erfc = (std::exp(-y2) / y) * (1.0 / kSqrtPi + z * r1 / r2);
  }
  return negative ? 0.5 * erfc : 1.0 - 0.5 * erfc;
}

GaussMask GaussMask0(double sigma) {
  GaussMask mask = NewMask(kMaxSizeMask0, sigma);
  FillMask(
      mask, [&](int i) { return Phi0(-i + 0.5, sigma) - Phi0(-i - 0.5, sigma); },
      [&](int n) { return 1.0 - Phi0(n - 0.5, sigma); },
      [&](int n) { return Phi0(-n + 0.5, sigma); });
  return mask;
}

GaussMask GaussMask1(double sigma) {
  GaussMask mask = NewMask(kMaxSizeMask1, sigma);
  FillMask(
      mask, [&](int i) { return Phi1(-i + 0.5, sigma) - Phi1(-i - 0.5, sigma); },
      [&](int n) { return -Phi1(n - 0.5, sigma); }, [&](int n) { return Phi1(-n + 0.5, sigma); });
  return mask;
}

GaussMask GaussMask2(double sigma) {
  GaussMask mask = NewMask(kMaxSizeMask2, sigma);
  FillMask(
      mask, [&](int i) { return Phi2(-i + 0.5, sigma) - Phi2(-i - 0.5, sigma); },
      [&](int n) { return -Phi2(n - 0.5, sigma); }, [&](int n) { return Phi2(-n + 0.5, sigma); });
  return mask;
}

void ConvolveVertical(const float* in, const double* mask, int n, float* out, int w, int h) {
  if (w <= 0 || h <= 0) return;
  const int taps = 2 * n + 1;
  std::vector<const float*> rows = ZeroFilled<const float*>(static_cast<size_t>(taps));
  const size_t stride = static_cast<size_t>(w);
  // Row y from the rows y - n .. y + n; only the border rows mirror, and the
  // mirror picks whole rows, so every row takes the same tight kernel.
  auto convolveRow = [&](int y, bool mirror) {
    for (int k = 0; k < taps; ++k) {
      const int yy = mirror ? Mirror(y - n + k, h) : y - n + k;
      rows[static_cast<size_t>(k)] = in + static_cast<size_t>(yy) * stride;
    }
    ConvolveSpan(rows.data(), mask - n, taps, out + static_cast<size_t>(y) * stride, w);
  };
  for (int y = n; y < h - n; ++y) convolveRow(y, false);
  for (int y = 0; y < std::min(n, h); ++y) convolveRow(y, true);
  for (int y = std::max(h - n, 0); y < h; ++y) convolveRow(y, true);
}

void ConvolveHorizontal(const float* in, const double* mask, int n, float* out, int w, int h) {
  if (w <= 0 || h <= 0) return;
  const int taps = 2 * n + 1;
  std::vector<const float*> tapRows = ZeroFilled<const float*>(static_cast<size_t>(taps));
  const size_t stride = static_cast<size_t>(w);
  auto borderColumn = [&](const float* row, float* outRow, int x) {
    double sum = 0.0;
    for (int j = -n; j <= n; ++j) sum += static_cast<double>(row[Mirror(x + j, w)]) * mask[j];
    outRow[x] = static_cast<float>(sum);
  };
  for (int y = 0; y < h; ++y) {
    const float* row = in + static_cast<size_t>(y) * stride;
    float* outRow = out + static_cast<size_t>(y) * stride;
    // Interior columns n .. w - n - 1: tap k reads column x - n + k.
    if (w - 2 * n > 0) {
      for (int k = 0; k < taps; ++k) tapRows[static_cast<size_t>(k)] = row + k;
      ConvolveSpan(tapRows.data(), mask - n, taps, outRow + n, w - 2 * n);
    }
    for (int x = 0; x < std::min(n, w); ++x) borderColumn(row, outRow, x);
    for (int x = std::max(w - n, 0); x < w; ++x) borderColumn(row, outRow, x);
  }
}

void GaussDerivative(const float* in, float* out, int w, int h, int kind, double sigma) {
  QX_CHECK(kind >= DerivY && kind <= DerivXX);
  const size_t count = static_cast<size_t>(w) * static_cast<size_t>(h);
  detail::FloatBuffer tmp(count);  // zero-filled, one float when w*h is 0

  GaussMask vertical;
  GaussMask horizontal;
  switch (kind) {
    case DerivY:
      vertical = GaussMask1(sigma);
      horizontal = GaussMask0(sigma);
      break;
    case DerivX:
      vertical = GaussMask0(sigma);
      horizontal = GaussMask1(sigma);
      break;
    case DerivYY:
      vertical = GaussMask2(sigma);
      horizontal = GaussMask0(sigma);
      break;
    case DerivXY:
      vertical = GaussMask1(sigma);
      horizontal = GaussMask1(sigma);
      break;
    default:  // DerivXX
      vertical = GaussMask0(sigma);
      horizontal = GaussMask2(sigma);
      break;
  }
  ConvolveVertical(in, vertical.Centre(), vertical.n, tmp.data(), w, h);
  ConvolveHorizontal(tmp.data(), horizontal.Centre(), horizontal.n, out, w, h);
}

}  // namespace quadrix
