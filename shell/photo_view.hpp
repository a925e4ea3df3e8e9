#pragma once
// The picture in the window: the resizing host of the photo shown, the
// target size (what is solved and saved) and the zoom (drawing-area pixels
// per target pixel), the solve for each new size, the mesh handed to the
// renderer and the draw. The drawing area is target × zoom; at zoom 1, the
// default whenever the photo fits on the screen, it is the target.

#include <wx/frame.h>
#include <wx/string.h>
#include <wx/timer.h>

#include <boost/signals2/signal.hpp>
#include <memory>
#include <opencv2/core.hpp>
#include <span>
#include <vector>

#include "core/resize_host.hpp"
#include "interop_gl/renderer.hpp"
#include "shell/gl_window.hpp"
#include "shell/status_line.hpp"

namespace quadrix {

class PhotoView {
 public:
  // `frame` holds `gl`, the drawing area; `render` is the renderer record
  // that draws into it. All must outlive the view.
  PhotoView(wxFrame& frame, GlWindow& gl, RenderState& render, StatusLine& status);

  // Told (once, later on the GUI thread) when a solve threw: the message.
  boost::signals2::signal<void(const wxString&)> failed;

  // The host of the photo shown (empty before the first).
  ResizeHost& Host() { return host_; }
  const ResizeHost& Host() const { return host_; }
  // Puts `next` in place of the host shown and gives back the old one, to
  // be freed elsewhere.
  std::shared_ptr<ResizeHost> SwapHost(ResizeHost&& next);

  // Host, textures and buffers hold a photo.
  bool HasPhoto() const { return hasImage_; }
  // A photo is shown and the renderer can draw it.
  bool Ready() const { return hasImage_ && render_.ready && !halted_; }
  // After an error box: nothing is solved or drawn any more.
  void Halt();
  bool Halted() const { return halted_; }

  // A photo of `aligned` pixels is loading and none is shown: the window
  // takes its size now, while the rest loads.
  void Announce(cv::Size aligned);
  // The textures (the colour one of colourSize) and mesh buffers of the
  // host now held; then ShowRest.
  void Install(GlTexture colour, GlTexture importance, cv::Size colourSize);
  // The target becomes the host's rest size, at the zoom that fits; or,
  // when the user sized the window while an announced photo loaded, what
  // that size shows.
  void ShowRest();
  // Nothing shown (the frame shows its hint).
  void Clear();

  // The GlWindow's draw; `painting`: a brush is out.
  void Draw(bool painting);
  // The drawing area became `width` × `height` device pixels.
  void OnAreaSize(int width, int height);
  void SolveAndShow();
  // The mesh shown (the plain grid, or the solution) to the renderer.
  void FillGrid();
  // The next draws are quick ones if filtered drawing is slow here.
  void DrawQuicklyForAWhile();

  cv::Size Target() const { return target_; }
  // The plain grid is shown: Fun > Uniform, or Space held.
  bool ShowsPlainGrid() const { return uniformMode_ || comparing_; }
  int VerticesX() const { return vxCount_; }
  int VerticesY() const { return vyCount_; }
  // Where the picture lies in the drawing area (rows from the top).
  cv::Rect PictureArea() const;
  // The mesh as shown, vertex positions in target pixels; `uniform` holds
  // the plain grid when that is shown.
  std::span<const float> ShownMesh(std::vector<float>& uniform) const;

  void SetUniform(bool on);
  // Space held: plain scaling shown.
  void SetCompare(bool on);
  bool Comparing() const { return comparing_; }
  // View > Fit, Actual Size, Zoom In, Zoom Out (menu ids).
  void Zoom(int id);
  // View > Set Size: the new target, at the zoom that fits.
  void SetTarget(cv::Size target);
  void ShowSizeAndTime(double solveMs) { status_.ShowSizeAndTime(target_, zoom_, solveMs); }

 private:
  void FillUniformGrid();
  void FillSolvedGrid();
  // Asks the toolkit for the drawing area of the view (target × zoom) and
  // keeps the frame on the screen.
  void RequestView();
  // The largest drawing area the screen's work area leaves, device pixels.
  cv::Size Available() const;
  // The frame's client area in device pixels.
  cv::Size FrameArea() const;
  void SetZoom(double zoom);

  wxFrame& frame_;
  GlWindow& gl_;
  RenderState& render_;
  StatusLine& status_;
  ResizeHost host_;
  bool hasImage_ = false;
  bool halted_ = false;
  int vxCount_ = 0;
  int vyCount_ = 0;
  cv::Size colourSize_;       // of the colour texture
  bool reducedView_ = false;  // it is a copy of the photo reduced for the view
  bool uniformMode_ = false;
  bool comparing_ = false;
  cv::Size target_;    // the picture's size
  double zoom_ = 1.0;  // drawing-area pixels per target pixel
  // The drawing area of the view, as last asked of the toolkit or made by
  // the user; whether the picture fills it (else it lies centred in it).
  cv::Size expectedArea_;
  bool pictureFills_ = true;
  bool announced_ = false;  // Announce asked for the view of a loading photo
  // While the picture changes under the user's hand (dragging, painting) a
  // photo whose filtered drawing is slow is drawn bilinearly; the filtered
  // picture follows once the hand rests.
  wxTimer refineTimer_;
  bool quickDraw_ = false;
  double filteredDrawMs_ = 0.0;  // the last filtered draw, finished
};

}  // namespace quadrix
