#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "engine/bridge.hpp"
#include "engine/cholmod_factor.hpp"
#include "engine/energy_solver.hpp"
#include "engine/engine.hpp"
#include "engine/normal_matrix.hpp"

using namespace quadrix;

namespace {

// A random overdetermined system with m rows over n columns.
TripletMatrix RandomMatrix(int m, int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> val(-1.0, 1.0);
  std::uniform_int_distribution<int> col(0, n - 1);
  TripletMatrix a;
  a.m = m;
  a.n = n;
  for (int r = 0; r < m; ++r) {
    // Each row touches a few distinct columns, and every column is touched.
    std::vector<int> cols = {r % n, col(rng), col(rng)};
    std::sort(cols.begin(), cols.end());
    cols.erase(std::unique(cols.begin(), cols.end()), cols.end());
    for (int c : cols) a.entries.push_back({r, c, val(rng)});
  }
  return a;
}

Eigen::MatrixXd Dense(const TripletMatrix& a) {
  Eigen::MatrixXd A = Eigen::MatrixXd::Zero(a.m, a.n);
  for (const Triplet& t : a.entries) A(t.row, t.col) += t.value;
  return A;
}

// The energy ‖A·x‖² with `known` fixed, as a dense quadratic over the free
// coordinates: ½x'Qx − g'x (Q = Ar'Ar, g = −Ar'·Ak·v).
struct DenseProblem {
  Eigen::MatrixXd Q;
  Eigen::VectorXd g;
  std::vector<int> free;
  Eigen::VectorXd Full(const Eigen::VectorXd& xr, const std::vector<int32_t>& known,
                       const std::vector<double>& vals, int n) const {
    Eigen::VectorXd x = Eigen::VectorXd::Zero(n);
    for (size_t k = 0; k < known.size(); ++k) x[known[k]] = vals[k];
    for (size_t k = 0; k < free.size(); ++k) x[free[k]] = xr[static_cast<Eigen::Index>(k)];
    return x;
  }
};

DenseProblem MakeDense(const TripletMatrix& a, const std::vector<int32_t>& known,
                       const std::vector<double>& vals) {
  const Eigen::MatrixXd A = Dense(a);
  std::vector<char> fixed(a.n, 0);
  Eigen::VectorXd v = Eigen::VectorXd::Zero(a.n);
  for (size_t k = 0; k < known.size(); ++k) {
    fixed[known[k]] = 1;
    v[known[k]] = vals[k];
  }
  DenseProblem p;
  for (int c = 0; c < a.n; ++c)
    if (!fixed[c]) p.free.push_back(c);
  Eigen::MatrixXd Ar(a.m, p.free.size());
  for (size_t k = 0; k < p.free.size(); ++k) Ar.col(k) = A.col(p.free[k]);
  p.Q = Ar.transpose() * Ar;
  p.g = -Ar.transpose() * (A * v);
  return p;
}

std::vector<double> Values(const std::vector<double>& w, const std::vector<double>& h, double W,
                           double H) {
  std::vector<double> v(w.size());
  for (size_t k = 0; k < v.size(); ++k) v[k] = W * w[k] + H * h[k];
  return v;
}

// The minimum of ½x'Qx − g'x under rows G·x >= b, by Hildreth's method: exact
// coordinate ascent on the dual, independent of the solver under test.
Eigen::VectorXd Hildreth(const Eigen::MatrixXd& Q, const Eigen::VectorXd& g,
                         const Eigen::MatrixXd& G, const Eigen::VectorXd& b) {
  const Eigen::LLT<Eigen::MatrixXd> llt(Q);
  const Eigen::VectorXd x0 = llt.solve(g);
  const Eigen::MatrixXd QiGt = llt.solve(G.transpose());
  const Eigen::MatrixXd K = G * QiGt;  // dual Hessian
  const Eigen::VectorXd slack0 = G * x0 - b;
  Eigen::VectorXd lambda = Eigen::VectorXd::Zero(G.rows());
  for (int sweep = 0; sweep < 200000; ++sweep) {
    double change = 0;
    for (int i = 0; i < G.rows(); ++i) {
      // Row i's slack at x0 + Q⁻¹G'λ.
      const double slack = slack0[i] + K.row(i).dot(lambda);
      const double next = std::max(0.0, lambda[i] - slack / K(i, i));
      change = std::max(change, std::abs(next - lambda[i]));
      lambda[i] = next;
    }
    if (change < 1e-15) break;
  }
  return x0 + QiGt * lambda;
}

}  // namespace

