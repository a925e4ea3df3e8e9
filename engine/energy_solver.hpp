#pragma once
// The typed face of the solve: an energy ‖A·x‖² over n coordinates, some of
// them fixed, factored once (Precompute) and then minimised for any number of
// sizes (Solve), optionally under linear inequality rows (the guard).
//
// Everything that depends on the size is linear in it: for a size (W, H) the
// fixed coordinates take the values W·knownW + H·knownH, and guard row r
// reads Σ coef·x[col] ≥ W·boundW[r] + H·boundH[r]. So, for one set of active
// rows, the minimiser is W·a + H·b for two vectors that are computed once;
// scaling the size scales the solution, and which rows are active depends on
// the aspect ratio only.
//
// Two back ends do the linear algebra: the built-in one (CHOLMOD, in
// process, the factor updated and downdated as rows enter and leave), and a
// protocol engine (GNU Octave) that receives the bridge's command lines.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/bridge.hpp"
#include "engine/engine.hpp"

namespace quadrix {

// Inequality rows over all n coordinates (fixed ones included).
struct GuardRows {
  // Row r has the entries [start[r], start[r+1]) of col and coef.
  std::vector<int32_t> start = {0};
  std::vector<int32_t> col;
  std::vector<double> coef;
  std::vector<double> boundW, boundH;
  // A row that may never be active together with this one (the two sides of
  // a two-sided bound), or -1.
  std::vector<int32_t> partner;

  int Rows() const { return static_cast<int>(boundW.size()); }
  // Appends a row; returns its number.
  int Add(std::initializer_list<std::pair<int32_t, double>> entries, double bw, double bh);
};

// Everything about the energy but its matrix: which coordinates the size
// fixes and to what, and the guard.
struct EnergyProblem {
  // 0-based numbers of the fixed coordinates, and their values per unit of
  // width and of height (same length).
  std::vector<int32_t> known;
  std::vector<double> knownW, knownH;
  // Every row a later Solve may enable.
  GuardRows guard;
  // A point that keeps every guard row at every size, W·feasibleW +
  // H·feasibleH (plain scaling does), for the safeguarded path; may be left
  // empty when there is no guard.
  std::vector<double> feasibleW, feasibleH;
};

// What one Solve did, for diagnostics and benchmarks.
struct SolveStats {
  int activeRows = 0;      // rows active at the solution
  int iterations = 0;      // active-set iterations (0: unguarded or cached)
  int innerSolves = 0;     // equality-constrained solves
  bool fromCache = false;  // the active set of an earlier size served
  bool fallback = false;   // the safeguarded one-change-at-a-time path ran
};

class EnergyBackend;
class CholmodFactor;
struct ActiveBasis;

class EnergySolver {
 public:
  // protocolEngine: an engine spoken to through the bridge's command lines
  // (the Octave engine), or null for the built-in solver. threads: the
  // built-in solver may use a second thread for large guarded solves (not
  // worth it when other photos keep the processors busy).
  explicit EnergySolver(NumericEngine* protocolEngine = nullptr, bool threads = true);
  ~EnergySolver();
  EnergySolver(const EnergySolver&) = delete;
  EnergySolver& operator=(const EnergySolver&) = delete;

  // a: the energy, m x n (moved in: pass std::move to spare a copy). False when A'A is not positive
  // definite on the free coordinates (nothing can be solved then; FactorError says why). Engine
  // failures throw EngineError, inconsistent input std::invalid_argument.
  bool Precompute(TripletMatrix a, EnergyProblem problem);

  // The minimiser for the size (W, H) into x (n values). With enabled (one
  // flag per guard row) it is the minimiser under the enabled rows, found
  // exactly (an active-set method); without, the unguarded minimiser.
  void Solve(double W, double H, const std::vector<char>* enabled, std::vector<double>& x);

  // Why the last Precompute returned false.
  const std::string& FactorError() const { return factorError_; }
  const SolveStats& LastStats() const { return stats_; }
  // Most primal-dual iterations before the safeguarded path takes over.
  void SetIterationLimit(int limit) { iterationLimit_ = limit; }
  // Most active rows the built-in back end holds through a Schur complement
  // on the unchanged factor; beyond, it holds them through a penalised
  // factor (both exact).
  void SetSchurLimit(size_t rows);
  // Drops the remembered active sets (e.g. after changing guard bounds)
  // and the rows given to StartFrom.
  void ForgetActiveSets();
  // The rows held at the last guarded solve (sorted), empty before one.
  std::vector<int32_t> LastActiveRows() const;
  // After Precompute: the first guarded solve starts its iteration from
  // these rows (say, those an energy close to this one held) instead of
  // from none.
  void StartFrom(std::vector<int32_t> rows);
  // The factor's analysis, to be offered to a solver of an energy with the
  // same pattern (OfferAnalysis); null from an outside engine.
  std::shared_ptr<const CholmodFactor> Analysis() const;
  // Before Precompute: an analysis to take when the energy's pattern is
  // exactly the one it was made for, saving the ordering.
  void OfferAnalysis(std::shared_ptr<const CholmodFactor> analysis);
  // Replaces the bounds of the guard rows (same rows, same order).
  void SetGuardBounds(std::vector<double> boundW, std::vector<double> boundH);

 private:
  struct ActiveSet;
  bool Optimal(const ActiveSet& s, double W, double H, const std::vector<char>& enabled,
               std::vector<int32_t>& enter, std::vector<int32_t>& leave) const;
  bool Admits(ActiveSet& s, double W, double H, const std::vector<char>& enabled) const;
  void Combine(const ActiveSet& s, double W, double H, std::vector<double>& x);
  ActiveSet& Remember(std::vector<int32_t> rows);
  void Prepare(ActiveSet& s, const ActiveBasis* warm);
  const ActiveSet* Nearest(double W, double H, const std::vector<char>& enabled);
  ActiveSet* Find(const std::vector<int32_t>& rows);
  bool Fallback(double W, double H, const std::vector<char>& enabled, std::vector<double>& x);

  std::unique_ptr<EnergyBackend> backend_;
  EnergyProblem p_;
  int n_ = 0;
  std::unique_ptr<ActiveSet> none_;               // nothing held: the unguarded minimiser
  std::vector<std::unique_ptr<ActiveSet>> sets_;  // most recently used first
  std::unique_ptr<ActiveSet> spare_;              // the last evicted, for its storage
  std::vector<int32_t> startRows_;                // see StartFrom
  std::vector<int32_t> lastActive_;               // the rows of the last guarded solve
  SolveStats stats_;
  std::string factorError_;
  int iterationLimit_ = 40;
  double lastW_ = 0, lastH_ = 0;  // the last size the iteration ran for
};

}  // namespace quadrix
