#include "lines/detect_edge.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

#include "base/cancel.hpp"
#include "base/check.hpp"
#include "base/hugepages.hpp"
#include "base/large_buffer.hpp"
#include "lines/angle_math.hpp"
#include "lines/gauss_deriv.hpp"

// The AVX2 copy of the kernels needs GCC's per-function target pragma.
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__) && !defined(__clang__)
#include <immintrin.h>
#define QX_DETECT_X86 1
#else
#define QX_DETECT_X86 0
#endif

namespace quadrix {

namespace {

// Allocates a continuous image of the given size and type, its pages not yet
// touched.
void CreateImage(cv::Mat& img, cv::Size size, int type) {
  img.create(size, type);
  AdviseHugePages(img.data, img.total() * img.elemSize());
}

}  // namespace

// --- Per-pixel kernels --------------------------------------------------------

namespace detail {

namespace {

// Angles are floats; these are the float constants the arithmetic uses.
constexpr float kPi = 3.14159265f;
constexpr float kHalfPi = 1.57079633f;
constexpr float kThreeHalfPi = 4.71238898f;
constexpr float kTwoPi = 6.2831855f;
constexpr float kQuarterPi = 0.78539819f;
constexpr float kEighthPi = 0.39269909f;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// The approximations of atan2, sin and cos in detect_kernels.inc are good to
// about 2e-15 relative (range reduction and series truncation included), the
// C library's to about 2e-16 (one unit in the last place). A result is
// rounded to float only where every value within kTol relative of it rounds
// to the same float; that float is then also the rounding of the C library's
// result. Elsewhere (about one lane in 30000) the C library decides.
constexpr double kTol = 0x1p-40;
constexpr double kRoundMagic = 0x1.8p52;  // (v + magic) - magic rounds v to an integer
constexpr double kPi_d = 3.141592653589793;
constexpr double kHalfPi_d = 1.5707963267948966;
constexpr double kQuarterPi_d = 0.7853981633974483;
constexpr double kEighthPi_d = 0.39269908169872414;  // also atan(kTanEighthPi)
constexpr double kTanEighthPi = 0.41421356237309503;
constexpr double kTanSixteenthPi = 0.198912367379658;
constexpr double kTanThreeSixteenthPi = 0.6681786379192989;
constexpr double kTwoOverPi = 0.6366197723675814;
constexpr double kHalfPiHi = 1.5707963267341256;     // first 33 bits of pi/2
constexpr double kHalfPiLo = 6.077100506506192e-11;  // pi/2 - kHalfPiHi

constexpr double Factorial(int n) { return n <= 1 ? 1.0 : n * Factorial(n - 1); }

// Taylor coefficients: sin r = r + r z (S[0] + z (S[1] + ...)), z = r^2, and
// cos r = 1 + z (C[0] + z (C[1] + ...)); for |r| <= pi/4 the truncation is
// below 1e-16 (sin, relative) and 2e-15 (cos).
constexpr int kSinCosTerms = 7;
constexpr std::array<double, kSinCosTerms> kSinCoef = [] {
  std::array<double, kSinCosTerms> c{};
  for (int k = 1; k <= kSinCosTerms; ++k) c[k - 1] = (k % 2 ? -1.0 : 1.0) / Factorial(2 * k + 1);
  return c;
}();
constexpr std::array<double, kSinCosTerms> kCosCoef = [] {
  std::array<double, kSinCosTerms> c{};
  for (int k = 1; k <= kSinCosTerms; ++k) c[k - 1] = (k % 2 ? -1.0 : 1.0) / Factorial(2 * k);
  return c;
}();

// atan u = u + u z (A[0] + z (A[1] + ...)); for |u| <= tan(pi/16) the
// truncation is below 1e-15 relative.
constexpr int kAtanTerms = 9;
constexpr std::array<double, kAtanTerms> kAtanCoef = [] {
  std::array<double, kAtanTerms> c{};
  for (int k = 1; k <= kAtanTerms; ++k) c[k - 1] = (k % 2 ? -1.0 : 1.0) / (2 * k + 1);
  return c;
}();

}  // namespace

#if QX_DETECT_X86
#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
namespace {
typedef double VD __attribute__((vector_size(32)));
typedef float VF __attribute__((vector_size(16)));
typedef int64_t VM __attribute__((vector_size(32)));
typedef int32_t VI __attribute__((vector_size(16)));
constexpr size_t kLanes = 4;
inline VF SqrtLanes(VF v) { return _mm_sqrt_ps(v); }
#include "lines/detect_kernels.inc"
}  // namespace
}  // namespace avx2
#pragma GCC pop_options
#endif

namespace base {
namespace {
typedef double VD __attribute__((vector_size(16)));
typedef float VF __attribute__((vector_size(8)));
typedef int64_t VM __attribute__((vector_size(16)));
typedef int32_t VI __attribute__((vector_size(8)));
constexpr size_t kLanes = 2;
inline VF SqrtLanes(VF v) { return VF{std::sqrt(v[0]), std::sqrt(v[1])}; }
#include "lines/detect_kernels.inc"
}  // namespace
}  // namespace base

namespace {

// Off only when a test asks for the baseline kernels.
bool g_allowAvx2 = true;

bool UseAvx2() {
#if QX_DETECT_X86
  static const bool supported = __builtin_cpu_supports("avx2");
  return supported && g_allowAvx2;
#else
  return false;
#endif
}

}  // namespace

void UseBaselineKernelsForTesting(bool baseline) { g_allowAvx2 = !baseline; }

// One kernel of detect_kernels.inc, in the widest instruction set available.
#if QX_DETECT_X86
#define QX_DISPATCH(call) \
  (::quadrix::detail::UseAvx2() ? ::quadrix::detail::avx2::call : ::quadrix::detail::base::call)
#else
#define QX_DISPATCH(call) (::quadrix::detail::base::call)
#endif

namespace {

// theta for one row: atan2(Gx, -Gy) rounded to float, moved into [0, 2 pi);
// M = sqrt(Gx^2 + Gy^2).
void AnglesAndMagnitudes(const float* gx, const float* gy, float* theta, float* mag, size_t count) {
  Atan2ToFloat(gx, gy, theta, count);
  QX_DISPATCH(AngleWrapAndMagnitudeSpan(gx, gy, theta, mag, count));
}

}  // namespace

void Atan2ToFloat(const float* gx, const float* gy, float* theta, size_t count) {
  QX_DISPATCH(Atan2Span(gx, gy, theta, count));
  for (size_t i = 0; i < count; ++i) {
    if (std::isnan(theta[i])) {
      theta[i] =
          static_cast<float>(std::atan2(static_cast<double>(gx[i]), -static_cast<double>(gy[i])));
    }
  }
}

void SinNegCosToFloat(const float* theta, float* s, float* c, size_t count) {
  QX_DISPATCH(SinNegCosSpan(theta, s, c, count));
  for (size_t i = 0; i < count; ++i) {
    if (std::isnan(s[i]) || std::isnan(c[i])) {
      const double t = static_cast<double>(theta[i]);
      s[i] = static_cast<float>(std::sin(t));
      c[i] = static_cast<float>(-std::cos(t));
    }
  }
}

}  // namespace detail