TEST(CholmodFactor, TakesAnotherAnalysisForAPatternWithinIts) {
  // Other values on the same pattern (painting changes weights), or on
  // fewer entries: the analysis is taken and the factor is of the new
  // matrix. An entry beyond it: analysed afresh, and right all the same.
  const TripletMatrix a = RandomMatrix(90, 30, 3);
  const Eigen::MatrixXd A = Dense(a);
  auto lowerOf = [](const Eigen::MatrixXd& q) {
    const Eigen::MatrixXd dense = q.triangularView<Eigen::Lower>();
    SparseMatrix m = dense.sparseView();
    m.makeCompressed();
    return m;
  };
  const Eigen::MatrixXd Q = A.transpose() * A + Eigen::MatrixXd::Identity(30, 30);
  CholmodFactor first;
  first.Analyze(lowerOf(Q));
  ASSERT_TRUE(first.Factorize(lowerOf(Q)));
  const Eigen::MatrixXd B = Eigen::MatrixXd::Random(30, 2);
  const Eigen::MatrixXd Q2 = 3.0 * A.transpose() * A + 2.0 * Eigen::MatrixXd::Identity(30, 30);
  Eigen::MatrixXd denser = Q2;
  denser(29, 0) = denser(0, 29) = 0.5;  // one more entry: another pattern
  // One entry fewer: within the analysed pattern, which serves.
  Eigen::MatrixXd sparser = Q2 + 50.0 * Eigen::MatrixXd::Identity(30, 30);
  int row = 1;
  while (sparser(row, 0) == 0.0) ++row;
  sparser(row, 0) = sparser(0, row) = 0.0;
  for (const auto& [q, same] :
       {std::pair{Q2, true}, std::pair{denser, false}, std::pair{sparser, true}}) {
    CholmodFactor next;
    EXPECT_EQ(next.AnalyzeLike(first, lowerOf(q)), same);
    ASSERT_TRUE(next.Factorize(lowerOf(q)));
    Eigen::MatrixXd X = B;
    next.Solve(X.data(), 2);
    EXPECT_LT((q * X - B).cwiseAbs().maxCoeff(), 1e-10) << same;
  }
  // The first factor is untouched.
  Eigen::MatrixXd X = B;
  first.Solve(X.data(), 2);
  EXPECT_LT((Q * X - B).cwiseAbs().maxCoeff(), 1e-10);

  // Two patterns, each with an entry the other lacks (a stroke that adds
  // rows, the next that drops them and adds others): the analysis made for
  // the second covers both, and the one after that takes it either way.
  Eigen::MatrixXd other = Q2;
  int r = 2, c = 1;
  while (other(r, c) != 0.0 || (r == 29 && c == 0)) r < 29 ? ++r : (r = ++c + 1);
  other(r, c) = other(c, r) = 0.5;
  CholmodFactor base, joined;
  base.Analyze(lowerOf(denser));
  EXPECT_FALSE(joined.AnalyzeLike(base, lowerOf(other)));
  for (const Eigen::MatrixXd& q : {denser, other}) {
    CholmodFactor after;
    EXPECT_TRUE(after.AnalyzeLike(joined, lowerOf(q)));
    ASSERT_TRUE(after.Factorize(lowerOf(q)));
    Eigen::MatrixXd Y = B;
    after.Solve(Y.data(), 2);
    EXPECT_LT((q * Y - B).cwiseAbs().maxCoeff(), 1e-10);
  }
}

