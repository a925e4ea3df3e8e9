// The built-in engine: runs the bridge's command lines in process with Eigen
// and CHOLMOD. It understands exactly those lines and refuses anything else,
// so a change on the host side cannot silently go unexecuted.

#include <Eigen/CholmodSupport>
#include <Eigen/OrderingMethods>
#include <Eigen/SparseCholesky>
#include <Eigen/SparseCore>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <string>

#include "engine/bridge.hpp"
#include "engine/engine.hpp"

namespace quadrix {

namespace {

using SpMat = Eigen::SparseMatrix<double, Eigen::ColMajor, int>;
using Vec = Eigen::VectorXd;

// One sparse symmetric positive definite factorisation with its fill-reducing
// ordering; Solve applies the ordering, both triangular solves and its inverse.
class Factor {
 public:
  virtual ~Factor() = default;
  virtual void Analyze(const SpMat& a) = 0;
  virtual bool Factorize(const SpMat& a) = 0;
  virtual void Solve(const Vec& b, Vec& x) = 0;
};

// Any of Eigen's sparse LL' decompositions behind Factor.
template <class Llt>
class EigenFactor final : public Factor {
 public:
  void Analyze(const SpMat& a) override { llt.analyzePattern(a); }
  bool Factorize(const SpMat& a) override {
    llt.factorize(a);
    return llt.info() == Eigen::Success;
  }
  void Solve(const Vec& b, Vec& x) override { x = llt.solve(b); }

  Llt llt;
};

template <class Llt>
std::unique_ptr<Factor> MakeCholmodFactor(int supernodal) {
  auto f = std::make_unique<EigenFactor<Llt>>();
  cholmod_common& c = f->llt.cholmod();
  c.print = 0;  // the engine reports failures itself
  c.error_handler = nullptr;
  c.supernodal = supernodal;
  c.final_ll = 1;  // LL', not LDL'
  return f;
}

class BuiltinEngine final : public NumericEngine {
 public:
  explicit BuiltinEngine(CholeskyKind kind) : kind_(kind) {
    handlers_ = {
        {"[M, N] = size(A);", [this] { return Need(haveA_, "A") && (sizeKnown_ = true); }},
        {"[P, K] = size(ind);", [this] { return LoadInd(); }},
        {"r = 1:N;", [this] { return Need(sizeKnown_, "N"); }},
        {"r(ind) = [];", [this] { return FreeColumns(); }},
        {"Ar = A(:, r);", [this] { return SplitColumns(); }},
        {"xr0=Ar'*Ar;", [this] { return NormalMatrix(); }},
        {"x = zeros(N, K);", [this] { return ZeroSolution(); }},
        {"b=zeros(size(A, 1), 1);", [this] { return Need(haveA_, "A"); }},
        {"P=amd(xr0);", [this] { return Order(); }},
        {InversePermutationLine(), [this] { return Need(ordered_, "P"); }},
        {kCholLine, [this] { return Cholesky(); }},
        {kRhsLine, [this] { return RightHandSide(); }},
        {kTriSolveLine, [this] { return TriangularSolves(); }},
        // The factor's solve already returns the unknowns in their own order.
        {kUnpermuteLine, [this] { return Need(haveXr_, "xr"); }},
        {kAssembleLine, [this] { return Assemble(); }},
    };
  }

  const char* Name() const override { return "builtin"; }
  const std::string& LastError() const override { return error_; }

  bool PutVariable(const std::string& name, EngineArray value) override {
    vars_[name] = std::move(value);
    return true;
  }

  bool EvalString(const std::string& text) override {
    int m = 0;
    int n = 0;
    char name[64] = {0};
    if (std::sscanf(text.c_str(), "%63[A-Za-z0-9_]=sparse(iv,jv,sv,%d,%d);", name, &m, &n) == 3) {
      char expect[1024];
      std::snprintf(expect, sizeof expect, "%s=sparse(iv,jv,sv,%d,%d);", name, m, n);
      if (text == expect && std::string(name) == "A") return BuildSparse(m, n);
    }
    const auto it = handlers_.find(text);
    if (it == handlers_.end()) return Fail("unsupported command line: " + text);
    return it->second();
  }

