// The built-in back end. The free coordinates' normal matrix Q = Ar'·Ar is
// factored once; the unguarded minimiser for the unit sizes (1, 0) and
// (0, 1) is solved right away, so that any later size costs two vector
// updates.
//
// Guard rows held as equalities (the active set N·x = h) come in one of two
// ways, both exact:
// - Through a Schur complement on the unchanged factor Q = P'·L·D·L'·P:
//   with W = L⁻¹·P·N' (sparse: each row's column lies on the paths to the
//   root of the elimination tree), K = N·Q⁻¹·N' = W'·D⁻¹·W, λ = K⁻¹·(h −
//   N·x0) and x = x0 + Q⁻¹·N'·λ. A row entering costs a sparse forward solve
//   and a row of K's Cholesky factor, a row leaving a rank-one update of it,
//   and a set one backward solve. This is the way of a drag.
// - As a stiff penalty, F = Q + ρ·N'·N, by updating a second factor
//   (CHOLMOD's update/downdate, rank one per row) or factoring it afresh.
//   The penalty alone would leave the rows off by about 1/ρ; the exact
//   minimiser comes from conjugate gradients on the multipliers, M·λ =
//   N·F⁻¹·N'·λ, whose matrix is close to I/ρ and so takes a handful of
//   steps. This is the way of large sets far from the last one (a jump to a
//   distant size) and of rows that depend on each other.

#include <Eigen/SparseCore>
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "engine/cholmod_backend.hpp"
#include "engine/normal_matrix.hpp"

