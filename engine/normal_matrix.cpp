#include "engine/normal_matrix.hpp"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <thread>

namespace quadrix {

namespace {

// The free entries of A twice over: by column (to find the rows that hold
// a coordinate) and by row (to find what else those rows hold).
struct Compressed {
  std::vector<int> colStart, colRows;
  std::vector<double> colValues;
  std::vector<int> rowStart, rowCols;
  std::vector<double> rowValues;
};

Compressed CompressFree(const TripletMatrix& a, const std::vector<int>& local, int nf) {
  Compressed c;
  c.colStart.assign(static_cast<size_t>(nf) + 1, 0);
  c.rowStart.assign(static_cast<size_t>(a.m) + 1, 0);
  for (const Triplet& t : a.entries) {
    if (local[t.col] < 0) continue;
    ++c.colStart[local[t.col] + 1];
    ++c.rowStart[t.row + 1];
  }
  for (int j = 0; j < nf; ++j) c.colStart[j + 1] += c.colStart[j];
  for (int r = 0; r < a.m; ++r) c.rowStart[r + 1] += c.rowStart[r];
  const size_t count = static_cast<size_t>(c.colStart.back());
  c.colRows.resize(count);
  c.colValues.resize(count);
  c.rowCols.resize(count);
  c.rowValues.resize(count);
  std::vector<int> nextCol(c.colStart.begin(), c.colStart.end() - 1);
  std::vector<int> nextRow(c.rowStart.begin(), c.rowStart.end() - 1);
  for (const Triplet& t : a.entries) {
    const int j = local[t.col];
    if (j < 0) continue;
    const int p = nextCol[j]++;
    c.colRows[p] = t.row;
    c.colValues[p] = t.value;
    const int q = nextRow[t.row]++;
    c.rowCols[q] = j;
    c.rowValues[q] = t.value;
  }
  return c;
}

// Columns [begin, end) of the lower triangle of Ar'·Ar (Gustavson's
// method, one column at a time into a scattered accumulator).
struct Part {
  std::vector<int> start;  // end - begin + 1 offsets into rows and values
  std::vector<int> rows;
  std::vector<double> values;
};

Part LowerColumns(const Compressed& c, int nf, int begin, int end) {
  Part part;
  part.start.reserve(static_cast<size_t>(end - begin) + 1);
  part.start.push_back(0);
  std::vector<int> mark(static_cast<size_t>(nf), -1);
  std::vector<double> sum(static_cast<size_t>(nf), 0.0);
  std::vector<int> touched;
  for (int j = begin; j < end; ++j) {
    touched.clear();
    for (int p = c.colStart[j]; p < c.colStart[j + 1]; ++p) {
      const int r = c.colRows[p];
      const double v = c.colValues[p];
      for (int q = c.rowStart[r]; q < c.rowStart[r + 1]; ++q) {
        const int i = c.rowCols[q];
        if (i < j) continue;
        if (mark[i] != j) {
          mark[i] = j;
          sum[i] = 0.0;
          touched.push_back(i);
        }
        sum[i] += v * c.rowValues[q];
      }
    }
    std::sort(touched.begin(), touched.end());
    for (const int i : touched)
      if (sum[i] != 0.0) {
        part.rows.push_back(i);
        part.values.push_back(sum[i]);
      }
    part.start.push_back(static_cast<int>(part.rows.size()));
  }
  return part;
}

}  // namespace

NormalEquations MakeNormalEquations(const TripletMatrix& a, const std::vector<int>& local, int nf,
                                    const std::vector<double> fixedValues[2], bool threads) {
  if (local.size() != static_cast<size_t>(a.n) || fixedValues[0].size() != local.size() ||
      fixedValues[1].size() != local.size())
    throw std::invalid_argument("MakeNormalEquations: one entry per column is needed");
  for (const Triplet& t : a.entries)
    if (t.row < 0 || t.row >= a.m || t.col < 0 || t.col >= a.n)
      throw std::invalid_argument("energy matrix entry out of range");

  NormalEquations out;
  // Right-hand sides: the fixed part of each row, then back through Ar'.
  for (int s = 0; s < 2; ++s) {
    std::vector<double> fixedPart(static_cast<size_t>(a.m), 0.0);
    for (const Triplet& t : a.entries)
      if (local[t.col] < 0) fixedPart[t.row] += t.value * fixedValues[s][t.col];
    out.rhs[s] = Eigen::VectorXd::Zero(nf);
    for (const Triplet& t : a.entries)
      if (local[t.col] >= 0) out.rhs[s][local[t.col]] -= t.value * fixedPart[t.row];
  }

  const Compressed c = CompressFree(a, local, nf);
  // Two halves of about equal work (entries of Ar by column as its measure).
  int split = nf;
  if (threads && nf > 1) {
    const int half = c.colStart.back() / 2;
    split = static_cast<int>(std::lower_bound(c.colStart.begin(), c.colStart.end(), half) -
                             c.colStart.begin());
    split = std::clamp(split, 1, nf);
  }
  Part second;
  std::exception_ptr failure;
  std::thread helper;
  if (split < nf) {
    helper = std::thread([&] {
      try {
        second = LowerColumns(c, nf, split, nf);
      } catch (...) {
        failure = std::current_exception();
      }
    });
  }
  Part first;
  try {
    first = LowerColumns(c, nf, 0, split);
  } catch (...) {
    if (helper.joinable()) helper.join();
    throw;
  }
  if (helper.joinable()) helper.join();
  if (failure) std::rethrow_exception(failure);

  const size_t nnz = first.rows.size() + second.rows.size();
  out.lower.resize(nf, nf);
  out.lower.resizeNonZeros(static_cast<Eigen::Index>(nnz));
  int* start = out.lower.outerIndexPtr();
  std::copy(first.start.begin(), first.start.end(), start);
  const int offset = static_cast<int>(first.rows.size());
  for (size_t k = 1; k < second.start.size(); ++k) start[split + k] = offset + second.start[k];
  std::copy(first.rows.begin(), first.rows.end(), out.lower.innerIndexPtr());
  std::copy(second.rows.begin(), second.rows.end(), out.lower.innerIndexPtr() + offset);
  std::copy(first.values.begin(), first.values.end(), out.lower.valuePtr());
  std::copy(second.values.begin(), second.values.end(), out.lower.valuePtr() + offset);
  return out;
}

}  // namespace quadrix
