// Host construction, image loading and alignment, energy build and the
// per-size solve.

#include "core/resize_host.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <future>
#include <opencv2/imgproc.hpp>
#include <string>

#include "base/cancel.hpp"
#include "base/check.hpp"
#include "base/hugepages.hpp"
#include "core/importance_paint.hpp"
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

}  // namespace

cv::Mat ImportanceFromGrey(const cv::Mat& grey8U) {
  cv::Mat atLeastOne, sal32F;
  cv::max(grey8U, 1, atLeastOne);
  atLeastOne.convertTo(sal32F, CV_32F, 0.004, 0.0);
  return sal32F;
}

// Rounded up to a multiple of 4, as the alignment needs.
ResizeHost::ResizeHost(const ResizeSettings& settings, NumericEngine* engine)
    : settings_(settings), engine_(engine) {
  if (settings_.quadSize % 2 != 0) settings_.quadSize *= 2;
  if (settings_.quadSize % 4 != 0) settings_.quadSize *= 2;
}

ResizeHost::ResizeHost(const ResizeSettings& settings)
    : ResizeHost(settings, OpenEngineConnection()) {}

ResizeHost::ResizeHost(const ResizeSettings& settings, EngineConnection& connection)
    : ResizeHost(settings, OpenEngineConnection(connection)) {}

ResizeHost::ResizeHost(ResizeHost&&) noexcept = default;
ResizeHost& ResizeHost::operator=(ResizeHost&&) noexcept = default;
ResizeHost::~ResizeHost() = default;

bool ResizeHost::LoadImage(const cv::Mat& photo8UC3, const char* salPath) {
  cv::Mat sal;
  if (salPath != nullptr && salPath[0] != '\0') {
    try {
      sal = ReadImageFile(salPath, ImageMode::kGrey, settings_.maxPixels);
    } catch (const ImageFileError&) {
      return false;
    }
  }
  return LoadImportance(photo8UC3, sal);
}

void ResizeHost::Load(const InputImages& inputs) {
  const bool workingCopy = !inputs.photoSize.empty() && inputs.photoSize != inputs.source.size();
  if (!(workingCopy
            ? LoadWorkingCopy(inputs.source, inputs.photoSize, inputs.importance, inputs.alpha)
            : LoadImportance(inputs.source, inputs.importance, inputs.alpha)))
    throw InputError(InputError::Cause::kTooSmall,
                     "the images '" + inputs.srcPath + "' cannot be meshed in whole quads");
}

bool ResizeHost::LoadImportance(const cv::Mat& photo8UC3, const cv::Mat& importance8U,
                                const cv::Mat& alpha8U) {
  // The working copy: drawing reads the photo itself, so only the exact
  // grid can solve on a reduced copy.
  const cv::Size work = WorkingSize(photo8UC3.size(), settings_.WorkSide());
  cv::Mat working = photo8UC3;
  cv::Mat alpha = alpha8U;
  if (work != photo8UC3.size()) {
    working = NewImage(work, CV_8UC3);
    cv::resize(photo8UC3, working, work, 0, 0, cv::INTER_AREA);
    if (!alpha8U.empty()) cv::resize(alpha8U, alpha, work, 0, 0, cv::INTER_AREA);
  }
  const bool loaded = LoadWorkingCopy(working, photo8UC3.size(), importance8U, alpha);
  imgOriginal_ = photo8UC3;
  return loaded;
}

