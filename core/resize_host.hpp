#pragma once
// The resizing core: one host owns the aligned images, the quad mesh, the
// fixed border coordinates and the latest solution.
//
// Numbering. Grid vertex (row j, column i) is point j*(quadCountX+1)+i; line
// points follow in row-major quad order. Point p owns coordinate 2p (x) and
// 2p+1 (y); the engine sees them 1-based. Positions are pixels, origin
// top-left, y down.
//
// Use: set useScaleTerm and imgSrc (CV_8UC3), LoadImage, BuildEquationA once,
// then Resize for every size; solution holds 2*P floats after each Resize.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "base/perf_timer.hpp"
#include "core/inputs.hpp"
#include "core/mesh_guard.hpp"
#include "core/result_parts.hpp"
#include "engine/bridge.hpp"
#include "engine/energy_solver.hpp"
#include "engine/engine.hpp"

namespace quadrix {

// Below this shorter side no importance map is computed: too little is left
// at the map's working size. Such a photo gets a flat map instead.
inline constexpr int kMinComputedMapSide = 128;

// Points that should move by one common transform.
struct ConstrainUnits {
  int n = 0;
  std::vector<cv::Point2d> points;  // rest positions, source pixels
  std::vector<int32_t> indices;     // point numbers
  double weight = 0.0;

  // Resizes both arrays to n entries; n must not be 0.
  void SetNumber(int n);
};

// The residual matrices of the units of one list, in list order: they
// depend on the rest positions alone.
struct UnitResiduals {
  std::vector<cv::Mat> similarity, scale;  // scale: blended lists only
};

class ResizeHost {
 public:
  int quadSize = 20;
  cv::Mat imgSrc;      // CV_8UC3, aligned by LoadImage
  cv::Mat imgSal;      // CV_32FC1 importance, same size as imgSrc
  cv::Mat imgGray32F;  // CV_32FC1, 0.004 * grey level
  bool useScaleTerm = false;
  // Set before LoadImage. With parts.sharp the rest grid spans the photo's
  // exact size rather than its aligned copy, and the picture is drawn from
  // imgOriginal: one resampling, and at the photo's own size the picture is
  // the photo.
  ResultParts parts;
  cv::Mat imgOriginal;  // the photo as given to LoadImage (shares imgSrc's data)
  // Rest position = aligned position x these (1 without parts.sharp).
  double restScaleX = 1.0;
  double restScaleY = 1.0;
  int srcWidth = 0;
  int srcHeight = 0;
  int quadCountX = 0;
  int quadCountY = 0;
  int coordCount = 0;
  std::vector<double> vals;        // fixed values for the last size, order of ind
  std::vector<int32_t> ind;        // fixed coordinate numbers, 1-based
  std::vector<float> solution;     // all coordinates of the last solve
  std::vector<double> solution64;  // the same before rounding to float
  // The outside engine that receives the bridge's command lines, or null
  // when the built-in solver does the work in process.
  NumericEngine* engine = nullptr;
  float edgeLowThreshold = 5e-5f;
  float edgeHighThreshold = 0.015f;
  double sigma = 1.0;
  double linePointMargin = 0.0;
  double lineWeight = 1.0;
  double beta = 0.5;
  int minEdgeLength = 70;
  // The built-in solver may use a second thread for large guarded solves.
  bool solverThreads = true;
  // The diagnostic lines of the energy build on standard output (beta=,
  // quads.size=, quad5s.size=, edges.size=, A.m=).
  bool printDiagnostics = true;
  // The largest importance file LoadImage decodes, in pixels.
  std::int64_t maxPixels = kDefaultMaxPixels;