TEST(CholmodFactor, FactorsOnTwoThreadsAtOnce) {
  // A batch's workers factor at the same time: the dense blocks go through
  // one BLAS, which must take concurrent calls (a BLAS built without locks
  // gives wrong factors now and then).
  constexpr int kSide = 60;
  constexpr int n = kSide * kSide;
  std::vector<Eigen::Triplet<double>> entries;
  for (int y = 0; y < kSide; ++y)
    for (int x = 0; x < kSide; ++x) {
      const int k = y * kSide + x;
      entries.emplace_back(k, k, 4.5);
      if (x > 0) entries.emplace_back(k, k - 1, -1.0);
      if (y > 0) entries.emplace_back(k, k - kSide, -1.0);
    }
  SparseMatrix lower(n, n);
  lower.setFromTriplets(entries.begin(), entries.end());
  lower.makeCompressed();
  const SparseMatrix full = SparseMatrix(lower.selfadjointView<Eigen::Lower>());
  const Eigen::VectorXd b = Eigen::VectorXd::LinSpaced(n, -1.0, 1.0);
  std::atomic<int> failed{0};
  auto work = [&] {
    for (int round = 0; round < 25; ++round) {
      CholmodFactor f;
      f.Analyze(lower);
      Eigen::VectorXd x = b;
      if (!f.Factorize(lower)) {
        ++failed;
        continue;
      }
      f.Solve(x.data(), 1);
      if (!((full * x - b).cwiseAbs().maxCoeff() < 1e-9)) ++failed;
    }
  };
  std::thread other(work);
  work();
  other.join();
  EXPECT_EQ(failed.load(), 0);
}

TEST(CholmodFactor, OneBlasThreadOnRestartLeavesTheUsersEnvironment) {
  // A restarted program asks for one BLAS thread in its environment; what
  // it starts later (the outside engine) must see the environment the user
  // gave, and a count the user chose stays.
  constexpr char kVar[] = "OPENBLAS_NUM_THREADS";
  char home[] = "HOME=/home/someone";
  char longer[] = "OPENBLAS_NUM_THREADS_MAX=8";  // another name
  char chosen[] = "OPENBLAS_NUM_THREADS=3";
  char* withoutCount[] = {home, longer, nullptr};
  char* withCount[] = {home, chosen, nullptr};
  const std::array<const char*, 2> added = OneBlasThreadOnRestart(withoutCount);
  ASSERT_NE(added[0], nullptr);
  ASSERT_NE(added[1], nullptr);
  EXPECT_STREQ(added[0], "OPENBLAS_NUM_THREADS=1");
  EXPECT_EQ(OneBlasThreadOnRestart(withCount), (std::array<const char*, 2>{nullptr, nullptr}));

  const char* was = std::getenv(kVar);
  const std::string saved = was != nullptr ? was : "";
  // The restarted run with the entries added: both go again.
  std::vector<std::string> names;
  for (const std::string entry : added) {
    const size_t eq = entry.find('=');
    names.push_back(entry.substr(0, eq));
    ::setenv(names.back().c_str(), entry.substr(eq + 1).c_str(), 1);
  }
  UseOneBlasThread();
  for (const std::string& name : names) EXPECT_EQ(std::getenv(name.c_str()), nullptr) << name;
  // The user's count, with nothing added, stays.
  ::setenv(kVar, "3", 1);
  UseOneBlasThread();
  ASSERT_NE(std::getenv(kVar), nullptr);
  EXPECT_STREQ(std::getenv(kVar), "3");
  if (was != nullptr)
    ::setenv(kVar, saved.c_str(), 1);
  else
    ::unsetenv(kVar);
}

