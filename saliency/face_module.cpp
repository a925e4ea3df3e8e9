// The face detector proper, built as a module of its own: OpenCV's object
// detection library pulls in a few dozen more libraries, which every start
// of the programs would pay for. face_detect.cpp loads this module only when
// a photo's map is computed with faces on.

#include "saliency/face_module.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>
#include <string>
#include <vector>

namespace {

// Loading a cascade parses about a megabyte of XML: each thread keeps the
// last one it loaded (a classifier is not shared between threads).
cv::CascadeClassifier* Classifier(const char* path, std::string& error) {
  thread_local std::string loadedPath;
  thread_local std::unique_ptr<cv::CascadeClassifier> classifier;
  if (classifier && loadedPath == path) return classifier.get();
  classifier.reset();
  auto fresh = std::make_unique<cv::CascadeClassifier>();
  if (!fresh->load(path) || fresh->empty()) {
    error = std::string("cannot read the face cascade '") + path + "'";
    return nullptr;
  }
  classifier = std::move(fresh);
  loadedPath = path;
  return classifier.get();
}

void CopyError(const std::string& text, char* error, int errorSize) {
  if (error == nullptr || errorSize <= 0) return;
  const size_t n = std::min(text.size(), static_cast<size_t>(errorSize - 1));
  std::memcpy(error, text.data(), n);
  error[n] = '\0';
}

}  // namespace

extern "C" int quadrix_detect_faces(const char* cascadePath, const unsigned char* grey, int width,
                                    int height, size_t step, int minSide, int* rects, int maxRects,
                                    char* error, int errorSize) {
  try {
    std::string why;
    cv::CascadeClassifier* classifier = Classifier(cascadePath, why);
    if (classifier == nullptr) {
      CopyError(why, error, errorSize);
      return -1;
    }
    const cv::Mat image(height, width, CV_8UC1, const_cast<unsigned char*>(grey), step);
    cv::Mat equalised;
    cv::equalizeHist(image, equalised);
    std::vector<cv::Rect> faces;
    // Five neighbours: fewer false faces in texture than the usual three.
    classifier->detectMultiScale(equalised, faces, 1.1, 5, 0, cv::Size(minSide, minSide));
    const int n = std::min(static_cast<int>(faces.size()), maxRects);
    for (int k = 0; k < n; ++k) {
      rects[4 * k] = faces[k].x;
      rects[4 * k + 1] = faces[k].y;
      rects[4 * k + 2] = faces[k].width;
      rects[4 * k + 3] = faces[k].height;
    }
    return n;
  } catch (const std::exception& e) {
    CopyError(std::string("face detection failed: ") + e.what(), error, errorSize);
    return -1;
  }
}
