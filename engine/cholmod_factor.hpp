#pragma once
// A sparse symmetric positive definite matrix F factored as P'·L·D·L'·P with
// CHOLMOD's simplicial LDL' (so that it can be updated and downdated in
// place), behind a small owning wrapper. The numeric factor is computed in
// dense blocks through the BLAS, which must take calls from several threads
// at once (OpenBLAS's pthread build does; its serial build does not).

#include <Eigen/SparseCore>
#include <array>
#include <initializer_list>
#include <memory>
#include <vector>

struct cholmod_factor_struct;
struct cholmod_dense_struct;

namespace quadrix {

using SparseMatrix = Eigen::SparseMatrix<double, Eigen::ColMajor, int>;

// For the programs, first thing: OpenBLAS computes on the calling thread
// only. Their own threads (a batch's workers, the analysis beside the
// window) fill the processors already, and BLAS threads would wait on them.
// Nothing happens under another BLAS. Gives back the environment that
// OneBlasThreadOnRestart added, so that programs started from here
// (the outside engine) see the user's.
void UseOneBlasThread();

// What a program restarting itself (RestartWithHugePageMalloc) adds to its
// environment `envp`: OpenBLAS starts its threads as it loads, and they
// spin for a while on a processor the program needs, so the restarted run
// asks for one thread, with a mark that the count is ours. Both null when
// the user chose a count. Uses string functions alone (see the restart).
std::array<const char*, 2> OneBlasThreadOnRestart(char** envp);

class CholmodFactor {
 public:
  // Solves may run on this many threads at once, one per slot.
  static constexpr int kSlots = 2;

  CholmodFactor();
  ~CholmodFactor();
  CholmodFactor(const CholmodFactor&) = delete;
  CholmodFactor& operator=(const CholmodFactor&) = delete;

  // Chooses the fill-reducing ordering and the pattern of L for matrices
  // whose stored entries (zeros included) lie in the lower triangle of
  // `pattern`, which must be square and compressed.
  void Analyze(const SparseMatrix& pattern);
  // The same, taking `other`'s analysis when every entry of `pattern` lies
  // in the pattern it was made for (the ordering is most of the cost);
  // true when it does. Else analyses the two patterns joined, so that the
  // next matrix with either pattern can take this analysis.
  bool AnalyzeLike(const CholmodFactor& other, const SparseMatrix& pattern);
  // Factors `lower` (the lower triangle, its entries within the pattern
  // analysed). False when it is not positive definite.
  bool Factorize(const SparseMatrix& lower);
  bool Factored() const { return factored_; }
  int Rows() const { return n_; }

  // Solves F·X = B in place for a column-major block of `cols` columns.
  // Different slots may solve at the same time; one slot is one thread.
  void Solve(double* b, int cols, int slot = 0);

  // A copy: same analysis, same values, own workspaces.
  std::unique_ptr<CholmodFactor> Clone() const;

  // For a factor that was never updated or downdated, whose columns hold
  // their rows in order: w = L⁻¹·P·b for a sparse b (rows of F), as
  // ascending (index, value) pairs in the factor's own numbering. `scratch`
  // (n zeros) and `mark` (n zeros) are the caller's and come back as given.
  void ForwardSparse(const std::vector<int>& rows, const std::vector<double>& values,
                     std::vector<int>& index, std::vector<double>& w, std::vector<double>& scratch,
                     std::vector<char>& mark) const;
  // The pivot D(k, k), k in the factor's numbering.
  double Pivot(int k) const;
  // In place, for `cols` columns in the factor's numbering: y = P'·L'⁻¹·y.
  void BackwardSolve(double* y, int cols, int slot = 0);

  // F ± C·C', C given by columns: each a list of (row, value) over F's rows.
  // False when a downdate would leave F not positive definite (the factor is
  // then unusable until the next Factorize).
  struct Column {
    std::vector<int> rows;
    std::vector<double> values;
  };
  bool UpdateDown(bool update, const std::vector<Column>& columns);

 private:
  void SolveInPlace(std::initializer_list<int> systems, double* b, int cols, int slot);
  struct Common;
  struct Workspace {
    std::unique_ptr<Common> common;
    cholmod_dense_struct* x = nullptr;
    cholmod_dense_struct* y = nullptr;
    cholmod_dense_struct* e = nullptr;
  };
  std::array<Workspace, kSlots> slots_;        // slot 0's common also owns the factor
  cholmod_factor_struct* symbolic_ = nullptr;  // the analysis, kept for refactoring
  cholmod_factor_struct* factor_ = nullptr;
  std::vector<int> inversePerm_;
  std::vector<int> patternStart_, patternRows_;  // what was analysed
  int n_ = 0;
  bool factored_ = false;
};

}  // namespace quadrix
