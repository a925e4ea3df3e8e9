// Host construction, image loading and alignment, energy build and the
// per-size solve.

#include "core/resize_host.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <future>
#include <opencv2/imgproc.hpp>
#include <string>

#include "base/check.hpp"
#include "base/hugepages.hpp"
#include "core/result_terms.hpp"
#include "imageio/image_file.hpp"
#include "saliency/face_detect.hpp"
#include "saliency/image_attention.hpp"

namespace quadrix {

namespace {

// A large image is offered huge pages before anything touches it.
cv::Mat NewImage(cv::Size size, int type) {
  cv::Mat m(size, type);
  AdviseHugePages(m.data, m.total() * m.elemSize());
  return m;
}

int AlignedSide(int side, int quadSize) {
  return static_cast<int>(side / static_cast<double>(quadSize) + 0.5) * quadSize;
}

}  // namespace

cv::Mat ImportanceFromGrey(const cv::Mat& grey8U) {
  cv::Mat atLeastOne, sal32F;
  cv::max(grey8U, 1, atLeastOne);
  atLeastOne.convertTo(sal32F, CV_32F, 0.004, 0.0);
  return sal32F;
}

cv::Size AlignedSize(cv::Size size, int quadSize) {
  return {AlignedSide(size.width, quadSize), AlignedSide(size.height, quadSize)};
}

ResizeHost::ResizeHost() { engine = OpenEngineConnection(); }

ResizeHost::ResizeHost(EngineConnection& connection) { engine = OpenEngineConnection(connection); }

ResizeHost::ResizeHost(ResizeHost&&) noexcept = default;
ResizeHost& ResizeHost::operator=(ResizeHost&&) noexcept = default;
ResizeHost::~ResizeHost() = default;

bool ResizeHost::LoadImage(const char* salPath) {
  cv::Mat sal;
  if (salPath != nullptr && salPath[0] != '\0') {
    try {
      sal = ReadImageFile(salPath, ImageMode::kGrey, maxPixels);
    } catch (const ImageFileError&) {
      return false;
    }
  }
  return LoadImportance(sal);
}

bool ResizeHost::LoadImportance(const cv::Mat& importance8U) {
  const bool fromFile = !importance8U.empty();
  cv::Mat sal;
  notice.clear();
  faceNotice.clear();
  faces.clear();
  std::vector<cv::Rect> found;
  if (fromFile) {
    sal = importance8U;
  } else if (std::min(imgSrc.cols, imgSrc.rows) < kMinComputedMapSide) {
    // Every quad then weighs the same: the photo still resizes, only
    // without knowing what matters in it.
    sal = cv::Mat(imgSrc.size(), CV_32FC1, cv::Scalar(1.0));
    notice = "shorter side below " + std::to_string(kMinComputedMapSide) +
             " pixels, too small to compute an importance map: every part counts the same "
             "(flat map)";
  } else {
    // Computed on the source before alignment, at its exact size. The face
    // search runs beside it: neither needs the other until the faces are
    // painted in.
    std::future<FaceSearch> search;
    if (parts.faces) search = std::async(std::launch::async, DetectFaces, imgSrc);
    sal = ImageAttention::GetDefaultSaliencyMap(imgSrc);
    if (search.valid()) {
      FaceSearch result = search.get();
      faceNotice = std::move(result.notice);
      found = std::move(result.faces);
      RaiseImportanceOverFaces(sal, found, 1.0f);
    }
  }

  // A side that rounds to no quad at all cannot be meshed; refuse it here
  // rather than hand an empty image to the resize.
  int q = quadSize;
  if (q % 2 != 0) q *= 2;
  if (q % 4 != 0) q *= 2;
  for (const cv::Mat* img : {&imgSrc, &sal})
    if (AlignedSize(img->size(), q).area() <= 0) return false;

  imgSal = sal;
  imgOriginal = imgSrc;
  AlignToQuadSize(imgSrc);
  AlignToQuadSize(imgSal);
  srcWidth = imgSrc.cols;
  srcHeight = imgSrc.rows;
  const double toAlignedX = static_cast<double>(srcWidth) / imgOriginal.cols;
  const double toAlignedY = static_cast<double>(srcHeight) / imgOriginal.rows;
  for (const cv::Rect& f : found)
    faces.emplace_back(cvRound(f.x * toAlignedX), cvRound(f.y * toAlignedY),
                       cvRound(f.width * toAlignedX), cvRound(f.height * toAlignedY));
  restScaleX = parts.sharp ? static_cast<double>(imgOriginal.cols) / srcWidth : 1.0;
  restScaleY = parts.sharp ? static_cast<double>(imgOriginal.rows) / srcHeight : 1.0;
  QX_CHECK(imgSal.cols == srcWidth && imgSal.rows == srcHeight);
  if (fromFile) imgSal = ImportanceFromGrey(imgSal);
  cv::Mat gray8U = NewImage(imgSrc.size(), CV_8UC1);
  cv::cvtColor(imgSrc, gray8U, cv::COLOR_BGR2GRAY);
  imgGray32F = NewImage(imgSrc.size(), CV_32FC1);
  gray8U.convertTo(imgGray32F, CV_32F, 0.004, 0.0);
  return true;
}

cv::Size ResizeHost::RestSize() const {
  if (!parts.sharp || imgOriginal.empty()) return {srcWidth, srcHeight};
  return imgOriginal.size();
}

void ResizeHost::AlignToQuadSize(cv::Mat& img) {
  if (quadSize % 2 != 0) quadSize *= 2;
  if (quadSize % 4 != 0) quadSize *= 2;
  const int w = AlignedSide(img.cols, quadSize);
  const int h = AlignedSide(img.rows, quadSize);
  if (w == img.cols && h == img.rows) return;
  cv::Mat resized = NewImage(cv::Size(w, h), img.type());
  cv::resize(img, resized, cv::Size(w, h), 0, 0, cv::INTER_LINEAR);
  img = resized;
}

TripletMatrix ResizeHost::AssembleEnergy(EvenAxis axis, bool report) {
  std::vector<ConstrainUnits> quads, quad5s, edges;
  int counts[2] = {0, 0};
  GetConstrainUnits(counts, imgSal, imgGray32F, quads, quad5s, edges, quadSize, useScaleTerm,
                    quadCountX, quadCountY);

  TripletMatrix a;
  a.m = 0;
  a.n = counts[0];
  coordCount = counts[0];

  if (report) timer_.Start("build equationA");
  if (a.entries.capacity() < 3000000) {
    a.entries.reserve(3000000);
    AdviseHugePages(a.entries.data(), a.entries.capacity() * sizeof(Triplet));
  }
  if (!residuals) residuals = std::make_shared<std::array<UnitResiduals, 3>>();
  AppendUnitRows(quads, a, useScaleTerm, &(*residuals)[0]);
  AppendUnitRows(quad5s, a, useScaleTerm, &(*residuals)[1]);
  AppendUnitRows(edges, a, false, &(*residuals)[2]);
  if (parts.straight) AppendStraightSegmentRows(*this, a);
  if (parts.shapes) AppendShapeRows(*this, a);
  if (parts.even) AppendEvenScaleRows(*this, a, axis);
  if (!report) return a;
  timer_.Stop();

  if (printDiagnostics) {
    PrintDiagnostic("quads.size=" + std::to_string(quads.size()));
    PrintDiagnostic("quad5s.size=" + std::to_string(quad5s.size()));
    PrintDiagnostic("edges.size=" + std::to_string(edges.size()));
    PrintDiagnostic("A.m=" + std::to_string(a.m) + " A.n=" + std::to_string(a.n));
  }
  if (energyObserver) energyObserver(a);
  return a;
}

void ResizeHost::BuildEquationA() {
  quadCountX = srcWidth / quadSize;
  quadCountY = srcHeight / quadSize;
  heightSolver.reset();
  const TripletMatrix a = AssembleEnergy(EvenAxis::kWidthChanges, true);

  // The fixed coordinates and their values per unit of width and height;
  // plain scaling as the point that keeps every guard row.
  EnergyProblem problem;
  BuildFixedIndices(problem.known, quadCountX, quadCountY);
  BuildFixedValues(problem.knownW, quadCountX, quadCountY, 1, 0);
  BuildFixedValues(problem.knownH, quadCountX, quadCountY, 0, 1);
  ind = problem.known;
  for (int32_t& v : ind) v += 1;
  guard = minScale > 0 ? BuildMeshGuard(quadCountX, quadCountY, minScale) : MeshGuard{};
  problem.guard = guard.rows;
  problem.feasibleW.assign(restCoords.size(), 0.0);
  problem.feasibleH.assign(restCoords.size(), 0.0);
  const cv::Size rest = RestSize();
  for (size_t k = 0; k + 1 < restCoords.size(); k += 2) {
    problem.feasibleW[k] = restCoords[k] / rest.width;
    problem.feasibleH[k + 1] = restCoords[k + 1] / rest.height;
  }
  if (parts.even) problem_ = problem;

  solver = std::make_unique<EnergySolver>(engine, solverThreads);
  solverAxis_ = EvenAxis::kWidthChanges;
  // A normal matrix that is not positive definite (e.g. every weight 0) has
  // no content-aware solution; scale uniformly instead of returning garbage.
  contentAware = solver->Precompute(a, std::move(problem));
  // Near the minimum of the energy this one replaces, the same rows are
  // likely to be held.
  if (contentAware && !startRows_.empty()) solver->StartFrom(std::move(startRows_));
  startRows_.clear();
}

EnergySolver& ResizeHost::SolverFor(EvenAxis axis) {
  if (!parts.even || axis == solverAxis_) return *solver;
  if (engine != nullptr) {
    // An outside engine holds one factor in its workspace: the energy of
    // the other side replaces it.
    auto other = std::make_unique<EnergySolver>(engine, solverThreads);
    if (!other->Precompute(AssembleEnergy(axis, false), problem_)) return *solver;
    solver = std::move(other);
    solverAxis_ = axis;
    return *solver;
  }
  if (!heightSolver) {
    auto other = std::make_unique<EnergySolver>(engine, solverThreads);
    // The same pattern with other weights: it factors whenever the first did.
    if (!other->Precompute(AssembleEnergy(axis, false), problem_)) return *solver;
    heightSolver = std::move(other);
  }
  return *heightSolver;
}

double WidthChangeShare(double W, double H, cv::Size rest) {
  // The side whose scale is further from 1 is the one that changed; near a
  // tie both energies are blended, so that the picture does not jump.
  constexpr double kBlend = 0.05;
  const double lx = std::abs(std::log(W / rest.width));
  const double ly = std::abs(std::log(H / rest.height));
  return std::clamp((lx - ly + kBlend) / (2 * kBlend), 0.0, 1.0);
}

std::string ResizeHost::UniformFallbackNotice() const {
  if (contentAware || !solver) return {};
  return "the content-aware solve is unavailable (the energy could not be factored: " +
         solver->FactorError() + "); using uniform scaling instead";
}

ResizeHost ResizeHost::CopyForImportance(const cv::Mat& importance32F) const {
  ResizeHost copy;
  copy.quadSize = quadSize;
  copy.imgSrc = imgSrc;
  copy.parts = parts;
  copy.imgOriginal = imgOriginal;
  copy.restScaleX = restScaleX;
  copy.restScaleY = restScaleY;
  copy.imgSal = importance32F;
  copy.imgGray32F = imgGray32F;
  copy.useScaleTerm = useScaleTerm;
  copy.srcWidth = srcWidth;
  copy.srcHeight = srcHeight;
  copy.edgeLowThreshold = edgeLowThreshold;
  copy.edgeHighThreshold = edgeHighThreshold;
  copy.sigma = sigma;
  copy.linePointMargin = linePointMargin;
  copy.lineWeight = lineWeight;
  copy.beta = beta;
  copy.minEdgeLength = minEdgeLength;
  copy.minScale = minScale;
  copy.solverThreads = solverThreads;
  copy.printDiagnostics = printDiagnostics;
  copy.maxPixels = maxPixels;
  copy.lineLabels = lineLabels;
  copy.straightSegments = straightSegments;
  copy.straightMinLength = straightMinLength;
  copy.straightWeight = straightWeight;
  copy.straightAlong = straightAlong;
  copy.residuals = residuals;
  copy.faces = faces;
  copy.compactObjects = compactObjects;
  copy.compactObjectsFound = compactObjectsFound;
  if (solver) copy.startRows_ = solver->LastActiveRows();
  return copy;
}

void ResizeHost::Resize(int newWidth, int newHeight) {
  BuildFixedValues(vals, quadCountX, quadCountY, newWidth, newHeight);

  if (!contentAware) {
    // The rest mesh scaled to the requested size, line points alike.
    solution.assign(restCoords.size(), 0.0f);
    solution64.assign(restCoords.size(), 0.0);
    const cv::Size rest = RestSize();
    const double sx = rest.width > 0 ? static_cast<double>(newWidth) / rest.width : 0.0;
    const double sy = rest.height > 0 ? static_cast<double>(newHeight) / rest.height : 0.0;
    for (size_t k = 0; k + 1 < restCoords.size(); k += 2) {
      solution64[k] = restCoords[k] * sx;
      solution64[k + 1] = restCoords[k + 1] * sy;
      solution[k] = static_cast<float>(solution64[k]);
      solution[k + 1] = static_cast<float>(solution64[k + 1]);
    }
    return;
  }

  timer_.Start("solve");
  std::vector<double>& x = solution64;
  // Which energy serves this size: the one for a changed width, the one for
  // a changed height, or both blended. At the photo's aspect both give
  // plain scaling.
  double share = 1.0;
  if (parts.even) {
    const cv::Size rest = RestSize();
    const bool sameAspect = std::abs(std::log(static_cast<double>(newWidth) / rest.width) -
                                     std::log(static_cast<double>(newHeight) / rest.height)) < 1e-9;
    share = sameAspect ? 1.0 : WidthChangeShare(newWidth, newHeight, rest);
  }
  std::vector<double> other;
  const auto solveAll = [&](const std::vector<char>* enabled) {
    // Each energy is asked for in turn: an outside engine, which holds one
    // factor at a time, then swaps them.
    if (share > 0.0) SolverFor(EvenAxis::kWidthChanges).Solve(newWidth, newHeight, enabled, x);
    if (share >= 1.0) return;
    SolverFor(EvenAxis::kHeightChanges)
        .Solve(newWidth, newHeight, enabled, share > 0.0 ? other : x);
    if (share <= 0.0) return;
    // Guard rows are linear: a blend of two meshes that keep them keeps them.
    for (size_t k = 0; k < x.size(); ++k) x[k] = share * x[k] + (1.0 - share) * other[k];
  };
  if (guard.minScale > 0) {
    // Under the grid rows first; shear rows join for the edges of any
    // triangle that would come out thin or turned over.
    guardRowsHeld = GridRowsEnabled(guard);
    for (;;) {
      solveAll(&guardRowsHeld);
      if (EnableShearRows(guard, FindThinTriangles(guard, newWidth, newHeight, x), guardRowsHeld) ==
          0)
        break;
    }
  } else {
    guardRowsHeld.clear();
    solveAll(nullptr);
  }
  timer_.Stop();
  solution.resize(x.size());
  for (size_t i = 0; i < x.size(); ++i) solution[i] = static_cast<float>(x[i]);
}

}  // namespace quadrix
