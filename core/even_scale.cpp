// Rows that keep the side which keeps its length free of zoom, and spread
// the change of the other side evenly where the importance does not say
// otherwise.

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <utility>
#include <vector>

#include "core/result_terms.hpp"

namespace quadrix {

void AppendEvenScaleRows(ResizeHost& host, TripletMatrix& a, EvenAxis axis) {
  const int C = host.quadCountX();
  const int R = host.quadCountY();
  const cv::Size rest = host.RestSize();
  const auto point = [C](int j, int i) { return j * (C + 1) + i; };
  const auto restAt = [&](int p, int k) {
    return host.restCoords()[2 * static_cast<size_t>(p) + k];
  };
  // The right border's x is the width, the bottom border's y the height: a
  // row that names them asks for a share of the target size.
  const int widthCoord = 2 * point(0, C);
  const int heightCoord = 2 * point(R, 0) + 1;

  cv::Mat importance;
  cv::resize(host.imgSal(), importance, cv::Size(C, R), 0, 0, cv::INTER_AREA);
  const auto quadImportance = [&](int j, int i) {
    return static_cast<double>(
        importance.at<float>(std::clamp(j, 0, R - 1), std::clamp(i, 0, C - 1)));
  };

  // Weights beside the quads' (importance 0.2 to 1), chosen by pictures: the
  // unchanged side's scale held firmly, upright grid lines and alike
  // neighbours asked more gently.
  constexpr double kKeep = 4.0;
  constexpr double kUpright = 0.3;
  constexpr double kAlike = 1.0;
  constexpr double kSimilar = 0.1;        // importance difference that still counts as alike
  constexpr double kComputedFloor = 0.2;  // the least importance of a computed map

  // Along `k` (0: x, 1: y): the edge from vertex p to vertex q, of rest
  // length restLen along that axis, should be its share of the target side.
  RowBuilder row;
  auto lengthRow = [&](int p, int q, int k, double factor) {
    const double share = (restAt(q, k) - restAt(p, k)) / (k == 0 ? rest.width : rest.height);
    row.Add(2 * q + k, 1.0);
    row.Add(2 * p + k, -1.0);
    row.Add(k == 0 ? widthCoord : heightCoord, -share);
    row.AppendTo(a, factor);
  };
  auto directionRow = [&](int p, int q, int k, double factor) {
    row.Add(2 * q + k, 1.0);
    row.Add(2 * p + k, -1.0);
    row.AppendTo(a, factor);
  };

  // A changed width: every vertical edge keeps the height's scale and stays
  // upright; a changed height: every horizontal edge the width's.
  const bool widthChanges = axis == EvenAxis::kWidthChanges;
  if (widthChanges)
    for (int j = 0; j < R; ++j)
      for (int i = 0; i <= C; ++i) {
        const int p = point(j, i), q = point(j + 1, i);
        lengthRow(p, q, 1, kKeep);
        directionRow(p, q, 0, kUpright);
      }
  if (!widthChanges)
    for (int j = 0; j <= R; ++j)
      for (int i = 0; i < C; ++i) {
        const int p = point(j, i), q = point(j, i + 1);
        lengthRow(p, q, 0, kKeep);
        directionRow(p, q, 1, kUpright);
      }
  // Neighbouring quads of about the same importance scale alike: the second
  // difference of the vertices along each grid line, weighted by how close
  // the two quads' importance is. Where the importance steps, the stretch
  // may step too.
  // Below the floor of a computed map (transparent parts, or what was
  // painted to take the stretch) evenness matters less and less: an empty
  // background scaled unevenly is still empty, and holding it even would
  // widen what stands in front of it.
  const auto alike = [&](double a, double b) {
    const double d = (a - b) / kSimilar;
    return kAlike * std::exp(-d * d) * std::min(1.0, std::max(a, b) / kComputedFloor);
  };
  for (int j = 0; j <= R; ++j)
    for (int i = 0; i + 2 <= C; ++i) {
      const double left = 0.5 * (quadImportance(j - 1, i) + quadImportance(j, i));
      const double right = 0.5 * (quadImportance(j - 1, i + 1) + quadImportance(j, i + 1));
      row.Add(2 * point(j, i), 1.0);
      row.Add(2 * point(j, i + 1), -2.0);
      row.Add(2 * point(j, i + 2), 1.0);
      row.AppendTo(a, alike(left, right));
    }
  for (int i = 0; i <= C; ++i)
    for (int j = 0; j + 2 <= R; ++j) {
      const double top = 0.5 * (quadImportance(j, i - 1) + quadImportance(j, i));
      const double bottom = 0.5 * (quadImportance(j + 1, i - 1) + quadImportance(j + 1, i));
      row.Add(2 * point(j, i) + 1, 1.0);
      row.Add(2 * point(j + 1, i) + 1, -2.0);
      row.Add(2 * point(j + 2, i) + 1, 1.0);
      row.AppendTo(a, alike(top, bottom));
    }
}

void RowBuilder::AppendTo(TripletMatrix& a, double factor) {
  std::sort(terms_.begin(), terms_.end());
  bool any = false;
  for (size_t t = 0; factor != 0.0 && t < terms_.size();) {
    const int col = terms_[t].first;
    double v = 0.0;
    for (; t < terms_.size() && terms_[t].first == col; ++t) v += terms_[t].second;
    if (std::abs(v) < 1e-14) continue;
    a.entries.push_back({a.m, col, v * factor});
    any = true;
  }
  if (any) ++a.m;
  terms_.clear();
}

void AppendEvenScaleRows(ResizeHost& host, TripletMatrix& a) {
  AppendEvenScaleRows(host, a, EvenAxis::kWidthChanges);
}

}  // namespace quadrix
