#include "interop_gl/offscreen.hpp"

#include <epoxy/egl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <opencv2/core.hpp>
#include <vector>

#include "base/check.hpp"

namespace quadrix {

namespace {

bool HasExtension(const char* list, const char* name) {
  if (list == nullptr) return false;
  const size_t n = std::strlen(name);
  for (const char* p = list; (p = std::strstr(p, name)) != nullptr; p += n) {
    const bool startOk = p == list || p[-1] == ' ';
    const bool endOk = p[n] == '\0' || p[n] == ' ';
    if (startOk && endOk) return true;
  }
  return false;
}

std::string EglErrorText(const char* what) {
  char code[32];
  std::snprintf(code, sizeof code, "0x%04x", static_cast<unsigned>(eglGetError()));
  return std::string(what) + " failed (EGL error " + code + ")";
}

// Displays worth trying, best first: Mesa's surfaceless platform, then every
// EGL device, then whatever the default display is.
std::vector<std::pair<EGLDisplay, std::string>> CandidateDisplays() {
  std::vector<std::pair<EGLDisplay, std::string>> out;
  const char* client = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
  const bool platforms = HasExtension(client, "EGL_EXT_platform_base");
  if (platforms && HasExtension(client, "EGL_MESA_platform_surfaceless")) {
    EGLDisplay d =
        eglGetPlatformDisplayEXT(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    if (d != EGL_NO_DISPLAY) out.emplace_back(d, "surfaceless platform");
  }
  if (platforms && HasExtension(client, "EGL_EXT_platform_device") &&
      HasExtension(client, "EGL_EXT_device_enumeration")) {
    EGLint count = 0;
    if (eglQueryDevicesEXT(0, nullptr, &count) == EGL_TRUE && count > 0) {
      std::vector<EGLDeviceEXT> devices(static_cast<size_t>(count));
      if (eglQueryDevicesEXT(count, devices.data(), &count) == EGL_TRUE) {
        for (EGLint i = 0; i < count; ++i) {
          EGLDisplay d = eglGetPlatformDisplayEXT(EGL_PLATFORM_DEVICE_EXT,
                                                  devices[static_cast<size_t>(i)], nullptr);
          if (d != EGL_NO_DISPLAY) out.emplace_back(d, "EGL device " + std::to_string(i));
        }
      }
    }
  }
  EGLDisplay d = eglGetDisplay(EGL_DEFAULT_DISPLAY);
  if (d != EGL_NO_DISPLAY) out.emplace_back(d, "default display");
  return out;
}

}  // namespace

struct OffscreenContext::Impl {
  EGLDisplay display = EGL_NO_DISPLAY;
  EGLContext context = EGL_NO_CONTEXT;
  EGLSurface surface = EGL_NO_SURFACE;
  std::string renderer;

  ~Impl() {
    if (display == EGL_NO_DISPLAY) return;
    eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    if (surface != EGL_NO_SURFACE) eglDestroySurface(display, surface);
    if (context != EGL_NO_CONTEXT) eglDestroyContext(display, context);
    eglReleaseThread();
  }