bool ResizeHost::LoadWorkingCopy(const cv::Mat& working8UC3, cv::Size photoSize,
                                 const cv::Mat& importance8U, const cv::Mat& alpha8U) {
  const cv::Size work = WorkingSize(photoSize, settings_.WorkSide());
  QX_CHECK(working8UC3.size() == work);
  imgOriginal_.release();
  photoSize_ = photoSize;
  imgSrc_ = working8UC3;
  // What was found in another photo goes.
  imgGray32F_.release();
  lineLabels_.release();
  straightSegments_.reset();
  compactObjects_.clear();
  compactObjectsFound_ = false;
  residuals_.reset();
  const bool fromFile = !importance8U.empty();
  cv::Mat sal;
  notice_.clear();
  faceNotice_.clear();
  faces_.clear();
  std::vector<cv::Rect> found;
  if (fromFile) {
    sal = importance8U;
    // A map made for the photo (or one written at the working size) is
    // read at the working size.
    if (work != photoSize &&
        AlignedSize(sal.size(), settings_.quadSize) != AlignedSize(work, settings_.quadSize))
      cv::resize(importance8U, sal, work, 0, 0, cv::INTER_AREA);
  } else if (std::min(imgSrc_.cols, imgSrc_.rows) < kMinComputedMapSide) {
    // Every quad then weighs the same: the photo still resizes, only
    // without knowing what matters in it.
    sal = cv::Mat(imgSrc_.size(), CV_32FC1, cv::Scalar(1.0));
    notice_ = "shorter side below " + std::to_string(kMinComputedMapSide) +
              " pixels, too small to compute an importance map: every part counts the same "
              "(flat map)";
  } else {
    // Computed on the source before alignment, at its exact size. The face
    // search runs beside it: neither needs the other until the faces are
    // painted in.
    std::future<FaceSearch> search;
    if (settings_.parts.faces) search = std::async(std::launch::async, DetectFaces, imgSrc_);
    sal = ImageAttention::GetDefaultSaliencyMap(imgSrc_);
    CancellationPoint();
    if (search.valid()) {
      // On a small photo the faces take longer than the map: the lines,
      // which need neither, fill the wait. Not on a working copy: beside
      // the face search they would raise a big photo's peak of memory.
      if (work == photoSize &&
          search.wait_for(std::chrono::seconds(0)) != std::future_status::ready &&
          AlignedSize(imgSrc_.size(), settings_.quadSize).area() > 0)
        FindLinesAhead();
      FaceSearch result = search.get();
      faceNotice_ = std::move(result.notice);
      found = std::move(result.faces);
      RaiseImportanceOverFaces(sal, found, 1.0f);
    }
  }

  // What cannot be seen matters least: a cut-out keeps its subject and
  // its empty surroundings take the stretch.
  if (!fromFile && !alpha8U.empty()) {
    QX_CHECK(alpha8U.type() == CV_8UC1 && alpha8U.size() == sal.size());
    cv::Mat opacity;
    alpha8U.convertTo(opacity, CV_32F, 1.0 / 255.0);
    cv::Mat transparency = 1.0f - opacity;
    sal = sal.mul(opacity) + kLeastImportance * transparency;
  }

  // A side that rounds to no quad at all cannot be meshed; refuse it here
  // rather than hand an empty image to the resize.
  for (const cv::Mat* img : {&imgSrc_, &sal})
    if (AlignedSize(img->size(), settings_.quadSize).area() <= 0) return false;

  imgSal_ = sal;
  AlignAndMakeGrey();
  AlignToQuadSize(imgSal_);
  srcWidth_ = imgSrc_.cols;
  srcHeight_ = imgSrc_.rows;
  const double toAlignedX = static_cast<double>(srcWidth_) / work.width;
  const double toAlignedY = static_cast<double>(srcHeight_) / work.height;
  for (const cv::Rect& f : found)
    faces_.emplace_back(cvRound(f.x * toAlignedX), cvRound(f.y * toAlignedY),
                        cvRound(f.width * toAlignedX), cvRound(f.height * toAlignedY));
  restScaleX_ = settings_.parts.sharp ? static_cast<double>(photoSize.width) / srcWidth_ : 1.0;
  restScaleY_ = settings_.parts.sharp ? static_cast<double>(photoSize.height) / srcHeight_ : 1.0;
  QX_CHECK(imgSal_.cols == srcWidth_ && imgSal_.rows == srcHeight_);
  if (fromFile) imgSal_ = ImportanceFromGrey(imgSal_);
  return true;
}

void ResizeHost::AlignAndMakeGrey() {
  AlignToQuadSize(imgSrc_);
  if (imgGray32F_.size() == imgSrc_.size()) return;
  cv::Mat gray8U = NewImage(imgSrc_.size(), CV_8UC1);
  cv::cvtColor(imgSrc_, gray8U, cv::COLOR_BGR2GRAY);
  imgGray32F_ = NewImage(imgSrc_.size(), CV_32FC1);
  gray8U.convertTo(imgGray32F_, CV_32F, 0.004, 0.0);
}

void ResizeHost::FindLinesAhead() {
  AlignAndMakeGrey();
  std::future<std::vector<cv::Vec4f>> segments = StartSegmentSearch();
  DetectLines();
  if (segments.valid())
    straightSegments_ = std::make_shared<const std::vector<cv::Vec4f>>(segments.get());
}

std::future<std::vector<cv::Vec4f>> ResizeHost::StartSegmentSearch() const {
  if (!settings_.parts.straight || straightSegments_) return {};
  // The caller joins it before the aligned images change.
  return std::async(std::launch::async, FindStraightSegments, std::cref(imgSrc_),
                    std::cref(imgGray32F_), settings_.straightMinLength * settings_.quadSize);
}

cv::Size ResizeHost::RestSize() const {
  if (!settings_.parts.sharp || photoSize_.empty()) return {srcWidth_, srcHeight_};
  return photoSize_;
}

void ResizeHost::AlignToQuadSize(cv::Mat& img) const {
  const cv::Size aligned = AlignedSize(img.size(), settings_.quadSize);
  const int w = aligned.width;
  const int h = aligned.height;
  if (w == img.cols && h == img.rows) return;
  cv::Mat resized = NewImage(cv::Size(w, h), img.type());
  cv::resize(img, resized, cv::Size(w, h), 0, 0, cv::INTER_LINEAR);
  img = resized;
}

