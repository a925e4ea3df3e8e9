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

#include <Eigen/Cholesky>
#include <Eigen/SparseCore>
#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <stdexcept>
#include <thread>

#include "engine/cholmod_factor.hpp"
#include "engine/energy_backend.hpp"

namespace quadrix {

SparseMatrix CompressTriplets(const TripletMatrix& a) {
  // A stable counting sort by column keeps each column in creation order,
  // which for row-by-row assembly is already ascending and duplicate-free;
  // only otherwise is the general (sorting) construction needed.
  const size_t c = a.entries.size();
  const int n = a.n;
  std::vector<int> start(static_cast<size_t>(n) + 1, 0);
  for (const Triplet& t : a.entries) {
    if (t.row < 0 || t.row >= a.m || t.col < 0 || t.col >= n)
      throw std::invalid_argument("energy matrix entry out of range");
    ++start[t.col + 1];
  }
  for (int j = 0; j < n; ++j) start[j + 1] += start[j];
  std::vector<int> inner(c);
  std::vector<double> values(c);
  std::vector<int> next(start.begin(), start.end() - 1);
  for (const Triplet& t : a.entries) {
    const int at = next[t.col]++;
    inner[at] = t.row;
    values[at] = t.value;
  }
  bool ascending = true;
  for (int j = 0; j < n && ascending; ++j)
    for (int p = start[j] + 1; p < start[j + 1]; ++p)
      if (inner[p] <= inner[p - 1]) {
        ascending = false;
        break;
      }
  SparseMatrix out(a.m, n);
  if (ascending) {
    out.resizeNonZeros(static_cast<Eigen::Index>(c));
    std::copy(start.begin(), start.end(), out.outerIndexPtr());
    std::copy(inner.begin(), inner.end(), out.innerIndexPtr());
    std::copy(values.begin(), values.end(), out.valuePtr());
    return out;
  }
  std::vector<Eigen::Triplet<double, int>> t;
  t.reserve(c);
  for (const Triplet& e : a.entries) t.emplace_back(e.row, e.col, e.value);
  out.setFromTriplets(t.begin(), t.end());
  return out;
}

namespace {

using Vec = Eigen::VectorXd;

// Penalty weight, relative to the largest diagonal entry of Q: the larger,
// the fewer conjugate gradient steps, but the less accurate the solves with
// F; at 1e3 a step leaves about a thousandth of the error and the penalised
// solves stay within about 1e-10 of the unit size (measured on the sample
// photos), so no refinement round is needed as a rule.
constexpr double kPenalty = 1e3;
// Conjugate gradients stop when the rows are met to this share of the unit
// size (about 3e-9 px at 32768 px).
constexpr double kRowTolerance = 1e-13;
// A refinement round against Q itself runs when the stationarity residual
// exceeds this share of its scale.
constexpr double kStationarity = 1e-10;
constexpr int kMaxRefinements = 3;
constexpr int kMaxCgSteps = 200;
// Above this many rows changing at once, factoring F afresh is cheaper than
// updating it row by row; and after this many updates and downdates it is
// factored afresh anyway (rounding drift, and a fresh factor is laid out in
// order, which solves faster).
constexpr size_t kRefactorRows = 400;
constexpr size_t kMaxUpdowns = 4000;
// Below this many free coordinates the two unit sizes are solved one after
// the other rather than on two threads.
constexpr int kThreadedColumns = 4000;
// Up to this many active rows, they are held exactly through a Schur
// complement on the unchanged factor of Q (dense, k x k); beyond, through the
// penalised factor. Building the complement for k rows at once costs about
// k²·(k/3 + the rows near the root of the elimination tree); above
// kSchurBuildRows rows that is more than refactoring the penalised matrix
// and a few solves, so a large set that is far from the complement held goes
// the penalised way, unless the last kDragSteps sizes were each close to the
// one before: a drag, where the build pays off.
constexpr size_t kSchurRows = 2500;
constexpr size_t kSchurBuildRows = 1200;
constexpr int kDragSteps = 3;
// Adding more rows than this at once (and more than a quarter of those kept)
// builds K afresh in one go.
constexpr size_t kSchurAppends = 32;

SparseMatrix Columns(const SparseMatrix& a, const std::vector<int>& cols) {
  SparseMatrix out(a.rows(), static_cast<int>(cols.size()));
  std::vector<int> nnz(cols.size());
  for (size_t k = 0; k < cols.size(); ++k) nnz[k] = static_cast<int>(a.col(cols[k]).nonZeros());
  out.reserve(nnz);
  for (size_t k = 0; k < cols.size(); ++k)
    for (SparseMatrix::InnerIterator it(a, cols[k]); it; ++it)
      out.insert(it.row(), static_cast<int>(k)) = it.value();
  out.makeCompressed();
  return out;
}

class CholmodBackend final : public EnergyBackend {
 public:
  explicit CholmodBackend(bool threads) : threads_(threads) {}