using detail::kEighthPi;
using detail::kHalfPi;
using detail::kPi;
using detail::kQuarterPi;
using detail::kThreeHalfPi;
using detail::kTwoPi;

float AngleDiff(float a, float b) {
  float d = a - b;
  if (d < 0.0f) d += kTwoPi;
  if (d >= kPi) d -= kPi;
  if (d >= kHalfPi) d -= kPi;
  return std::fabs(d);
}

void UpdateDirection(float& theta, float& phi) {
  if (phi >= theta + kThreeHalfPi) {
    theta = phi - kTwoPi;
    if (theta < 0.0f) theta += kTwoPi;
  } else if (theta >= phi + kThreeHalfPi) {
    theta = phi + kTwoPi;
    if (theta >= kTwoPi) theta -= kTwoPi;
  } else if (phi >= theta + kHalfPi) {
    theta = phi - kPi;
    if (theta < 0.0f) theta += kTwoPi;
  } else if (theta >= phi + kHalfPi) {
    theta = phi + kPi;
    if (theta >= kTwoPi) theta -= kTwoPi;
  } else {
    theta = phi;
  }
  phi = theta;
}

CDetectEdge::CDetectEdge(std::vector<EdgeChain>* lines, double sigma)
    : chainList(lines), filterSigma(sigma) {
  QX_CHECK(sigma > 0.4);
}

