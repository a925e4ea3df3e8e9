#pragma once
// The guard that keeps the mesh from folding: every grid edge keeps its
// direction with a minimum length, a share m (the minimum quad scale) of what
// plain scaling gives it. With vertex (row j, column i) as point
// j·(qx+1)+i, coordinates 2p (x) and 2p+1 (y):
//
//   x(j, i+1) − x(j, i) >= m·W/qx   for every row j and column i < qx
//   y(j+1, i) − y(j, i) >= m·H/qy   for every column i and row j < qy
//
// in that order (the grid rows). The mesh is drawn as two triangles per quad,
// split from top-left to bottom-right; the grid rows alone cannot keep those
// from turning over under strong shear. So every inner edge also has two
// shear rows, |perpendicular offset| <= s·(length along its direction) with
// s = kShearSlope, which together keep both triangles of a quad positively
// oriented. Shear rows are only enabled for the edges of a triangle that
// would otherwise come out thin or flipped (see EnableShearRows).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/energy_solver.hpp"

namespace quadrix {

// Chosen from side-by-side pictures of the sample photos (docs/).
inline constexpr double kDefaultMinScale = 0.3;
// Steepest slope of an edge across its own direction under a shear row.
inline constexpr double kShearSlope = 0.9;

struct MeshGuard {
  GuardRows rows;
  int qx = 0, qy = 0;
  double minScale = 0;
  int gridRows = 0;  // rows [0, gridRows) are the grid rows
  // First of the two shear rows of each edge, or -1 on the border (where
  // the perpendicular coordinates are fixed and equal): horizontal edge
  // (j, i) at j·qx + i, vertical edge (j, i) at i·qy + j.
  std::vector<int32_t> horizontalShear, verticalShear;
};

// The guard of a grid of qx by qy quads with minimum quad scale m (0 < m < 1).
MeshGuard BuildMeshGuard(int qx, int qy, double m);

// Flags for the rows to hold at first: the grid rows.
std::vector<char> GridRowsEnabled(const MeshGuard& guard);

// The drawn triangles of the mesh x (coordinate order) at the size W x H
// whose doubled area is below kThinTriangle·m²·(W/qx)·(H/qy), or negative:
// (quad row, quad column, triangle 0 = top-right, 1 = bottom-left).
struct ThinTriangle {
  int j, i, t;
};
inline constexpr double kThinTriangle = 0.05;
std::vector<ThinTriangle> FindThinTriangles(const MeshGuard& guard, double W, double H,
                                            const std::vector<double>& x);

// Enables the shear rows of both edges of every thin triangle; returns how
// many rows were newly enabled.
int EnableShearRows(const MeshGuard& guard, const std::vector<ThinTriangle>& thin,
                    std::vector<char>& enabled);

// "none" -> 0 (no guard); a number in (0, 1) -> itself; anything else ->
// nothing.
std::optional<double> ParseMinScale(const std::string& text);
// QUADRIX_MIN_SCALE when set and not empty, else kDefaultMinScale. Throws
// std::invalid_argument naming the variable and its value when invalid.
double MinScaleFromEnvironment();

}  // namespace quadrix