  // Rest positions of all points (2*P doubles, coordinate order) and, per line
  // point, the (column, row) of its quad; set by BuildEquationA.
  std::vector<double> restCoords;
  std::vector<cv::Point> linePointQuads;
  // False when the energy could not be factored; Resize then scales uniformly.
  bool contentAware = false;
  // Minimum quad scale of the guard against folding (see core/mesh_guard.hpp);
  // 0 solves without it. Read by BuildEquationA.
  double minScale = kDefaultMinScale;
  // The factored energy and the guard, made by BuildEquationA; the guard rows
  // the last Resize held (grid rows, and shear rows where they were needed).
  std::unique_ptr<EnergySolver> solver;
  // With parts.even: the energy for sizes whose height changes more than
  // their width, made when first needed (`solver` serves the others).
  std::unique_ptr<EnergySolver> heightSolver;
  MeshGuard guard;
  std::vector<char> guardRowsHeld;
  // What LoadImage chose for the user to know about, or empty: it is said
  // when the map is flat because the photo is too small to compute one.
  std::string notice;
  // The line detector's label image (CV_32SC1), kept by BuildEquationA: the
  // lines do not depend on the importance map, so a host made for another
  // map (CopyForImportance) builds its energy without detecting again.
  cv::Mat lineLabels;
  // Straight segments of the aligned grey image, (x0, y0, x1, y1) in aligned
  // pixels, found by the first BuildEquationA with parts.straight; shared
  // with the hosts made by CopyForImportance like lineLabels. Null until
  // detected.
  std::shared_ptr<const std::vector<cv::Vec4f>> straightSegments;
  // Segments shorter than this many quads are left to the quad units.
  double straightMinLength = 2.0;
  // Weight of a sample's distance across its segment's chord, per quad of
  // segment length; the same everywhere, as a bent line shows anywhere.
  double straightWeight = 10.0;
  // The same along the chord, as a share of straightWeight: moving along
  // the line does not bend it, so less weight lets lines stretch with the
  // content; with much less, slanted lines bent where the aspect changed.
  double straightAlong = 0.5;
  // The residual matrices of the quads, the quads with a line point and the
  // lines, made by the first BuildEquationA and shared with the hosts made
  // by CopyForImportance (whose units are the same, in the same order).
  std::shared_ptr<std::array<UnitResiduals, 3>> residuals;
  // Faces found when the map was computed with parts.faces (aligned pixels);
  // their regions count as important and keep their shape. Shared with the
  // hosts made by CopyForImportance, which do not search again.
  std::vector<cv::Rect> faces;
  // Why faces were not sought (no cascade, no detector), said once per
  // process; empty otherwise. For the program to tell.
  std::string faceNotice;
  // Round and compact objects (covering ellipses, aligned pixels), found by
  // the first BuildEquationA with parts.shapes and shared like the lines.
  std::vector<cv::RotatedRect> compactObjects;
  bool compactObjectsFound = false;
  // Called with the assembled energy matrix before it goes to the engine.
  std::function<void(const TripletMatrix&)> energyObserver;

  // Opens (or reuses) the process-wide engine connection when the chosen
  // engine is an outside one; throws EngineError when it cannot be opened.
  ResizeHost();
  // The same with a connection of the caller's (one per batch worker).
  explicit ResizeHost(EngineConnection& connection);
  ResizeHost(ResizeHost&&) noexcept;
  ResizeHost& operator=(ResizeHost&&) noexcept;
  ~ResizeHost();

  // salPath: importance image file, or null to compute the map (flat, 1.0
  // everywhere, with a notice, when the shorter side is below
  // kMinComputedMapSide). False when the file yields no image (read up to
  // maxPixels), or when an aligned side would be 0.
  bool LoadImage(const char* salPath);
  // The same with the importance file's grey levels already read (CV_8UC1),
  // or empty to compute the map.
  bool LoadImportance(const cv::Mat& importance8U);
  void AlignToQuadSize(cv::Mat& img);
  // The size the rest grid spans: the photo's own with the exact grid, else
  // the aligned one. What a picture "at the source size" means.
  cv::Size RestSize() const;
  // The pixels a picture is drawn from: the photo as given with the exact
  // grid, else the aligned copy.
  const cv::Mat& DrawImage() const { return parts.sharp ? imgOriginal : imgSrc; }
  // Detects lines, assembles the energy and has the engine factor it.
  void BuildEquationA();
  // After BuildEquationA: why every size will be scaled uniformly (the
  // energy could not be factored), for the program to tell; empty when the
  // solve is content-aware.
  std::string UniformFallbackNotice() const;
  // out[0]: coordinate count, out[1]: energy row count.
  void GetConstrainUnits(int out[2], const cv::Mat& impImg32F, const cv::Mat& grayImg32F,
                         std::vector<ConstrainUnits>& quads, std::vector<ConstrainUnits>& quad5s,
                         std::vector<ConstrainUnits>& edges, int quadSize, bool useScaleTerm,
                         int quadCountX, int quadCountY);
  // `cache`: the list's residual matrices, used when it holds them, else
  // filled.
  void AppendUnitRows(const std::vector<ConstrainUnits>& list, TripletMatrix& a, bool blend,
                      UnitResiduals* cache = nullptr);
  // Solves for the drawing area newWidth x newHeight (pixels): the minimum
  // of the energy with the border pinned, under the guard when minScale > 0.
  void Resize(int newWidth, int newHeight);

