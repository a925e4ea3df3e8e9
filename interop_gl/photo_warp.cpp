#include "interop_gl/photo_warp.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <opencv2/imgproc.hpp>
#include <type_traits>
#include <utility>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define QX_WARP_X86 1
#include <immintrin.h>
#else
#define QX_WARP_X86 0
#endif

#include "base/check.hpp"
#include "interop_gl/cubic.hpp"
#include "interop_gl/renderer.hpp"

namespace quadrix {

namespace {

constexpr int kBandRows = 32;

// Off only when a test asks for the baseline samplers.
bool g_allowAvx2 = true;
constexpr size_t kSpareBytes = 8;
// Spans are widened by this much so that a pixel centre exactly on an edge
// two triangles share is never left to neither of them.
constexpr double kEdgeSlack = 1e-7;

struct Point {
  double x;
  double y;
};

// One mip level as the samplers read it. A pixel is read as 4 bytes, and
// two as 8, so the last row is read from a copy with bytes to spare.
struct View {
  const uchar* data;
  size_t step;
  int cols;
  int rows;
  float toLevelX;  // level pixels per photo pixel
  float toLevelY;
  const uchar* lastRow;
  const uchar* Row(int y) const {
    y = std::clamp(y, 0, rows - 1);
    return y == rows - 1 ? lastRow : data + step * static_cast<size_t>(y);
  }
};

// A triangle ready to fill: corners with positive area, and the affine map
// from target pixel position to photo position (level-0 pixels).
struct Triangle {
  Point a, b, c;
  double sx0, sy0;  // photo position at target (0, 0)
  double sxX, sxY;  // d(photo x) / d(target x), d(photo x) / d(target y)
  double syX, syY;  // d(photo y) / d(target x), d(photo y) / d(target y)
  int level;
  float scaleX, scaleY;  // kernel widths in level pixels
  bool magnifying;
  int rowBegin, rowEnd;
};

inline int ClampIndex(int i, int n) { return std::clamp(i, 0, n - 1); }

// Keys' cubic tabulated at 1/256 of a texel: a widened kernel needs up to
// a dozen weights a pixel, the table is cheaper than the polynomial and its
// branches, and the weights are normalised by their sum anyway.
constexpr int kCubicSteps = 256;
struct CubicTable {
  float w[2 * kCubicSteps + 1];
  CubicTable() {
    for (int i = 0; i <= 2 * kCubicSteps; ++i) w[i] = Cubic(static_cast<float>(i) / kCubicSteps);
  }
  float operator()(float x) const {
    const float a = std::min(std::abs(x) * kCubicSteps + 0.5f, 2.0f * kCubicSteps);
    return w[static_cast<int>(a)];
  }
};
const CubicTable kCubicTable;

inline double Edge(const Point& u, const Point& v, double px, double py) {
  return (v.x - u.x) * (py - u.y) - (v.y - u.y) * (px - u.x);
}

// The triangle abc of the target with photo corners sa, sb, sc; false when
// it covers nothing.
bool MakeTriangle(Point a, Point b, Point c, Point sa, Point sb, Point sc, int rows,
                  const std::vector<cv::Point2f>& toLevel, Triangle& t) {
  double area = Edge(a, b, c.x, c.y);
  if (area == 0.0 || !std::isfinite(area)) return false;
  if (area < 0.0) {
    // A folded triangle is drawn as well: only its orientation changes.
    std::swap(b, c);
    std::swap(sb, sc);
    area = -area;
  }
  const double inv = 1.0 / area;
  // Barycentric weights' derivatives, and their values at the origin.
  const double lax = -(c.y - b.y) * inv, lay = (c.x - b.x) * inv;
  const double lbx = -(a.y - c.y) * inv, lby = (a.x - c.x) * inv;
  const double lcx = -(b.y - a.y) * inv, lcy = (b.x - a.x) * inv;
  const double la0 = Edge(b, c, 0.0, 0.0) * inv;
  const double lb0 = Edge(c, a, 0.0, 0.0) * inv;
  const double lc0 = Edge(a, b, 0.0, 0.0) * inv;
  t.a = a;
  t.b = b;
  t.c = c;
  t.sxX = lax * sa.x + lbx * sb.x + lcx * sc.x;
  t.sxY = lay * sa.x + lby * sb.x + lcy * sc.x;
  t.syX = lax * sa.y + lbx * sb.y + lcx * sc.y;
  t.syY = lay * sa.y + lby * sb.y + lcy * sc.y;
  t.sx0 = la0 * sa.x + lb0 * sb.x + lc0 * sc.x;
  t.sy0 = la0 * sa.y + lb0 * sb.y + lc0 * sc.y;
  const float footX = static_cast<float>(std::abs(t.sxX) + std::abs(t.sxY));
  const float footY = static_cast<float>(std::abs(t.syX) + std::abs(t.syY));
  t.level = FootprintLevel(footX, footY, static_cast<int>(toLevel.size()));
  const cv::Point2f shrink = toLevel[static_cast<size_t>(t.level)];
  t.scaleX = std::min(std::max(footX * shrink.x, 1.0f), kMaxFootprintSide);
  t.scaleY = std::min(std::max(footY * shrink.y, 1.0f), kMaxFootprintSide);
  t.magnifying = std::max(footX * shrink.x, footY * shrink.y) <= kFootprintSlack;
  const double minY = std::min({a.y, b.y, c.y});
  const double maxY = std::max({a.y, b.y, c.y});
  const double first = std::max(0.0, std::floor(minY - 0.5));
  const double last = std::min(rows - 1.0, std::ceil(maxY - 0.5));
  if (!(first <= last)) return false;
  t.rowBegin = static_cast<int>(first);
  t.rowEnd = static_cast<int>(last) + 1;
  return true;
}

// The 4 x 4 texels of Catmull-Rom around (px, py), level pixels: the first
// one's column and row, and the weights along each axis.
struct Taps4 {
  int ix, iy;
  float wx[4], wy[4];
  Taps4(float px, float py) {
    const float fx = px - 0.5f;
    const float fy = py - 0.5f;
    const float ixf = std::floor(fx);
    const float iyf = std::floor(fy);
    Cubic4(fx - ixf, wx);
    Cubic4(fy - iyf, wy);
    ix = static_cast<int>(ixf) - 1;
    iy = static_cast<int>(iyf) - 1;
  }
};

// The texels a widened kernel of half-width `reach` around `p` covers,
// first and last, at most kMaxFilterTaps.
inline std::pair<int, int> KernelSpan(float p, float reach) {
  const int first = static_cast<int>(std::ceil(p - reach - 0.5f));
  const int last =
      std::min(static_cast<int>(std::floor(p + reach - 0.5f)), first + kMaxFilterTaps - 1);
  return {first, last};
}

namespace base {

// B, G, R (and a fourth lane to spare) as floats.
#if defined(__SSE2__)
using Pixel = __m128;
inline Pixel Zero() { return _mm_setzero_ps(); }
inline Pixel Load(const uchar* p) {
  int bytes;
  std::memcpy(&bytes, p, 4);
  const __m128i zero = _mm_setzero_si128();
  const __m128i wide = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(bytes), zero), zero);
  return _mm_cvtepi32_ps(wide);
}
inline Pixel Load(const ushort* p) {
  std::int64_t bytes;
  std::memcpy(&bytes, p, 8);
  const __m128i wide = _mm_unpacklo_epi16(_mm_cvtsi64_si128(bytes), _mm_setzero_si128());
  return _mm_cvtepi32_ps(wide);
}
inline Pixel AddScaled(Pixel acc, float w, Pixel p) {
  return _mm_add_ps(acc, _mm_mul_ps(_mm_set1_ps(w), p));
}
inline Pixel Scaled(Pixel p, float w) { return _mm_mul_ps(p, _mm_set1_ps(w)); }
// Rounded to nearest (even on ties) and saturated, as cv::saturate_cast;
// C channels.
template <int C>
inline void Store(Pixel p, ushort* out) {
  alignas(16) float lanes[4];
  _mm_store_ps(lanes, p);
  for (int k = 0; k < C; ++k) out[k] = cv::saturate_cast<ushort>(lanes[k]);
}
template <int C>
inline void Store(Pixel p, uchar* out) {
  __m128i i = _mm_cvtps_epi32(p);
  i = _mm_packus_epi16(_mm_packs_epi32(i, i), i);
  const int bytes = _mm_cvtsi128_si32(i);
  out[0] = static_cast<uchar>(bytes);
  out[1] = static_cast<uchar>(bytes >> 8);
  out[2] = static_cast<uchar>(bytes >> 16);
  if constexpr (C == 4) out[3] = static_cast<uchar>(bytes >> 24);
}
#else
struct Pixel {
  float c[4];
};
inline Pixel Zero() { return {{0.0f, 0.0f, 0.0f, 0.0f}}; }
template <typename T>
inline Pixel Load(const T* p) {
  return {{static_cast<float>(p[0]), static_cast<float>(p[1]), static_cast<float>(p[2]),
           static_cast<float>(p[3])}};
}
inline Pixel AddScaled(Pixel acc, float w, Pixel p) {
  for (int k = 0; k < 4; ++k) acc.c[k] += w * p.c[k];
  return acc;
}
inline Pixel Scaled(Pixel p, float w) { return AddScaled(Zero(), w, p); }
template <int C, typename T>
inline void Store(Pixel p, T* out) {
  for (int k = 0; k < C; ++k) out[k] = cv::saturate_cast<T>(p.c[k]);
}
#endif

// Catmull-Rom over the fixed 4 x 4 texels around (px, py), level pixels;
// C channels of type T a texel.
template <typename T, int C>
inline void SampleMagnified(const View& v, float px, float py, T* out) {
  const Taps4 taps(px, py);
  const float* wx = taps.wx;
  const float* wy = taps.wy;
  const int ix = taps.ix;
  const int iy = taps.iy;
  int cx[4];
  if (ix >= 0 && ix + 3 < v.cols) {
    for (int k = 0; k < 4; ++k) cx[k] = C * (ix + k);
  } else {
    for (int k = 0; k < 4; ++k) cx[k] = C * ClampIndex(ix + k, v.cols);
  }
  Pixel sum = Zero();
  for (int j = 0; j < 4; ++j) {
    const T* row = reinterpret_cast<const T*>(v.Row(iy + j));
    Pixel line = Zero();
    for (int k = 0; k < 4; ++k) line = AddScaled(line, wx[k], Load(row + cx[k]));
    sum = AddScaled(sum, wy[j], line);
  }
  Store<C>(sum, out);
}

// Keys' cubic widened to 1 / invScaleX x 1 / invScaleY level pixels around
// (px, py); reachX, reachY are twice those widths (the kernel's support).
template <typename T, int C>
inline void SampleWidened(const View& v, float invScaleX, float invScaleY, float reachX,
                          float reachY, float px, float py, T* out) {
  const auto [x0, x1] = KernelSpan(px, reachX);
  const auto [y0, y1] = KernelSpan(py, reachY);
  float wx[kMaxFilterTaps];
  int cx[kMaxFilterTaps];
  float sumX = 0.0f;
  const bool inside = x0 >= 0 && x1 < v.cols;
  for (int x = x0; x <= x1; ++x) {
    const float w = kCubicTable((static_cast<float>(x) + 0.5f - px) * invScaleX);
    wx[x - x0] = w;
    cx[x - x0] = C * (inside ? x : ClampIndex(x, v.cols));
    sumX += w;
  }
  const int taps = x1 - x0 + 1;
  Pixel sum = Zero();
  float sumY = 0.0f;
  for (int y = y0; y <= y1; ++y) {
    const float wy = kCubicTable((static_cast<float>(y) + 0.5f - py) * invScaleY);
    if (wy == 0.0f) continue;
    sumY += wy;
    const T* row = reinterpret_cast<const T*>(v.Row(y));
    Pixel line = Zero();
    for (int k = 0; k < taps; ++k) line = AddScaled(line, wx[k], Load(row + cx[k]));
    sum = AddScaled(sum, wy, line);
  }
  Store<C>(Scaled(sum, 1.0f / (sumX * sumY)), out);
}

#include "interop_gl/photo_warp_rows.inc"

}  // namespace base