CDetectEdge::~CDetectEdge() {
  Release();
  seedList.clear();
  seedList.shrink_to_fit();
}

void CDetectEdge::Release() {
  if (chainList != nullptr) chainList->clear();
  srcImg.release();
  secDerImg.release();
  angleImg.release();
  lineIndImg.release();
  linkDirImg.release();
  derYImg.release();
  derXImg.release();
}

void CDetectEdge::SetImage(const cv::Mat& img32FC1) {
  Release();
  try {
    imgHeight = img32FC1.rows;
    imgWidth = img32FC1.cols;
    const cv::Size size(imgWidth, imgHeight);
    CreateImage(srcImg, size, img32FC1.type());  // new images are continuous
    img32FC1.copyTo(srcImg);
    CreateImage(secDerImg, size, CV_32FC1);
    CreateImage(angleImg, size, CV_32FC1);
    CreateImage(lineIndImg, size, CV_32SC1);
    CreateImage(linkDirImg, size, CV_32SC1);
    CreateImage(derYImg, size, CV_32FC1);
    CreateImage(derXImg, size, CV_32FC1);
  } catch (const cv::Exception& e) {
    // The image library reports an exhausted allocation as StsNoMem.
    if (e.code == cv::Error::StsNoMem) OutOfMemory();
    throw;
  }
}

void CDetectEdge::CalFirDer() {
  QX_CHECK(!secDerImg.empty());
  const int w = imgWidth;
  const int h = imgHeight;
  const float* src = srcImg.ptr<float>();
  float* derY = derYImg.ptr<float>();
  float* derX = derXImg.ptr<float>();

  GaussDerivative(src, derY, w, h, DerivY, filterSigma);
  {
    const GaussMask mask0 = GaussMask0(filterSigma);
    const GaussMask mask1 = GaussMask1(filterSigma);
    detail::FloatBuffer tmp(static_cast<size_t>(w) * static_cast<size_t>(h));
    ConvolveVertical(src, mask0.Centre(), mask0.n, tmp.data(), w, h);
    ConvolveHorizontal(tmp.data(), mask1.Centre(), mask1.n, derX, w, h);
  }

  // Row by row: theta = atan2(Gx, -Gy) rounded to float, plus the float 2 pi
  // where negative; M = sqrt(Gx^2 + Gy^2) in float.
  float* mag = secDerImg.ptr<float>();
  float* angle = angleImg.ptr<float>();
  for (int y = 0; y < h; ++y) {
    CancellationPoint();
    const size_t row = static_cast<size_t>(y) * static_cast<size_t>(w);
    detail::AnglesAndMagnitudes(derX + row, derY + row, angle + row, mag + row,
                                static_cast<size_t>(w));
  }
}

void CDetectEdge::NoneMaximalSuppress(float low, float high) {
  QX_CHECK(!secDerImg.empty() && !lineIndImg.empty());
  const int w = imgWidth;
  const int h = imgHeight;
  seedList.clear();
  seedList.reserve(static_cast<size_t>(imgHeight * 0.08 * imgWidth));
  int32_t* lineInd = lineIndImg.ptr<int32_t>();
  if (w < 3 || h < 3) {  // no pixel off the outermost rows and columns
    lineIndImg.setTo(0);
    return;
  }
  // The outermost rows and columns stay 0; every other pixel is written below.
  std::fill(lineInd, lineInd + w, 0);
  std::fill(lineInd + static_cast<ptrdiff_t>(h - 1) * w, lineInd + static_cast<ptrdiff_t>(h) * w,
            0);

  const float* mag = secDerImg.ptr<float>();
  const float* angle = angleImg.ptr<float>();
  // s = sin theta and c = -cos theta, each rounded to float, for one row.
  detail::FloatBuffer sinRow(static_cast<size_t>(w));
  detail::FloatBuffer negCosRow(static_cast<size_t>(w));
  float* s = sinRow.data();
  float* c = negCosRow.data();
  // Reverse raster order: rows from the bottom, each from the right. Within a
  // row the kept maxima (-1) do not depend on each other, so the row's labels
  // are computed first and its seeds then collected from the right.
  for (int y = h - 2; y >= 1; --y) {
    CancellationPoint();
    const ptrdiff_t row = static_cast<ptrdiff_t>(y) * w;
    int32_t* edge = lineInd + row;
    const float* m = mag + row;
    edge[0] = 0;
    edge[w - 1] = 0;
    detail::SinNegCosToFloat(angle + row + 1, s + 1, c + 1, static_cast<size_t>(w - 2));
    QX_DISPATCH(SuppressSpan(m, w, s, c, low, edge, 1, w - 2));
    for (int x = w - 2; x >= 1; --x) {
      if (edge[x] == -1 && m[x] >= high) seedList.push_back(EdgeSeed{y, x, m[x]});
    }
  }
}

