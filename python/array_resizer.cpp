#include "python/array_resizer.hpp"

#include <opencv2/imgproc.hpp>

#include "base/check.hpp"
#include "cli/run.hpp"
#include "core/inputs.hpp"
#include "interop_gl/photo_warp.hpp"
#include "interop_gl/pictures.hpp"

namespace quadrix {

namespace {

// The names the messages give the arrays: the Python arguments'.
constexpr char kPhotoName[] = "image";
constexpr char kImportanceName[] = "importance";

NumericEngine* EngineOf(const CliOptions& o, EngineConnection& connection) {
  return o.engine ? OpenEngineConnection(connection, *o.engine) : OpenEngineConnection(connection);
}

// The photo as the analysis reads it: blue-green-red, as the readers give
// a file.
cv::Mat BgrOf(const cv::Mat& rgb) {
  cv::Mat bgr;
  cv::cvtColor(rgb, bgr, rgb.channels() == 4 ? cv::COLOR_RGBA2BGRA : cv::COLOR_RGB2BGR);
  return bgr;
}

}  // namespace

ArrayResizer::ArrayResizer(const cv::Mat& rgb, const cv::Mat& importance8U, const CliOptions& o)
    : options_(o), photo_(rgb), host_(SettingsOf(o), EngineOf(o, connection_)) {
  const InputImages inputs =
      InputsFromPixels(BgrOf(rgb), kPhotoName, importance8U, kImportanceName,
                       host_.settings().quadSize, host_.settings().maxPixels);
  host_.Load(inputs);
  if (!host_.notice().empty()) notices_.push_back(host_.notice());
  if (!host_.faceNotice().empty()) notices_.push_back(host_.faceNotice());
  host_.BuildEquationA();
  const std::string uniform = host_.UniformFallbackNotice();
  if (!uniform.empty()) notices_.push_back(uniform);
  vx_ = host_.quadCountX() + 1;
  vy_ = host_.quadCountY() + 1;
}

ArrayResizer::~ArrayResizer() = default;

std::vector<float> ArrayResizer::Mesh(cv::Size size) {
  QX_CHECK(size.width >= 1 && size.height >= 1 && size.width <= kMaxTargetSide &&
           size.height <= kMaxTargetSide);
  const std::lock_guard<std::mutex> lock(mutex_);
  host_.Resize(size.width, size.height);
  return {host_.solution().begin(), host_.solution().begin() + 2 * vx_ * vy_};
}

std::vector<float> ArrayResizer::DrawnVertices(cv::Size size) {
  if (!options_.uniform) return Mesh(size);
  std::vector<float> xy;
  BuildUniformGrid(vx_, vy_, size.width, size.height, xy);
  return xy;
}

cv::Mat ArrayResizer::Render(cv::Size size) {
  const std::vector<float> xy = DrawnVertices(size);
  // The colour picture is drawn from the photo as given; the channel order
  // means nothing to the warp.
  if (host_.settings().parts.sharp && !options_.grid && !options_.showImportance)
    return PhotoWarper(photo_).Render(vx_, vy_, xy, size);
  // The grid and the importance map go through the picture maker. Its
  // OpenGL context belongs to the thread that made it, and calls may come
  // from any thread, so each picture has its own.
  const std::lock_guard<std::mutex> lock(mutex_);
  PictureMaker pictures(host_.DrawImage(), host_.imgSal());
  pictures.SetFiltered(host_.settings().parts.sharp);
  cv::Mat picture =
      pictures.Render(vx_, vy_, xy, size, options_.grid, options_.showImportance ? 1 : 0);
  cv::cvtColor(picture, picture, cv::COLOR_BGR2RGB);
  return picture;
}

}  // namespace quadrix
