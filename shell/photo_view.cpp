#include "shell/photo_view.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "shell/gtk_screen.hpp"
#include "shell/menus.hpp"
#include "shell/view_math.hpp"

namespace quadrix {

namespace {
using Clock = std::chrono::steady_clock;
}  // namespace

PhotoView::PhotoView(wxFrame& frame, GlWindow& gl, RenderState& render, StatusLine& status)
    : frame_(frame), gl_(gl), render_(render), status_(status), refineTimer_(&frame) {
  frame_.Bind(
      wxEVT_TIMER,
      [this](wxTimerEvent&) {
        quickDraw_ = false;
        frame_.Refresh();
      },
      refineTimer_.GetId());
}

std::shared_ptr<ResizeHost> PhotoView::SwapHost(ResizeHost&& next) {
  auto old = std::make_shared<ResizeHost>(std::move(host_));
  host_ = std::move(next);
  return old;
}

void PhotoView::Halt() {
  halted_ = true;
  render_.ready = false;
}

void PhotoView::Announce(cv::Size aligned) {
  target_ = aligned;
  zoom_ = FitZoom(target_, Available());
  RequestView();
  announced_ = true;
  ShowSizeAndTime(-1.0);
}

cv::Size PhotoView::FrameArea() const {
  // The drawing area is all of the frame's client area; while a photo loads
  // the preview or the hint stands in it.
  const wxSize area = gl_.ToDevice(frame_.GetClientSize());
  return {area.x, area.y};
}

void PhotoView::Install(GlTexture colour, GlTexture importance, cv::Size colourSize) {
  gl_.MakeCurrent();
  colourSize_ = colourSize;
  reducedView_ = colourSize != host_.DrawImage().size();
  render_.ready = false;
  render_.srcWidth = host_.srcWidth();
  render_.srcHeight = host_.srcHeight();
  render_.textureViews[0] = std::move(colour);
  render_.textureViews[1] = std::move(importance);
  render_.filtered = host_.settings().parts.sharp;
  vxCount_ = host_.quadCountX() + 1;
  vyCount_ = host_.quadCountY() + 1;
  CreateMeshBuffers(render_, vxCount_, vyCount_);
  hasImage_ = true;
}

void PhotoView::ShowRest() {
  // The user sized the window while the photo loaded: that size wins.
  const cv::Size area = FrameArea();
  if (announced_ && area != expectedArea_ && area.area() > 0) {
    announced_ = false;
    target_ = TargetForArea(area, zoom_);
    expectedArea_ = area;
    pictureFills_ = true;
    SolveAndShow();
    return;
  }
  announced_ = false;
  // The solve at the source size was made while loading.
  target_ = host_.RestSize();
  zoom_ = FitZoom(target_, Available());
  render_.newWidth = target_.width;
  render_.newHeight = target_.height;
  // The view is asked for first, so that the size the drawing area has
  // when it appears is not taken for a drag of the border.
  RequestView();
}

void PhotoView::Clear() {
  hasImage_ = false;
  announced_ = false;
  comparing_ = false;
  render_.ready = false;
}

cv::Rect PhotoView::PictureArea() const {
  const wxSize area = gl_.DeviceSize();
  return pictureFills_ ? cv::Rect(0, 0, area.x, area.y)
                       : PictureRect({area.x, area.y}, target_, zoom_);
}

void PhotoView::Draw(bool painting) {
  const wxSize area = gl_.DeviceSize();
  const cv::Rect picture = PictureArea();
  const bool whole = picture.width == area.x && picture.height == area.y;
  // The toolkit gave the window another size than the view asked for: the
  // picture keeps its size, centred.
  if (!whole)
    glViewport(picture.x, area.y - picture.y - picture.height, picture.width, picture.height);
  // A software renderer takes seconds for the filtered draw of a photo of
  // many megapixels (and for its 8-bit copy with mip levels): the view of
  // such a photo stays bilinear; what is saved is filtered all the same. A
  // big photo's view copy is already averaged down to about the screen's
  // scale, so bilinear suits it too.
  constexpr double kFilteredViewPixels = 4e6;
  // While a brush is out the view is for painting: bilinear keeps every
  // dab's redraw quick, and the filtered picture returns with the brush
  // put down.
  render_.filtered = host_.settings().parts.sharp && !quickDraw_ && !painting && !reducedView_ &&
                     static_cast<double>(colourSize_.area()) <= kFilteredViewPixels;
  const auto start = Clock::now();
  DrawMesh(render_);
  if (render_.filtered) {
    glFinish();
    filteredDrawMs_ = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  }
  if (!whole) glViewport(0, 0, area.x, area.y);
}

void PhotoView::DrawQuicklyForAWhile() {
  // Slow enough to hold a drag back (a software renderer, a big photo).
  constexpr double kSlowDrawMs = 40.0;
  if (!host_.settings().parts.sharp || filteredDrawMs_ < kSlowDrawMs) return;
  quickDraw_ = true;
  refineTimer_.StartOnce(250);
}

void PhotoView::OnAreaSize(int width, int height) {
  const cv::Size area(width, height);
  if (!Ready()) return;
  // The area RequestView asked for keeps the target; any other size is a
  // drag of the border.
  if (area != expectedArea_) {
    target_ = TargetForArea(area, zoom_);
    expectedArea_ = area;
    pictureFills_ = true;
  }
  SolveAndShow();
}

void PhotoView::SolveAndShow() {
  if (!Ready()) return;
  render_.newWidth = target_.width;
  render_.newHeight = target_.height;
  const auto start = Clock::now();
  try {
    host_.Resize(target_.width, target_.height);
  } catch (const std::exception& e) {
    // Not from inside the toolkit's size handling: the box runs its own loop.
    render_.ready = false;
    frame_.CallAfter([this, message = wxString::FromUTF8(e.what())] { failed(message); });
    return;
  }
  const std::chrono::duration<double, std::milli> solve = Clock::now() - start;
  FillGrid();
  ShowSizeAndTime(solve.count());
  DrawQuicklyForAWhile();
  frame_.Refresh();
}

void PhotoView::FillGrid() {
  if (ShowsPlainGrid())
    FillUniformGrid();
  else
    FillSolvedGrid();
}

void PhotoView::FillUniformGrid() {
  // The target is the drawing area at zoom 1, as the classic program reads it.
  std::vector<float> xy;
  BuildUniformGrid(vxCount_, vyCount_, target_.width, target_.height, xy);
  gl_.MakeCurrent();
  UpdateVertices(render_, xy.data(), xy.size() / 2);
}

void PhotoView::FillSolvedGrid() {
  gl_.MakeCurrent();
  UpdateVertices(render_, host_.solution().data(),
                 static_cast<std::size_t>(vxCount_) * static_cast<std::size_t>(vyCount_));
}

std::span<const float> PhotoView::ShownMesh(std::vector<float>& uniform) const {
  if (!ShowsPlainGrid()) return host_.solution();
  BuildUniformGrid(vxCount_, vyCount_, target_.width, target_.height, uniform);
  return uniform;
}

cv::Size PhotoView::Available() const {
  const cv::Size logical = AvailableArea(frame_);
  const wxSize area = gl_.ToDevice(wxSize(logical.width, logical.height));
  return {area.x, area.y};
}

void PhotoView::RequestView() {
  // A window is never narrower than its menu bar: below that the picture
  // keeps its size in a wider area. Sizes here are device pixels; the
  // toolkit takes logical ones, so the area is what whole logical pixels
  // give.
  const double scale = gl_.DeviceScale();
  const cv::Size view = ViewSize(target_, zoom_);
  const cv::Size least = MinimumArea(frame_);
  const wxSize logical(std::max(static_cast<int>(std::ceil(view.width / scale)), least.width),
                       std::max(static_cast<int>(std::ceil(view.height / scale)), least.height));
  const wxSize area = gl_.ToDevice(logical);
  expectedArea_ = {area.x, area.y};
  pictureFills_ = expectedArea_ == view;
  if (logical != frame_.GetClientSize()) frame_.SetClientSize(logical);
  KeepOnScreen(frame_);
}

void PhotoView::SetZoom(double zoom) {
  if (!hasImage_) return;
  zoom_ = zoom;
  RequestView();
  ShowSizeAndTime(-1.0);
  frame_.Refresh();
}

void PhotoView::SetUniform(bool on) {
  uniformMode_ = on;
  SolveAndShow();
}

void PhotoView::SetCompare(bool on) {
  if (comparing_ == on) return;
  comparing_ = on;
  if (!hasImage_ || !render_.ready) return;
  FillGrid();
  status_.ShowActivity(comparing_ ? "Plain scaling while Space is held" : "");
  frame_.Refresh();
}

void PhotoView::Zoom(int id) {
  if (!hasImage_) return;
  const double fit = FitZoom(target_, Available());
  const double largest = FitZoom(target_, Available(), kMaxZoom);
  switch (id) {
    case ID_FIT:
      SetZoom(fit);
      break;
    case ID_ACTUAL_SIZE:
      SetZoom(fit);
      if (fit < 1.0) status_.ShowActivity("At 100 % the picture does not fit on the screen");
      break;
    case ID_ZOOM_IN:
      SetZoom(StepZoom(zoom_, true, largest));
      break;
    case ID_ZOOM_OUT:
      SetZoom(StepZoom(zoom_, false, largest));
      break;
    default:
      break;
  }
}

void PhotoView::SetTarget(cv::Size target) {
  target_ = target;
  zoom_ = FitZoom(target_, Available());
  RequestView();
  SolveAndShow();
}

}  // namespace quadrix
