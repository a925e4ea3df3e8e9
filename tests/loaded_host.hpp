#pragma once
// A host loaded from the sample photo and an importance image written to
// disk, on the plain mesh energy, as the core's tests check it.

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "core/resize_host.hpp"
#include "core/settings.hpp"
#include "test_support.hpp"

namespace testsupport {

inline quadrix::ResizeSettings ClassicSettings(bool scaleTerm) {
  quadrix::ResizeSettings settings;
  settings.useScaleTerm = scaleTerm;
  settings.parts = quadrix::ResultParts::Classic();
  return settings;
}

struct Loaded {
  TempDir dir;
  quadrix::ResizeHost host;
  cv::Mat photo;
  std::string salPath;
  Loaded(const cv::Mat& src, const cv::Mat& sal, const quadrix::ResizeSettings& settings)
      : host(settings), photo(src.clone()) {
    salPath = dir / "sal.png";
    cv::imwrite(salPath, sal);
  }
  Loaded(const cv::Mat& src, const cv::Mat& sal, bool scaleTerm = false)
      : Loaded(src, sal, ClassicSettings(scaleTerm)) {}
  bool Load(const std::string& path) { return host.LoadImage(photo, path.c_str()); }
  bool Load() { return Load(salPath); }
};

}  // namespace testsupport