#if QX_WARP_X86
// The same samplers with AVX2 and FMA: two neighbouring texels at once, in
// the two halves of a register.
#pragma GCC push_options
#pragma GCC target("avx2,fma")
namespace avx2 {

using Pixel = __m128;
using base::Scaled;
inline void Store(Pixel p, uchar* out) { base::Store<3>(p, out); }
// Texels at p and p + 3 as B, G, R, 0 in each half; reads 8 bytes.
inline __m256 LoadPair(const uchar* p) {
  const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
  const __m128i spread = _mm_shuffle_epi8(
      bytes, _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, -1, -1, -1, -1, -1, -1, -1, -1));
  return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(spread));
}
// A texel at p as B, G, R, and a fourth byte in the top lane (given no
// weight by Store).
inline __m128 LoadOne(const uchar* p) {
  int bytes;
  std::memcpy(&bytes, p, 4);
  return _mm_cvtepi32_ps(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(bytes)));
}
inline __m256 Weights(float a, float b) {
  return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_set1_ps(a)), _mm_set1_ps(b), 1);
}
inline Pixel Fold(__m256 v) {
  return _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
}

template <typename T, int C>
inline void SampleMagnified(const View& v, float px, float py, T* out) {
  static_assert(std::is_same_v<T, uchar> && C == 3, "pairs of 3-byte texels");
  const Taps4 taps(px, py);
  const float* wx = taps.wx;
  const float* wy = taps.wy;
  const int ix = taps.ix;
  const int iy = taps.iy;
  __m256 sum = _mm256_setzero_ps();
  if (ix >= 0 && ix + 3 < v.cols) {
    const __m256 w01 = Weights(wx[0], wx[1]);
    const __m256 w23 = Weights(wx[2], wx[3]);
    for (int j = 0; j < 4; ++j) {
      const uchar* row = v.Row(iy + j) + 3 * ix;
      const __m256 line =
          _mm256_fmadd_ps(w23, LoadPair(row + 6), _mm256_mul_ps(w01, LoadPair(row)));
      sum = _mm256_fmadd_ps(_mm256_set1_ps(wy[j]), line, sum);
    }
    Store(Fold(sum), out);
    return;
  }
  int cx[4];
  for (int k = 0; k < 4; ++k) cx[k] = 3 * ClampIndex(ix + k, v.cols);
  __m128 acc = _mm_setzero_ps();
  for (int j = 0; j < 4; ++j) {
    const uchar* row = v.Row(iy + j);
    __m128 line = _mm_setzero_ps();
    for (int k = 0; k < 4; ++k) line = _mm_fmadd_ps(_mm_set1_ps(wx[k]), LoadOne(row + cx[k]), line);
    acc = _mm_fmadd_ps(_mm_set1_ps(wy[j]), line, acc);
  }
  Store(acc, out);
}

