#pragma once
// The resizing core: one host owns the aligned images, the quad mesh, the
// fixed border coordinates and the latest solution.
//
// Numbering. Grid vertex (row j, column i) is point j*(quadCountX+1)+i; line
// points follow in row-major quad order. Point p owns coordinate 2p (x) and
// 2p+1 (y); the engine sees them 1-based. Positions are pixels, origin
// top-left, y down.
//
// Use (the precompute/solve split): build it from ResizeSettings, load the
// photo (LoadImage or LoadImportance), BuildEquationA once, then Resize for
// every size; solution() holds 2*P floats after each Resize.

#include <array>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "base/perf_timer.hpp"
#include "core/inputs.hpp"
#include "core/mesh_guard.hpp"
#include "core/result_parts.hpp"
#include "core/settings.hpp"
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
  // Opens (or reuses) the process-wide engine connection when the chosen
  // engine is an outside one; throws EngineError when it cannot be opened.
  explicit ResizeHost(const ResizeSettings& settings = {});
  // The same with a connection of the caller's (one per batch worker).
  ResizeHost(const ResizeSettings& settings, EngineConnection& connection);
  // On `engine` as it is (null: the built-in solver), opening nothing.
  ResizeHost(const ResizeSettings& settings, NumericEngine* engine);
  ResizeHost(ResizeHost&&) noexcept;
  ResizeHost& operator=(ResizeHost&&) noexcept;
  ~ResizeHost();

  // The checked images (core/inputs.hpp) aligned, the importance map
  // computed when none was given. Throws InputError when they cannot be
  // meshed.
  void Load(const InputImages& inputs);
  // Loads the photo (CV_8UC3, any size; its pixels are shared, not copied,
  // and must not change while the host lives) with the importance file
  // `salPath`, or null or empty to compute the map (flat, 1.0 everywhere,
  // with a notice, when the shorter side is below kMinComputedMapSide).
  // False when the file yields no image (read up to settings().maxPixels),
  // or when an aligned side would be 0.
  bool LoadImage(const cv::Mat& photo8UC3, const char* salPath);
  // The same with the importance file's grey levels already read
  // (CV_8UC1, any size that aligns to the photo's), or empty to compute
  // the map.
  // alpha8U: the photo's opacity (CV_8UC1 of its size), or empty when it
  // is opaque; a computed map counts transparent parts least.
  bool LoadImportance(const cv::Mat& photo8UC3, const cv::Mat& importance8U,
                      const cv::Mat& alpha8U = cv::Mat());
  // The same for a photo of `photoSize` pixels given only as its working
  // copy (CV_8UC3 of WorkingSize(photoSize, settings().WorkSide()) pixels):
  // everything but drawing needs no more. DrawImage() is then empty, and
  // the caller draws the photo itself through the mesh.
  bool LoadWorkingCopy(const cv::Mat& working8UC3, cv::Size photoSize, const cv::Mat& importance8U,
                       const cv::Mat& alpha8U = cv::Mat());
  // After a load: detects lines, assembles the energy and has the engine
  // factor it.
  void BuildEquationA();
  // After BuildEquationA, with parts.even and the built-in engine: factors
  // the energy for sizes whose height changes as well, which is otherwise
  // done by the first size near the photo's aspect (a drag's first step).
  void PrepareEnergies();
  // After BuildEquationA: solves for the drawing area newWidth x newHeight
  // (pixels), the minimum of the energy with the border pinned, under the
  // guard when settings().minScale > 0. The mesh is then solution().
  void Resize(int newWidth, int newHeight);

  // A host for the same photo and lines with the importance map
  // `importance32F` (CV_32FC1, the aligned size), ready for BuildEquationA,
  // on the same engine. The images are shared, not copied: neither host may
  // change them in place. The first guarded solve starts from the rows this
  // host's last one held. `parts`: the copy's switches of the energy
  // (straight, even, shapes); sharp and faces stay this host's, as they
  // need a new load.
  ResizeHost CopyForImportance(const cv::Mat& importance32F) const;
  ResizeHost CopyForImportance(const cv::Mat& importance32F, const ResultParts& parts) const;

  // Called with the assembled energy matrix before it goes to the engine;
  // null for none.
  void SetEnergyObserver(std::function<void(const TripletMatrix&)> observer) {
    energyObserver_ = std::move(observer);
  }
  // Pixels of `img` resized to whole quads, as the load aligns the photo.
  void AlignToQuadSize(cv::Mat& img) const;

  // The settings it was built with, quadSize rounded up to a multiple of 4.
  const ResizeSettings& settings() const { return settings_; }
  // The outside engine that receives the bridge's command lines, or null
  // when the built-in solver does the work in process.
  NumericEngine* engine() const { return engine_; }

  // After a load. The aligned photo (CV_8UC3), its importance map
  // (CV_32FC1) and grey image (CV_32FC1, 0.004 x grey level), all of the
  // aligned size srcWidth() x srcHeight().
  const cv::Mat& imgSrc() const { return imgSrc_; }
  const cv::Mat& imgSal() const { return imgSal_; }
  const cv::Mat& imgGray32F() const { return imgGray32F_; }
  int srcWidth() const { return srcWidth_; }
  int srcHeight() const { return srcHeight_; }
  // The size the rest grid spans: the photo's own with the exact grid, else
  // the aligned one. What a picture "at the source size" means.
  cv::Size RestSize() const;
  // The photo's own size, whichever grid and working copy it is solved on.
  cv::Size PhotoSize() const { return photoSize_; }
  // The pixels a picture is drawn from: the photo as given with the exact
  // grid (empty after LoadWorkingCopy), else the aligned copy.
  const cv::Mat& DrawImage() const { return settings_.parts.sharp ? imgOriginal_ : imgSrc_; }
  // What the load chose for the user to know about, or empty: it is said
  // when the map is flat because the photo is too small to compute one.
  const std::string& notice() const { return notice_; }
  // Why faces were not sought (no cascade, no detector), said once per
  // process; empty otherwise. For the program to tell.
  const std::string& faceNotice() const { return faceNotice_; }
  // Faces found when the map was computed with parts.faces (aligned
  // pixels); their regions count as important and keep their shape.
  const std::vector<cv::Rect>& faces() const { return faces_; }

  // After BuildEquationA. Quads across and down; coordinates in all (2*P).
  int quadCountX() const { return quadCountX_; }
  int quadCountY() const { return quadCountY_; }
  int coordCount() const { return coordCount_; }
  // Rest positions of all points (2*P doubles, coordinate order) and, per
  // line point, the (column, row) of its quad.
  const std::vector<double>& restCoords() const { return restCoords_; }
  const std::vector<cv::Point>& linePointQuads() const { return linePointQuads_; }
  // Fixed coordinate numbers, 1-based.
  const std::vector<int32_t>& ind() const { return ind_; }
  // False when the energy could not be factored; Resize then scales
  // uniformly.
  bool contentAware() const { return contentAware_; }
  // Why every size will be scaled uniformly (the energy could not be
  // factored), for the program to tell; empty when the solve is
  // content-aware.
  std::string UniformFallbackNotice() const;
  // The line detector's label image (CV_32SC1, the aligned size).
  const cv::Mat& lineLabels() const { return lineLabels_; }
  // Straight segments of the aligned grey image, (x0, y0, x1, y1) in
  // aligned pixels, with parts.straight; null until detected.
  const std::shared_ptr<const std::vector<cv::Vec4f>>& straightSegments() const {
    return straightSegments_;
  }
  // The factored energy, for tuning and statistics; and whether the energy
  // for sizes whose height changes (parts.even) has been made.
  EnergySolver& solver() { return *solver_; }
  const EnergySolver& solver() const { return *solver_; }
  bool hasHeightSolver() const { return heightSolver_ != nullptr; }
  // The guard against folding; empty without minScale.
  const MeshGuard& guard() const { return guard_; }

  // After Resize. All coordinates of the last solve, as floats and before
  // rounding; the fixed values for its size, in the order of ind(); the
  // guard rows it held (grid rows, and shear rows where they were needed).
  const std::vector<float>& solution() const { return solution_; }
  const std::vector<double>& solution64() const { return solution64_; }
  const std::vector<double>& vals() const { return vals_; }
  const std::vector<char>& guardRowsHeld() const { return guardRowsHeld_; }

 private:
  // The rows the energy adds beside the units (core/result_terms.hpp) read
  // and extend what the host found.
  friend void AppendStraightSegmentRows(ResizeHost& host, TripletMatrix& a);
  friend void AppendShapeRows(ResizeHost& host, TripletMatrix& a);

  // The units of the quads without and with a line point and of the lines
  // over the aligned images; sets restCoords_ and linePointQuads_.
  // out[0]: coordinate count, out[1]: energy row count.
  void GetConstrainUnits(int out[2], std::vector<ConstrainUnits>& quads,
                         std::vector<ConstrainUnits>& quad5s, std::vector<ConstrainUnits>& edges);
  // The line detector's labels of the grey image, unless they are kept.
  void DetectLines();
  // The photo aligned to whole quads and its grey copy, unless made.
  void AlignAndMakeGrey();
  // The edges linked and the straight segments found (on two threads), for
  // the energy to take later.
  void FindLinesAhead();
  // The straight segments searched on another thread, unless they are off
  // or found already (then the future is empty).
  std::future<std::vector<cv::Vec4f>> StartSegmentSearch() const;
  // `cache`: the list's residual matrices, used when it holds them, else
  // filled.
  void AppendUnitRows(const std::vector<ConstrainUnits>& list, TripletMatrix& a, bool blend,
                      UnitResiduals* cache = nullptr);
  // The energy matrix for the side `axis` changes (with parts.even; the
  // same matrix for both without); `report`: time it, print the
  // diagnostics and call the energy observer.
  TripletMatrix AssembleEnergy(EvenAxis axis, bool report);
  // The solver for the side `axis`; made (or, with an outside engine,
  // swapped in) on first need.
  EnergySolver& SolverFor(EvenAxis axis);

  ResizeSettings settings_;
  NumericEngine* engine_ = nullptr;
  cv::Mat imgSrc_;       // CV_8UC3, aligned
  cv::Mat imgSal_;       // CV_32FC1, same size
  cv::Mat imgGray32F_;   // CV_32FC1
  cv::Mat imgOriginal_;  // the photo as given (shares imgSrc_'s data when aligned)
  cv::Size photoSize_;   // the photo's size, also when only its working copy was given
  // Rest position = aligned position x these (1 without parts.sharp).
  double restScaleX_ = 1.0;
  double restScaleY_ = 1.0;
  int srcWidth_ = 0;
  int srcHeight_ = 0;
  int quadCountX_ = 0;
  int quadCountY_ = 0;
  int coordCount_ = 0;
  std::vector<double> vals_;
  std::vector<int32_t> ind_;
  std::vector<float> solution_;
  std::vector<double> solution64_;
  std::vector<double> restCoords_;
  std::vector<cv::Point> linePointQuads_;
  bool contentAware_ = false;
  std::string notice_;
  std::string faceNotice_;
  // The factored energy and the guard, made by BuildEquationA. With
  // parts.even heightSolver_ serves sizes whose height changes more than
  // their width, made when first needed.
  std::unique_ptr<EnergySolver> solver_;
  std::unique_ptr<EnergySolver> heightSolver_;
  MeshGuard guard_;
  std::vector<char> guardRowsHeld_;
  // Kept by BuildEquationA: the lines do not depend on the importance map,
  // so a host made for another map (CopyForImportance) builds its energy
  // without detecting again. The segments, residual matrices, faces and
  // compact objects are shared with such hosts in the same way.
  cv::Mat lineLabels_;
  std::shared_ptr<const std::vector<cv::Vec4f>> straightSegments_;
  // The residual matrices of the quads, the quads with a line point and the
  // lines (the copies' units are the same, in the same order).
  std::shared_ptr<std::array<UnitResiduals, 3>> residuals_;
  // The analysis of the energy this host was copied from, for its factor.
  std::shared_ptr<const CholmodFactor> analysis_;
  std::vector<cv::Rect> faces_;
  // Round and compact objects (covering ellipses, aligned pixels), found by
  // the first BuildEquationA with parts.shapes.
  std::vector<cv::RotatedRect> compactObjects_;
  bool compactObjectsFound_ = false;
  std::function<void(const TripletMatrix&)> energyObserver_;

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