TEST(CholmodFactor, SolvesAndUpdatesLikeAFreshFactor) {
  const TripletMatrix a = RandomMatrix(90, 30, 3);
  const Eigen::MatrixXd A = Dense(a);
  const Eigen::MatrixXd Q = A.transpose() * A + Eigen::MatrixXd::Identity(30, 30);
  const Eigen::MatrixXd lowerDense = Q.triangularView<Eigen::Lower>();
  SparseMatrix lower = lowerDense.sparseView();
  lower.makeCompressed();
  CholmodFactor f;
  f.Analyze(lower);
  ASSERT_TRUE(f.Factorize(lower));
  Eigen::MatrixXd B = Eigen::MatrixXd::Random(30, 2);
  Eigen::MatrixXd X = B;
  f.Solve(X.data(), 2);
  EXPECT_LT((Q * X - B).cwiseAbs().maxCoeff(), 1e-10);
  // The same on the second slot (another thread's).
  X = B;
  f.Solve(X.data(), 2, 1);
  EXPECT_LT((Q * X - B).cwiseAbs().maxCoeff(), 1e-10);

  // Two rank-one updates within the pattern: the factor is of Q + C·C'.
  std::vector<CholmodFactor::Column> cols(2);
  Eigen::MatrixXd C = Eigen::MatrixXd::Zero(30, 2);
  for (int k = 0; k < 2; ++k) {
    const int i = a.entries[5 + 7 * k].col, j = (i + 1) % 30;
    cols[k].rows = {i, j};
    cols[k].values = {3.0, -2.0 - k};
    C(i, k) = 3.0;
    C(j, k) = -2.0 - k;
  }
  ASSERT_TRUE(f.UpdateDown(true, cols));
  X = B;
  f.Solve(X.data(), 2);
  EXPECT_LT(((Q + C * C.transpose()) * X - B).cwiseAbs().maxCoeff(), 1e-9);
  ASSERT_TRUE(f.UpdateDown(false, cols));
  X = B;
  f.Solve(X.data(), 2);
  EXPECT_LT((Q * X - B).cwiseAbs().maxCoeff(), 1e-9);

  // Not positive definite: refused.
  SparseMatrix bad = lower;
  bad.coeffRef(4, 4) = -1.0;
  EXPECT_FALSE(f.Factorize(bad));
  EXPECT_FALSE(f.Factored());
}

TEST(EnergySolver, UnguardedMinimiserIsTheLeastSquaresSolution) {
  const TripletMatrix a = RandomMatrix(120, 40, 7);
  EnergyProblem p;
  p.known = {0, 4, 39, 16, 1};
  p.knownW = {1, 0, 2, 0.5, 0};
  p.knownH = {0, 1, -1, 0, 3};
  EnergySolver solver;
  ASSERT_TRUE(solver.Precompute(a, p));
  std::vector<double> x;
  for (auto [W, H] : {std::pair{1.0, 0.0}, std::pair{-3.5, 2.0}, std::pair{250.0, 17.0}}) {
    const std::vector<double> vals = Values(p.knownW, p.knownH, W, H);
    const DenseProblem d = MakeDense(a, p.known, vals);
    const Eigen::VectorXd ref = d.Full(d.Q.ldlt().solve(d.g), p.known, vals, a.n);
    solver.Solve(W, H, nullptr, x);
    ASSERT_EQ(x.size(), 40u);
    for (int c = 0; c < 40; ++c) EXPECT_NEAR(x[c], ref[c], 1e-9 * (1 + std::abs(ref[c])));
    for (size_t k = 0; k < p.known.size(); ++k) EXPECT_EQ(x[p.known[k]], vals[k]);
  }
}

