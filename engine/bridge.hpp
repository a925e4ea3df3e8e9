#pragma once
// Transfer of the energy to the engine, and the command lines that factor
// it once per image and solve it once per size.

#include <cstdint>
#include <vector>

#include "engine/engine.hpp"

namespace quadrix {

struct Triplet {
  int row;  // 0-based
  int col;  // 0-based coordinate number
  double value;
};

// Sparse matrix under construction: m rows so far, n columns, entries in
// creation order (no two share a position).
struct TripletMatrix {
  int m = 0;
  int n = 0;
  std::vector<Triplet> entries;

  // Puts iv, jv (1-based, as doubles) and sv, then builds `name` from them.
  bool PutToEngine(NumericEngine* engine, const char* name = "A") const;
};

// Values of the fixed coordinates, as the double column "vals".
bool PutVals(NumericEngine* engine, const std::vector<double>& vals);
// 1-based fixed coordinate numbers, as the int32 column "ind".
bool PutInd(NumericEngine* engine, const std::vector<int32_t>& ind);

// Factorisation, after A and ind are in the workspace, in this order.
inline constexpr const char* kFactorLines[] = {
    "[M, N] = size(A);", "[P, K] = size(ind);",     "r = 1:N;",
    "r(ind) = [];",      "Ar = A(:, r);",           "xr0=Ar'*Ar;",
    "x = zeros(N, K);",  "b=zeros(size(A, 1), 1);", "P=amd(xr0);",
};
// The inverse permutation P1 of P, sent as one evaluation.
const char* InversePermutationLine();
inline constexpr const char* kCholLine = "R=chol(xr0(P,P));";

// Solve, after vals is in the workspace.
inline constexpr const char* kRhsLine = "xr1=Ar'*(b - A(:, ind)*vals);";
inline constexpr const char* kTriSolveLine = "xr = R\\(R'\\xr1(P));";
inline constexpr const char* kUnpermuteLine = "xr = xr(P1);";
inline constexpr const char* kAssembleLine = "x(ind, :) = vals;x(r, :) = xr;";

}  // namespace quadrix
