#include "engine/cholmod_factor.hpp"

#include <cholmod.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <stdexcept>

namespace quadrix {

struct CholmodFactor::Common {
  cholmod_common c;
  Common() {
    cholmod_start(&c);
    c.print = 0;  // failures are reported through return values
    c.error_handler = nullptr;
    // Factored in dense blocks (BLAS does the work, several times faster
    // than column by column), then turned into the simplicial LDL' that
    // updates and downdates in place.
    c.supernodal = CHOLMOD_SUPERNODAL;
    c.final_asis = 0;
    c.final_super = 0;
    c.final_ll = 0;
  }
  ~Common() { cholmod_finish(&c); }
};

namespace {

// LDL' goes through indefinite matrices without complaint: the factor is of
// a positive definite matrix when every pivot is, clearly, above zero.
bool PivotsPositive(const cholmod_factor* f) {
  const int* p = static_cast<const int*>(f->p);
  const double* x = static_cast<const double*>(f->x);
  double largest = 0.0;
  for (size_t j = 0; j < f->n; ++j) largest = std::max(largest, x[p[j]]);
  const double floor = 1e-13 * largest;
  for (size_t j = 0; j < f->n; ++j)
    if (!(x[p[j]] > floor)) return false;
  return largest > 0.0;
}

// A view of an Eigen matrix's lower triangle as a CHOLMOD matrix; no copy.
cholmod_sparse ViewLower(const SparseMatrix& m) {
  cholmod_sparse s;
  std::memset(&s, 0, sizeof s);
  s.nrow = static_cast<size_t>(m.rows());
  s.ncol = static_cast<size_t>(m.cols());
  s.nzmax = static_cast<size_t>(m.nonZeros());
  s.p = const_cast<int*>(m.outerIndexPtr());
  s.i = const_cast<int*>(m.innerIndexPtr());
  s.x = const_cast<double*>(m.valuePtr());
  s.stype = -1;
  s.itype = CHOLMOD_INT;
  s.xtype = CHOLMOD_REAL;
  s.dtype = CHOLMOD_DOUBLE;
  s.sorted = 1;
  s.packed = 1;
  return s;
}

// The lower triangle holding the entries of `a` and those of the pattern
// (start, rows), with zeros in the new places.
SparseMatrix JoinPatterns(const SparseMatrix& a, const std::vector<int>& start,
                          const std::vector<int>& rows) {
  const int n = static_cast<int>(a.cols());
  std::vector<int> outer(static_cast<size_t>(n) + 1, 0);
  std::vector<int> inner;
  inner.reserve(std::max(static_cast<size_t>(a.nonZeros()), rows.size()));
  for (int j = 0; j < n; ++j) {
    const int* p = a.innerIndexPtr() + a.outerIndexPtr()[j];
    const int* pEnd = a.innerIndexPtr() + a.outerIndexPtr()[j + 1];
    std::set_union(p, pEnd, rows.data() + start[j], rows.data() + start[j + 1],
                   std::back_inserter(inner));
    outer[j + 1] = static_cast<int>(inner.size());
  }
  SparseMatrix joined(n, n);
  joined.resizeNonZeros(static_cast<Eigen::Index>(inner.size()));
  std::copy(outer.begin(), outer.end(), joined.outerIndexPtr());
  std::copy(inner.begin(), inner.end(), joined.innerIndexPtr());
  std::fill(joined.valuePtr(), joined.valuePtr() + inner.size(), 0.0);
  return joined;
}

constexpr char kBlasThreads[] = "OPENBLAS_NUM_THREADS";
// Says that kBlasThreads is ours, not the user's.
constexpr char kBlasThreadsOurs[] = "QUADRIX_OPENBLAS_NUM_THREADS_SET";
constexpr char kBlasOneThread[] = "OPENBLAS_NUM_THREADS=1";
constexpr char kBlasThreadsOursSet[] = "QUADRIX_OPENBLAS_NUM_THREADS_SET=1";

}  // namespace

std::array<const char*, 2> OneBlasThreadOnRestart(char** envp) {
  const size_t len = std::strlen(kBlasThreads);
  for (char** e = envp; e != nullptr && *e != nullptr; ++e)
    if (std::strncmp(*e, kBlasThreads, len) == 0 && (*e)[len] == '=') return {nullptr, nullptr};
  return {kBlasOneThread, kBlasThreadsOursSet};
}

void UseOneBlasThread() {
  if (std::getenv(kBlasThreadsOurs) != nullptr) {
    unsetenv(kBlasThreads);
    unsetenv(kBlasThreadsOurs);
  }
  using SetThreads = void (*)(int);
  if (auto set = reinterpret_cast<SetThreads>(dlsym(RTLD_DEFAULT, "openblas_set_num_threads")))
    set(1);
}

CholmodFactor::CholmodFactor() {
  for (Workspace& w : slots_) w.common = std::make_unique<Common>();
}

CholmodFactor::~CholmodFactor() {
  for (Workspace& w : slots_) {
    cholmod_common* c = &w.common->c;
    if (w.x) cholmod_free_dense(&w.x, c);
    if (w.y) cholmod_free_dense(&w.y, c);
    if (w.e) cholmod_free_dense(&w.e, c);
  }
  cholmod_common* c = &slots_[0].common->c;
  if (factor_) cholmod_free_factor(&factor_, c);
  if (symbolic_) cholmod_free_factor(&symbolic_, c);
}

void CholmodFactor::Analyze(const SparseMatrix& pattern) {
  if (pattern.rows() != pattern.cols() || !pattern.isCompressed())
    throw std::invalid_argument("CholmodFactor::Analyze: a square compressed matrix is needed");
  cholmod_common* c = &slots_[0].common->c;
  if (factor_) cholmod_free_factor(&factor_, c);
  if (symbolic_) cholmod_free_factor(&symbolic_, c);
  factored_ = false;
  n_ = static_cast<int>(pattern.rows());
  cholmod_sparse a = ViewLower(pattern);
  symbolic_ = cholmod_analyze(&a, c);
  if (symbolic_ == nullptr) throw std::bad_alloc();
  const int* perm = static_cast<const int*>(symbolic_->Perm);
  inversePerm_.assign(static_cast<size_t>(n_), 0);
  for (int k = 0; k < n_; ++k) inversePerm_[perm[k]] = k;
  patternStart_.assign(pattern.outerIndexPtr(), pattern.outerIndexPtr() + n_ + 1);
  patternRows_.assign(pattern.innerIndexPtr(), pattern.innerIndexPtr() + pattern.nonZeros());
}

bool CholmodFactor::AnalyzeLike(const CholmodFactor& other, const SparseMatrix& pattern) {
  // Every entry of `pattern` among those analysed: the analysis (ordering
  // and the pattern of L) then holds, with some entries of L staying zero.
  const bool comparable = other.symbolic_ != nullptr && pattern.isCompressed() &&
                          pattern.rows() == other.n_ && pattern.cols() == other.n_;
  bool same = comparable;
  for (int j = 0; same && j < other.n_; ++j) {
    const int* rows = pattern.innerIndexPtr() + pattern.outerIndexPtr()[j];
    const int* end = pattern.innerIndexPtr() + pattern.outerIndexPtr()[j + 1];
    const int* known = other.patternRows_.data() + other.patternStart_[j];
    const int* knownEnd = other.patternRows_.data() + other.patternStart_[j + 1];
    same = std::includes(known, knownEnd, rows, end);
  }
  if (!same) {
    // Painting moves rows in and out (an object's shape held only while
    // it is not important already): the analysis made for both patterns
    // serves the next stroke either way, at a little more fill.
    Analyze(comparable ? JoinPatterns(pattern, other.patternStart_, other.patternRows_) : pattern);
    return false;
  }
  cholmod_common* c = &slots_[0].common->c;
  if (factor_) cholmod_free_factor(&factor_, c);
  if (symbolic_) cholmod_free_factor(&symbolic_, c);
  factored_ = false;
  n_ = other.n_;
  symbolic_ = cholmod_copy_factor(other.symbolic_, c);
  if (symbolic_ == nullptr) throw std::bad_alloc();
  inversePerm_ = other.inversePerm_;
  patternStart_ = other.patternStart_;
  patternRows_ = other.patternRows_;
  return true;
}

bool CholmodFactor::Factorize(const SparseMatrix& lower) {
  cholmod_common* c = &slots_[0].common->c;
  if (symbolic_ == nullptr) throw std::logic_error("CholmodFactor::Factorize before Analyze");
  // From a fresh copy of the analysis each time: an updated factor's
  // columns have moved about, a fresh one is laid out in order.
  if (factor_) cholmod_free_factor(&factor_, c);
  factored_ = false;
  factor_ = cholmod_copy_factor(symbolic_, c);
  if (factor_ == nullptr) throw std::bad_alloc();
  cholmod_sparse a = ViewLower(lower);
  const int ok = cholmod_factorize(&a, factor_, c);
  if (c->status == CHOLMOD_OUT_OF_MEMORY) throw std::bad_alloc();
  factored_ = ok && c->status == CHOLMOD_OK && PivotsPositive(factor_);
  return factored_;
}

void CholmodFactor::Solve(double* b, int cols, int slot) {
  if (!factored_) throw std::logic_error("CholmodFactor::Solve without a factor");
  SolveInPlace({CHOLMOD_A}, b, cols, slot);
}

// Applies CHOLMOD's systems in turn to the block b, in place.
void CholmodFactor::SolveInPlace(std::initializer_list<int> systems, double* b, int cols,
                                 int slot) {
  Workspace& w = slots_.at(static_cast<size_t>(slot));
  cholmod_dense in;
  std::memset(&in, 0, sizeof in);
  in.nrow = static_cast<size_t>(n_);
  in.ncol = static_cast<size_t>(cols);
  in.nzmax = in.nrow * in.ncol;
  in.d = in.nrow;
  in.x = b;
  in.xtype = CHOLMOD_REAL;
  in.dtype = CHOLMOD_DOUBLE;
  for (int sys : systems) {
    if (!cholmod_solve2(sys, factor_, &in, nullptr, &w.x, nullptr, &w.y, &w.e, &w.common->c))
      throw std::bad_alloc();
    std::memcpy(b, w.x->x, sizeof(double) * in.nzmax);
  }
}

std::unique_ptr<CholmodFactor> CholmodFactor::Clone() const {
  auto copy = std::make_unique<CholmodFactor>();
  cholmod_common* c = &copy->slots_[0].common->c;
  copy->n_ = n_;
  copy->inversePerm_ = inversePerm_;
  copy->patternStart_ = patternStart_;
  copy->patternRows_ = patternRows_;
  if (symbolic_) {
    copy->symbolic_ = cholmod_copy_factor(symbolic_, c);
    if (copy->symbolic_ == nullptr) throw std::bad_alloc();
  }
  if (factor_) {
    copy->factor_ = cholmod_copy_factor(factor_, c);
    if (copy->factor_ == nullptr) throw std::bad_alloc();
  }
  copy->factored_ = factored_;
  return copy;
}

void CholmodFactor::ForwardSparse(const std::vector<int>& rows, const std::vector<double>& values,
                                  std::vector<int>& index, std::vector<double>& w,
                                  std::vector<double>& scratch, std::vector<char>& mark) const {
  if (!factored_) throw std::logic_error("CholmodFactor::ForwardSparse without a factor");
  const int* lp = static_cast<const int*>(factor_->p);
  const int* li = static_cast<const int*>(factor_->i);
  const int* lnz = static_cast<const int*>(factor_->nz);
  const double* lx = static_cast<const double*>(factor_->x);
  // The entries of w lie on the paths from b's rows to the root of the
  // elimination tree; a column's parent is its first row below the diagonal.
  index.clear();
  for (size_t e = 0; e < rows.size(); ++e) {
    int j = inversePerm_[rows[e]];
    scratch[j] += values[e];
    while (j >= 0 && !mark[j]) {
      mark[j] = 1;
      index.push_back(j);
      j = lnz[j] > 1 ? li[lp[j] + 1] : -1;
    }
  }
  std::sort(index.begin(), index.end());
  w.resize(index.size());
  for (size_t k = 0; k < index.size(); ++k) {
    const int j = index[k];
    const double wj = scratch[j];
    for (int p = lp[j] + 1; p < lp[j] + lnz[j]; ++p) scratch[li[p]] -= lx[p] * wj;
  }
  for (size_t k = 0; k < index.size(); ++k) {
    w[k] = scratch[index[k]];
    scratch[index[k]] = 0.0;
    mark[index[k]] = 0;
  }
}

double CholmodFactor::Pivot(int k) const {
  return static_cast<const double*>(factor_->x)[static_cast<const int*>(factor_->p)[k]];
}

void CholmodFactor::BackwardSolve(double* y, int cols, int slot) {
  if (!factored_) throw std::logic_error("CholmodFactor::BackwardSolve without a factor");
  SolveInPlace({CHOLMOD_Lt, CHOLMOD_Pt}, y, cols, slot);
}

bool CholmodFactor::UpdateDown(bool update, const std::vector<Column>& columns) {
  if (!factored_) throw std::logic_error("CholmodFactor::UpdateDown without a factor");
  if (columns.empty()) return true;
  cholmod_common* c = &slots_[0].common->c;
  size_t nnz = 0;
  for (const Column& col : columns) nnz += col.rows.size();
  cholmod_sparse* m = cholmod_allocate_sparse(static_cast<size_t>(n_), columns.size(), nnz, 1, 1, 0,
                                              CHOLMOD_REAL, c);
  if (m == nullptr) throw std::bad_alloc();
  int* p = static_cast<int*>(m->p);
  int* rows = static_cast<int*>(m->i);
  double* vals = static_cast<double*>(m->x);
  // L is the factor of the permuted matrix, so the columns are permuted too.
  std::vector<std::pair<int, double>> entries;
  int at = 0;
  for (size_t k = 0; k < columns.size(); ++k) {
    p[k] = at;
    entries.clear();
    for (size_t e = 0; e < columns[k].rows.size(); ++e)
      entries.emplace_back(inversePerm_[columns[k].rows[e]], columns[k].values[e]);
    std::sort(entries.begin(), entries.end());
    for (const auto& [r, v] : entries) {
      rows[at] = r;
      vals[at] = v;
      ++at;
    }
  }
  p[columns.size()] = at;
  const int ok = cholmod_updown(update ? 1 : 0, m, factor_, c);
  cholmod_free_sparse(&m, c);
  if (c->status == CHOLMOD_OUT_OF_MEMORY) throw std::bad_alloc();
  if (!ok || c->status != CHOLMOD_OK || !PivotsPositive(factor_)) {
    factored_ = false;
    return false;
  }
  return true;
}

}  // namespace quadrix
