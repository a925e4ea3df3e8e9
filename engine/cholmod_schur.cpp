// The built-in back end's Schur complement way: guard rows held exactly on
// the unchanged factor of Q, for drags and for sets of a few thousand rows.

#include <Eigen/Cholesky>
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "engine/cholmod_backend.hpp"

namespace quadrix::cholmod_internal {

void CholmodBackend::FindTail(SchurRow& r) const {
  const int nf = static_cast<int>(free_.size());
  size_t t = r.index.size();
  while (t > 0 && r.index[t - 1] == nf - static_cast<int>(r.index.size() - t) - 1) --t;
  r.tail = t;
}

// Adds `rows` at the end of K's factor, in order; false at the first one
// that depends on the rows held (it and the rest are then not added). The
// new rows' entries of K come from one sweep over the held rows' w (shared
// between the two threads on large meshes), each held entry read once for
// all new rows.
bool CholmodBackend::SchurAppend(const std::vector<int32_t>& rows) {
  const size_t a = rows.size();
  if (a == 0) return true;
  std::vector<SchurRow> fresh(a);
  RunColumns([&](int c) {
    std::vector<double>& scratch = c == 0 ? scratch_ : scratch2_;
    std::vector<char>& mark = c == 0 ? mark_ : mark2_;
    for (size_t q = static_cast<size_t>(c); q < a; q += 2) {
      fresh[q].row = rows[q];
      base_->ForwardSparse(rows_[rows[q]].cols, rows_[rows[q]].coefs, fresh[q].index, fresh[q].w,
                           scratch, mark);
      FindTail(fresh[q]);
    }
  });
  // D⁻¹·w of the new rows, side by side: spreadA_[i·a + q].
  const int nf = static_cast<int>(free_.size());
  spreadA_.assign(static_cast<size_t>(nf) * a, 0.0);
  for (size_t q = 0; q < a; ++q)
    for (size_t t = 0; t < fresh[q].index.size(); ++t)
      spreadA_[fresh[q].index[t] * a + q] = fresh[q].w[t] * inversePivot_[fresh[q].index[t]];
  const Eigen::Index k = static_cast<Eigen::Index>(schur_.size());
  Eigen::MatrixXd C(k + static_cast<Eigen::Index>(a), static_cast<Eigen::Index>(a));
  const Eigen::Index ea = static_cast<Eigen::Index>(a);
  auto sweep = [&](const SchurRow& h, Eigen::Index at) {
    double acc[8];
    for (size_t q0 = 0; q0 < a; q0 += 8) {
      const size_t n = std::min<size_t>(8, a - q0);
      std::fill(acc, acc + n, 0.0);
      for (size_t t = 0; t < h.tail; ++t) {
        const double* sp = &spreadA_[h.index[t] * a + q0];
        for (size_t q = 0; q < n; ++q) acc[q] += h.w[t] * sp[q];
      }
      for (size_t q = 0; q < n; ++q) C(at, static_cast<Eigen::Index>(q0 + q)) = acc[q];
    }
    // The gap-free part: one product with the new rows' spread columns.
    const Eigen::Index len = static_cast<Eigen::Index>(h.index.size() - h.tail);
    if (len > 0) {
      const Eigen::Map<const Eigen::MatrixXd> block(
          &spreadA_[static_cast<size_t>(h.index[h.tail]) * a], ea, len);
      C.row(at).noalias() += (block * Eigen::Map<const Vec>(h.w.data() + h.tail, len)).transpose();
    }
  };
  RunColumns([&](int c) {
    for (Eigen::Index s = c; s < k; s += 2) sweep(schur_[s], s);
  });
  for (size_t q = 0; q < a; ++q) sweep(fresh[q], k + static_cast<Eigen::Index>(q));
  for (size_t q = 0; q < a; ++q) {
    const SchurRow& row = fresh[q];
    if (row.index.empty()) return false;
    const Eigen::Index at = static_cast<Eigen::Index>(schur_.size());
    Vec c = C.col(static_cast<Eigen::Index>(q)).head(at);
    const double rr = C(at, static_cast<Eigen::Index>(q));
    if (at > 0) kFactor_.topLeftCorner(at, at).triangularView<Eigen::Lower>().solveInPlace(c);
    const double d = rr - c.squaredNorm();
    if (!(d > 1e-10 * rr)) return false;
    if (kFactor_.rows() <= at) {
      const Eigen::Index grown = std::max<Eigen::Index>(64, 2 * kFactor_.rows());
      Eigen::MatrixXd bigger = Eigen::MatrixXd::Zero(grown, grown);
      bigger.topLeftCorner(at, at) = kFactor_.topLeftCorner(at, at);
      kFactor_.swap(bigger);
    }
    kFactor_.row(at).head(at) = c.transpose();
    kFactor_(at, at) = std::sqrt(d);
    schurAt_[row.row] = static_cast<int>(at);
    schur_.push_back(std::move(fresh[q]));
  }
  return true;
}

// Drops the held row at position i: K's factor loses row and column i and
// its trailing block takes the dropped column back as a rank-one update.
void CholmodBackend::SchurRemove(size_t i) {
  const Eigen::Index k = static_cast<Eigen::Index>(schur_.size());
  const Eigen::Index at = static_cast<Eigen::Index>(i), m = k - at - 1;
  Vec v = kFactor_.col(at).segment(at + 1, m);
  // Close the gap: rows and columns after i move up and left by one.
  for (Eigen::Index j = 0; j < at; ++j)
    for (Eigen::Index row = at; row < k - 1; ++row) kFactor_(row, j) = kFactor_(row + 1, j);
  for (Eigen::Index j = at; j < k - 1; ++j)
    for (Eigen::Index row = j; row < k - 1; ++row) kFactor_(row, j) = kFactor_(row + 1, j + 1);
  for (Eigen::Index j = 0; j < m; ++j) {
    const Eigen::Index jj = at + j;
    const double l = kFactor_(jj, jj), r = std::hypot(l, v[j]);
    const double cs = r / l, sn = v[j] / l;
    kFactor_(jj, jj) = r;
    for (Eigen::Index t = j + 1; t < m; ++t) {
      double& e = kFactor_(at + t, jj);
      e = (e + sn * v[t]) / cs;
      v[t] = cs * v[t] - sn * e;
    }
  }
  schurAt_[schur_[i].row] = -1;
  schur_.erase(schur_.begin() + static_cast<long>(i));
  for (size_t s = i; s < schur_.size(); ++s) schurAt_[schur_[s].row] = static_cast<int>(s);
}

// Holds exactly the rows of `target`; false when they are not independent.
bool CholmodBackend::SchurTo(const std::vector<int32_t>& target, bool mayBuild) {
  std::vector<size_t> drop;
  for (size_t i = 0; i < schur_.size(); ++i)
    if (!std::binary_search(target.begin(), target.end(), schur_[i].row)) drop.push_back(i);
  const size_t kept = schur_.size() - drop.size();
  const size_t added = target.size() - kept;
  if (added > kSchurAppends && added > kept / 4) return mayBuild && SchurBuild(target);
  if (4 * drop.size() > 3 * schur_.size()) {
    for (const SchurRow& r : schur_) schurAt_[r.row] = -1;
    schur_.clear();
  } else {
    for (auto it = drop.rbegin(); it != drop.rend(); ++it) SchurRemove(*it);
  }
  std::vector<int32_t> entering;
  for (int32_t r : target)
    if (schurAt_[r] < 0) entering.push_back(r);
  return SchurAppend(entering);
}

// K for all of `target` at once: the columns of L near the root of the
// elimination tree lie on nearly every row's path, so that part of W is
// dense and goes through a matrix product; the rest is sparse.
bool CholmodBackend::SchurBuild(const std::vector<int32_t>& target) {
  std::vector<SchurRow> rows;
  rows.reserve(target.size());
  for (int32_t r : target) {
    if (schurAt_[r] >= 0) {
      rows.push_back(std::move(schur_[schurAt_[r]]));
      continue;
    }
    SchurRow row{r, {}, {}};
    base_->ForwardSparse(rows_[r].cols, rows_[r].coefs, row.index, row.w, scratch_, mark_);
    FindTail(row);
    if (row.index.empty()) return SchurFail();
    rows.push_back(std::move(row));
  }
  for (const SchurRow& r : schur_) schurAt_[r.row] = -1;
  schur_ = std::move(rows);
  for (size_t s = 0; s < schur_.size(); ++s) schurAt_[schur_[s].row] = static_cast<int>(s);
  const Eigen::Index k = static_cast<Eigen::Index>(schur_.size());
  const int nf = static_cast<int>(free_.size());
  std::vector<int> count(static_cast<size_t>(nf), 0);
  for (const SchurRow& r : schur_)
    for (int i : r.index) ++count[i];
  const int denseFrom = std::max<int>(16, static_cast<int>(k / 16));
  std::vector<int> denseAt(static_cast<size_t>(nf), -1);
  int dense = 0;
  for (int i = 0; i < nf; ++i)
    if (count[i] >= denseFrom) denseAt[i] = dense++;
  // Dense part: K = Wd'·Wd with Wd = D^(-1/2)·W on those columns.
  Eigen::MatrixXd wd = Eigen::MatrixXd::Zero(dense, k);
  std::vector<std::vector<std::pair<int, double>>> sparse(static_cast<size_t>(nf));
  for (Eigen::Index s = 0; s < k; ++s) {
    const SchurRow& r = schur_[s];
    for (size_t t = 0; t < r.index.size(); ++t) {
      const int i = r.index[t];
      if (denseAt[i] >= 0)
        wd(denseAt[i], s) = r.w[t] * std::sqrt(inversePivot_[i]);
      else
        sparse[i].emplace_back(static_cast<int>(s), r.w[t]);
    }
  }
  Eigen::MatrixXd K = Eigen::MatrixXd::Zero(k, k);
  K.selfadjointView<Eigen::Lower>().rankUpdate(wd.transpose());
  for (int i = 0; i < nf; ++i)
    for (size_t a = 0; a < sparse[i].size(); ++a)
      for (size_t b = 0; b <= a; ++b) {
        const auto [sa, va] = sparse[i][a];
        const auto [sb, vb] = sparse[i][b];
        K(std::max(sa, sb), std::min(sa, sb)) += va * vb * inversePivot_[i];
      }
  Eigen::LLT<Eigen::Ref<Eigen::MatrixXd>, Eigen::Lower> llt(K);
  if (llt.info() != Eigen::Success) return SchurFail();
  // Dependent rows show as a pivot near zero.
  double largest = 0, smallest = 1e300;
  for (Eigen::Index j = 0; j < k; ++j) {
    largest = std::max(largest, K(j, j));
    smallest = std::min(smallest, K(j, j));
  }
  if (!(smallest * smallest > 1e-10 * largest * largest)) return SchurFail();
  if (kFactor_.rows() < k)
    kFactor_.resize(std::max<Eigen::Index>(64, 2 * k), std::max<Eigen::Index>(64, 2 * k));
  kFactor_.topLeftCorner(k, k) = K.triangularView<Eigen::Lower>();
  return true;
}

bool CholmodBackend::SchurFail() {
  for (const SchurRow& r : schur_) schurAt_[r.row] = -1;
  schur_.clear();
  return false;
}

// With the held rows (all of `active`): λ = K⁻¹·(h − N·x0), x = x0 +
// Q⁻¹·N'·λ for both unit sizes, and a correction when the rows are not met
// closely enough. The held rows' w are read once for both sizes, half of
// them on each thread; the backward solves take one thread each.
void CholmodBackend::SchurSolve(const std::vector<int32_t>& active, const GuardRows& guard,
                                ActiveBasis& out) {
  const Eigen::Index k = static_cast<Eigen::Index>(schur_.size());
  const int nf = static_cast<int>(free_.size());
  const auto L = kFactor_.topLeftCorner(k, k).triangularView<Eigen::Lower>();
  Vec* lambda = schurLambda_;
  bool open[2] = {true, true};
  for (int c = 0; c < 2; ++c) {
    lambda[c].setZero(k);
    schurX_[c] = x0free_[c];
    columns_[c].r.resize(k);
  }
  for (int round = 0; round < 3; ++round) {
    for (int c = 0; c < 2; ++c) {
      if (!open[c]) continue;
      const std::vector<double>& bound = c == 0 ? guard.boundW : guard.boundH;
      const Vec& x = schurX_[c];
      Vec& rhs = columns_[c].r;
      double worst = 0, scale = 1.0;
      for (Eigen::Index i = 0; i < k; ++i) {
        const Row& row = rows_[schur_[i].row];
        const double h = bound[schur_[i].row] - (c == 0 ? row.knownW : row.knownH);
        double v = 0;
        for (size_t e = 0; e < row.cols.size(); ++e) v += row.coefs[e] * x[row.cols[e]];
        rhs[i] = h - v;
        worst = std::max(worst, std::abs(h - v));
        scale = std::max(scale, std::abs(v));
      }
      if (round > 0 && worst <= kRowTolerance * scale) {
        open[c] = false;
        continue;
      }
      L.solveInPlace(rhs);
      L.transpose().solveInPlace(rhs);
      lambda[c] += rhs;
    }
    if (!open[0] && !open[1]) break;
    for (int c = 0; c < 2; ++c)
      if (!open[c]) columns_[c].r.setZero();
    // Q⁻¹·N'·δλ = P'·L'⁻¹·D⁻¹·Σ δλ_s·w_s.
    RunColumns([&](int half) {
      Vec& y0 = half == 0 ? columns_[0].z : columns_[0].dx;
      Vec& y1 = half == 0 ? columns_[1].z : columns_[1].dx;
      y0.setZero(nf);
      y1.setZero(nf);
      const Vec& l0 = columns_[0].r;
      const Vec& l1 = columns_[1].r;
      for (Eigen::Index i = half * k / 2; i < (half + 1) * k / 2; ++i) {
        const SchurRow& r = schur_[i];
        const double a0 = l0[i], a1 = l1[i];
        for (size_t t = 0; t < r.tail; ++t) {
          y0[r.index[t]] += a0 * r.w[t];
          y1[r.index[t]] += a1 * r.w[t];
        }
        const Eigen::Index len = static_cast<Eigen::Index>(r.index.size() - r.tail);
        if (len > 0) {
          const Eigen::Map<const Vec> w(r.w.data() + r.tail, len);
          y0.segment(r.index[r.tail], len) += a0 * w;
          y1.segment(r.index[r.tail], len) += a1 * w;
        }
      }
    });
    RunColumns([&](int c) {
      if (!open[c]) return;
      Vec& y = columns_[c].z;
      y += columns_[c].dx;
      y.array() *= Eigen::Map<const Vec>(inversePivot_.data(), nf).array();
      base_->BackwardSolve(y.data(), 1, c);
      schurX_[c] += y;
    });
  }
  Expand(schurX_[0], knownW_, out.xw);
  Expand(schurX_[1], knownH_, out.xh);
  out.lw.resize(active.size());
  out.lh.resize(active.size());
  for (size_t j = 0; j < active.size(); ++j) {
    const Eigen::Index at = schurAt_[active[j]];
    if (at >= k) throw std::logic_error("active row not held");
    out.lw[j] = lambda[0][at];
    out.lh[j] = lambda[1][at];
  }
}

}  // namespace quadrix::cholmod_internal