  bool GetVariable(const std::string& name, EngineArray& out) override {
    if (name == "x") {
      if (!haveX_) return Fail("undefined variable x");
      out = EngineArray::Doubles(std::vector<double>(x_.data(), x_.data() + x_.size()));
      return true;
    }
    const auto it = vars_.find(name);
    if (it == vars_.end()) return Fail("undefined variable " + name);
    out = it->second;
    return true;
  }

 private:
  bool Fail(std::string msg) {
    error_ = std::move(msg);
    return false;
  }
  bool Need(bool have, const char* what) {
    return have || Fail(std::string("undefined variable ") + what);
  }

  const EngineArray* Var(const char* name, EngineArray::Class cls) {
    const auto it = vars_.find(name);
    if (it == vars_.end() || it->second.cls != cls) return nullptr;
    return &it->second;
  }

  bool BuildSparse(int m, int n) {
    const EngineArray* iv = Var("iv", EngineArray::Class::Double);
    const EngineArray* jv = Var("jv", EngineArray::Class::Double);
    const EngineArray* sv = Var("sv", EngineArray::Class::Double);
    if (!iv || !jv || !sv) return Fail("sparse: iv, jv and sv must be double columns");
    if (m < 0 || n < 0) return Fail("sparse: negative size");
    const size_t c = iv->real.size();
    if (jv->real.size() != c || sv->real.size() != c)
      return Fail("sparse: iv, jv and sv differ in length");
    std::vector<int> rows(c), cols(c);
    for (size_t k = 0; k < c; ++k) {
      const double i = iv->real[k];
      const double j = jv->real[k];
      if (!(i >= 1 && i <= m && j >= 1 && j <= n) || i != std::floor(i) || j != std::floor(j))
        return Fail("sparse: index out of bound");
      rows[k] = static_cast<int>(i) - 1;
      cols[k] = static_cast<int>(j) - 1;
    }
    A_ = Compress(m, n, rows, cols, sv->real);
    haveA_ = true;
    sizeKnown_ = ordered_ = factored_ = haveXr_ = haveX_ = false;
    return true;
  }

  // Compressed columns from triplets; entries at one position add up. A
  // stable counting sort by column keeps each column in creation order, which
  // for row-by-row assembly is already ascending and duplicate-free; only
  // otherwise is the general (sorting) construction needed.
  static SpMat Compress(int m, int n, const std::vector<int>& rows, const std::vector<int>& cols,
                        const std::vector<double>& vals) {
    const size_t c = rows.size();
    std::vector<int> start(static_cast<size_t>(n) + 1, 0);
    for (int j : cols) ++start[j + 1];
    for (int j = 0; j < n; ++j) start[j + 1] += start[j];
    std::vector<int> inner(c);
    std::vector<double> values(c);
    std::vector<int> next(start.begin(), start.end() - 1);
    for (size_t k = 0; k < c; ++k) {
      const int at = next[cols[k]]++;
      inner[at] = rows[k];
      values[at] = vals[k];
    }
    bool ascending = true;
    for (int j = 0; j < n && ascending; ++j)
      for (int p = start[j] + 1; p < start[j + 1]; ++p)
        if (inner[p] <= inner[p - 1]) {
          ascending = false;
          break;
        }
    SpMat a(m, n);
    if (ascending) {
      a.resizeNonZeros(static_cast<Eigen::Index>(c));
      std::copy(start.begin(), start.end(), a.outerIndexPtr());
      std::copy(inner.begin(), inner.end(), a.innerIndexPtr());
      std::copy(values.begin(), values.end(), a.valuePtr());
      return a;
    }
    std::vector<Eigen::Triplet<double, int>> t;
    t.reserve(c);
    for (size_t k = 0; k < c; ++k) t.emplace_back(rows[k], cols[k], vals[k]);
    a.setFromTriplets(t.begin(), t.end());
    return a;
  }

  bool LoadInd() {
    const EngineArray* ind = Var("ind", EngineArray::Class::Int32);
    if (!ind) return Fail("ind must be an int32 column");
    ind_.clear();
    for (int32_t v : ind->int32s) ind_.push_back(v - 1);
    return true;
  }

  bool FreeColumns() {
    if (!Need(sizeKnown_, "r")) return false;
    const int n = static_cast<int>(A_.cols());
    std::vector<char> fixed(n, 0);
    for (int c : ind_) {
      if (c < 0 || c >= n) return Fail("index out of bound; value out of bound");
      fixed[c] = 1;
    }
    free_.clear();
    for (int c = 0; c < n; ++c)
      if (!fixed[c]) free_.push_back(c);
    return true;
  }

