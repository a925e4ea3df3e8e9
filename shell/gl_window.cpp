#include "shell/gl_window.hpp"

#include <wx/settings.h>

#include <cmath>

#include "interop_gl/glutil.hpp"

// GTK and X11 last: their macros (None, Status, ...) would clash with the
// toolkit's headers.
#include <epoxy/glx.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

namespace quadrix {

namespace {

wxGLAttributes PixelFormat() {
  wxGLAttributes attributes;
  attributes.PlatformDefaults().RGBA().DoubleBuffer().Depth(24).EndList();
  return attributes;
}

// Present without waiting for the vertical blank, where GLX lets us say so.
void DisableVerticalSync(GtkWidget* widget, unsigned long xid) {
  GdkWindow* window = gtk_widget_get_window(widget);
  if (window == nullptr || !GDK_IS_X11_WINDOW(window)) return;
  Display* display = GDK_WINDOW_XDISPLAY(window);
  const int screen = gdk_x11_screen_get_screen_number(gdk_window_get_screen(window));
  if (epoxy_has_glx_extension(display, screen, "GLX_EXT_swap_control"))
    glXSwapIntervalEXT(display, xid, 0);
  else if (epoxy_has_glx_extension(display, screen, "GLX_MESA_swap_control"))
    glXSwapIntervalMESA(0);
}

}  // namespace

struct GlSharedContext::Impl {
  Display* display = nullptr;
  GLXContext context = nullptr;
};

GlSharedContext::GlSharedContext(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

GlSharedContext::~GlSharedContext() { glXDestroyContext(impl_->display, impl_->context); }

bool GlSharedContext::MakeCurrent() {
  // A 3.3 core context needs no drawable (GLX_ARB_create_context).
  return glXMakeContextCurrent(impl_->display, 0, 0, impl_->context) == True;
}

void GlSharedContext::Release() { glXMakeContextCurrent(impl_->display, 0, 0, nullptr); }

// clang-format off
wxBEGIN_EVENT_TABLE(GlWindow, wxGLCanvas)
  EVT_WINDOW_DESTROY(GlWindow::OnDestroy)
  EVT_ERASE_BACKGROUND(GlWindow::OnEraseBackground)
  EVT_SIZE(GlWindow::OnSize)
  EVT_PAINT(GlWindow::OnPaint)
  EVT_SYS_COLOUR_CHANGED(GlWindow::OnSysColourChanged)
wxEND_EVENT_TABLE();
// clang-format on

bool GlWindow::DisplaySupported(std::string& why) {
  if (wxGLCanvas::IsDisplaySupported(PixelFormat())) return true;
  why = "the display offers no OpenGL pixel format with a depth buffer (is GLX available?)";
  return false;
}

GlWindow::GlWindow(wxWindow* parent, const wxString& name)
    : wxGLCanvas(parent, PixelFormat(), wxID_ANY, wxDefaultPosition, wxDefaultSize, 0, name) {
  background = wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOW);
  if (GetHandle() != nullptr) SetBackgroundColour(background);
  CreateDevice();
}

GlWindow::~GlWindow() {
  drawSignal.disconnect_all_slots();
  sizeSignal.disconnect_all_slots();
}

void GlWindow::CreateDevice() {
  if (GetHandle() == nullptr) {
    contextError = "the OpenGL window could not be created";
    return;
  }
  // The context is made now, not at the first paint, so the owner can set up
  // its renderer before the frame is shown. GLX can only make a context
  // current on an X window: realise the widget (and so its top-level) early.
  gtk_widget_realize(m_wxwindow);

  wxGLContextAttrs attributes;
  attributes.PlatformDefaults().CoreProfile().OGLVersion(3, 3).EndList();
  auto made = std::make_unique<wxGLContext>(this, nullptr, &attributes);
  if (!made->IsOK()) {
    contextError = "no OpenGL 3.3 core profile context could be made";
    return;
  }
  if (!made->SetCurrent(*this)) {
    contextError = "the OpenGL context could not be made current on the window";
    return;
  }
  if (epoxy_gl_version() < 33) {
    contextError = "the OpenGL context offers version " + std::to_string(epoxy_gl_version() / 10) +
                   "." + std::to_string(epoxy_gl_version() % 10) + ", not 3.3";
    return;
  }
  context = std::move(made);
  DisableVerticalSync(m_wxwindow, GetXWindow());
  CreateTargets();
}

bool GlWindow::MakeCurrent() { return context && context->SetCurrent(*this); }

std::unique_ptr<GlSharedContext> GlWindow::MakeSharedContext() {
  if (!MakeCurrent() || GetGLXFBConfig() == nullptr) return nullptr;
  Display* display = glXGetCurrentDisplay();
  GLXContext share = glXGetCurrentContext();
  const int screen = DefaultScreen(display);
  if (display == nullptr || share == nullptr ||
      !epoxy_has_glx_extension(display, screen, "GLX_ARB_create_context_profile"))
    return nullptr;
  const int attributes[] = {GLX_CONTEXT_MAJOR_VERSION_ARB,
                            3,
                            GLX_CONTEXT_MINOR_VERSION_ARB,
                            3,
                            GLX_CONTEXT_PROFILE_MASK_ARB,
                            GLX_CONTEXT_CORE_PROFILE_BIT_ARB,
                            0};
  // A display that cannot make it answers with an X error, not a crash.
  GdkDisplay* gdkDisplay = gdk_display_get_default();
  gdk_x11_display_error_trap_push(gdkDisplay);
  GLXContext made = glXCreateContextAttribsARB(display, *GetGLXFBConfig(), share, True, attributes);
  if (gdk_x11_display_error_trap_pop(gdkDisplay) != 0 && made != nullptr) {
    glXDestroyContext(display, made);
    made = nullptr;
  }
  MakeCurrent();
  if (made == nullptr) return nullptr;
  auto impl = std::make_unique<GlSharedContext::Impl>();
  impl->display = display;
  impl->context = made;
  return std::make_unique<GlSharedContext>(std::move(impl));
}

void GlWindow::ReleaseCurrent() {
  if (Display* display = glXGetCurrentDisplay()) glXMakeCurrent(display, 0, nullptr);
}

wxSize GlWindow::DeviceSize() const { return ToDevice(GetClientSize()); }

wxSize GlWindow::ToDevice(wxSize logical) const {
  const wxPoint corner = ToDevice(wxPoint(logical.x, logical.y));
  return {corner.x, corner.y};
}

wxPoint GlWindow::ToDevice(wxPoint logical) const {
  const double scale = DeviceScale();
  return {static_cast<int>(std::lround(logical.x * scale)),
          static_cast<int>(std::lround(logical.y * scale))};
}

void GlWindow::CreateTargets() {
  // The window system keeps the default framebuffer, colour and depth, at
  // the window's size in device pixels; what is ours to remake is the state
  // and the viewport.
  const wxSize size = DeviceSize();
  if (!MakeCurrent()) return;
  ResetTargetState();
  SetTargetViewport(size.x, size.y);
}

void GlWindow::OnDestroy(wxWindowDestroyEvent& event) {
  if (event.GetEventObject() == this) context.reset();
  event.Skip();
}

void GlWindow::OnEraseBackground(wxEraseEvent&) {
  // Never paint the background over the picture.
}

void GlWindow::OnSize(wxSizeEvent&) {
  if (!context) return;
  CreateTargets();
  const wxSize size = DeviceSize();
  sizeSignal(size.x, size.y);
}

void GlWindow::OnSysColourChanged(wxSysColourChangedEvent& event) {
  background = wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOW);
  SetBackgroundColour(background);
  Refresh();
  event.Skip();
}

void GlWindow::OnPaint(wxPaintEvent& event) {
  event.Skip();
  if (!MakeCurrent()) return;
  ClearTarget(background.Red() / 255.0f, background.Green() / 255.0f, background.Blue() / 255.0f);
  drawSignal();
  SwapBuffers();
}

}  // namespace quadrix
