#pragma once
// Saliency (importance) map of a colour image: a weighted sum of the
// spectral residual, a multi-scale local colour contrast and the colour
// spatial distribution, each computed at a fixed working size, stretched to
// [floor, 1] and resized to the caller's image.

#include <array>
#include <opencv2/core.hpp>

namespace quadrix {

// Component weights, read by index: 0 spectral residual, 1 multi-scale
// contrast, 2 unused by GetSaliencyMap, 3 colour spatial distribution. A
// component runs only when its weight is positive.
struct SaliencyWeights {
  std::array<double, 4> values{0.0, 0.5, 0.5, 0.5};

  SaliencyWeights() = default;
  SaliencyWeights(double w0, double w1, double w2, double w3) : values{w0, w1, w2, w3} {}
  double& operator[](size_t i) { return values[i]; }
  double operator[](size_t i) const { return values[i]; }
};

struct ImageAttention {
  // The map of src8U3C with floor 0.2 and the default weights: CV_32FC1 of
  // the source's size.
  static cv::Mat GetDefaultSaliencyMap(const cv::Mat& src8U3C);

  // Fills dst (CV_32FC1; its size is kept, an empty dst gets the source's
  // size). Ends the process through the assertion report when the source's
  // shorter side is below 128 or it is not 8-bit, 3-channel.
  static void GetSaliencyMap(cv::Mat& dst, double floor, const SaliencyWeights& weights,
                             const cv::Mat& src8U3C);

  // img32F: grey CV_32FC1. saliencyMap32F: CV_32FC1, already sized; gets
  // values in [0, 1]. Ends the process when the map has no variation.
  static void SpectralResidual(const cv::Mat& img32F, cv::Mat& saliencyMap32F);

  // src32FC3: BGR floats in [0, 1]. dst: CV_32FC1 (its size is kept, an empty
  // dst gets the source's size), values in [0, 1].
  static void MultiScaleContrast(const cv::Mat& src32FC3, cv::Mat& dst);

  // One pyramid level of MultiScaleContrast: adds to each pixel of
  // contrast32FC1 (same size as colour32FC3) the mean squared colour
  // distance to the positions of its 9 x 9 window that lie in the image.
  static void AddLocalContrast(const cv::Mat& colour32FC3, cv::Mat& contrast32FC1);

  // Same arguments as MultiScaleContrast; values in [0, 1] up to the
  // overshoot of the final cubic resize.
  static void ColorSpatialDistribution(const cv::Mat& src32FC3, cv::Mat& dst);
};

}  // namespace quadrix
