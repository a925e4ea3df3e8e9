#include "shell/importance_brush.hpp"

#include <wx/cursor.h>
#include <wx/utils.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <span>
#include <string>
#include <vector>

#include "shell/menus.hpp"
#include "shell/view_math.hpp"

namespace quadrix {

namespace {
using Clock = std::chrono::steady_clock;
}  // namespace

int OverlayStep(cv::Size map) {
  return std::max(1, (std::max(map.width, map.height) + 2047) / 2048);
}

cv::Size OverlaySize(cv::Size map) {
  const int s = OverlayStep(map);
  return {(map.width + s - 1) / s, (map.height + s - 1) / s};
}

ImportanceBrush::ImportanceBrush(wxFrame& frame, GlWindow& gl, RenderState& render, PhotoView& view,
                                 StatusLine& status, BackgroundWork& work,
                                 std::array<wxMenuItem*, 3> items)
    : frame_(frame),
      gl_(gl),
      render_(render),
      view_(view),
      status_(status),
      work_(work),
      items_(items) {}

std::shared_ptr<ImportancePainter> ImportanceBrush::SwapPainter(ImportancePainter&& next) {
  auto old = std::make_shared<ImportancePainter>(std::move(painter_));
  painter_ = std::move(next);
  return old;
}

void ImportanceBrush::Install(GlTexture overlay) {
  // Painting starts from the map as loaded or computed (made while
  // loading, as is the overlay when the load made the textures).
  ++generation_;
  const ResizeHost& host = view_.Host();
  overlayStep_ = OverlayStep({host.srcWidth(), host.srcHeight()});
  render_.overlayTexture.reset();
  if (render_.overlayPass != nullptr) {
    if (overlay)
      render_.overlayTexture = std::move(overlay);
    else
      CreateOverlayTexture(render_, OverlaySize({host.srcWidth(), host.srcHeight()}));
  }
  render_.showOverlay = brush_.has_value();
  MarkSaved();
}

bool ImportanceBrush::HasUnsavedStrokes() const {
  const cv::Mat& map = painter_.Map();
  if (map.empty()) return false;
  if (savedMap_.size() != map.size() || savedMap_.type() != map.type()) return true;
  return cv::norm(map, savedMap_, cv::NORM_INF) != 0.0;
}

void ImportanceBrush::MarkSaved() { savedMap_ = painter_.Map().clone(); }

void ImportanceBrush::Interrupt() {
  ++generation_;
  EndStroke();
}

void ImportanceBrush::ShowBrush() {
  static const char* const kNames[] = {"Protect", "Absorb", "Restore"};
  if (brush_)
    status_.ShowActivity(wxString::Format("%s brush, %d px (Esc: none)",
                                          kNames[static_cast<int>(*brush_)],
                                          static_cast<int>(std::lround(2 * radius_))));
  else
    status_.ShowActivity("");
}

void ImportanceBrush::Choose(std::optional<Brush> chosen) {
  EndStroke();
  brush_ = chosen;
  for (size_t i = 0; i < items_.size(); ++i)
    items_[i]->Check(brush_ && static_cast<size_t>(*brush_) == i);
  render_.showOverlay = brush_.has_value();
  gl_.SetCursor(brush_ ? wxCursor(wxCURSOR_CROSS) : wxNullCursor);
  ShowBrush();
  frame_.Refresh();
}

void ImportanceBrush::OnCommand(int id) {
  if (!view_.HasPhoto()) return;
  switch (id) {
    case ID_PROTECT:
    case ID_ABSORB:
    case ID_RESTORE: {
      // Picking the brush in hand puts it down.
      const auto picked = static_cast<Brush>(id - ID_PROTECT);
      Choose(brush_ == picked ? std::nullopt : std::optional<Brush>(picked));
      break;
    }
    case ID_BIGGER_BRUSH:
      radius_ = std::min(400.0, radius_ * 1.25);
      ShowBrush();
      break;
    case ID_SMALLER_BRUSH:
      radius_ = std::max(2.0, radius_ / 1.25);
      ShowBrush();
      break;
    case ID_UNDO_STROKE:
    case ID_REDO_STROKE: {
      EndStroke();
      const cv::Rect rect = id == ID_UNDO_STROKE ? painter_.Undo() : painter_.Redo();
      if (!rect.empty()) MapChanged(rect);
      break;
    }
    default:
      break;
  }
}

void ImportanceBrush::OnMouse(wxMouseEvent& event) {
  if (!brush_ || !view_.Ready()) {
    event.Skip();
    return;
  }
  if (event.LeftDown()) {
    painter_.BeginStroke(*brush_);
    stroking_ = true;
    strokeRect_ = {};
    if (!gl_.HasCapture()) gl_.CaptureMouse();
    lastDab_ = gl_.ToDevice(event.GetPosition());
    DabAt(lastDab_);
  } else if (event.Dragging() && stroking_) {
    StrokeTo(gl_.ToDevice(event.GetPosition()));
  } else if (event.LeftUp()) {
    // The toolkit merges the motions that arrive while the window is busy
    // (a redraw, a dab), and may drop them before a quick release: the
    // stroke reaches the point of release all the same.
    const wxPoint at = gl_.ToDevice(event.GetPosition());
    if (stroking_ && at != lastDab_) StrokeTo(at);
    EndStroke();
  }
  event.Skip();
}

void ImportanceBrush::StrokeTo(wxPoint to) {
  // Discs close enough together to make a line.
  const double length = std::hypot(to.x - lastDab_.x, to.y - lastDab_.y);
  const int steps =
      std::max(1, static_cast<int>(std::ceil(length / (radius_ * gl_.DeviceScale() / 3))));
  for (int k = 1; k <= steps; ++k)
    DabAt(wxPoint(lastDab_.x + (to.x - lastDab_.x) * k / steps,
                  lastDab_.y + (to.y - lastDab_.y) * k / steps));
  lastDab_ = to;
}

void ImportanceBrush::DabAt(wxPoint viewPoint) {
  // Drawing area -> target -> source, through the mesh as shown.
  const cv::Rect picture = view_.PictureArea();
  const cv::Size target = view_.Target();
  if (picture.empty() || target.area() <= 0) return;
  const double perView = static_cast<double>(target.width) / picture.width;
  const cv::Point2d p((viewPoint.x - picture.x) * perView, (viewPoint.y - picture.y) * perView);
  std::vector<float> uniform;
  const std::span<const float> xy = view_.ShownMesh(uniform);
  const ResizeHost& host = view_.Host();
  cv::Point2d at;
  double scale = 1.0;
  if (!MeshPointToSource(view_.VerticesX(), view_.VerticesY(), xy,
                         {host.srcWidth(), host.srcHeight()}, p, at, scale))
    return;
  const cv::Rect rect = painter_.Dab(at, radius_ * gl_.DeviceScale() * perView * scale);
  if (rect.empty()) return;
  strokeRect_ |= rect;
  UpdateOverlayRect(rect);
  frame_.Refresh();
}

void ImportanceBrush::EndStroke() {
  if (!stroking_) return;
  stroking_ = false;
  if (gl_.HasCapture()) gl_.ReleaseMouse();
  if (painter_.EndStroke()) MapChanged(strokeRect_);
}

void ImportanceBrush::UpdateOverlayRect(cv::Rect rect) {
  if (!render_.overlayTexture) return;
  // The overlay's texels over `rect`, each the stroke at its centre.
  const int s = overlayStep_;
  const cv::Mat& strokes = painter_.Strokes();
  const cv::Rect texels(rect.x / s, rect.y / s, (rect.x + rect.width + s - 1) / s - rect.x / s,
                        (rect.y + rect.height + s - 1) / s - rect.y / s);
  cv::Mat rgba(texels.size(), CV_8UC4);
  for (int y = 0; y < texels.height; ++y)
    for (int x = 0; x < texels.width; ++x) {
      const int sx = std::min(strokes.cols - 1, (texels.x + x) * s + s / 2);
      const int sy = std::min(strokes.rows - 1, (texels.y + y) * s + s / 2);
      const uchar label = strokes.at<uchar>(sy, sx);
      // Protect green, Absorb magenta, nothing clear.
      rgba.at<cv::Vec4b>(y, x) = label == 1   ? cv::Vec4b(40, 210, 70, 110)
                                 : label == 2 ? cv::Vec4b(230, 40, 170, 110)
                                              : cv::Vec4b(0, 0, 0, 0);
    }
  gl_.MakeCurrent();
  UpdateOverlay(render_, texels, rgba);
}

void ImportanceBrush::MapChanged(cv::Rect rect) {
  gl_.MakeCurrent();
  UpdateImageTextureRows(render_, 1, painter_.Map(), rect.y, rect.height);
  UpdateOverlayRect(rect);
  view_.DrawQuicklyForAWhile();
  frame_.Refresh();
  StartRebuild();
}

void ImportanceBrush::Load(const cv::Mat& grey) {
  EndStroke();
  painter_.Reset(ImportanceFromGrey(grey));
  const ResizeHost& host = view_.Host();
  if (render_.overlayTexture)
    CreateOverlayTexture(render_, OverlaySize({host.srcWidth(), host.srcHeight()}));
  gl_.MakeCurrent();
  UpdateImageTextureRows(render_, 1, painter_.Map(), 0, host.srcHeight());
  MarkSaved();  // the map is what the file holds
  frame_.Refresh();
  StartRebuild();
}

void ImportanceBrush::StartRebuild() {
  const int generation = ++generation_;
  const cv::Size solveFor = view_.Target();
  const auto start = Clock::now();
  const ResizeHost& host = view_.Host();
  // The parts that only change the energy go with the copy (the others
  // need a new load).
  auto fresh = std::make_shared<ResizeHost>(host.CopyForImportance(painter_.Map().clone(), parts_));
  status_.ShowActivity(wxString::FromUTF8("Rebuilding the energy…"));
  if (host.engine() != nullptr) {
    // An outside engine has one workspace, which the host shown solves in:
    // it cannot build another energy meanwhile.
    try {
      wxBusyCursor busy;
      fresh->BuildEquationA();
      fresh->Resize(solveFor.width, solveFor.height);
    } catch (const EngineError& e) {
      failed(wxString::FromUTF8(e.what()));
      return;
    }
    OnRebuilt(fresh, generation, solveFor,
              std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    return;
  }
  work_.Start([this, fresh, generation, solveFor, start](const BackgroundWork::Job& job) {
    std::string failure;
    try {
      fresh->BuildEquationA();
      if (job.Cancelled()) return;
      fresh->Resize(solveFor.width, solveFor.height);
      // The other energy too, before the next drag needs it.
      if (!job.Cancelled()) fresh->PrepareEnergies();
    } catch (const std::exception& e) {
      failure = e.what();
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    job.Post([this, fresh, generation, solveFor, ms, failure] {
      if (failure.empty())
        OnRebuilt(fresh, generation, solveFor, ms);
      else
        failed(wxString::FromUTF8(failure));
    });
  });
}

void ImportanceBrush::OnRebuilt(std::shared_ptr<ResizeHost> rebuilt, int generation,
                                cv::Size solvedFor, double ms) {
  if (generation != generation_ || !view_.HasPhoto() || view_.Halted()) return;
  // The energy shown until now is freed on the worker's thread; no newer
  // job is under way (the generation would differ).
  auto old = view_.SwapHost(std::move(*rebuilt));
  work_.Start([old](const BackgroundWork::Job&) {});
  energyChanged();
  if (view_.Target() != solvedFor) {
    view_.SolveAndShow();
  } else {
    view_.FillGrid();
    frame_.Refresh();
  }
  status_.ShowActivity(wxString::FromUTF8("Energy rebuilt in " + FormatDuration(ms)));
}

}  // namespace quadrix
