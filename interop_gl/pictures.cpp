#include "interop_gl/pictures.hpp"

#include <cstdlib>
#include <iostream>

#include "base/environment.hpp"
#include "interop_gl/cpu_raster.hpp"
#include "interop_gl/offscreen.hpp"

namespace quadrix {

PictureMaker::PictureMaker(const cv::Mat& colour, const cv::Mat& importance)
    : colour_(colour), importance_(importance) {
  std::string why = "QUADRIX_NO_OPENGL is set";
  if (std::getenv(kEnvNoOpenGl) == nullptr) {
    auto gl = std::make_unique<OffscreenRenderer>();
    if (gl->status() == OffscreenRenderer::Status::kNoEffect)
      throw EffectError("cannot use the effect file '" + gl->effectPath() + "'");
    if (gl->status() == OffscreenRenderer::Status::kReady && gl->SetImages(colour, importance)) {
      gl_ = std::move(gl);
      glHasImages_ = true;
      return;
    }
    why = gl->message().empty() ? "the images could not be made into textures" : gl->message();
  }
  std::cerr << "quadrix-cli: no OpenGL context (" << why << "); drawing on the processor"
            << std::endl;
  cpu_ = std::make_unique<CpuRasterizer>();
  cpu_->SetImages(colour, importance);
}

PictureMaker::~PictureMaker() = default;

void PictureMaker::SetFiltered(bool on) {
  filtered_ = on;
  if (gl_) gl_->state().filtered = on;
  if (cpu_) cpu_->SetFiltered(on);
}

void PictureMaker::SetImages(const cv::Mat& colour, const cv::Mat& importance) {
  colour_ = colour;
  importance_ = importance;
  glHasImages_ = gl_ != nullptr && gl_->SetImages(colour, importance);
  if (glHasImages_) {
    cpu_.reset();  // a fallback for one size makes its own, with these images
    return;
  }
  if (gl_)
    std::cerr << "quadrix-cli: OpenGL cannot take images of " << colour.cols << "x" << colour.rows
              << "; drawing on the processor" << std::endl;
  if (!cpu_) cpu_ = std::make_unique<CpuRasterizer>();
  cpu_->SetFiltered(filtered_);
  cpu_->SetImages(colour, importance);
}

cv::Mat PictureMaker::Render(int vx, int vy, std::span<const float> xy, cv::Size size,
                             bool showGrid, int textureIndex) {
  if (gl_ && glHasImages_) {
    cv::Mat picture;
    if (gl_->Render(vx, vy, xy, size, showGrid, textureIndex, picture)) return picture;
    // A size beyond what the context can hold.
    std::cerr << "quadrix-cli: OpenGL cannot draw " << size.width << "x" << size.height
              << "; drawing this picture on the processor" << std::endl;
    if (!cpu_) {
      cpu_ = std::make_unique<CpuRasterizer>();
      cpu_->SetFiltered(filtered_);
      cpu_->SetImages(colour_, importance_);
    }
  }
  return cpu_->Render(vx, vy, xy, size, showGrid, textureIndex);
}

}  // namespace quadrix