  // A host for the same photo and lines with the importance map
  // `importance32F` (the aligned size), ready for BuildEquationA. The images
  // are shared, not copied: neither host may change them in place. The
  // first guarded solve starts from the rows this host's last one held.
  ResizeHost CopyForImportance(const cv::Mat& importance32F) const;

 private:
  // The energy matrix for the side `axis` changes (with parts.even; the
  // same matrix for both without); `report`: time it, print the
  // diagnostics and call energyObserver.
  TripletMatrix AssembleEnergy(EvenAxis axis, bool report);
  // The solver for the side `axis`; made (or, with an outside engine,
  // swapped in) on first need.
  EnergySolver& SolverFor(EvenAxis axis);

  PerfTimer timer_;
  EnergyProblem problem_;  // kept for the second energy
  EvenAxis solverAxis_ = EvenAxis::kWidthChanges;
  std::vector<int32_t> startRows_;  // see CopyForImportance
};

// Line points of the quads, chosen from a detector label image (CV_32SC1,
// 0 none, k >= 1 line k) over a grid of C x R quads of q pixels.
struct QuadLinePoints {
  std::vector<cv::Point2d> linePoint;         // per quad, row-major
  std::vector<int32_t> pointNumber;           // per quad: point number, or -1
  std::vector<int32_t> lineOfQuad;            // per quad: index into lines, or -1
  std::vector<std::vector<cv::Point>> lines;  // kept lines: quads (col, row), row-major
  int pointCount = 0;                         // grid vertices plus line points
};
QuadLinePoints ChooseLinePoints(const cv::Mat& lineInd32S, int q, int C, int R, double margin);

// The evenly spaced grid of vx x vy vertices over width x height, in vertex
// order: steps float(W / (vx - 1)) and float(H / (vy - 1)), each position the
// product of the index and the float step, formed in double and rounded to
// float. This is what the picture shows in uniform mode.
void BuildUniformGrid(int vx, int vy, int width, int height, std::vector<float>& xy);

// An 8-bit importance image as the map (CV_32FC1): grey × 0.004, where
// grey 0 counts as grey 1, the smallest level a file can express. So a
// black area absorbs the stretch instead of leaving its quads without any
// weight (which leaves the energy without a minimum); a file without zeros
// gives exactly grey × 0.004.
cv::Mat ImportanceFromGrey(const cv::Mat& grey8U);

// How much of a size (W, H) is served by the energy for a changed width: 1
// when its width scale is further from 1 than its height scale (by more
// than a small band), 0 when the height's is, a linear blend between.
// `rest`: the photo's size.
double WidthChangeShare(double W, double H, cv::Size rest);

// Size of an image after alignment to whole quads of quadSize (a multiple of
// 4): each side to the nearest multiple, halves upward.
cv::Size AlignedSize(cv::Size size, int quadSize);

// 2n x 2n residual matrices (CV_64FC1): B*(B'B)^-1*B' - I for the similarity
// basis (rotation, uniform scale, translation) and the uniform-scale basis.
cv::Mat ComputeSimilarityMatrix(const ConstrainUnits& unit);
cv::Mat ComputeScaleMatrix(const ConstrainUnits& unit);

// Fixed coordinates (0-based) for a grid of qx by qy quads: top/bottom y pairs
// per column, then left/right x pairs per row.
void BuildFixedIndices(std::vector<int32_t>& ind, int qx, int qy);
// Their values for a target of newWidth x newHeight, in the same order.
void BuildFixedValues(std::vector<double>& vals, int qx, int qy, int newWidth, int newHeight);

}  // namespace quadrix