  // A 3.3 core context on `d`, made current; the reason in `why` if not.
  bool Open(EGLDisplay d, std::string& why) {
    // Displays are shared within the process and stay initialized until it
    // ends: eglTerminate would end every other user's contexts too.
    EGLint major = 0;
    EGLint minor = 0;
    if (eglInitialize(d, &major, &minor) != EGL_TRUE) {
      why = EglErrorText("eglInitialize");
      return false;
    }
    display = d;
    if (eglBindAPI(EGL_OPENGL_API) != EGL_TRUE) {
      why = EglErrorText("eglBindAPI(EGL_OPENGL_API)");
      return false;
    }
    const char* ext = eglQueryString(d, EGL_EXTENSIONS);
    const bool configless = HasExtension(ext, "EGL_KHR_no_config_context") ||
                            HasExtension(ext, "EGL_MESA_configless_context");
    const bool surfaceless = configless && HasExtension(ext, "EGL_KHR_surfaceless_context");

    EGLConfig config = EGL_NO_CONFIG_KHR;
    if (!surfaceless) {
      const EGLint attribs[] = {EGL_SURFACE_TYPE,
                                EGL_PBUFFER_BIT,
                                EGL_RENDERABLE_TYPE,
                                EGL_OPENGL_BIT,
                                EGL_RED_SIZE,
                                8,
                                EGL_GREEN_SIZE,
                                8,
                                EGL_BLUE_SIZE,
                                8,
                                EGL_NONE};
      EGLint found = 0;
      if (eglChooseConfig(d, attribs, &config, 1, &found) != EGL_TRUE || found < 1) {
        why = "no pbuffer configuration for OpenGL";
        return false;
      }
    }
    const EGLint contextAttribs[] = {EGL_CONTEXT_MAJOR_VERSION,
                                     3,
                                     EGL_CONTEXT_MINOR_VERSION,
                                     3,
                                     EGL_CONTEXT_OPENGL_PROFILE_MASK,
                                     EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT,
                                     EGL_NONE};
    context = eglCreateContext(d, config, EGL_NO_CONTEXT, contextAttribs);
    if (context == EGL_NO_CONTEXT) {
      why = EglErrorText("eglCreateContext(OpenGL 3.3 core)");
      return false;
    }
    if (!surfaceless) {
      // Drawing goes to framebuffer objects; the pbuffer only makes the
      // context current.
      const EGLint pbufferAttribs[] = {EGL_WIDTH, 16, EGL_HEIGHT, 16, EGL_NONE};
      surface = eglCreatePbufferSurface(d, config, pbufferAttribs);
      if (surface == EGL_NO_SURFACE) {
        why = EglErrorText("eglCreatePbufferSurface");
        return false;
      }
    }
    if (eglMakeCurrent(d, surface, surface, context) != EGL_TRUE) {
      why = EglErrorText("eglMakeCurrent");
      return false;
    }
    if (!epoxy_is_desktop_gl() || epoxy_gl_version() < 33) {
      why = "the context is not OpenGL 3.3";
      return false;
    }
    const auto* name = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
    renderer = name != nullptr ? name : "";
    return true;
  }
};

OffscreenContext::OffscreenContext(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
OffscreenContext::~OffscreenContext() = default;

std::unique_ptr<OffscreenContext> OffscreenContext::Create(std::string& why) {
  why.clear();
  const auto candidates = CandidateDisplays();
  if (candidates.empty()) {
    why = "no EGL display";
    return nullptr;
  }
  for (const auto& [display, name] : candidates) {
    auto impl = std::make_unique<Impl>();
    std::string reason;
    if (impl->Open(display, reason)) return std::make_unique<OffscreenContext>(std::move(impl));
    why += (why.empty() ? "" : "; ") + name + ": " + reason;
  }
  return nullptr;
}

bool OffscreenContext::MakeCurrent() {
  // The bound API is per thread.
  eglBindAPI(EGL_OPENGL_API);
  return eglMakeCurrent(impl_->display, impl_->surface, impl_->surface, impl_->context) == EGL_TRUE;
}

const std::string& OffscreenContext::Renderer() const { return impl_->renderer; }

// --- Target -----------------------------------------------------------------

bool OffscreenTarget::Begin(int width, int height) {
  if (width < 1 || height < 1) return false;
  GLint maxRenderbuffer = 0;
  GLint maxViewport[2] = {0, 0};
  glGetIntegerv(GL_MAX_RENDERBUFFER_SIZE, &maxRenderbuffer);
  glGetIntegerv(GL_MAX_VIEWPORT_DIMS, maxViewport);
  if (width > std::min(maxRenderbuffer, maxViewport[0]) ||
      height > std::min(maxRenderbuffer, maxViewport[1]))
    return false;

  if (!framebuffer_ || width != width_ || height != height_) {
    framebuffer_ = MakeGlFramebuffer();
    colour_ = MakeGlRenderbuffer();
    depth_ = MakeGlRenderbuffer();
    glBindRenderbuffer(GL_RENDERBUFFER, colour_.get());
    glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, width, height);
    glBindRenderbuffer(GL_RENDERBUFFER, depth_.get());
    glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT32F, width, height);
    glBindRenderbuffer(GL_RENDERBUFFER, 0);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_.get());
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour_.get());
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, depth_.get());
    width_ = width;
    height_ = height;
  }
  glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_.get());
  if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
    framebuffer_.reset();
    return false;
  }
  ResetTargetState();
  SetTargetViewport(width, height);
  ClearTarget();
  return true;
}