template <typename T, int C>
inline void SampleWidened(const View& v, float invScaleX, float invScaleY, float reachX,
                          float reachY, float px, float py, T* out) {
  static_assert(std::is_same_v<T, uchar> && C == 3, "pairs of 3-byte texels");
  const auto [x0, x1] = KernelSpan(px, reachX);
  const auto [y0, y1] = KernelSpan(py, reachY);
  const int taps = x1 - x0 + 1;
  // Weights in pairs, the last one padded with a zero weight.
  float wx[kMaxFilterTaps + 1];
  float sumX = 0.0f;
  for (int k = 0; k < taps; ++k) {
    wx[k] = kCubicTable((static_cast<float>(x0 + k) + 0.5f - px) * invScaleX);
    sumX += wx[k];
  }
  wx[taps] = 0.0f;
  const int pairs = (taps + 1) / 2;
  __m256 w[kMaxFilterTaps / 2 + 1];
  for (int p = 0; p < pairs; ++p) w[p] = Weights(wx[2 * p], wx[2 * p + 1]);
  // The padded texel must exist: inside the row but for the last pair,
  // whose second texel may be the next row's first (or the spare bytes of
  // the last row's copy).
  const bool inside = x0 >= 0 && x1 < v.cols;
  __m256 sum = _mm256_setzero_ps();
  __m128 edge = _mm_setzero_ps();
  float sumY = 0.0f;
  for (int y = y0; y <= y1; ++y) {
    const float wy = kCubicTable((static_cast<float>(y) + 0.5f - py) * invScaleY);
    if (wy == 0.0f) continue;
    sumY += wy;
    const uchar* row = v.Row(y);
    if (inside) {
      const uchar* at = row + 3 * x0;
      __m256 line = _mm256_mul_ps(w[0], LoadPair(at));
      for (int p = 1; p < pairs; ++p) line = _mm256_fmadd_ps(w[p], LoadPair(at + 6 * p), line);
      sum = _mm256_fmadd_ps(_mm256_set1_ps(wy), line, sum);
    } else {
      __m128 line = _mm_setzero_ps();
      for (int k = 0; k < taps; ++k)
        line =
            _mm_fmadd_ps(_mm_set1_ps(wx[k]), LoadOne(row + 3 * ClampIndex(x0 + k, v.cols)), line);
      edge = _mm_fmadd_ps(_mm_set1_ps(wy), line, edge);
    }
  }
  Store(Scaled(_mm_add_ps(Fold(sum), edge), 1.0f / (sumX * sumY)), out);
}

