#include "saliency/face_detect.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <opencv2/imgproc.hpp>

#include "base/environment.hpp"
#include "saliency/face_module.h"

namespace quadrix {

namespace {

constexpr int kWorkingSide = 480;
constexpr int kMaxFaces = 64;
constexpr double kMinFaceShare = 1.0 / 20;
constexpr int kCascadeMinSide = 24;  // the frontal cascades' window

// Where the module may be: installed beside the library's other files, or
// in the build tree.
const char* const kModulePaths[] = {QUADRIX_FACE_MODULE_INSTALLED, QUADRIX_FACE_MODULE_BUILT};

struct Module {
  QuadrixDetectFacesFn detect = nullptr;
  std::string error;
};

// Loaded once per process and kept: the detector's libraries stay mapped.
const Module& LoadModule() {
  static Module module;
  static std::once_flag once;
  std::call_once(once, [] {
    std::string tried;
    for (const char* path : kModulePaths) {
      if (path[0] == '\0' || !std::filesystem::exists(path)) continue;
      void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
      if (handle == nullptr) {
        tried = dlerror();
        continue;
      }
      module.detect = reinterpret_cast<QuadrixDetectFacesFn>(dlsym(handle, "quadrix_detect_faces"));
      if (module.detect != nullptr) return;
      tried = "no detector in '" + std::string(path) + "'";
    }
    module.error = tried.empty() ? "the face detector module is not installed" : tried;
  });
  return module;
}

std::atomic<bool> noticeGiven{false};

void NoticeOnce(FaceSearch& result, const std::string& text) {
  if (!noticeGiven.exchange(true)) result.notice = text + "; going on without faces";
}

}  // namespace

std::string FindFaceCascade() {
  if (const char* env = std::getenv(kEnvFaceCascade); env != nullptr && env[0] != '\0') return env;
  for (const char* dir :
       {"/usr/share/opencv4/haarcascades", "/usr/local/share/opencv4/haarcascades",
        "/usr/share/opencv/haarcascades"}) {
    const std::string path = std::string(dir) + "/haarcascade_frontalface_alt2.xml";
    if (std::filesystem::exists(path)) return path;
  }
  return {};
}

FaceSearch DetectFaces(const cv::Mat& bgr8U3C) {
  FaceSearch result;
  if (bgr8U3C.empty()) return result;
  const std::string cascade = FindFaceCascade();
  if (cascade.empty() || !std::filesystem::exists(cascade)) {
    NoticeOnce(result, cascade.empty() ? "no face cascade found (package opencv-data)"
                                       : "face cascade '" + cascade + "' not found");
    return result;
  }
  const Module& module = LoadModule();
  if (module.detect == nullptr) {
    NoticeOnce(result, "face detection unavailable: " + module.error);
    return result;
  }

  const double scale =
      std::min(1.0, static_cast<double>(kWorkingSide) / std::max(bgr8U3C.cols, bgr8U3C.rows));
  cv::Mat grey, small;
  cv::cvtColor(bgr8U3C, grey, cv::COLOR_BGR2GRAY);
  if (scale < 1.0)
    cv::resize(grey, small, cv::Size(), scale, scale, cv::INTER_AREA);
  else
    small = grey;
  const int minSide =
      std::max(kCascadeMinSide, static_cast<int>(kMinFaceShare * std::min(small.cols, small.rows)));
  int rects[4 * kMaxFaces];
  char error[256] = "";
  const int n = module.detect(cascade.c_str(), small.data, small.cols, small.rows, small.step,
                              minSide, rects, kMaxFaces, error, sizeof error);
  if (n < 0) {
    NoticeOnce(result, error);
    return result;
  }
  const cv::Rect whole(0, 0, bgr8U3C.cols, bgr8U3C.rows);
  for (int k = 0; k < n; ++k) {
    const cv::Rect r(cvRound(rects[4 * k] / scale), cvRound(rects[4 * k + 1] / scale),
                     cvRound(rects[4 * k + 2] / scale), cvRound(rects[4 * k + 3] / scale));
    result.faces.push_back(r & whole);
  }
  return result;
}

cv::RotatedRect FaceRegion(const cv::Rect& face) {
  // The detector's box runs from the brows to the mouth: the head is about
  // a third taller (hair above, chin below) and a little wider.
  const cv::Point2f centre(face.x + 0.5f * face.width, face.y + 0.45f * face.height);
  return {centre, cv::Size2f(1.2f * face.width, 1.6f * face.height), 0.0f};
}

namespace {

// Raises sal32F to `top` inside the ellipse, falling to nothing at 1.3
// times its radius: no hard step for the mesh to follow.
void RaiseEllipse(cv::Mat& sal32F, cv::Point2d center, double ax, double ay, float top) {
  constexpr double kFade = 1.3;
  const cv::Rect box = cv::Rect(cvFloor(center.x - kFade * ax), cvFloor(center.y - kFade * ay),
                                cvCeil(2 * kFade * ax) + 1, cvCeil(2 * kFade * ay) + 1) &
                       cv::Rect(0, 0, sal32F.cols, sal32F.rows);
  for (int y = box.y; y < box.y + box.height; ++y) {
    float* row = sal32F.ptr<float>(y);
    const double dy = (y + 0.5 - center.y) / ay;
    for (int x = box.x; x < box.x + box.width; ++x) {
      const double dx = (x + 0.5 - center.x) / ax;
      const double r = std::sqrt(dx * dx + dy * dy);
      if (r >= kFade) continue;
      const double t = r <= 1.0 ? 1.0 : (kFade - r) / (kFade - 1.0);
      const double s = t * t * (3 - 2 * t);
      row[x] = std::max(row[x], static_cast<float>(top * s + row[x] * (1 - s)));
    }
  }
}

}  // namespace

void RaiseImportanceOverFaces(cv::Mat& sal32F, const std::vector<cv::Rect>& faces, float top) {
  CV_Assert(sal32F.type() == CV_32FC1);
  for (const cv::Rect& face : faces) {
    const cv::RotatedRect region = FaceRegion(face);
    RaiseEllipse(sal32F, region.center, 0.5 * region.size.width, 0.5 * region.size.height, top);
    // The person below the face: a saliency map often sees a plain wall
    // before a dark shirt, and a body squeezed thin under a kept face looks
    // worse than either. Shoulders about three faces wide, down to about
    // seven faces below the chin.
    const cv::Point2d body(face.x + 0.5 * face.width, face.y + face.height * 4.5);
    RaiseEllipse(sal32F, body, 1.5 * face.width, 3.5 * face.height, 0.8f * top);
  }
}

}  // namespace quadrix