  bool Factor(const TripletMatrix& a, const std::vector<int32_t>& known,
              const std::vector<double>& knownW, const std::vector<double>& knownH,
              const GuardRows& guard, std::string& why) override {
    const SparseMatrix A = CompressTriplets(a);
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
    const SparseMatrix Ar = Columns(A, free_);
    const SparseMatrix Ak = Columns(A, std::vector<int>(known.begin(), known.end()));
    const Eigen::Map<const Vec> vw(knownW.data(), static_cast<Eigen::Index>(knownW.size()));
    const Eigen::Map<const Vec> vh(knownH.data(), static_cast<Eigen::Index>(knownH.size()));
    rhs_[0] = -(Ar.transpose() * (Ak * vw));
    rhs_[1] = -(Ar.transpose() * (Ak * vh));

    // Exact zeros out of the pattern (without the scale term, an x and a y
    // coordinate of one unit cancel): they would only add fill, twice the
    // factoring work on large photos.
    SparseMatrix Q = Ar.transpose() * Ar;
    Q.prune([](Eigen::Index, Eigen::Index, double v) { return v != 0.0; });
    lower_ = Q.triangularView<Eigen::Lower>();
    lower_.makeCompressed();
    BuildRows(guard);
    penalised_ = SparseMatrix();
    double maxDiag = 0.0;
    for (int j = 0; j < nf; ++j) maxDiag = std::max(maxDiag, std::abs(lower_.coeff(j, j)));
    rho_ = kPenalty * (maxDiag > 0 ? maxDiag : 1.0);

    base_ = std::make_unique<CholmodFactor>();
    penalty_.reset();
    current_.clear();
    updowns_ = 0;
    schur_.clear();
    schurAt_.assign(rows_.size(), -1);
    if (nf == 0) {
      why = "no free coordinates";
      return false;
    }
    base_->Analyze(lower_);
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

  void SetSchurLimit(size_t rows) override { schurLimit_ = rows; }
  void StartSize(bool near) override { dragSteps_ = near ? dragSteps_ + 1 : 0; }

  void Solve(double W, double H, std::vector<double>& x) override {
    x.resize(static_cast<size_t>(n_));
    for (int i = 0; i < n_; ++i) x[i] = W * x0_[0][i] + H * x0_[1][i];
  }

  void SolveActive(const std::vector<int32_t>& active, const GuardRows& guard,
                   const ActiveBasis* warm, ActiveBasis& out) override {
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

 private:
  struct Row {
    std::vector<int> cols;  // free (local) columns
    std::vector<double> coefs;
    double knownW = 0, knownH = 0;                  // the fixed coordinates' part per unit size
    std::vector<std::pair<int, double>> positions;  // (value index in lower_, coef product)
    bool fits = false;  // positions are all found in the penalised pattern
  };
  // A row held through the Schur complement, with its w = L⁻¹·P·n (sparse).
  // Every w reaches the root of the elimination tree, and the columns just
  // below the root are on nearly every path: from `tail` on, index runs
  // without a gap to the last column, so that part is a plain dense vector
  // (more than half of all entries on large meshes).
  struct SchurRow {
    int32_t row;
    std::vector<int> index;  // in the factor's numbering, ascending
    std::vector<double> w;
    size_t tail = 0;
  };

  void FindTail(SchurRow& r) const {
    const int nf = static_cast<int>(free_.size());
    size_t t = r.index.size();
    while (t > 0 && r.index[t - 1] == nf - static_cast<int>(r.index.size() - t) - 1) --t;
    r.tail = t;
  }
  // One unit size's equality-constrained solve and its workspace.
  struct Column {
    Vec h, lambda, x;  // bounds, multipliers, solution (free coordinates)
    Vec r, d, md, z, s1, r2, dl, dx;
  };

  void BuildRows(const GuardRows& guard) {
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
  bool CoverRowPatterns(const SparseMatrix& m) {
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

  bool Fit(const std::vector<int32_t>& rows) const {
    return std::all_of(rows.begin(), rows.end(), [&](int32_t r) { return rows_[r].fits; });
  }

  // The penalised factor's pattern and first factor (of Q alone). Q's own
  // pattern serves as long as the rows to hold lie in it (rows that couple
  // an x with a y coordinate, such as the shear rows, as a rule do not);
  // otherwise it is widened with zeros for every row, so that updates never
  // change the factor's shape.
  void PreparePenalty(const std::vector<int32_t>& target) {
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

  void Expand(const Vec& freePart, const std::vector<double>& knownPart,
              std::vector<double>& x) const {
    x.assign(static_cast<size_t>(n_), 0.0);
    for (size_t k = 0; k < free_.size(); ++k) x[free_[k]] = freePart[static_cast<Eigen::Index>(k)];
    for (size_t k = 0; k < known_.size(); ++k) x[known_[k]] = knownPart[k];
  }

  // out = N·x over the active rows, out = N'·l over the free coordinates.
  void N(const std::vector<int32_t>& active, const Vec& x, Vec& out) const {
    out.resize(static_cast<Eigen::Index>(active.size()));
    for (size_t i = 0; i < active.size(); ++i) {
      const Row& row = rows_[active[i]];
      double v = 0;
      for (size_t e = 0; e < row.cols.size(); ++e) v += row.coefs[e] * x[row.cols[e]];
      out[static_cast<Eigen::Index>(i)] = v;
    }
  }
  void NT(const std::vector<int32_t>& active, const Vec& l, Vec& out) const {
    out.setZero(static_cast<Eigen::Index>(free_.size()));
    for (size_t i = 0; i < active.size(); ++i) {
      const Row& row = rows_[active[i]];
      for (size_t e = 0; e < row.cols.size(); ++e)
        out[row.cols[e]] += row.coefs[e] * l[static_cast<Eigen::Index>(i)];
    }
  }

  // Column c: Q·x − N'·λ = g, N·x = h, λ from its value on entry, refined
  // against Q itself when the penalised solves leave too much behind.
  void SolveColumn(const std::vector<int32_t>& active, int c) {
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
  void Penalised(const std::vector<int32_t>& active, const Vec& g, const Vec& h, Vec& lambda,
                 Vec& x, int slot) {
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

  // Adds `rows` at the end of K's factor, in order; false at the first one
  // that depends on the rows held (it and the rest are then not added). The
  // new rows' entries of K come from one sweep over the held rows' w (shared
  // between the two threads on large meshes), each held entry read once for
  // all new rows.
  bool SchurAppend(const std::vector<int32_t>& rows) {
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
        C.row(at).noalias() +=
            (block * Eigen::Map<const Vec>(h.w.data() + h.tail, len)).transpose();
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
  void SchurRemove(size_t i) {
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
  bool SchurTo(const std::vector<int32_t>& target, bool mayBuild) {
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
  bool SchurBuild(const std::vector<int32_t>& target) {
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

  bool SchurFail() {
    for (const SchurRow& r : schur_) schurAt_[r.row] = -1;
    schur_.clear();
    return false;
  }

  // With the held rows (all of `active`): λ = K⁻¹·(h − N·x0), x = x0 +
  // Q⁻¹·N'·λ for both unit sizes, and a correction when the rows are not met
  // closely enough. The held rows' w are read once for both sizes, half of
  // them on each thread; the backward solves take one thread each.
  void SchurSolve(const std::vector<int32_t>& active, const GuardRows& guard, ActiveBasis& out) {
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

  // Runs f(0) and f(1), on two threads when the mesh is large enough and
  // threads are allowed.
  template <class F>
  void RunColumns(F&& f) {
    if (!threads_ || static_cast<int>(free_.size()) < kThreadedColumns) {
      f(0);
      f(1);
      return;
    }
    std::exception_ptr failure;
    std::thread second([&] {
      try {
        f(1);
      } catch (...) {
        failure = std::current_exception();
      }
    });
    try {
      f(0);
    } catch (...) {
      second.join();
      throw;
    }
    second.join();
    if (failure) std::rethrow_exception(failure);
  }

  // Brings the factor to Q + ρ·Σ n·n' over the rows of `target`.
  void MoveTo(const std::vector<int32_t>& target) {
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

  bool threads_ = true;
  int n_ = 0;
  std::vector<int32_t> known_;
  std::vector<double> knownW_, knownH_;
  std::vector<int> local_;  // coordinate -> free column, or -1 when fixed
  std::vector<int> free_;
  Vec rhs_[2];                // right-hand sides at the unit sizes
  SparseMatrix lower_;        // lower triangle of Q
  SparseMatrix penaltyBase_;  // Q on the penalised factor's pattern
  SparseMatrix penalised_;    // F on that pattern, when it is factored afresh
  std::vector<Row> rows_;
  double rho_ = 1.0;
  std::unique_ptr<CholmodFactor> base_;     // Q, never changed
  std::unique_ptr<CholmodFactor> penalty_;  // Q + ρ·N'·N over current_, made on demand
  std::vector<int32_t> current_;            // rows in the penalised factor
  size_t updowns_ = 0;
  std::vector<double> x0_[2];  // unguarded minimisers at the unit sizes
  Vec x0free_[2];              // their free coordinates
  Column columns_[2];
  Vec schurLambda_[2], schurX_[2];

  // The Schur complement path: the held rows, in the order they were added
  // to the Cholesky factor of K = N·Q⁻¹·N' = W'·D⁻¹·W.
  size_t schurLimit_ = kSchurRows;
  int dragSteps_ = 0;  // sizes in a row close to the one before
  std::vector<SchurRow> schur_;
  std::vector<int> schurAt_;  // guard row -> position in schur_, or -1
  Eigen::MatrixXd kFactor_;   // lower triangle, leading schur_.size() square in use
  std::vector<double> inversePivot_;
  std::vector<double> scratch_, scratch2_, spreadA_;
  std::vector<char> mark_, mark2_;
};

}  // namespace

std::unique_ptr<EnergyBackend> MakeCholmodBackend(bool threads) {
  return std::make_unique<CholmodBackend>(threads);
}

}  // namespace quadrix
