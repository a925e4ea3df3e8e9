// The active-set driver of the guarded solve. The minimiser under the enabled
// rows is found with a primal-dual active-set iteration (rows that the
// current point violates enter, rows with a negative multiplier leave, all at
// once), started from the active set of the previous size. Because the
// solution for one active set is linear in the size, every active set met is
// kept with its two basis vectors: a later size whose optimal set is one of
// them costs only a check. Should the iteration cycle, a primal active-set
// method from a feasible point, one change at a time, finishes the job.

#include "engine/energy_solver.hpp"

#include <algorithm>
#include <cmath>
#include <set>
#include <stdexcept>

#include "engine/energy_backend.hpp"

namespace quadrix {

namespace {

// Sets kept for later sizes, and how many of them are tried as they are.
constexpr size_t kKeptSets = 48;
constexpr size_t kTriedSets = 8;
constexpr int kMaxIterations = 40;
constexpr int kMaxFallbackIterations = 100000;

// A row counts as violated when it misses its bound by more than this share
// of the size (about 1e-7 px at 1000 px), and a multiplier as negative below
// this share of the largest one.
constexpr double kSlackTolerance = 1e-10;
constexpr double kMultiplierTolerance = 1e-9;

double RowValue(const GuardRows& g, int r, const std::vector<double>& x) {
  double v = 0.0;
  for (int k = g.start[r]; k < g.start[r + 1]; ++k) v += g.coef[k] * x[g.col[k]];
  return v;
}

}  // namespace

int GuardRows::Add(std::initializer_list<std::pair<int32_t, double>> entries, double bw,
                   double bh) {
  for (const auto& [c, v] : entries) {
    col.push_back(c);
    coef.push_back(v);
  }
  start.push_back(static_cast<int32_t>(col.size()));
  boundW.push_back(bw);
  boundH.push_back(bh);
  partner.push_back(-1);
  return Rows() - 1;
}

struct EnergySolver::ActiveSet {
  std::vector<int32_t> rows;  // ascending
  ActiveBasis basis;
};

EnergySolver::EnergySolver(NumericEngine* protocolEngine, bool threads)
    : backend_(protocolEngine ? MakeProtocolBackend(protocolEngine) : MakeCholmodBackend(threads)) {
}

EnergySolver::~EnergySolver() = default;

bool EnergySolver::Precompute(const TripletMatrix& a, EnergyProblem problem) {
  const size_t k = problem.known.size();
  if (problem.knownW.size() != k || problem.knownH.size() != k)
    throw std::invalid_argument("EnergySolver::Precompute: one value pair per fixed coordinate");
  const GuardRows& g = problem.guard;
  const size_t rows = g.boundW.size();
  if (g.start.size() != rows + 1 || g.boundH.size() != rows || g.partner.size() != rows ||
      g.col.size() != g.coef.size() || g.start.back() != static_cast<int32_t>(g.col.size()))
    throw std::invalid_argument("EnergySolver::Precompute: inconsistent guard rows");
  for (int32_t c : g.col)
    if (c < 0 || c >= a.n) throw std::invalid_argument("EnergySolver: guard column out of range");
  for (int32_t c : problem.known)
    if (c < 0 || c >= a.n) throw std::invalid_argument("EnergySolver: fixed column out of range");
  const size_t n = static_cast<size_t>(a.n);
  if (!problem.feasibleW.empty() &&
      (problem.feasibleW.size() != n || problem.feasibleH.size() != n))
    throw std::invalid_argument("EnergySolver::Precompute: a feasible point has n coordinates");
  n_ = a.n;
  p_ = std::move(problem);
  sets_.clear();
  stats_ = {};
  factorError_.clear();
  return backend_->Factor(a, p_.known, p_.knownW, p_.knownH, p_.guard, factorError_);
}

void EnergySolver::ForgetActiveSets() { sets_.clear(); }

void EnergySolver::SetGuardBounds(std::vector<double> boundW, std::vector<double> boundH) {
  if (boundW.size() != p_.guard.boundW.size() || boundH.size() != p_.guard.boundH.size())
    throw std::invalid_argument("EnergySolver::SetGuardBounds: one bound pair per row");
  p_.guard.boundW = std::move(boundW);
  p_.guard.boundH = std::move(boundH);
  sets_.clear();
}

EnergySolver::ActiveSet* EnergySolver::Find(const std::vector<int32_t>& rows) {
  for (size_t k = 0; k < sets_.size(); ++k)
    if (sets_[k]->rows == rows) {
      std::rotate(sets_.begin(), sets_.begin() + static_cast<long>(k),
                  sets_.begin() + static_cast<long>(k) + 1);
      return sets_.front().get();
    }
  return nullptr;
}

EnergySolver::ActiveSet& EnergySolver::Remember(std::vector<int32_t> rows) {
  if (ActiveSet* s = Find(rows)) return *s;
  auto set = std::make_unique<ActiveSet>();
  set->rows = std::move(rows);
  // Start the multipliers from the nearest set met so far.
  const ActiveBasis* warm = nullptr;
  ActiveBasis mapped;
  if (!sets_.empty() && !set->rows.empty()) {
    const ActiveSet& prev = *sets_.front();
    mapped.lw.assign(set->rows.size(), 0.0);
    mapped.lh.assign(set->rows.size(), 0.0);
    size_t i = 0, j = 0;
    while (i < set->rows.size() && j < prev.rows.size()) {
      if (set->rows[i] < prev.rows[j]) {
        ++i;
      } else if (prev.rows[j] < set->rows[i]) {
        ++j;
      } else {
        mapped.lw[i] = prev.basis.lw[j];
        mapped.lh[i] = prev.basis.lh[j];
        ++i;
        ++j;
      }
    }
    warm = &mapped;
  }
  backend_->SolveActive(set->rows, p_.guard, warm, set->basis);
  ++stats_.innerSolves;
  sets_.insert(sets_.begin(), std::move(set));
  if (sets_.size() > kKeptSets) sets_.pop_back();
  return *sets_.front();
}

bool EnergySolver::Optimal(const ActiveSet& s, double W, double H, const std::vector<char>& enabled,
                           std::vector<double>& x, std::vector<int32_t>& enter,
                           std::vector<int32_t>& leave) const {
  enter.clear();
  leave.clear();
  x.resize(static_cast<size_t>(n_));
  for (int i = 0; i < n_; ++i) x[i] = W * s.basis.xw[i] + H * s.basis.xh[i];
  for (double v : x)
    if (!std::isfinite(v)) throw std::runtime_error("the guarded solve broke down (not finite)");
  double largest = 0.0;
  std::vector<double> lambda(s.rows.size());
  for (size_t k = 0; k < s.rows.size(); ++k) {
    lambda[k] = W * s.basis.lw[k] + H * s.basis.lh[k];
    largest = std::max(largest, std::abs(lambda[k]));
  }
  for (size_t k = 0; k < s.rows.size(); ++k)
    if (!enabled[s.rows[k]] || lambda[k] < -kMultiplierTolerance * largest)
      leave.push_back(s.rows[k]);
  const double slackTolerance = kSlackTolerance * (std::abs(W) + std::abs(H));
  size_t next = 0;
  for (int r = 0; r < p_.guard.Rows(); ++r) {
    if (next < s.rows.size() && s.rows[next] == r) {
      ++next;
      continue;
    }
    if (!enabled[r]) continue;
    const double bound = W * p_.guard.boundW[r] + H * p_.guard.boundH[r];
    if (RowValue(p_.guard, r, x) - bound < -slackTolerance) enter.push_back(r);
  }
  return enter.empty() && leave.empty();
}

void EnergySolver::Solve(double W, double H, const std::vector<char>* enabled,
                         std::vector<double>& x) {
  stats_ = {};
  if (enabled == nullptr) {
    backend_->Solve(W, H, x);
    return;
  }
  if (enabled->size() != static_cast<size_t>(p_.guard.Rows()))
    throw std::invalid_argument("EnergySolver::Solve: one flag per guard row");

  // A set met before may be optimal here as it stands.
  std::vector<int32_t> enter, leave;
  std::vector<int32_t> firstEnter, firstLeave;
  const size_t tried = std::min(kTriedSets, sets_.size());
  for (size_t k = 0; k < tried; ++k) {
    if (Optimal(*sets_[k], W, H, *enabled, x, enter, leave)) {
      stats_.fromCache = true;
      stats_.activeRows = static_cast<int>(sets_[k]->rows.size());
      Find(std::vector<int32_t>(sets_[k]->rows));  // most recent first
      return;
    }
    if (k == 0) {
      firstEnter = enter;
      firstLeave = leave;
    }
  }

  // Primal-dual active-set iteration from the most recent set.
  std::vector<int32_t> rows;
  if (sets_.empty()) {
    ActiveSet& none = Remember({});
    if (Optimal(none, W, H, *enabled, x, enter, leave)) return;
    rows = {};
  } else {
    rows = sets_.front()->rows;
    enter = firstEnter;
    leave = firstLeave;
  }
  std::set<std::vector<int32_t>> seen;
  for (int it = 0; it < iterationLimit_; ++it) {
    // Next set: the current one without the rows that leave, with the rows
    // that enter; of two partner rows only one may be active.
    std::vector<char> in(static_cast<size_t>(p_.guard.Rows()), 0);
    for (int32_t r : rows) in[r] = 1;
    for (int32_t r : leave) in[r] = 0;
    for (int32_t r : enter) {
      const int32_t p = p_.guard.partner[r];
      if (p >= 0 && in[p]) {
        // Both violated at once: keep the one that is violated more.
        const bool pEnters = std::binary_search(enter.begin(), enter.end(), p);
        if (pEnters) {
          const GuardRows& g = p_.guard;
          const double vr = RowValue(g, r, x) - (W * g.boundW[r] + H * g.boundH[r]);
          const double vp = RowValue(g, p, x) - (W * g.boundW[p] + H * g.boundH[p]);
          if (vp <= vr) continue;
        }
        in[p] = 0;
      }
      in[r] = 1;
    }
    rows.clear();
    for (int r = 0; r < p_.guard.Rows(); ++r)
      if (in[r]) rows.push_back(r);
    if (!seen.insert(rows).second) break;  // cycling
    ++stats_.iterations;
    ActiveSet& s = Remember(rows);
    if (Optimal(s, W, H, *enabled, x, enter, leave)) {
      stats_.activeRows = static_cast<int>(rows.size());
      return;
    }
  }
  stats_.fallback = true;
  if (!Fallback(W, H, *enabled, x)) throw std::runtime_error("the guarded solve did not converge");
}

bool EnergySolver::Fallback(double W, double H, const std::vector<char>& enabled,
                            std::vector<double>& x) {
  // The primal active-set method: from a feasible point, step towards the
  // minimiser on the working set, stopping at the first row in the way
  // (which joins the set); at the minimiser, let the row with the most
  // negative multiplier go. Each step lowers the energy or changes the set,
  // so it ends.
  if (p_.feasibleW.empty()) return false;
  const GuardRows& g = p_.guard;
  auto bound = [&](int r) { return W * g.boundW[r] + H * g.boundH[r]; };
  std::vector<double> at(static_cast<size_t>(n_));
  for (int i = 0; i < n_; ++i) at[i] = W * p_.feasibleW[i] + H * p_.feasibleH[i];
  const double tolerance = kSlackTolerance * (std::abs(W) + std::abs(H));
  std::vector<int32_t> working;
  std::vector<char> inSet(static_cast<size_t>(g.Rows()), 0);
  for (int r = 0; r < g.Rows(); ++r) {
    if (!enabled[r]) continue;
    const double slack = RowValue(g, r, at) - bound(r);
    if (slack < -tolerance) return false;  // not feasible after all
    const int32_t p = g.partner[r];
    if (slack <= tolerance && !(p >= 0 && inSet[p])) {
      working.push_back(r);
      inSet[r] = 1;
    }
  }
  ActiveBasis basis;
  std::vector<double> target(static_cast<size_t>(n_));
  for (int it = 0; it < kMaxFallbackIterations; ++it) {
    std::sort(working.begin(), working.end());
    backend_->SolveActive(working, g, nullptr, basis);
    ++stats_.innerSolves;
    ++stats_.iterations;
    double step = 0.0, scale = 0.0;
    for (int i = 0; i < n_; ++i) {
      target[i] = W * basis.xw[i] + H * basis.xh[i];
      if (!std::isfinite(target[i])) return false;
      step = std::max(step, std::abs(target[i] - at[i]));
      scale = std::max(scale, std::abs(target[i]));
    }
    if (step <= 1e-12 * (1.0 + scale)) {
      // At the minimiser on the working set.
      size_t worst = working.size();
      double most = 0.0, largest = 0.0;
      for (size_t k = 0; k < working.size(); ++k)
        largest = std::max(largest, std::abs(W * basis.lw[k] + H * basis.lh[k]));
      for (size_t k = 0; k < working.size(); ++k) {
        const double l = W * basis.lw[k] + H * basis.lh[k];
        if (l < -kMultiplierTolerance * largest && l < most) {
          most = l;
          worst = k;
        }
      }
      if (worst == working.size()) {
        x = target;
        std::sort(working.begin(), working.end());
        stats_.activeRows = static_cast<int>(working.size());
        Remember(working);
        return true;
      }
      inSet[working[worst]] = 0;
      working.erase(working.begin() + static_cast<long>(worst));
      continue;
    }
    // Longest step towards the target that keeps every enabled row; the
    // first blocking row (lowest number among equals) joins the set.
    double alpha = 1.0;
    int blocking = -1;
    for (int r = 0; r < g.Rows(); ++r) {
      if (!enabled[r] || inSet[r]) continue;
      const double now = RowValue(g, r, at);
      const double change = RowValue(g, r, target) - now;
      if (change >= 0) continue;
      const double t = std::max(0.0, (bound(r) - now) / change);
      if (t < alpha) {
        alpha = t;
        blocking = r;
      }
    }
    for (int i = 0; i < n_; ++i) at[i] += alpha * (target[i] - at[i]);
    if (blocking >= 0) {
      const int32_t p = g.partner[blocking];
      if (p >= 0 && inSet[p]) {
        inSet[p] = 0;
        working.erase(std::find(working.begin(), working.end(), p));
      }
      working.push_back(blocking);
      inSet[blocking] = 1;
    }
  }
  return false;
}

}  // namespace quadrix
