#pragma once
// The normal equations of a least-squares energy with some coordinates
// fixed, made straight from its triplets: for A split into free columns Ar
// and fixed columns Ak, the lower triangle of Q = Ar'·Ar and the right-hand
// sides -Ar'·Ak·v for two vectors v of fixed values.

#include <Eigen/Core>
#include <vector>

#include "engine/bridge.hpp"
#include "engine/energy_backend.hpp"

namespace quadrix {

struct NormalEquations {
  SparseMatrix lower;      // nf x nf, column-major, compressed, rows sorted
  Eigen::VectorXd rhs[2];  // nf each
};

// a: the energy, a.m x a.n; duplicate entries add up. local: a.n entries,
// the free index (0 .. nf-1) of each column, or -1 for a fixed column.
// fixedValues[c]: a.n entries each, read at the fixed columns only.
// Entries of Q that come out exactly zero are left out of its pattern (an
// x and a y coordinate of one unit cancel; they would only add fill).
// threads: the columns of Q are made on two threads.
// Throws std::invalid_argument for an entry out of range.
NormalEquations MakeNormalEquations(const TripletMatrix& a, const std::vector<int>& local, int nf,
                                    const std::vector<double> fixedValues[2], bool threads);

}  // namespace quadrix
