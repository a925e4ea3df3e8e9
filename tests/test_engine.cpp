#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <random>

#include "engine/bridge.hpp"
#include "engine/engine.hpp"
#include "engine_sequences.hpp"

using namespace quadrix;

namespace {

using enginetest::Factor;
using enginetest::Solve;

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

// Reference: dense least squares over the free columns.
Eigen::VectorXd DenseSolve(const TripletMatrix& a, const std::vector<int32_t>& ind1,
                           const std::vector<double>& vals) {
  Eigen::MatrixXd A = Eigen::MatrixXd::Zero(a.m, a.n);
  for (const Triplet& t : a.entries) A(t.row, t.col) += t.value;
  std::vector<bool> fixed(a.n, false);
  Eigen::VectorXd x = Eigen::VectorXd::Zero(a.n);
  for (size_t k = 0; k < ind1.size(); ++k) {
    fixed[ind1[k] - 1] = true;
    x[ind1[k] - 1] = vals[k];
  }
  std::vector<int> freeCols;
  for (int c = 0; c < a.n; ++c)
    if (!fixed[c]) freeCols.push_back(c);
  Eigen::MatrixXd Ar(a.m, freeCols.size());
  for (size_t k = 0; k < freeCols.size(); ++k) Ar.col(k) = A.col(freeCols[k]);
  const Eigen::VectorXd rhs = -(A * x);
  const Eigen::VectorXd xr = Ar.colPivHouseholderQr().solve(rhs);
  for (size_t k = 0; k < freeCols.size(); ++k) x[freeCols[k]] = xr[k];
  return x;
}

class BuiltinEngineTest : public ::testing::TestWithParam<CholeskyKind> {};

}  // namespace

TEST_P(BuiltinEngineTest, SolvesConstrainedLeastSquaresLikeDenseReference) {
  auto engine = MakeBuiltinEngine(GetParam());
  const TripletMatrix a = RandomMatrix(120, 40, 7);
  const std::vector<int32_t> ind1 = {1, 5, 40, 17, 2};
  ASSERT_TRUE(Factor(*engine, a, ind1)) << engine->LastError();
  // Several sizes against one factorisation.
  for (double s : {1.0, -3.5, 250.0}) {
    const std::vector<double> vals = {s, 2 * s, -s, 0.5, 7.0};
    const std::vector<double> x = Solve(*engine, vals);
    const Eigen::VectorXd ref = DenseSolve(a, ind1, vals);
    ASSERT_EQ(x.size(), 40u);
    for (int c = 0; c < 40; ++c) EXPECT_NEAR(x[c], ref[c], 1e-9 * (1 + std::abs(ref[c])));
    for (size_t k = 0; k < ind1.size(); ++k) EXPECT_EQ(x[ind1[k] - 1], vals[k]);
  }
}

TEST_P(BuiltinEngineTest, EntriesAtOnePositionAddUp) {
  auto engine = MakeBuiltinEngine(GetParam());
  // Two columns, x0 fixed to 1: minimise (2*x1 - x0)^2 written as 1+1 on x1.
  TripletMatrix a;
  a.m = 1;
  a.n = 2;
  a.entries = {{0, 0, -1.0}, {0, 1, 1.0}, {0, 1, 1.0}};
  ASSERT_TRUE(Factor(*engine, a, {1})) << engine->LastError();
  const std::vector<double> x = Solve(*engine, {1.0});
  EXPECT_NEAR(x[1], 0.5, 1e-12);
}

TEST_P(BuiltinEngineTest, NotPositiveDefiniteFailsAtCholesky) {
  auto engine = MakeBuiltinEngine(GetParam());
  TripletMatrix a;  // column 2 appears in no row: singular normal matrix
  a.m = 2;
  a.n = 3;
  a.entries = {{0, 0, 1.0}, {0, 1, -1.0}, {1, 1, 1.0}, {1, 2, 0.0}};
  ASSERT_TRUE(a.PutToEngine(engine.get()));
  ASSERT_TRUE(PutInd(engine.get(), {1}));
  for (const char* line : kFactorLines) ASSERT_TRUE(engine->EvalString(line)) << line;
  ASSERT_TRUE(engine->EvalString(InversePermutationLine()));
  EXPECT_FALSE(engine->EvalString(kCholLine));
  EXPECT_NE(engine->LastError().find("positive definite"), std::string::npos);
  // No solution may come out of a failed factorisation.
  ASSERT_TRUE(PutVals(engine.get(), {1.0}));
  EXPECT_FALSE(engine->EvalString(kRhsLine));
}

