#pragma once
// Faces in a photo, for the computed importance map and the shape units.
//
// The detector is OpenCV's cascade classifier with a frontal-face cascade
// (Debian's opencv-data). It lives in a module loaded on first use, so a
// program that never looks for faces does not pay for loading it.

#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace quadrix {

struct FaceSearch {
  std::vector<cv::Rect> faces;  // in the searched image's pixels
  // Why no search took place (no cascade file, no detector module), or
  // empty. Filled only the first time in the process, so that a batch says
  // it once.
  std::string notice;
};

// The frontal-face cascade (the "alt2" one: on the shared photos it finds
// the same faces as the default one without its faces in fur and texture): $QUADRIX_FACE_CASCADE
// when set (even when that file is missing, so the lack can be tried), else the first that exists
// in the usual install folders. Empty when there is none.
std::string FindFaceCascade();

// bgr8U3C: the photo (CV_8UC3). Searched at a working size of at most
// 480 pixels on the longer side; faces smaller than 1/20 of the shorter
// side are not sought. Never throws for a missing cascade or module: the
// result then holds no faces (and the notice, the first time).
FaceSearch DetectFaces(const cv::Mat& bgr8U3C);

// The region a face's importance and shape cover: an ellipse over the
// detector's box with room for hair above and the chin below.
cv::RotatedRect FaceRegion(const cv::Rect& face);

// Raises sal32F (CV_32FC1) to `top` over each face's region, and to 0.8 of
// it over the body that likely stands below, with soft edges; never lowers
// a value.
void RaiseImportanceOverFaces(cv::Mat& sal32F, const std::vector<cv::Rect>& faces, float top);

}  // namespace quadrix