TEST(NormalEquations, MatchDenseProductsOnOneOrTwoThreads) {
  // Random rows with repeated entries and a few fixed columns, against
  // Ar'·Ar and -Ar'·Ak·v made densely.
  TripletMatrix a = RandomMatrix(400, 60, 7);
  a.entries.push_back({3, 5, 0.25});
  a.entries.push_back({3, 5, -0.5});
  // Two columns whose products cancel exactly stay out of the pattern.
  a.m += 2;
  a.n += 2;
  a.entries.push_back({400, 60, 1.0});
  a.entries.push_back({400, 61, 1.0});
  a.entries.push_back({401, 60, 1.0});
  a.entries.push_back({401, 61, -1.0});
  const std::vector<int> fixedCols = {0, 17, 42};
  std::vector<int> local(62, 0);
  std::vector<int> freeCols;
  for (int c : fixedCols) local[c] = -1;
  for (int c = 0; c < 62; ++c)
    if (local[c] == 0) {
      local[c] = static_cast<int>(freeCols.size());
      freeCols.push_back(c);
    }
  const int nf = static_cast<int>(freeCols.size());
  std::vector<double> fixed[2] = {std::vector<double>(62, 0.0), std::vector<double>(62, 0.0)};
  for (size_t k = 0; k < fixedCols.size(); ++k) {
    fixed[0][fixedCols[k]] = 1.0 + static_cast<double>(k);
    fixed[1][fixedCols[k]] = -2.0 * static_cast<double>(k);
  }
  Eigen::MatrixXd dense = Eigen::MatrixXd::Zero(a.m, a.n);
  for (const Triplet& t : a.entries) dense(t.row, t.col) += t.value;
  Eigen::MatrixXd ar(a.m, nf), ak(a.m, 3);
  for (int j = 0; j < nf; ++j) ar.col(j) = dense.col(freeCols[j]);
  for (int k = 0; k < 3; ++k) ak.col(k) = dense.col(fixedCols[k]);
  const Eigen::MatrixXd q = ar.transpose() * ar;

  for (const bool threads : {false, true}) {
    const NormalEquations normal = MakeNormalEquations(a, local, nf, fixed, threads);
    const Eigen::MatrixXd lower = Eigen::MatrixXd(normal.lower);
    EXPECT_NEAR((lower - Eigen::MatrixXd(q.triangularView<Eigen::Lower>())).norm(), 0.0, 1e-12);
    for (int j = 0; j < nf; ++j) {
      const int* begin = normal.lower.innerIndexPtr() + normal.lower.outerIndexPtr()[j];
      const int* end = normal.lower.innerIndexPtr() + normal.lower.outerIndexPtr()[j + 1];
      ASSERT_TRUE(std::is_sorted(begin, end));
      ASSERT_TRUE(begin == end || *begin >= j);
    }
    EXPECT_EQ(normal.lower.coeff(local[61], local[60]), 0.0);
    const int* begin60 = normal.lower.innerIndexPtr() + normal.lower.outerIndexPtr()[local[60]];
    const int* end60 = normal.lower.innerIndexPtr() + normal.lower.outerIndexPtr()[local[60] + 1];
    EXPECT_EQ(std::find(begin60, end60, local[61]), end60);
    for (int s = 0; s < 2; ++s) {
      Eigen::VectorXd v(3);
      for (int k = 0; k < 3; ++k) v[k] = fixed[s][fixedCols[k]];
      const Eigen::VectorXd rhs = -(ar.transpose() * (ak * v));
      EXPECT_NEAR((normal.rhs[s] - rhs).norm(), 0.0, 1e-12);
    }
  }
  a.entries.push_back({a.m, 0, 1.0});
  EXPECT_THROW(MakeNormalEquations(a, local, nf, fixed, true), std::invalid_argument);
}

TEST(EnergySolver, EntriesAtOnePositionAddUpAndFailuresAreReported) {
  // Two columns, x0 fixed to 1: minimise (2*x1 - x0)^2 written as 1+1 on x1.
  TripletMatrix a;
  a.m = 1;
  a.n = 2;
  a.entries = {{0, 0, -1.0}, {0, 1, 1.0}, {0, 1, 1.0}};
  EnergySolver solver;
  ASSERT_TRUE(solver.Precompute(a, {{0}, {1.0}, {0.0}, {}, {}, {}}));
  std::vector<double> x;
  solver.Solve(1, 0, nullptr, x);
  EXPECT_NEAR(x[1], 0.5, 1e-12);

  // Column 2 appears in no row: the normal matrix is singular.
  TripletMatrix singular;
  singular.m = 2;
  singular.n = 3;
  singular.entries = {{0, 0, 1.0}, {0, 1, -1.0}, {1, 1, 1.0}, {1, 2, 0.0}};
  EXPECT_FALSE(solver.Precompute(singular, {{0}, {1.0}, {0.0}, {}, {}, {}}));
  EXPECT_NE(solver.FactorError().find("positive definite"), std::string::npos);

  // Inconsistent input is refused, not read past.
  EXPECT_THROW(solver.Precompute(a, {{0}, {1.0, 2.0}, {0.0}, {}, {}, {}}), std::invalid_argument);
  EXPECT_THROW(solver.Precompute(a, {{5}, {1.0}, {0.0}, {}, {}, {}}), std::invalid_argument);
  EnergyProblem outside{{0}, {1.0}, {0.0}, {}, {}, {}};
  outside.guard.Add({{7, 1.0}}, 0, 0);
  EXPECT_THROW(solver.Precompute(a, outside), std::invalid_argument);
  a.entries.push_back({3, 0, 1.0});
  EXPECT_THROW(solver.Precompute(a, {{0}, {1.0}, {0.0}, {}, {}, {}}), std::invalid_argument);
}

