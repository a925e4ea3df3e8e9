#pragma once
// The display area: a child window with an OpenGL 3.3 core context that
// clears to the theme's background, lets its listeners draw, and tells them
// about every new size in device pixels (HiDPI screens have several per
// logical pixel). It knows nothing of meshes or images.

// libepoxy must come before any GL header the toolkit pulls in.
#include <epoxy/gl.h>
#include <wx/glcanvas.h>

#include <boost/signals2/signal.hpp>
#include <memory>
#include <string>

namespace quadrix {

// An OpenGL context that shares its objects with a window's, made current
// without any drawable: another thread may make the window's textures with
// it. Xlib must have been told to expect threads (XInitThreads) first.
class GlSharedContext {
 public:
  struct Impl;
  explicit GlSharedContext(std::unique_ptr<Impl> impl);
  // Must not be current on any thread any more.
  ~GlSharedContext();
  GlSharedContext(const GlSharedContext&) = delete;
  GlSharedContext& operator=(const GlSharedContext&) = delete;

  // On the calling thread; false when it cannot be made current.
  bool MakeCurrent();
  // Leaves no context current on the calling thread.
  void Release();

 private:
  std::unique_ptr<Impl> impl_;
};

class GlWindow : public wxGLCanvas {
 public:
  // Whether the display offers the pixel format this window needs (double
  // buffered RGBA with a depth buffer). When not, `why` says so and no
  // GlWindow may be made.
  static bool DisplaySupported(std::string& why);

  GlWindow(wxWindow* parent, const wxString& name);
  ~GlWindow() override;

  // Fired once per paint, after the clear and before the buffer swap, with
  // the context current.
  boost::signals2::signal<void()> drawSignal;
  // Fired after every size change, once the targets fit the new size.
  boost::signals2::signal<void(int, int)> sizeSignal;

  // Device pixels per logical pixel (2 on a HiDPI screen at 200 %).
  double DeviceScale() const { return GetContentScaleFactor(); }
  // The drawing area in device pixels: what OpenGL draws into.
  wxSize DeviceSize() const;
  // A point of a mouse event, or a size, from logical to device pixels.
  wxPoint ToDevice(wxPoint logical) const;
  wxSize ToDevice(wxSize logical) const;

  // False when no OpenGL 3.3 core context could be made; ContextError() then
  // says why, and the window never draws.
  bool HasContext() const { return context != nullptr; }
  const std::string& ContextError() const { return contextError; }
  // Makes the window's context current; false without one.
  bool MakeCurrent();
  // Leaves no GLX context current on this thread, so that another API (the
  // off-screen EGL context) may make one current.
  void ReleaseCurrent();
  // A context sharing the window's objects, for another thread; null when
  // the window has no context or the display cannot make one.
  std::unique_ptr<GlSharedContext> MakeSharedContext();

 private:
  void CreateDevice();
  void CreateTargets();
  void OnDestroy(wxWindowDestroyEvent& event);
  void OnEraseBackground(wxEraseEvent& event);
  void OnSize(wxSizeEvent& event);
  void OnPaint(wxPaintEvent& event);
  void OnSysColourChanged(wxSysColourChangedEvent& event);

  std::unique_ptr<wxGLContext> context;
  // Where no picture lies: the theme's view background.
  wxColour background;
  std::string contextError;

  wxDECLARE_EVENT_TABLE();
};

}  // namespace quadrix