namespace quadrix {

namespace cholmod_internal {

bool CholmodBackend::Factor(TripletMatrix a, const std::vector<int32_t>& known,
                            const std::vector<double>& knownW, const std::vector<double>& knownH,
                            const GuardRows& guard, std::string& why) {
  n_ = a.n;
  known_ = known;
  knownW_ = knownW;
  knownH_ = knownH;
  local_.assign(static_cast<size_t>(n_), 0);
  for (int32_t c : known) local_[c] = -1;
  free_.clear();
  for (int c = 0; c < n_; ++c)
    if (local_[c] == 0) {
      local_[c] = static_cast<int>(free_.size());
      free_.push_back(c);
    }
  const int nf = static_cast<int>(free_.size());
  {
    std::vector<double> fixed[2] = {std::vector<double>(static_cast<size_t>(n_), 0.0),
                                    std::vector<double>(static_cast<size_t>(n_), 0.0)};
    for (size_t k = 0; k < known.size(); ++k) {
      fixed[0][known[k]] = knownW[k];
      fixed[1][known[k]] = knownH[k];
    }
    NormalEquations normal = MakeNormalEquations(a, local_, nf, fixed, threads_);
    lower_ = std::move(normal.lower);
    rhs_[0] = std::move(normal.rhs[0]);
    rhs_[1] = std::move(normal.rhs[1]);
  }
  // The rows are in the normal equations now: their memory goes before the
  // factor's arrives.
  a = TripletMatrix{};
  BuildRows(guard);
  penalised_ = SparseMatrix();
  double maxDiag = 0.0;
  for (int j = 0; j < nf; ++j) maxDiag = std::max(maxDiag, std::abs(lower_.coeff(j, j)));
  rho_ = kPenalty * (maxDiag > 0 ? maxDiag : 1.0);

  base_ = std::make_shared<CholmodFactor>();
  penalty_.reset();
  current_.clear();
  updowns_ = 0;
  schur_.clear();
  schurAt_.assign(rows_.size(), -1);
  if (nf == 0) {
    why = "no free coordinates";
    return false;
  }
  // A coordinate no row holds leaves an empty column: no factor to try.
  for (int j = 0; j < nf; ++j) {
    const int p = lower_.outerIndexPtr()[j];
    if (p == lower_.outerIndexPtr()[j + 1] || lower_.innerIndexPtr()[p] != j ||
        !(lower_.valuePtr()[p] > 0.0)) {
      offered_.reset();
      why = "chol: input matrix must be positive definite";
      return false;
    }
  }
  if (offered_)
    base_->AnalyzeLike(*offered_, lower_);
  else
    base_->Analyze(lower_);
  offered_.reset();
  if (!base_->Factorize(lower_)) {
    why = "chol: input matrix must be positive definite";
    return false;
  }
  // The unguarded minimiser at the unit sizes.
  Eigen::MatrixXd B(nf, 2);
  B.col(0) = rhs_[0];
  B.col(1) = rhs_[1];
  base_->Solve(B.data(), 2);
  x0free_[0] = B.col(0);
  x0free_[1] = B.col(1);
  Expand(B.col(0), knownW_, x0_[0]);
  Expand(B.col(1), knownH_, x0_[1]);
  inversePivot_.resize(nf);
  for (int k = 0; k < nf; ++k) inversePivot_[k] = 1.0 / base_->Pivot(k);
  scratch_.assign(static_cast<size_t>(nf), 0.0);
  scratch2_.assign(static_cast<size_t>(nf), 0.0);
  mark_.assign(static_cast<size_t>(nf), 0);
  mark2_.assign(static_cast<size_t>(nf), 0);
  return true;
}

void CholmodBackend::Solve(double W, double H, std::vector<double>& x) {
  x.resize(static_cast<size_t>(n_));
  for (int i = 0; i < n_; ++i) x[i] = W * x0_[0][i] + H * x0_[1][i];
}

void CholmodBackend::SolveActive(const std::vector<int32_t>& active, const GuardRows& guard,
                                 const ActiveBasis* warm, ActiveBasis& out) {
  const int k = static_cast<int>(active.size());
  if (k == 0) {
    out.xw = x0_[0];
    out.xh = x0_[1];
    out.lw.clear();
    out.lh.clear();
    return;
  }
  if (active.size() <= schurLimit_ &&
      SchurTo(active, active.size() <= kSchurBuildRows || dragSteps_ >= kDragSteps)) {
    SchurSolve(active, guard, out);
    return;
  }
  MoveTo(active);
  for (int c = 0; c < 2; ++c) {
    Column& col = columns_[c];
    col.h.resize(k);
    for (int i = 0; i < k; ++i)
      col.h[i] = (c == 0 ? guard.boundW[active[i]] - rows_[active[i]].knownW
                         : guard.boundH[active[i]] - rows_[active[i]].knownH);
    col.lambda = Vec::Zero(k);
    if (warm && warm->lw.size() == static_cast<size_t>(k))
      col.lambda = Eigen::Map<const Vec>((c == 0 ? warm->lw : warm->lh).data(), k);
  }
  // The two unit sizes are independent: one thread each.
  RunColumns([&](int c) { SolveColumn(active, c); });
  Expand(columns_[0].x, knownW_, out.xw);
  Expand(columns_[1].x, knownH_, out.xh);
  out.lw.assign(columns_[0].lambda.data(), columns_[0].lambda.data() + k);
  out.lh.assign(columns_[1].lambda.data(), columns_[1].lambda.data() + k);
}

void CholmodBackend::BuildRows(const GuardRows& guard) {
  rows_.assign(static_cast<size_t>(guard.Rows()), Row{});
  std::vector<int> knownAt(static_cast<size_t>(n_), -1);
  for (size_t k = 0; k < known_.size(); ++k) knownAt[known_[k]] = static_cast<int>(k);
  for (int r = 0; r < guard.Rows(); ++r) {
    Row& row = rows_[r];
    for (int e = guard.start[r]; e < guard.start[r + 1]; ++e) {
      const int c = guard.col[e];
      if (knownAt[c] >= 0) {
        row.knownW += guard.coef[e] * knownW_[knownAt[c]];
        row.knownH += guard.coef[e] * knownH_[knownAt[c]];
      } else {
        row.cols.push_back(local_[c]);
        row.coefs.push_back(guard.coef[e]);
      }
    }
  }
}

// Finds every row's outer product in the lower triangle of `m` (its
// `fits` says whether all of it is there); false when some row misses.
bool CholmodBackend::CoverRowPatterns(const SparseMatrix& m) {
  bool all = true;
  for (Row& row : rows_) {
    row.positions.clear();
    row.fits = true;
    for (size_t p = 0; p < row.cols.size() && row.fits; ++p)
      for (size_t q = 0; q < row.cols.size(); ++q) {
        const int i = row.cols[p], j = row.cols[q];
        if (i < j) continue;
        const int* begin = m.innerIndexPtr() + m.outerIndexPtr()[j];
        const int* end = m.innerIndexPtr() + m.outerIndexPtr()[j + 1];
        const int* at = std::lower_bound(begin, end, i);
        if (at == end || *at != i) {
          row.fits = false;
          break;
        }
        row.positions.emplace_back(static_cast<int>(at - m.innerIndexPtr()),
                                   row.coefs[p] * row.coefs[q]);
      }
    all = all && row.fits;
  }
  return all;
}

bool CholmodBackend::Fit(const std::vector<int32_t>& rows) const {
  return std::all_of(rows.begin(), rows.end(), [&](int32_t r) { return rows_[r].fits; });
}

// The penalised factor's pattern and first factor (of Q alone). Q's own
// pattern serves as long as the rows to hold lie in it (rows that couple
// an x with a y coordinate, such as the shear rows, as a rule do not);
// otherwise it is widened with zeros for every row, so that updates never
// change the factor's shape.
void CholmodBackend::PreparePenalty(const std::vector<int32_t>& target) {
  penalised_ = lower_;
  if (!CoverRowPatterns(penalised_) && !Fit(target)) {
    std::vector<Eigen::Triplet<double, int>> t;
    for (int j = 0; j < lower_.outerSize(); ++j)
      for (SparseMatrix::InnerIterator it(lower_, j); it; ++it)
        t.emplace_back(it.row(), it.col(), it.value());
    for (const Row& row : rows_)
      for (int i : row.cols)
        for (int j : row.cols)
          if (i >= j) t.emplace_back(i, j, 0.0);
    const int nf = static_cast<int>(free_.size());
    penalised_ = SparseMatrix(nf, nf);
    penalised_.setFromTriplets(t.begin(), t.end());
    penalised_.makeCompressed();
    if (!CoverRowPatterns(penalised_))
      throw std::logic_error("guard rows outside the factor's pattern");
    penaltyBase_ = penalised_;
    penalty_ = std::make_unique<CholmodFactor>();
    penalty_->Analyze(penalised_);
    if (!penalty_->Factorize(penalised_))
      throw std::runtime_error("the energy could not be factored again");
  } else {
    penaltyBase_ = lower_;
    penalty_ = base_->Clone();
  }
  current_.clear();
  updowns_ = 0;
}

void CholmodBackend::Expand(const Vec& freePart, const std::vector<double>& knownPart,
                            std::vector<double>& x) const {
  x.assign(static_cast<size_t>(n_), 0.0);
  for (size_t k = 0; k < free_.size(); ++k) x[free_[k]] = freePart[static_cast<Eigen::Index>(k)];
  for (size_t k = 0; k < known_.size(); ++k) x[known_[k]] = knownPart[k];
}

// out = N·x over the active rows, out = N'·l over the free coordinates.
void CholmodBackend::N(const std::vector<int32_t>& active, const Vec& x, Vec& out) const {
  out.resize(static_cast<Eigen::Index>(active.size()));
  for (size_t i = 0; i < active.size(); ++i) {
    const Row& row = rows_[active[i]];
    double v = 0;
    for (size_t e = 0; e < row.cols.size(); ++e) v += row.coefs[e] * x[row.cols[e]];
    out[static_cast<Eigen::Index>(i)] = v;
  }
}

void CholmodBackend::NT(const std::vector<int32_t>& active, const Vec& l, Vec& out) const {
  out.setZero(static_cast<Eigen::Index>(free_.size()));
  for (size_t i = 0; i < active.size(); ++i) {
    const Row& row = rows_[active[i]];
    for (size_t e = 0; e < row.cols.size(); ++e)
      out[row.cols[e]] += row.coefs[e] * l[static_cast<Eigen::Index>(i)];
  }
}

// Column c: Q·x − N'·λ = g, N·x = h, λ from its value on entry, refined
// against Q itself when the penalised solves leave too much behind.
void CholmodBackend::SolveColumn(const std::vector<int32_t>& active, int c) {
  Column& w = columns_[c];
  Penalised(active, rhs_[c], w.h, w.lambda, w.x, c);
  double lastG = std::numeric_limits<double>::infinity();
  for (int round = 0; round < kMaxRefinements; ++round) {
    w.s1 = lower_.selfadjointView<Eigen::Lower>() * w.x;
    const double scale = rhs_[c].lpNorm<Eigen::Infinity>() + w.s1.lpNorm<Eigen::Infinity>();
    NT(active, w.lambda, w.dx);
    w.s1 = rhs_[c] - w.s1 + w.dx;
    N(active, w.x, w.r2);
    w.r2 = w.h - w.r2;
    const double g = w.s1.lpNorm<Eigen::Infinity>();
    if ((g <= kStationarity * scale && w.r2.lpNorm<Eigen::Infinity>() <= 10 * kRowTolerance) ||
        g > 0.25 * lastG)
      break;
    lastG = g;
    w.dl.setZero(static_cast<Eigen::Index>(active.size()));
    Vec s1 = w.s1, r2 = w.r2;
    Penalised(active, s1, r2, w.dl, w.dx, c);
    w.x += w.dx;
    w.lambda += w.dl;
  }
}

// x(λ) = F⁻¹(g + N'(λ + ρh)), then conjugate gradients on
// M·λ = h − N·F⁻¹(g + ρN'h), M = N·F⁻¹·N', updating x along.
void CholmodBackend::Penalised(const std::vector<int32_t>& active, const Vec& g, const Vec& h,
                               Vec& lambda, Vec& x, int slot) {
  Column& w = columns_[slot];
  NT(active, lambda + rho_ * h, x);
  x += g;
  penalty_->Solve(x.data(), 1, slot);
  N(active, x, w.r);
  w.r = h - w.r;
  w.d = w.r;
  double rr = w.r.squaredNorm();
  const double tol =
      kRowTolerance * (1.0 + h.lpNorm<Eigen::Infinity>() + x.lpNorm<Eigen::Infinity>());
  for (int step = 0; step < kMaxCgSteps && w.r.lpNorm<Eigen::Infinity>() > tol; ++step) {
    NT(active, w.d, w.z);
    penalty_->Solve(w.z.data(), 1, slot);
    N(active, w.z, w.md);
    const double dmd = w.d.dot(w.md);
    if (!(dmd > 0)) break;  // dependent rows: nothing more to gain
    const double alpha = rr / dmd;
    lambda += alpha * w.d;
    x += alpha * w.z;
    w.r -= alpha * w.md;
    const double rrNew = w.r.squaredNorm();
    w.d = w.r + (rrNew / rr) * w.d;
    rr = rrNew;
  }
}

// Brings the factor to Q + ρ·Σ n·n' over the rows of `target`.
void CholmodBackend::MoveTo(const std::vector<int32_t>& target) {
  std::vector<int32_t> up, down;
  std::set_difference(target.begin(), target.end(), current_.begin(), current_.end(),
                      std::back_inserter(up));
  std::set_difference(current_.begin(), current_.end(), target.begin(), target.end(),
                      std::back_inserter(down));
  if (!penalty_ || !Fit(target)) {
    PreparePenalty(target);
    up = target;
    down.clear();
  }
  if (up.empty() && down.empty() && penalty_->Factored()) return;
  const bool refactor = !penalty_->Factored() || up.size() + down.size() > kRefactorRows ||
                        updowns_ + up.size() + down.size() > kMaxUpdowns;
  if (!refactor) {
    const double s = std::sqrt(rho_);
    auto columns = [&](const std::vector<int32_t>& rows) {
      std::vector<CholmodFactor::Column> cols;
      for (int32_t r : rows) {
        if (rows_[r].cols.empty()) continue;
        CholmodFactor::Column c;
        c.rows = rows_[r].cols;
        for (double v : rows_[r].coefs) c.values.push_back(s * v);
        cols.push_back(std::move(c));
      }
      return cols;
    };
    // Updates first: on the way the matrix never gets closer to singular.
    if (penalty_->UpdateDown(true, columns(up)) && penalty_->UpdateDown(false, columns(down))) {
      updowns_ += up.size() + down.size();
      current_ = target;
      return;
    }
  }
  std::copy(penaltyBase_.valuePtr(), penaltyBase_.valuePtr() + penaltyBase_.nonZeros(),
            penalised_.valuePtr());
  for (int32_t r : target)
    for (const auto& [at, product] : rows_[r].positions)
      penalised_.valuePtr()[at] += rho_ * product;
  if (!penalty_->Factorize(penalised_))
    throw std::runtime_error("the penalised energy could not be factored");
  updowns_ = 0;
  current_ = target;
}

}  // namespace cholmod_internal

std::unique_ptr<EnergyBackend> MakeCholmodBackend(bool threads) {
  return std::make_unique<cholmod_internal::CholmodBackend>(threads);
}

}  // namespace quadrix