namespace {

// A chain of 60 points on a line, both ends fixed (0 and W), pulled towards
// uneven spacings by the energy; the guard keeps every gap at least
// m·W/59, with a two-sided bound as partners on one gap.
struct Chain {
  static constexpr int kPoints = 60;
  TripletMatrix a;
  EnergyProblem p;
  Chain(double m, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> target(-0.5, 2.0), weight(0.2, 1.0);
    a.n = kPoints;
    // Rows: w·(x[i+1] − x[i] − t_i·x[n−1]/(n−1)), so each gap wants t_i of
    // its share, some of them negative (a fold).
    for (int i = 0; i + 1 < kPoints; ++i) {
      const double w = weight(rng), t = target(rng);
      a.entries.push_back({a.m, i + 1, w});
      a.entries.push_back({a.m, i, -w});
      a.entries.push_back({a.m, kPoints - 1, -w * t / (kPoints - 1)});
      ++a.m;
    }
    // A weak pull of every point towards plain spacing keeps Q definite.
    for (int i = 1; i + 1 < kPoints; ++i) {
      a.entries.push_back({a.m, i, 0.01});
      a.entries.push_back({a.m, kPoints - 1, -0.01 * i / (kPoints - 1)});
      ++a.m;
    }
    p.known = {0, kPoints - 1};
    p.knownW = {0, 1};
    p.knownH = {0, 0};
    for (int i = 0; i + 1 < kPoints; ++i)
      p.guard.Add({{i + 1, 1.0}, {i, -1.0}}, m / (kPoints - 1), 0);
    // x[20] − x[10] within ±0.05·W of its plain share: two partner rows.
    const double share = 10.0 / (kPoints - 1);
    const int lo = p.guard.Add({{20, 1.0}, {10, -1.0}}, share - 0.05, 0);
    const int hi = p.guard.Add({{20, -1.0}, {10, 1.0}}, -share - 0.05, 0);
    p.guard.partner[lo] = hi;
    p.guard.partner[hi] = lo;
    p.feasibleW.resize(kPoints);
    p.feasibleH.assign(kPoints, 0.0);
    for (int i = 0; i < kPoints; ++i) p.feasibleW[i] = i / double(kPoints - 1);
  }
  // The guard as dense rows over the free coordinates, bounds at width W.
  void DenseGuard(double W, Eigen::MatrixXd& G, Eigen::VectorXd& b) const {
    const int rows = p.guard.Rows();
    G = Eigen::MatrixXd::Zero(rows, kPoints - 2);
    b.resize(rows);
    for (int r = 0; r < rows; ++r) {
      b[r] = W * p.guard.boundW[r];
      for (int e = p.guard.start[r]; e < p.guard.start[r + 1]; ++e) {
        const int c = p.guard.col[e];
        if (c == 0) continue;
        if (c == kPoints - 1)
          b[r] -= p.guard.coef[e] * W;
        else
          G(r, c - 1) = p.guard.coef[e];
      }
    }
  }
};

double Energy(const TripletMatrix& a, const std::vector<double>& x) {
  Eigen::VectorXd r = Eigen::VectorXd::Zero(a.m);
  for (const Triplet& t : a.entries) r[t.row] += t.value * x[t.col];
  return r.squaredNorm();
}

}  // namespace

class GuardedChain : public ::testing::TestWithParam<size_t> {};