TripletMatrix ResizeHost::AssembleEnergy(EvenAxis axis, bool report) {
  // The straight segments are searched on another thread while the edges
  // are linked: both only read the aligned images.
  std::future<std::vector<cv::Vec4f>> segments = StartSegmentSearch();
  // Linked ahead when the photo loaded, or now.
  if (report) timer_.Start("link edges");
  DetectLines();
  if (report) timer_.Stop();
  std::vector<ConstrainUnits> quads, quad5s, edges;
  int counts[2] = {0, 0};
  GetConstrainUnits(counts, quads, quad5s, edges);

  TripletMatrix a;
  a.m = 0;
  a.n = counts[0];
  coordCount_ = counts[0];

  if (report) timer_.Start("build equationA");
  // Rows hold some 60 to 75 entries per coordinate on photos; growing past
  // the estimate only costs a copy.
  const size_t expected = 96 * static_cast<size_t>(std::max(a.n, 1));
  if (a.entries.capacity() < expected) {
    a.entries.reserve(expected);
    AdviseHugePages(a.entries.data(), a.entries.capacity() * sizeof(Triplet));
  }
  if (!residuals_) residuals_ = std::make_shared<std::array<UnitResiduals, 3>>();
  AppendUnitRows(quads, a, settings_.useScaleTerm, &(*residuals_)[0]);
  AppendUnitRows(quad5s, a, settings_.useScaleTerm, &(*residuals_)[1]);
  AppendUnitRows(edges, a, false, &(*residuals_)[2]);
  if (segments.valid())
    straightSegments_ = std::make_shared<const std::vector<cv::Vec4f>>(segments.get());
  if (settings_.parts.straight) AppendStraightSegmentRows(*this, a);
  CancellationPoint();
  if (settings_.parts.shapes) AppendShapeRows(*this, a);
  if (settings_.parts.even) AppendEvenScaleRows(*this, a, axis);
  if (!report) return a;
  timer_.Stop();

  if (settings_.printDiagnostics) {
    PrintDiagnostic("quads.size=" + std::to_string(quads.size()));
    PrintDiagnostic("quad5s.size=" + std::to_string(quad5s.size()));
    PrintDiagnostic("edges.size=" + std::to_string(edges.size()));
    PrintDiagnostic("A.m=" + std::to_string(a.m) + " A.n=" + std::to_string(a.n));
  }
  if (energyObserver_) energyObserver_(a);
  return a;
}

void ResizeHost::BuildEquationA() {
  quadCountX_ = srcWidth_ / settings_.quadSize;
  quadCountY_ = srcHeight_ / settings_.quadSize;
  heightSolver_.reset();
  TripletMatrix a = AssembleEnergy(EvenAxis::kWidthChanges, true);
  CancellationPoint();

  // The fixed coordinates and their values per unit of width and height;
  // plain scaling as the point that keeps every guard row.
  EnergyProblem problem;
  BuildFixedIndices(problem.known, quadCountX_, quadCountY_);
  BuildFixedValues(problem.knownW, quadCountX_, quadCountY_, 1, 0);
  BuildFixedValues(problem.knownH, quadCountX_, quadCountY_, 0, 1);
  ind_ = problem.known;
  for (int32_t& v : ind_) v += 1;
  guard_ = settings_.minScale > 0 ? BuildMeshGuard(quadCountX_, quadCountY_, settings_.minScale)
                                  : MeshGuard{};
  problem.guard = guard_.rows;
  problem.feasibleW.assign(restCoords_.size(), 0.0);
  problem.feasibleH.assign(restCoords_.size(), 0.0);
  const cv::Size rest = RestSize();
  for (size_t k = 0; k + 1 < restCoords_.size(); k += 2) {
    problem.feasibleW[k] = restCoords_[k] / rest.width;
    problem.feasibleH[k + 1] = restCoords_[k + 1] / rest.height;
  }
  if (settings_.parts.even) problem_ = problem;

  solver_ = std::make_unique<EnergySolver>(engine_, settings_.solverThreads);
  if (analysis_) solver_->OfferAnalysis(std::move(analysis_));
  analysis_.reset();
  solverAxis_ = EvenAxis::kWidthChanges;
  // A normal matrix that is not positive definite (e.g. every weight 0) has
  // no content-aware solution; scale uniformly instead of returning garbage.
  timer_.Start("factor");
  contentAware_ = solver_->Precompute(std::move(a), std::move(problem));
  timer_.Stop();
  // Near the minimum of the energy this one replaces, the same rows are
  // likely to be held.
  if (contentAware_ && !startRows_.empty()) solver_->StartFrom(std::move(startRows_));
  startRows_.clear();
}