INSTANTIATE_TEST_SUITE_P(Kinds, BuiltinEngineTest,
                         ::testing::Values(CholeskyKind::Supernodal, CholeskyKind::SimplicialAmd,
                                           CholeskyKind::CholmodSimplicial));

TEST(BuiltinEngine, TransfersTripletsOneBasedAndIndAsInt32) {
  auto engine = MakeBuiltinEngine();
  TripletMatrix a;
  a.m = 1;
  a.n = 6;
  a.entries = {{0, 5, 0.25}};
  ASSERT_TRUE(a.PutToEngine(engine.get()));
  EngineArray iv, jv, sv, ind;
  ASSERT_TRUE(engine->GetVariable("iv", iv));
  ASSERT_TRUE(engine->GetVariable("jv", jv));
  ASSERT_TRUE(engine->GetVariable("sv", sv));
  EXPECT_EQ(iv.real, std::vector<double>{1.0});
  EXPECT_EQ(jv.real, std::vector<double>{6.0});
  EXPECT_EQ(sv.real, std::vector<double>{0.25});
  ASSERT_TRUE(PutInd(engine.get(), {2, 8}));
  ASSERT_TRUE(engine->GetVariable("ind", ind));
  EXPECT_EQ(ind.cls, EngineArray::Class::Int32);
  EXPECT_EQ(ind.int32s, (std::vector<int32_t>{2, 8}));
}

TEST(BuiltinEngine, RefusesWhatItDoesNotUnderstand) {
  auto engine = MakeBuiltinEngine();
  EXPECT_FALSE(engine->EvalString("x = inv(A);"));
  EXPECT_NE(engine->LastError().find("x = inv(A);"), std::string::npos);
  // ind as doubles is not what the bridge sends.
  TripletMatrix a;
  a.m = 1;
  a.n = 2;
  a.entries = {{0, 0, 1.0}, {0, 1, 1.0}};
  ASSERT_TRUE(a.PutToEngine(engine.get()));
  ASSERT_TRUE(engine->PutVariable("ind", EngineArray::Doubles({1.0})));
  EXPECT_TRUE(engine->EvalString("[M, N] = size(A);"));
  EXPECT_FALSE(engine->EvalString("[P, K] = size(ind);"));
  // Out-of-range triplets are refused, not written past the matrix.
  a.entries = {{0, 2, 1.0}};
  EXPECT_FALSE(a.PutToEngine(engine.get()));
  // Solving before any factorisation fails.
  auto fresh = MakeBuiltinEngine();
  ASSERT_TRUE(PutVals(fresh.get(), {0.0}));
  EXPECT_FALSE(fresh->EvalString(kRhsLine));
  EngineArray x;
  EXPECT_FALSE(fresh->GetVariable("x", x));
}

TEST(Bridge, CommandLinesAreTheEngineLanguage) {
  EXPECT_STREQ(InversePermutationLine(),
               "permSrc_Size=size(P);P1=zeros(permSrc_Size);\nfor i=1:permSrc_Size(2)\n"
               "P1(P(i))=i;\nend");
  EXPECT_STREQ(kTriSolveLine, "xr = R\\(R'\\xr1(P));");
  // The sparse line carries the row and column counts.
  struct Recorder : NumericEngine {
    std::vector<std::string> lines;
    const char* Name() const override { return "recorder"; }
    bool PutVariable(const std::string&, EngineArray) override { return true; }
    bool EvalString(const std::string& t) override {
      lines.push_back(t);
      return true;
    }
    bool GetVariable(const std::string&, EngineArray&) override { return false; }
    const std::string& LastError() const override { return err; }
    std::string err;
  } rec;
  TripletMatrix a;
  a.m = 120;
  a.n = 48;
  ASSERT_TRUE(a.PutToEngine(&rec));
  ASSERT_EQ(rec.lines.size(), 1u);
  EXPECT_EQ(rec.lines[0], "A=sparse(iv,jv,sv,120,48);");
}