// Both ways of holding rows exactly: a Schur complement (limit above the
// rows), the penalised factor (limit 0).
TEST_P(GuardedChain, MinimumMatchesAnIndependentQuadraticProgram) {
  for (unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    const Chain chain(0.4, seed);
    EnergySolver solver;
    ASSERT_TRUE(solver.Precompute(chain.a, chain.p));
    solver.SetSchurLimit(GetParam());
    const std::vector<char> all(chain.p.guard.Rows(), 1);
    std::vector<double> x, unguarded;
    for (double W : {100.0, 1000.0}) {
      solver.Solve(W, 0, &all, x);
      EXPECT_GT(solver.LastStats().activeRows, 3);
      EXPECT_FALSE(solver.LastStats().fallback);
      solver.Solve(W, 0, nullptr, unguarded);
      const DenseProblem d = MakeDense(chain.a, chain.p.known, {0.0, W});
      Eigen::MatrixXd G;
      Eigen::VectorXd b;
      chain.DenseGuard(W, G, b);
      const Eigen::VectorXd ref = Hildreth(d.Q, d.g, G, b);
      const Eigen::VectorXd full = d.Full(ref, chain.p.known, {0.0, W}, Chain::kPoints);
      double worst = 0;
      for (int i = 0; i < Chain::kPoints; ++i) worst = std::max(worst, std::abs(x[i] - full[i]));
      EXPECT_LT(worst, 1e-6 * W / 100) << "W " << W;
      const double e = Energy(chain.a, x);
      const double eRef =
          Energy(chain.a, std::vector<double>(full.data(), full.data() + full.size()));
      EXPECT_LE(e, eRef * (1 + 1e-6));
      EXPECT_GT(e, Energy(chain.a, unguarded)) << "the guard is active";
      // Every row kept.
      for (int r = 0; r < chain.p.guard.Rows(); ++r) {
        double v = 0;
        for (int k = chain.p.guard.start[r]; k < chain.p.guard.start[r + 1]; ++k)
          v += chain.p.guard.coef[k] * x[chain.p.guard.col[k]];
        EXPECT_GE(v, W * chain.p.guard.boundW[r] - 1e-6) << "row " << r;
      }
    }
    // The same aspect again: the remembered set serves, scaled.
    std::vector<double> again;
    solver.Solve(500, 0, &all, again);
    EXPECT_TRUE(solver.LastStats().fromCache);
    for (int i = 0; i < Chain::kPoints; ++i) EXPECT_NEAR(again[i], x[i] / 2, 1e-9);
  }
}

// A row that couples two points the energy does not couple (outside the
// factor's pattern) joining a held set later, after a window is narrowed.
TEST_P(GuardedChain, RowOutsideTheEnergysPatternJoinsLater) {
  Chain chain(0.4, 1);
  EnergySolver solver;
  ASSERT_TRUE(solver.Precompute(chain.a, chain.p));
  solver.SetSchurLimit(GetParam());
  const std::vector<char> all(chain.p.guard.Rows(), 1);
  const int lo = chain.p.guard.Rows() - 2, hi = lo + 1;
  const double W = 1000;
  std::vector<double> x;
  solver.Solve(W, 0, &all, x);
  std::vector<int32_t> held = solver.LastActiveRows();
  ASSERT_FALSE(std::binary_search(held.begin(), held.end(), lo));
  ASSERT_FALSE(std::binary_search(held.begin(), held.end(), hi));

  const double share = 10.0 / (Chain::kPoints - 1);
  chain.p.guard.boundW[lo] = share - 0.001;
  chain.p.guard.boundW[hi] = -share - 0.001;
  solver.SetGuardBounds(chain.p.guard.boundW, chain.p.guard.boundH);
  solver.Solve(W, 0, &all, x);
  held = solver.LastActiveRows();
  EXPECT_TRUE(std::binary_search(held.begin(), held.end(), lo) ||
              std::binary_search(held.begin(), held.end(), hi));
  const DenseProblem d = MakeDense(chain.a, chain.p.known, {0.0, W});
  Eigen::MatrixXd G;
  Eigen::VectorXd b;
  chain.DenseGuard(W, G, b);
  const Eigen::VectorXd full =
      d.Full(Hildreth(d.Q, d.g, G, b), chain.p.known, {0.0, W}, Chain::kPoints);
  for (int i = 0; i < Chain::kPoints; ++i) EXPECT_NEAR(x[i], full[i], 1e-5) << "point " << i;
}

INSTANTIATE_TEST_SUITE_P(SchurAndPenalty, GuardedChain, ::testing::Values(size_t{1000}, size_t{0}));