  static SpMat Columns(const SpMat& a, const std::vector<int>& cols) {
    SpMat out(a.rows(), static_cast<int>(cols.size()));
    std::vector<int> nnz(cols.size());
    for (size_t k = 0; k < cols.size(); ++k) nnz[k] = a.col(cols[k]).nonZeros();
    out.reserve(nnz);
    for (size_t k = 0; k < cols.size(); ++k)
      for (SpMat::InnerIterator it(a, cols[k]); it; ++it)
        out.insert(it.row(), static_cast<int>(k)) = it.value();
    out.makeCompressed();
    return out;
  }

  bool SplitColumns() {
    if (!Need(haveA_, "A")) return false;
    Ar_ = Columns(A_, free_);
    Aind_ = Columns(A_, ind_);
    return true;
  }

  bool NormalMatrix() {
    xr0_ = (Ar_.transpose() * Ar_).pruned();
    return true;
  }

  bool ZeroSolution() {
    x_ = Vec::Zero(A_.cols());
    return true;
  }

  bool Order() {
    switch (kind_) {
      case CholeskyKind::Supernodal:
        factor_ =
            MakeCholmodFactor<Eigen::CholmodSupernodalLLT<SpMat, Eigen::Lower>>(CHOLMOD_SUPERNODAL);
        break;
      case CholeskyKind::SimplicialAmd:
        factor_ = std::make_unique<
            EigenFactor<Eigen::SimplicialLLT<SpMat, Eigen::Lower, Eigen::AMDOrdering<int>>>>();
        break;
      case CholeskyKind::CholmodSimplicial:
        factor_ =
            MakeCholmodFactor<Eigen::CholmodDecomposition<SpMat, Eigen::Lower>>(CHOLMOD_SIMPLICIAL);
        break;
    }
    factor_->Analyze(xr0_);
    ordered_ = true;
    factored_ = false;
    return true;
  }

  bool Cholesky() {
    if (!Need(ordered_, "P")) return false;
    if (xr0_.rows() == 0 || !factor_->Factorize(xr0_)) {
      factored_ = false;
      return Fail("chol: input matrix must be positive definite");
    }
    // Everything of the right-hand side that does not depend on vals.
    rhsOp_ = -(Ar_.transpose() * Aind_);
    factored_ = true;
    return true;
  }

  bool RightHandSide() {
    if (!Need(factored_, "R")) return false;
    const EngineArray* vals = Var("vals", EngineArray::Class::Double);
    if (!vals || vals->real.size() != ind_.size())
      return Fail("vals must be a double column of the length of ind");
    const Eigen::Map<const Vec> v(vals->real.data(), static_cast<Eigen::Index>(vals->real.size()));
    xr1_ = rhsOp_ * v;
    return true;
  }

  bool TriangularSolves() {
    if (!Need(factored_ && xr1_.size() == xr0_.rows(), "xr1")) return false;
    factor_->Solve(xr1_, xr_);
    haveXr_ = true;
    return true;
  }

  bool Assemble() {
    const EngineArray* vals = Var("vals", EngineArray::Class::Double);
    if (!Need(haveXr_ && vals && vals->real.size() == ind_.size(), "xr")) return false;
    x_.resize(A_.cols());
    for (size_t k = 0; k < ind_.size(); ++k) x_[ind_[k]] = vals->real[k];
    for (size_t k = 0; k < free_.size(); ++k) x_[free_[k]] = xr_[static_cast<Eigen::Index>(k)];
    haveX_ = true;
    return true;
  }

  CholeskyKind kind_;
  std::map<std::string, std::function<bool()>> handlers_;
  std::map<std::string, EngineArray> vars_;
  std::string error_;

  SpMat A_, Ar_, Aind_, xr0_, rhsOp_;
  std::vector<int> ind_, free_;
  std::unique_ptr<Factor> factor_;
  Vec xr1_, xr_, x_;
  bool haveA_ = false, sizeKnown_ = false, ordered_ = false, factored_ = false;
  bool haveXr_ = false, haveX_ = false;
};

}  // namespace

std::unique_ptr<NumericEngine> MakeBuiltinEngine(CholeskyKind kind) {
  return std::make_unique<BuiltinEngine>(kind);
}

}  // namespace quadrix
