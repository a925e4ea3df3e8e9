#pragma once
// The built-in back end's class, in two files: cholmod_energy.cpp factors
// the energy and holds guard rows as a penalty; cholmod_schur.cpp holds them
// through a Schur complement. The method is told in cholmod_energy.cpp.

#include <Eigen/Core>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/cholmod_factor.hpp"
#include "engine/energy_backend.hpp"

namespace quadrix::cholmod_internal {

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

class CholmodBackend final : public EnergyBackend {
 public:
  explicit CholmodBackend(bool threads) : threads_(threads) {}

  bool Factor(TripletMatrix a, const std::vector<int32_t>& known, const std::vector<double>& knownW,
              const std::vector<double>& knownH, const GuardRows& guard, std::string& why) override;

  void SetSchurLimit(size_t rows) override { schurLimit_ = rows; }
  void StartSize(bool near) override { dragSteps_ = near ? dragSteps_ + 1 : 0; }
  std::shared_ptr<const CholmodFactor> Analysis() const override { return base_; }
  void OfferAnalysis(std::shared_ptr<const CholmodFactor> analysis) override {
    offered_ = std::move(analysis);
  }

  void Solve(double W, double H, std::vector<double>& x) override;

  void SolveActive(const std::vector<int32_t>& active, const GuardRows& guard,
                   const ActiveBasis* warm, ActiveBasis& out) override;

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

  // One unit size's equality-constrained solve and its workspace.
  struct Column {
    Vec h, lambda, x;  // bounds, multipliers, solution (free coordinates)
    Vec r, d, md, z, s1, r2, dl, dx;
  };

  // The guard rows on the free coordinates, and back to all of them
  // (cholmod_energy.cpp).
  void BuildRows(const GuardRows& guard);
  bool CoverRowPatterns(const SparseMatrix& m);
  bool Fit(const std::vector<int32_t>& rows) const;
  void Expand(const Vec& freePart, const std::vector<double>& knownPart,
              std::vector<double>& x) const;
  void N(const std::vector<int32_t>& active, const Vec& x, Vec& out) const;
  void NT(const std::vector<int32_t>& active, const Vec& l, Vec& out) const;

  // The penalised way (cholmod_energy.cpp).
  void PreparePenalty(const std::vector<int32_t>& target);
  void MoveTo(const std::vector<int32_t>& target);
  void SolveColumn(const std::vector<int32_t>& active, int c);
  void Penalised(const std::vector<int32_t>& active, const Vec& g, const Vec& h, Vec& lambda,
                 Vec& x, int slot);

  // The Schur complement way (cholmod_schur.cpp).
  void FindTail(SchurRow& r) const;
  bool SchurAppend(const std::vector<int32_t>& rows);
  void SchurRemove(size_t i);
  bool SchurTo(const std::vector<int32_t>& target, bool mayBuild);
  bool SchurBuild(const std::vector<int32_t>& target);
  bool SchurFail();
  void SchurSolve(const std::vector<int32_t>& active, const GuardRows& guard, ActiveBasis& out);

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
  std::shared_ptr<CholmodFactor> base_;           // Q, never changed
  std::shared_ptr<const CholmodFactor> offered_;  // an analysis to reuse
  std::unique_ptr<CholmodFactor> penalty_;        // Q + ρ·N'·N over current_, made on demand
  std::vector<int32_t> current_;                  // rows in the penalised factor
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

}  // namespace quadrix::cholmod_internal