TEST(EnergySolver, SafeguardedPathAndLooseGuardGiveTheSameMinima) {
  const Chain chain(0.4, 5);
  EnergySolver pdas, safe;
  ASSERT_TRUE(pdas.Precompute(chain.a, chain.p));
  ASSERT_TRUE(safe.Precompute(chain.a, chain.p));
  safe.SetIterationLimit(0);
  const std::vector<char> all(chain.p.guard.Rows(), 1);
  std::vector<double> x, y;
  pdas.Solve(300, 0, &all, x);
  safe.Solve(300, 0, &all, y);
  EXPECT_TRUE(safe.LastStats().fallback);
  for (int i = 0; i < Chain::kPoints; ++i) EXPECT_NEAR(x[i], y[i], 1e-7);

  // Rows that nothing comes near change nothing.
  Chain loose(0.001, 5);
  for (int r = Chain::kPoints - 1; r < loose.p.guard.Rows(); ++r) {
    loose.p.guard.boundW[r] = -10;  // the two partner rows: far away too
  }
  EnergySolver l;
  ASSERT_TRUE(l.Precompute(loose.a, loose.p));
  std::vector<char> onlyFar(loose.p.guard.Rows(), 0);
  for (int r = Chain::kPoints - 1; r < loose.p.guard.Rows(); ++r) onlyFar[r] = 1;
  l.Solve(300, 0, &onlyFar, x);
  l.Solve(300, 0, nullptr, y);
  for (int i = 0; i < Chain::kPoints; ++i) EXPECT_NEAR(x[i], y[i], 1e-9);
  EXPECT_EQ(l.LastStats().activeRows, 0);
}

TEST(Bridge, CommandLinesAreTheEngineLanguage) {
  EXPECT_STREQ(InversePermutationLine(),
               "permSrc_Size=size(P);P1=zeros(permSrc_Size);\nfor i=1:permSrc_Size(2)\n"
               "P1(P(i))=i;\nend");
  EXPECT_STREQ(kTriSolveLine, "xr = R\\(R'\\xr1(P));");
}

namespace {

// Records what an engine is told and answers with a column of the asked
// size, so that the order of the exchange can be checked.
struct Recorder : NumericEngine {
  std::vector<std::string> log;
  int n = 0;
  const char* Name() const override { return "recorder"; }
  bool PutVariable(const std::string& name, EngineArray v) override {
    log.push_back("put " + name + (v.cls == EngineArray::Class::Int32 ? " int32" : ""));
    if (name == "iv") iv = v.real;
    return true;
  }
  bool EvalString(const std::string& t) override {
    log.push_back(t);
    return true;
  }
  bool GetVariable(const std::string& name, EngineArray& out) override {
    log.push_back("get " + name);
    out = EngineArray::Doubles(std::vector<double>(static_cast<size_t>(n), 0.0));
    return true;
  }
  const std::string& LastError() const override { return err; }
  std::string err;
  std::vector<double> iv;
};

}  // namespace

TEST(ProtocolEngine, ReceivesTheBridgesExactSequence) {
  Recorder rec;
  TripletMatrix a;
  a.m = 120;
  a.n = 48;
  a.entries = {{0, 5, 0.25}};
  rec.n = 48;
  EnergySolver solver(&rec);
  ASSERT_TRUE(solver.Precompute(a, {{1, 7}, {0, 1}, {1, 0}, {}, {}, {}}));
  std::vector<std::string> expected = {"put iv", "put jv", "put sv", "A=sparse(iv,jv,sv,120,48);",
                                       "put ind int32"};
  for (const char* line : kFactorLines) expected.push_back(line);
  expected.push_back(InversePermutationLine());
  expected.push_back(kCholLine);
  EXPECT_EQ(rec.log, expected);
  EXPECT_EQ(rec.iv, std::vector<double>{1.0});  // 1-based

  rec.log.clear();
  std::vector<double> x;
  solver.Solve(300, 100, nullptr, x);
  EXPECT_EQ(rec.log, (std::vector<std::string>{"put vals", kRhsLine, kTriSolveLine, kUnpermuteLine,
                                               kAssembleLine, "get x"}));
  EXPECT_EQ(x.size(), 48u);
}
