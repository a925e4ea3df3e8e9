#pragma once
// Off-screen drawing through EGL: an OpenGL 3.3 core context without a
// window (surfaceless where the driver allows it, else a small pbuffer) and
// a framebuffer of the target size, prepared as the display window prepares
// its own. Used by the command-line tool and the tests.

#include <memory>
#include <opencv2/core.hpp>
#include <span>
#include <string>

#include "interop_gl/renderer.hpp"

namespace quadrix {

class OffscreenContext {
 public:
  // Null, with the reason in `why`, when no OpenGL 3.3 core context can be
  // made on any EGL display.
  static std::unique_ptr<OffscreenContext> Create(std::string& why);
  ~OffscreenContext();
  OffscreenContext(const OffscreenContext&) = delete;
  OffscreenContext& operator=(const OffscreenContext&) = delete;

  bool MakeCurrent();
  // GL_RENDERER of the context, e.g. "llvmpipe (LLVM 15.0.6, 256 bits)".
  const std::string& Renderer() const;

  struct Impl;
  explicit OffscreenContext(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

// Colour (RGBA8) and depth attachments of one size.
class OffscreenTarget {
 public:
  // Binds the framebuffer, remaking it when the size changed, and prepares
  // it: target state, viewport, depth range 0 to 0, white and depth 1.0.
  // False when the size is not supported or the framebuffer incomplete.
  bool Begin(int width, int height);
  // The picture as CV_8UC3 BGR, top row first.
  cv::Mat ReadBgr() const;

 private:
  GlFramebuffer framebuffer_;
  GlRenderbuffer colour_;
  GlRenderbuffer depth_;
  int width_ = 0;
  int height_ = 0;
};

// Context, renderer record and target together; draws pictures of a mesh.
class OffscreenRenderer {
 public:
  enum class Status { kReady, kNoContext, kNoEffect };

  // Makes the context and compiles the effect (`effectFile`, or the one
  // found in the data search path).
  explicit OffscreenRenderer(const std::string& effectFile = {});
  ~OffscreenRenderer();
  OffscreenRenderer(const OffscreenRenderer&) = delete;
  OffscreenRenderer& operator=(const OffscreenRenderer&) = delete;

  Status status() const { return status_; }
  // Why there is no context (kNoContext).
  const std::string& message() const { return message_; }
  // The effect file used or looked for.
  const std::string& effectPath() const { return state_.effectPath; }

  // colour: CV_8UC3 BGR; importance: CV_32FC1 (any image the texture rules
  // take). The source size is the colour image's.
  bool SetImages(const cv::Mat& colour, const cv::Mat& importance);

  // One picture: `xy` holds vx * vy (x, y) pairs in vertex order, in pixels
  // of `target`. textureIndex 0 draws the colour image, 1 the importance
  // image. The result is CV_8UC3 BGR of exactly `target`, top row first;
  // false when not ready or the target cannot be made.
  bool Render(int vx, int vy, std::span<const float> xy, cv::Size target, bool showGrid,
              int textureIndex, cv::Mat& picture);

  RenderState& state() { return state_; }

 private:
  Status status_ = Status::kNoContext;
  std::string message_;
  std::unique_ptr<OffscreenContext> context_;
  RenderState state_;
  std::unique_ptr<OffscreenTarget> target_;
};

// One picture in a context of its own; empty when it cannot be drawn.
cv::Mat RenderMeshPicture(const cv::Mat& colour, const cv::Mat& importance, int vx, int vy,
                          std::span<const float> xy, cv::Size target, bool showGrid,
                          int textureIndex, const std::string& effectFile = {});

}  // namespace quadrix