cv::Mat OffscreenTarget::ReadBgr() const {
  cv::Mat picture(height_, width_, CV_8UC3);
  glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer_.get());
  glReadBuffer(GL_COLOR_ATTACHMENT0);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glPixelStorei(GL_PACK_ROW_LENGTH, 0);
  // GL's bottom row first; reading row by row into place saves a flip of
  // the whole picture, which costs more than the extra calls.
  for (int y = 0; y < height_; ++y)
    glReadPixels(0, y, width_, 1, GL_BGR, GL_UNSIGNED_BYTE, picture.ptr(height_ - 1 - y));
  return picture;
}

// --- Renderer ---------------------------------------------------------------

OffscreenRenderer::OffscreenRenderer(const std::string& effectFile) {
  context_ = OffscreenContext::Create(message_);
  if (!context_) {
    status_ = Status::kNoContext;
    return;
  }
  if (!InitRenderer(state_, effectFile)) {
    status_ = Status::kNoEffect;
    return;
  }
  target_ = std::make_unique<OffscreenTarget>();
  status_ = Status::kReady;
}

OffscreenRenderer::~OffscreenRenderer() {
  if (!context_) return;
  context_->MakeCurrent();
  target_.reset();
  ReleaseRenderState(state_);
  context_.reset();
}

bool OffscreenRenderer::SetImages(const cv::Mat& colour, const cv::Mat& importance) {
  if (status_ != Status::kReady || colour.empty() || !context_->MakeCurrent()) return false;
  state_.srcWidth = colour.cols;
  state_.srcHeight = colour.rows;
  return CreateImageTexture(colour, state_, 0) && CreateImageTexture(importance, state_, 1);
}

bool OffscreenRenderer::Render(int vx, int vy, std::span<const float> xy, cv::Size target,
                               bool showGrid, int textureIndex, cv::Mat& picture) {
  picture.release();
  QX_CHECK(vx >= 2 && vy >= 2 &&
           xy.size() == 2 * static_cast<size_t>(vx) * static_cast<size_t>(vy));
  if (status_ != Status::kReady || !context_->MakeCurrent()) return false;
  while (glGetError() != GL_NO_ERROR) {
  }
  if (!state_.ready || state_.vxCount != vx || state_.vyCount != vy)
    CreateMeshBuffers(state_, vx, vy);
  if (!target_->Begin(target.width, target.height)) return false;
  state_.newWidth = target.width;
  state_.newHeight = target.height;
  state_.showGrid = showGrid;
  state_.textureIndex = textureIndex;
  UpdateVertices(state_, xy.data(), xy.size() / 2);
  DrawMesh(state_);
  picture = target_->ReadBgr();
  if (glGetError() == GL_NO_ERROR) return true;
  picture.release();
  return false;
}

cv::Mat RenderMeshPicture(const cv::Mat& colour, const cv::Mat& importance, int vx, int vy,
                          std::span<const float> xy, cv::Size target, bool showGrid,
                          int textureIndex, const std::string& effectFile) {
  OffscreenRenderer renderer(effectFile);
  cv::Mat picture;
  if (!renderer.SetImages(colour, importance) ||
      !renderer.Render(vx, vy, xy, target, showGrid, textureIndex, picture))
    return {};
  return picture;
}

}  // namespace quadrix