void ResizeHost::PrepareEnergies() {
  if (settings_.parts.even && engine_ == nullptr && contentAware_)
    SolverFor(EvenAxis::kHeightChanges);
}

EnergySolver& ResizeHost::SolverFor(EvenAxis axis) {
  if (!settings_.parts.even || axis == solverAxis_) return *solver_;
  if (engine_ != nullptr) {
    // An outside engine holds one factor in its workspace: the energy of
    // the other side replaces it.
    auto other = std::make_unique<EnergySolver>(engine_, settings_.solverThreads);
    if (!other->Precompute(AssembleEnergy(axis, false), problem_)) return *solver_;
    solver_ = std::move(other);
    solverAxis_ = axis;
    return *solver_;
  }
  if (!heightSolver_) {
    auto other = std::make_unique<EnergySolver>(engine_, settings_.solverThreads);
    // The same pattern with other weights: it factors whenever the first did.
    if (!other->Precompute(AssembleEnergy(axis, false), problem_)) return *solver_;
    heightSolver_ = std::move(other);
  }
  return *heightSolver_;
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
  if (contentAware_ || !solver_) return {};
  return "the content-aware solve is unavailable (the energy could not be factored: " +
         solver_->FactorError() + "); using uniform scaling instead";
}

ResizeHost ResizeHost::CopyForImportance(const cv::Mat& importance32F) const {
  return CopyForImportance(importance32F, settings_.parts);
}

ResizeHost ResizeHost::CopyForImportance(const cv::Mat& importance32F,
                                         const ResultParts& parts) const {
  ResizeSettings settings = settings_;
  settings.parts.straight = parts.straight;
  settings.parts.even = parts.even;
  settings.parts.shapes = parts.shapes;
  ResizeHost copy(settings, engine_);
  copy.imgSrc_ = imgSrc_;
  copy.imgOriginal_ = imgOriginal_;
  copy.photoSize_ = photoSize_;
  copy.restScaleX_ = restScaleX_;
  copy.restScaleY_ = restScaleY_;
  copy.imgSal_ = importance32F;
  copy.imgGray32F_ = imgGray32F_;
  copy.srcWidth_ = srcWidth_;
  copy.srcHeight_ = srcHeight_;
  copy.lineLabels_ = lineLabels_;
  copy.straightSegments_ = straightSegments_;
  copy.residuals_ = residuals_;
  // Painting changes weights, not the energy's pattern: the ordering holds.
  if (solver_ && solverAxis_ == EvenAxis::kWidthChanges) copy.analysis_ = solver_->Analysis();
  copy.faces_ = faces_;
  copy.compactObjects_ = compactObjects_;
  copy.compactObjectsFound_ = compactObjectsFound_;
  if (solver_) copy.startRows_ = solver_->LastActiveRows();
  return copy;
}

void ResizeHost::Resize(int newWidth, int newHeight) {
  BuildFixedValues(vals_, quadCountX_, quadCountY_, newWidth, newHeight);

  if (!contentAware_) {
    // The rest mesh scaled to the requested size, line points alike.
    solution_.assign(restCoords_.size(), 0.0f);
    solution64_.assign(restCoords_.size(), 0.0);
    const cv::Size rest = RestSize();
    const double sx = rest.width > 0 ? static_cast<double>(newWidth) / rest.width : 0.0;
    const double sy = rest.height > 0 ? static_cast<double>(newHeight) / rest.height : 0.0;
    for (size_t k = 0; k + 1 < restCoords_.size(); k += 2) {
      solution64_[k] = restCoords_[k] * sx;
      solution64_[k + 1] = restCoords_[k + 1] * sy;
      solution_[k] = static_cast<float>(solution64_[k]);
      solution_[k + 1] = static_cast<float>(solution64_[k + 1]);
    }
    return;
  }

  timer_.Start("solve");
  std::vector<double>& x = solution64_;
  // Which energy serves this size: the one for a changed width, the one for
  // a changed height, or both blended. At the photo's aspect both give
  // plain scaling.
  double share = 1.0;
  if (settings_.parts.even) {
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
  if (guard_.minScale > 0) {
    // Under the grid rows first; shear rows join for the edges of any
    // triangle that would come out thin or turned over.
    guardRowsHeld_ = GridRowsEnabled(guard_);
    for (;;) {
      solveAll(&guardRowsHeld_);
      if (EnableShearRows(guard_, FindThinTriangles(guard_, newWidth, newHeight, x),
                          guardRowsHeld_) == 0)
        break;
    }
  } else {
    guardRowsHeld_.clear();
    solveAll(nullptr);
  }
  timer_.Stop();
  solution_.resize(x.size());
  for (size_t i = 0; i < x.size(); ++i) solution_[i] = static_cast<float>(x[i]);
}

}  // namespace quadrix
