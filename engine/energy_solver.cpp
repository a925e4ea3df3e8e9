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
#include <limits>
#include <set>
#include <stdexcept>

#include "engine/energy_backend.hpp"

namespace quadrix {

namespace {

// Sets kept for later sizes: as many as fit in kKeptBytes (each holds two
// vectors over the coordinates and three over the rows), at least two, at
// most kKeptSets; and how many of them are tried as they are.
constexpr size_t kKeptSets = 48;
constexpr size_t kKeptBytes = size_t{64} << 20;
constexpr size_t kTriedSets = 8;
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
  // Every guard row's slack at the unit sizes, so that a size's slack is
  // W·slackW + H·slackH, and the multipliers' scale.
  std::vector<double> slackW, slackH;
  double largestW = 0, largestH = 0;
  // The aspect ratios W/H at which the set is optimal, for the enabled rows
  // in `mask` (worked out when first asked).
  std::vector<char> mask;
  double lowest = 0, highest = -1;
};

EnergySolver::EnergySolver(NumericEngine* protocolEngine, bool threads)
    : backend_(protocolEngine ? MakeProtocolBackend(protocolEngine) : MakeCholmodBackend(threads)) {
}

EnergySolver::~EnergySolver() = default;

bool EnergySolver::Precompute(TripletMatrix a, EnergyProblem problem) {
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
  ForgetActiveSets();
  stats_ = {};
  factorError_.clear();
  return backend_->Factor(std::move(a), p_.known, p_.knownW, p_.knownH, p_.guard, factorError_);
}

void EnergySolver::ForgetActiveSets() {
  sets_.clear();
  none_.reset();
  spare_.reset();
  startRows_.clear();
  lastActive_.clear();
}

std::shared_ptr<const CholmodFactor> EnergySolver::Analysis() const { return backend_->Analysis(); }

void EnergySolver::OfferAnalysis(std::shared_ptr<const CholmodFactor> analysis) {
  backend_->OfferAnalysis(std::move(analysis));
}

void EnergySolver::SetSchurLimit(size_t rows) {
  backend_->SetSchurLimit(rows);
  ForgetActiveSets();
}

std::vector<int32_t> EnergySolver::LastActiveRows() const { return lastActive_; }

void EnergySolver::StartFrom(std::vector<int32_t> rows) {
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  for (int32_t r : rows)
    if (r < 0 || r >= p_.guard.Rows())
      throw std::invalid_argument("EnergySolver::StartFrom: no such guard row");
  startRows_ = std::move(rows);
}

void EnergySolver::SetGuardBounds(std::vector<double> boundW, std::vector<double> boundH) {
  if (boundW.size() != p_.guard.boundW.size() || boundH.size() != p_.guard.boundH.size())
    throw std::invalid_argument("EnergySolver::SetGuardBounds: one bound pair per row");
  p_.guard.boundW = std::move(boundW);
  p_.guard.boundH = std::move(boundH);
  ForgetActiveSets();
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

const EnergySolver::ActiveSet* EnergySolver::Nearest(double W, double H,
                                                     const std::vector<char>& enabled) {
  const ActiveSet* best = none_.get();
  if (!(W > 0 && H > 0)) return sets_.empty() ? best : sets_.front().get();
  const double t = std::log(W / H);
  auto distance = [&](ActiveSet& s) {
    Admits(s, W, H, enabled);
    if (!(s.highest >= s.lowest)) return std::numeric_limits<double>::infinity();
    const double lo = std::log(std::max(s.lowest, 1e-300));
    const double hi = std::log(s.highest);
    return t < lo ? lo - t : (t > hi ? t - hi : 0.0);
  };
  double nearest = distance(*none_);
  for (const auto& s : sets_) {
    const double d = distance(*s);
    if (d < nearest) {
      nearest = d;
      best = s.get();
    }
  }
  return best;
}

EnergySolver::ActiveSet& EnergySolver::Remember(std::vector<int32_t> rows) {
  if (ActiveSet* s = Find(rows)) return *s;
  // An evicted set's storage is reused: fresh memory of this size costs page
  // faults on every set.
  std::unique_ptr<ActiveSet> set;
  if (spare_) {
    set = std::move(spare_);
    set->mask.clear();
    set->largestW = set->largestH = 0;
  } else {
    set = std::make_unique<ActiveSet>();
  }
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
  Prepare(*set, warm);
  sets_.insert(sets_.begin(), std::move(set));
  const size_t bytes =
      sizeof(double) * (2 * static_cast<size_t>(n_) + 3 * static_cast<size_t>(p_.guard.Rows()));
  const size_t kept = std::clamp(kKeptBytes / std::max<size_t>(bytes, 1), size_t{2}, kKeptSets);
  while (sets_.size() > kept) {
    spare_ = std::move(sets_.back());
    sets_.pop_back();
  }
  return *sets_.front();
}

void EnergySolver::Prepare(ActiveSet& s, const ActiveBasis* warm) {
  ActiveSet* set = &s;
  backend_->SolveActive(set->rows, p_.guard, warm, set->basis);
  ++stats_.innerSolves;
  const GuardRows& g = p_.guard;
  for (const std::vector<double>* v : {&set->basis.xw, &set->basis.xh})
    for (double e : *v)
      if (!std::isfinite(e)) throw std::runtime_error("the guarded solve broke down (not finite)");
  set->slackW.resize(static_cast<size_t>(g.Rows()));
  set->slackH.resize(static_cast<size_t>(g.Rows()));
  for (int r = 0; r < g.Rows(); ++r) {
    set->slackW[r] = RowValue(g, r, set->basis.xw) - g.boundW[r];
    set->slackH[r] = RowValue(g, r, set->basis.xh) - g.boundH[r];
  }
  for (size_t k = 0; k < set->rows.size(); ++k) {
    set->largestW = std::max(set->largestW, std::abs(set->basis.lw[k]));
    set->largestH = std::max(set->largestH, std::abs(set->basis.lh[k]));
  }
}

// The optimality test of a set at a size, each condition linear in (W, H):
// rows outside the set kept (within the slack tolerance), multipliers of the
// set not negative (within the multiplier tolerance of their scale).
bool EnergySolver::Optimal(const ActiveSet& s, double W, double H, const std::vector<char>& enabled,
                           std::vector<int32_t>& enter, std::vector<int32_t>& leave) const {
  enter.clear();
  leave.clear();
  const double lambdaFloor =
      -kMultiplierTolerance * (std::abs(W) * s.largestW + std::abs(H) * s.largestH);
  for (size_t k = 0; k < s.rows.size(); ++k)
    if (!enabled[s.rows[k]] || W * s.basis.lw[k] + H * s.basis.lh[k] < lambdaFloor)
      leave.push_back(s.rows[k]);
  const double slackFloor = -kSlackTolerance * (std::abs(W) + std::abs(H));
  size_t next = 0;
  for (int r = 0; r < p_.guard.Rows(); ++r) {
    if (next < s.rows.size() && s.rows[next] == r) {
      ++next;
      continue;
    }
    if (enabled[r] && W * s.slackW[r] + H * s.slackH[r] < slackFloor) enter.push_back(r);
  }
  return enter.empty() && leave.empty();
}

// The same test for positive sizes, as an interval of aspect ratios worked
// out once per set: each condition a·W + b·H >= 0 bounds t = W/H on one side.
bool EnergySolver::Admits(ActiveSet& s, double W, double H,
                          const std::vector<char>& enabled) const {
  if (!(W > 0 && H > 0)) {
    std::vector<int32_t> enter, leave;
    return Optimal(s, W, H, enabled, enter, leave);
  }
  if (s.mask != enabled) {
    s.mask = enabled;
    double lo = 0, hi = std::numeric_limits<double>::infinity();
    auto bound = [&](double a, double b) {
      if (a > 0)
        lo = std::max(lo, -b / a);
      else if (a < 0)
        hi = std::min(hi, -b / a);
      else if (b < 0)
        hi = -1;
    };
    size_t next = 0;
    for (int r = 0; r < p_.guard.Rows(); ++r) {
      if (next < s.rows.size() && s.rows[next] == r) {
        ++next;
        continue;
      }
      if (enabled[r]) bound(s.slackW[r] + kSlackTolerance, s.slackH[r] + kSlackTolerance);
    }
    for (size_t k = 0; k < s.rows.size(); ++k) {
      if (!enabled[s.rows[k]]) hi = -1;
      bound(s.basis.lw[k] + kMultiplierTolerance * s.largestW,
            s.basis.lh[k] + kMultiplierTolerance * s.largestH);
    }
    s.lowest = lo;
    s.highest = hi;
  }
  const double t = W / H;
  return t >= s.lowest && t <= s.highest;
}

void EnergySolver::Combine(const ActiveSet& s, double W, double H, std::vector<double>& x) {
  lastActive_ = s.rows;
  x.resize(static_cast<size_t>(n_));
  for (int i = 0; i < n_; ++i) x[i] = W * s.basis.xw[i] + H * s.basis.xh[i];
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

  // Nothing held, or a set met before, may be optimal here as it stands.
  if (!none_) {
    none_ = std::make_unique<ActiveSet>();
    Prepare(*none_, nullptr);
  }
  if (Admits(*none_, W, H, *enabled)) {
    Combine(*none_, W, H, x);
    stats_.fromCache = true;
    return;
  }
  const size_t tried = std::min(kTriedSets, sets_.size());
  for (size_t k = 0; k < tried; ++k)
    if (Admits(*sets_[k], W, H, *enabled)) {
      // Most recently used first.
      std::rotate(sets_.begin(), sets_.begin() + static_cast<long>(k),
                  sets_.begin() + static_cast<long>(k) + 1);
      const ActiveSet* s = sets_.front().get();
      Combine(*s, W, H, x);
      stats_.fromCache = true;
      stats_.activeRows = static_cast<int>(s->rows.size());
      return;
    }

  // Primal-dual active-set iteration: from the rows given to StartFrom,
  // if any; at the aspect ratio of the last solve, with more rows enabled
  // since, from that solve's set; otherwise from the set met before whose
  // aspect ratios come nearest to this size's (nothing held when none does).
  std::vector<int32_t> enter, leave;
  const ActiveSet* current = nullptr;
  if (!startRows_.empty()) {
    std::vector<int32_t> start = std::move(startRows_);
    startRows_.clear();
    std::erase_if(start, [&](int32_t r) { return !(*enabled)[r]; });
    backend_->StartSize(false);
    current = &Remember(std::move(start));
  } else {
    const bool sameAspect = !sets_.empty() && W * lastH_ == H * lastW_;
    current = sameAspect ? sets_.front().get() : Nearest(W, H, *enabled);
    if (!sameAspect)
      backend_->StartSize(W > 0 && H > 0 && lastW_ > 0 && lastH_ > 0 &&
                          std::abs(std::log((W / H) / (lastW_ / lastH_))) < 0.01);
  }
  lastW_ = W;
  lastH_ = H;
  std::vector<int32_t> rows = current->rows;
  if (Optimal(*current, W, H, *enabled, enter, leave)) {  // at an edge of the tested interval
    Combine(*current, W, H, x);
    stats_.activeRows = static_cast<int>(rows.size());
    return;
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
          const double vr = W * current->slackW[r] + H * current->slackH[r];
          const double vp = W * current->slackW[p] + H * current->slackH[p];
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
    current = &Remember(rows);
    if (Optimal(*current, W, H, *enabled, enter, leave)) {
      Combine(*current, W, H, x);
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
        lastActive_ = working;
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
