#include "core/mesh_guard.hpp"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "base/environment.hpp"

namespace quadrix {

MeshGuard BuildMeshGuard(int qx, int qy, double m) {
  MeshGuard g;
  g.qx = qx;
  g.qy = qy;
  g.minScale = m;
  auto point = [qx](int j, int i) { return j * (qx + 1) + i; };
  for (int j = 0; j <= qy; ++j)
    for (int i = 0; i < qx; ++i)
      g.rows.Add({{2 * point(j, i + 1), 1.0}, {2 * point(j, i), -1.0}}, m / qx, 0.0);
  for (int i = 0; i <= qx; ++i)
    for (int j = 0; j < qy; ++j)
      g.rows.Add({{2 * point(j + 1, i) + 1, 1.0}, {2 * point(j, i) + 1, -1.0}}, 0.0, m / qy);
  g.gridRows = g.rows.Rows();

  // s·(along) ∓ (across) >= 0, as a pair that may not both be active.
  const double s = kShearSlope;
  auto pair = [&g, s](int along0, int along1, int across0, int across1) {
    const int a = g.rows.Add({{along1, s}, {along0, -s}, {across1, -1.0}, {across0, 1.0}}, 0, 0);
    const int b = g.rows.Add({{along1, s}, {along0, -s}, {across1, 1.0}, {across0, -1.0}}, 0, 0);
    g.rows.partner[a] = b;
    g.rows.partner[b] = a;
    return a;
  };
  g.horizontalShear.assign(static_cast<size_t>((qy + 1) * qx), -1);
  for (int j = 1; j < qy; ++j)
    for (int i = 0; i < qx; ++i) {
      const int p = point(j, i), q = point(j, i + 1);
      g.horizontalShear[j * qx + i] = pair(2 * p, 2 * q, 2 * p + 1, 2 * q + 1);
    }
  g.verticalShear.assign(static_cast<size_t>((qx + 1) * qy), -1);
  for (int i = 1; i < qx; ++i)
    for (int j = 0; j < qy; ++j) {
      const int p = point(j, i), q = point(j + 1, i);
      g.verticalShear[i * qy + j] = pair(2 * p + 1, 2 * q + 1, 2 * p, 2 * q);
    }
  return g;
}

std::vector<char> GridRowsEnabled(const MeshGuard& guard) {
  std::vector<char> on(static_cast<size_t>(guard.rows.Rows()), 0);
  std::fill(on.begin(), on.begin() + guard.gridRows, 1);
  return on;
}

std::vector<ThinTriangle> FindThinTriangles(const MeshGuard& guard, double W, double H,
                                            const std::vector<double>& x) {
  const int qx = guard.qx, qy = guard.qy;
  const double m = guard.minScale;
  const double limit = kThinTriangle * m * m * (W / qx) * (H / qy);
  auto at = [&](int j, int i, int c) { return x[2 * (j * (qx + 1) + i) + c]; };
  // Twice the signed area of (a, b, c); positive keeps the rest orientation
  // (y downwards).
  auto cross = [&](int ja, int ia, int jb, int ib, int jc, int ic) {
    const double bx = at(jb, ib, 0) - at(ja, ia, 0), by = at(jb, ib, 1) - at(ja, ia, 1);
    const double cx = at(jc, ic, 0) - at(ja, ia, 0), cy = at(jc, ic, 1) - at(ja, ia, 1);
    return bx * cy - by * cx;
  };
  std::vector<ThinTriangle> thin;
  for (int j = 0; j < qy; ++j)
    for (int i = 0; i < qx; ++i) {
      if (cross(j, i, j, i + 1, j + 1, i + 1) < limit) thin.push_back({j, i, 0});
      if (cross(j, i, j + 1, i + 1, j + 1, i) < limit) thin.push_back({j, i, 1});
    }
  return thin;
}

int EnableShearRows(const MeshGuard& guard, const std::vector<ThinTriangle>& thin,
                    std::vector<char>& enabled) {
  int added = 0;
  auto enable = [&](int32_t first) {
    if (first < 0) return;
    for (int32_t r : {first, guard.rows.partner[first]})
      if (!enabled[r]) {
        enabled[r] = 1;
        ++added;
      }
  };
  const int qx = guard.qx, qy = guard.qy;
  for (const ThinTriangle& t : thin) {
    if (t.t == 0) {  // top-left, top-right, bottom-right: top edge, right edge
      enable(guard.horizontalShear[t.j * qx + t.i]);
      enable(guard.verticalShear[(t.i + 1) * qy + t.j]);
    } else {  // top-left, bottom-right, bottom-left: left edge, bottom edge
      enable(guard.verticalShear[t.i * qy + t.j]);
      enable(guard.horizontalShear[(t.j + 1) * qx + t.i]);
    }
  }
  return added;
}

std::optional<double> ParseMinScale(const std::string& text) {
  if (text == "none") return 0.0;
  if (text.empty() || text.size() > 32) return std::nullopt;
  // Plain decimal notation only (strtod would also take spaces, hex, "inf").
  if (text.find_first_not_of("0123456789.eE+-") != std::string::npos ||
      !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.'))
    return std::nullopt;
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(begin, &end);
  if (errno != 0 || end != begin + text.size() || !std::isfinite(v) || !(v > 0) || !(v < 1))
    return std::nullopt;
  return v;
}

double MinScaleFromEnvironment() {
  return SettingFromEnvironment(kEnvMinScale, kDefaultMinScale, ParseMinScale,
                                "expected a number between 0 and 1, or none");
}

}  // namespace quadrix