void CDetectEdge::Link(int32_t minLength) {
  QX_CHECK(!secDerImg.empty() && !lineIndImg.empty());
  // Strongest first; among equal strengths, reverse raster order (the order
  // of the suppression step), so the result does not depend on the sort.
  std::sort(seedList.begin(), seedList.end(), [](const EdgeSeed& a, const EdgeSeed& b) {
    if (a.strength != b.strength) return a.strength > b.strength;
    if (a.y != b.y) return a.y > b.y;
    return a.x > b.x;
  });
  linkDirImg.setTo(-1);
  if (chainList != nullptr) {
    chainList->clear();
    chainList->reserve(static_cast<size_t>(imgWidth * 0.01 * imgHeight));
  }

  int32_t* lineInd = lineIndImg.ptr<int32_t>();
  const int32_t* linkDir = linkDirImg.ptr<int32_t>();
  const ptrdiff_t w = imgWidth;
  int32_t label = 1;
  for (const EdgeSeed& seed : seedList) {
    if (lineInd[seed.y * w + seed.x] != -1) continue;
    EdgeChain chain;
    chain.label = label;
    Trace(seed.y, seed.x, false, chain);
    Trace(seed.y, seed.x, true, chain);
    if (chain.length > minLength) {
      if (chainList != nullptr) chainList->push_back(chain);
      ++label;
    } else {
      int x = chain.xA;
      int y = chain.yA;
      for (int32_t k = 1; k < chain.length; ++k) {
        const ptrdiff_t i = y * w + x;
        lineInd[i] = -2;
        const RingOffset step = NEAR_RING[linkDir[i]];
        x += step.dx;
        y += step.dy;
      }
      lineInd[y * w + x] = -2;
    }
  }
}

void CDetectEdge::Trace(int row, int col, bool backward, EdgeChain& chain) {
  const ptrdiff_t i = static_cast<ptrdiff_t>(row) * imgWidth + col;
  float theta = angleImg.ptr<float>()[i];
  if (!backward) {
    chain.length = 1;
    lineIndImg.ptr<int32_t>()[i] = chain.label;
  } else {
    theta += kPi;
    if (theta >= kTwoPi) theta -= kTwoPi;
  }
  int x = col;
  int y = row;
  while (TracePass(x, y, theta, chain, backward, true) ||
         TracePass(x, y, theta, chain, backward, false)) {
  }
  if (backward) {
    chain.xA = x;
    chain.yA = y;
    chain.angleA = theta;
  } else {
    chain.xB = x;
    chain.yB = y;
    chain.angleB = theta;
  }
}

