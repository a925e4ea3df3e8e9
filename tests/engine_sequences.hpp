#pragma once
// The bridge's factorisation and solve sequences, driven directly on an
// engine, for the engine tests.

#include <gtest/gtest.h>

#include <vector>

#include "engine/bridge.hpp"
#include "engine/engine.hpp"

namespace enginetest {

// Runs the factorisation sequence; returns false at the first failing line.
inline bool Factor(quadrix::NumericEngine& e, const quadrix::TripletMatrix& a,
                   const std::vector<int32_t>& ind1) {
  using namespace quadrix;
  if (!a.PutToEngine(&e) || !PutInd(&e, ind1)) return false;
  for (const char* line : kFactorLines)
    if (!e.EvalString(line)) return false;
  return e.EvalString(InversePermutationLine()) && e.EvalString(kCholLine);
}

// One solve for vals; x as read back.
inline std::vector<double> Solve(quadrix::NumericEngine& e, const std::vector<double>& vals) {
  using namespace quadrix;
  EXPECT_TRUE(PutVals(&e, vals));
  for (const char* line : {kRhsLine, kTriSolveLine, kUnpermuteLine, kAssembleLine})
    EXPECT_TRUE(e.EvalString(line)) << line << ": " << e.LastError();
  EngineArray x;
  EXPECT_TRUE(e.GetVariable("x", x)) << e.LastError();
  EXPECT_EQ(x.cls, EngineArray::Class::Double);
  return x.real;
}

}  // namespace enginetest