#include "interop_gl/photo_warp_rows.inc"

}  // namespace avx2
#pragma GCC pop_options

bool UseAvx2() {
  static const bool supported = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return supported && g_allowAvx2;
}
#else
bool UseAvx2() { return false; }
#endif

// BGRA (8 or 16 bits) with its colour multiplied by its alpha, or (times
// false) divided by it again.
template <typename T>
void Premultiply(cv::Mat& m, bool times) {
  const float top = static_cast<float>(std::numeric_limits<T>::max());
  for (int y = 0; y < m.rows; ++y) {
    T* p = m.ptr<T>(y);
    for (int x = 0; x < m.cols; ++x, p += 4) {
      const float a = p[3];
      const float f = times ? a / top : (a > 0.0f ? top / a : 0.0f);
      for (int c = 0; c < 3; ++c) p[c] = cv::saturate_cast<T>(p[c] * f);
    }
  }
}

void PremultiplyAny(cv::Mat& bgra, bool times) {
  if (bgra.depth() == CV_16U)
    Premultiply<ushort>(bgra, times);
  else
    Premultiply<uchar>(bgra, times);
}

}  // namespace

void UseBaselineWarpForTesting(bool baseline) { g_allowAvx2 = !baseline; }

PhotoWarper::PhotoWarper(cv::Mat photo) : photo_(std::move(photo)) {
  QX_CHECK((photo_.depth() == CV_8U || photo_.depth() == CV_16U) &&
           (photo_.channels() == 3 || photo_.channels() == 4) && !photo_.empty());
  // Colour is filtered premultiplied by its alpha: a transparent texel's
  // colour, whatever it is, must not bleed into the edge of what is seen.
  if (photo_.channels() == 4) {
    const bool alone = photo_.u != nullptr && photo_.u->refcount == 1;
    if (!alone) photo_ = photo_.clone();
    PremultiplyAny(photo_, true);
  }
  levels_.push_back(photo_);
}

