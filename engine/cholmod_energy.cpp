// The built-in back end. The free coordinates' normal matrix Q = Ar'·Ar is
// factored once; the unguarded minimiser for the unit sizes (1, 0) and
// (0, 1) is solved right away, so that any later size costs two vector
// updates.
//
// Rows held as equalities are brought in as a stiff penalty, F = Q + ρ·N'·N,
// by updating the kept factor (CHOLMOD's update/downdate, rank one per row)
// rather than factoring again. The penalty alone would leave the rows off by
// about 1/ρ; the exact minimiser comes from conjugate gradients on the
// multipliers, M·λ = N·F⁻¹·N'·λ, whose matrix is close to I/ρ and so takes a
// handful of steps, and a final refinement against Q itself.

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

    // Explicit zeros stay: the pattern is that of every unit's coupling, so
    // that no guard row ever widens it.
    const SparseMatrix Q = Ar.transpose() * Ar;
    lower_ = Q.triangularView<Eigen::Lower>();
    lower_.makeCompressed();
    BuildRows(guard);
    if (!CoverRowPatterns()) {
      // Some rows couple coordinates that the energy does not: widen the
      // pattern with explicit zeros so that the factor never changes shape.
      std::vector<Eigen::Triplet<double, int>> t;
      for (int j = 0; j < lower_.outerSize(); ++j)
        for (SparseMatrix::InnerIterator it(lower_, j); it; ++it)
          t.emplace_back(it.row(), it.col(), it.value());
      for (const Row& row : rows_)
        for (int i : row.cols)
          for (int j : row.cols)
            if (i >= j) t.emplace_back(i, j, 0.0);
      lower_ = SparseMatrix(nf, nf);
      lower_.setFromTriplets(t.begin(), t.end());
      lower_.makeCompressed();
      if (!CoverRowPatterns()) throw std::logic_error("guard rows outside the factor's pattern");
    }
    penalised_ = lower_;
    double maxDiag = 0.0;
    for (int j = 0; j < nf; ++j) maxDiag = std::max(maxDiag, std::abs(lower_.coeff(j, j)));
    rho_ = kPenalty * (maxDiag > 0 ? maxDiag : 1.0);

    factor_ = std::make_unique<CholmodFactor>();
    current_.clear();
    updowns_ = 0;
    if (nf == 0) {
      why = "no free coordinates";
      return false;
    }
    factor_->Analyze(lower_);
    if (!factor_->Factorize(lower_)) {
      why = "chol: input matrix must be positive definite";
      return false;
    }
    // The unguarded minimiser at the unit sizes.
    Eigen::MatrixXd B(nf, 2);
    B.col(0) = rhs_[0];
    B.col(1) = rhs_[1];
    factor_->Solve(B.data(), 2);
    Expand(B.col(0), knownW_, x0_[0]);
    Expand(B.col(1), knownH_, x0_[1]);
    return true;
  }

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
    if (threads_ && static_cast<int>(free_.size()) >= kThreadedColumns) {
      std::exception_ptr failure;
      std::thread second([&] {
        try {
          SolveColumn(active, 1);
        } catch (...) {
          failure = std::current_exception();
        }
      });
      try {
        SolveColumn(active, 0);
      } catch (...) {
        second.join();
        throw;
      }
      second.join();
      if (failure) std::rethrow_exception(failure);
    } else {
      SolveColumn(active, 0);
      SolveColumn(active, 1);
    }
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
  };
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

  // Finds every row's outer product in the lower triangle; false when an
  // entry is missing from the pattern.
  bool CoverRowPatterns() {
    for (Row& row : rows_) {
      row.positions.clear();
      for (size_t p = 0; p < row.cols.size(); ++p)
        for (size_t q = 0; q < row.cols.size(); ++q) {
          const int i = row.cols[p], j = row.cols[q];
          if (i < j) continue;
          const int* begin = lower_.innerIndexPtr() + lower_.outerIndexPtr()[j];
          const int* end = lower_.innerIndexPtr() + lower_.outerIndexPtr()[j + 1];
          const int* at = std::lower_bound(begin, end, i);
          if (at == end || *at != i) return false;
          row.positions.emplace_back(static_cast<int>(at - lower_.innerIndexPtr()),
                                     row.coefs[p] * row.coefs[q]);
        }
    }
    return true;
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
    factor_->Solve(x.data(), 1, slot);
    N(active, x, w.r);
    w.r = h - w.r;
    w.d = w.r;
    double rr = w.r.squaredNorm();
    const double tol =
        kRowTolerance * (1.0 + h.lpNorm<Eigen::Infinity>() + x.lpNorm<Eigen::Infinity>());
    for (int step = 0; step < kMaxCgSteps && w.r.lpNorm<Eigen::Infinity>() > tol; ++step) {
      NT(active, w.d, w.z);
      factor_->Solve(w.z.data(), 1, slot);
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
  void MoveTo(const std::vector<int32_t>& target) {
    std::vector<int32_t> up, down;
    std::set_difference(target.begin(), target.end(), current_.begin(), current_.end(),
                        std::back_inserter(up));
    std::set_difference(current_.begin(), current_.end(), target.begin(), target.end(),
                        std::back_inserter(down));
    if (up.empty() && down.empty() && factor_->Factored()) return;
    const bool refactor = !factor_->Factored() || up.size() + down.size() > kRefactorRows ||
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
      if (factor_->UpdateDown(true, columns(up)) && factor_->UpdateDown(false, columns(down))) {
        updowns_ += up.size() + down.size();
        current_ = target;
        return;
      }
    }
    std::copy(lower_.valuePtr(), lower_.valuePtr() + lower_.nonZeros(), penalised_.valuePtr());
    for (int32_t r : target)
      for (const auto& [at, product] : rows_[r].positions)
        penalised_.valuePtr()[at] += rho_ * product;
    if (!factor_->Factorize(penalised_))
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
  Vec rhs_[2];              // right-hand sides at the unit sizes
  SparseMatrix lower_;      // lower triangle of Q
  SparseMatrix penalised_;  // the same pattern, for F when it is factored afresh
  std::vector<Row> rows_;
  double rho_ = 1.0;
  std::unique_ptr<CholmodFactor> factor_;
  std::vector<int32_t> current_;  // rows in the factor
  size_t updowns_ = 0;
  std::vector<double> x0_[2];  // unguarded minimisers at the unit sizes
  Column columns_[2];
};

}  // namespace

std::unique_ptr<EnergyBackend> MakeCholmodBackend(bool threads) {
  return std::make_unique<CholmodBackend>(threads);
}

}  // namespace quadrix