bool CDetectEdge::TracePass(int& x, int& y, float& theta, EdgeChain& chain, bool backward,
                            bool strict) {
  // A NaN direction can only come from NaN pixels in the input image; it ends
  // the trace rather than index the rings with garbage.
  if (std::isnan(theta)) return false;
  // theta is never negative, so the casts truncate toward zero as intended.
  const int k16 = static_cast<int>(theta / kEighthPi + 0.5) % 16;
  if (StepFar(x, y, theta, chain, k16, backward, strict)) return true;
  const int k8 = static_cast<int>(theta / kQuarterPi + 0.5) % 8;
  if (StepNear(x, y, theta, chain, k8, backward, strict)) return true;

  const int up16 = (k16 + 1) % 16;
  const int down16 = (k16 + 15) % 16;
  if (AngleDiff(static_cast<float>(up16) * kEighthPi, theta) <
      AngleDiff(static_cast<float>(down16) * kEighthPi, theta)) {
    if (StepFar(x, y, theta, chain, up16, backward, strict)) return true;
    if (StepFar(x, y, theta, chain, down16, backward, strict)) return true;
  } else {
    if (StepFar(x, y, theta, chain, down16, backward, strict)) return true;
    if (StepFar(x, y, theta, chain, up16, backward, strict)) return true;
  }

  const int up8 = (k8 + 1) % 8;
  const int down8 = (k8 + 7) % 8;
  if (AngleDiff(static_cast<float>(up8) * kQuarterPi, theta) <
      AngleDiff(static_cast<float>(down8) * kQuarterPi, theta)) {
    if (StepNear(x, y, theta, chain, up8, backward, strict)) return true;
    if (StepNear(x, y, theta, chain, down8, backward, strict)) return true;
  } else {
    if (StepNear(x, y, theta, chain, down8, backward, strict)) return true;
    if (StepNear(x, y, theta, chain, up8, backward, strict)) return true;
  }
  return false;
}

bool CDetectEdge::StepNear(int& x, int& y, float& theta, EdgeChain& chain, int code, bool backward,
                           bool strict) {
  const int tx = x + NEAR_RING[code].dx;
  const int ty = y + NEAR_RING[code].dy;
  if (tx < 0 || tx >= imgWidth || ty < 0 || ty >= imgHeight) return false;
  int32_t* lineInd = lineIndImg.ptr<int32_t>();
  int32_t* linkDir = linkDirImg.ptr<int32_t>();
  float* angle = angleImg.ptr<float>();
  const ptrdiff_t w = imgWidth;
  const ptrdiff_t t = ty * w + tx;
  if (lineInd[t] != -1) return false;
  if (strict && AngleDiff(theta, angle[t]) > kQuarterPi) return false;

  lineInd[t] = chain.label;
  if (backward) {
    linkDir[t] = (code + 4) % 8;
  } else {
    linkDir[y * w + x] = code;
  }
  chain.length += 1;
  UpdateDirection(theta, angle[t]);
  x = tx;
  y = ty;
  return true;
}

bool CDetectEdge::StepFar(int& x, int& y, float& theta, EdgeChain& chain, int index, bool backward,
                          bool strict) {
  const int tx = x + FAR_RING[index].dx;
  const int ty = y + FAR_RING[index].dy;
  if (tx < 0 || tx >= imgWidth || ty < 0 || ty >= imgHeight) return false;
  int32_t* lineInd = lineIndImg.ptr<int32_t>();
  int32_t* linkDir = linkDirImg.ptr<int32_t>();
  float* angle = angleImg.ptr<float>();
  const ptrdiff_t w = imgWidth;
  const ptrdiff_t t = ty * w + tx;
  if (lineInd[t] != -1) return false;
  if (strict && AngleDiff(theta, angle[t]) > kQuarterPi) return false;

  // The middle pixel: straight towards the target, or for an odd index the
  // other of the two candidates when the first is taken.
  int f = index / 2;
  ptrdiff_t m = (y + NEAR_RING[f].dy) * w + (x + NEAR_RING[f].dx);
  if (lineInd[m] != -1 && index % 2 == 1) {
    f = ((index + 1) / 2) % 8;
    m = (y + NEAR_RING[f].dy) * w + (x + NEAR_RING[f].dx);
  }
  if (lineInd[m] != -1 && lineInd[m] != 0) return false;
  const int l = (index - f) % 8;  // the code from the middle pixel to the target

  lineInd[m] = chain.label;
  lineInd[t] = chain.label;
  if (backward) {
    linkDir[m] = (f + 4) % 8;
    linkDir[t] = (l + 4) % 8;
  } else {
    linkDir[y * w + x] = f;
    linkDir[m] = l;
  }
  chain.length += 2;
  UpdateDirection(theta, angle[m]);
  UpdateDirection(theta, angle[t]);
  x = tx;
  y = ty;
  return true;
}

#undef QX_DISPATCH
#undef QX_DETECT_X86

}  // namespace quadrix