const cv::Mat& PhotoWarper::Level(int level) {
  while (static_cast<int>(levels_.size()) <= level) {
    const cv::Mat& up = levels_.back();
    cv::Mat down;
    cv::resize(up, down, cv::Size(std::max(1, up.cols / 2), std::max(1, up.rows / 2)), 0, 0,
               cv::INTER_AREA);
    levels_.push_back(std::move(down));
  }
  return levels_[static_cast<size_t>(level)];
}

cv::Mat PhotoWarper::Render(int vx, int vy, std::span<const float> xy, cv::Size target) {
  QX_CHECK(vx >= 2 && vy >= 2 &&
           xy.size() == 2 * static_cast<size_t>(vx) * static_cast<size_t>(vy));
  const int channels = photo_.channels();
  cv::Mat out(std::max(target.height, 0), std::max(target.width, 0), photo_.type());
  if (out.empty()) return out;

  // Every level halving the photo gives (sizes rounded down), as level
  // pixels per photo pixel; only those used are made.
  std::vector<cv::Point2f> toLevel;
  for (cv::Size s = photo_.size();; s = {std::max(1, s.width / 2), std::max(1, s.height / 2)}) {
    toLevel.emplace_back(static_cast<float>(s.width) / static_cast<float>(photo_.cols),
                         static_cast<float>(s.height) / static_cast<float>(photo_.rows));
    if (s.width == 1 && s.height == 1) break;
  }

  const size_t count = static_cast<size_t>(vx) * static_cast<size_t>(vy);
  std::vector<Point> pos(count), src(count);
  for (size_t n = 0; n < count; ++n) {
    pos[n] = Point{xy[2 * n], xy[2 * n + 1]};
    const auto column = static_cast<double>(n % static_cast<size_t>(vx));
    const auto row = static_cast<double>(n / static_cast<size_t>(vx));
    src[n] = Point{column * photo_.cols / (vx - 1), row * photo_.rows / (vy - 1)};
  }
  const MeshIndices indices = BuildMeshIndices(vx, vy);
  const auto& tri = indices.triangles;
  std::vector<Triangle> triangles;
  triangles.reserve(tri.size() / 3);
  const int bands = (out.rows + kBandRows - 1) / kBandRows;
  std::vector<std::vector<uint32_t>> inBand(static_cast<size_t>(bands));
  int deepest = 0;
  for (size_t k = 0; k + 2 < tri.size(); k += 3) {
    Triangle t;
    if (!MakeTriangle(pos[tri[k]], pos[tri[k + 1]], pos[tri[k + 2]], src[tri[k]], src[tri[k + 1]],
                      src[tri[k + 2]], out.rows, toLevel, t))
      continue;
    deepest = std::max(deepest, t.level);
    // In index order within each band, so a later triangle covers an earlier
    // one as on the GPU.
    for (int band = t.rowBegin / kBandRows; band <= (t.rowEnd - 1) / kBandRows; ++band)
      inBand[static_cast<size_t>(band)].push_back(static_cast<uint32_t>(triangles.size()));
    triangles.push_back(t);
  }
  std::vector<View> views;
  std::vector<std::vector<uchar>> lastRows;
  for (int level = 0; level <= deepest; ++level) {
    const cv::Mat& m = Level(level);
    const cv::Point2f to = toLevel[static_cast<size_t>(level)];
    const uchar* last = m.ptr<uchar>(m.rows - 1);
    lastRows.emplace_back(last, last + m.elemSize() * m.cols);
    lastRows.back().resize(lastRows.back().size() + kSpareBytes, 0);
    views.push_back(View{m.data, m.step[0], m.cols, m.rows, to.x, to.y, lastRows.back().data()});
  }

  const bool deep = photo_.depth() == CV_16U;
  void (*fill)(cv::Mat&, const Triangle&, const View&, int, int) =
      deep ? (channels == 4 ? base::FillRows<ushort, 4> : base::FillRows<ushort, 3>)
           : (channels == 4 ? base::FillRows<uchar, 4> : base::FillRows<uchar, 3>);
#if QX_WARP_X86
  if (!deep && channels == 3 && UseAvx2()) fill = avx2::FillRows<uchar, 3>;
#endif
  // Where no triangle lies: white, or transparent in a picture with alpha.
  const cv::Scalar uncovered =
      channels == 4 ? cv::Scalar::all(0) : cv::Scalar::all(deep ? 65535 : 255);
  cv::parallel_for_(cv::Range(0, bands), [&](const cv::Range& range) {
    for (int band = range.start; band < range.end; ++band) {
      const int rowBegin = band * kBandRows;
      const int rowEnd = std::min(out.rows, rowBegin + kBandRows);
      out.rowRange(rowBegin, rowEnd).setTo(uncovered);
      for (const uint32_t k : inBand[static_cast<size_t>(band)]) {
        const Triangle& t = triangles[k];
        fill(out, t, views[static_cast<size_t>(t.level)], rowBegin, rowEnd);
      }
    }
  });
  if (channels == 4) PremultiplyAny(out, false);
  return out;
}

}  // namespace quadrix
