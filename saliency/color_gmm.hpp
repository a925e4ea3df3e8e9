#pragma once
// A small Gaussian mixture over colours (Luv, float), built by repeated
// splitting along the principal axis and refined by one hard-assignment
// refit. Used by the colour spatial distribution of the saliency map.

#include <opencv2/core.hpp>
#include <vector>

namespace quadrix {

// One Gaussian, 35 consecutive floats. Matrices are 3 x 3 row-major.
struct GmmComponent {
  float mean[3];
  float covariance[9];    // diagonal raised by 0.0001
  float determinant;      // of the covariance
  float inverse[9];       // of the covariance
  float weight;           // share of all pixels; 0 marks an empty component
  float eigenvalues[3];   // singular values of the covariance, largest first
  float eigenvectors[9];  // left singular vectors as columns; column 0 is the principal axis

  // Unnormalised density (neither the weight nor (2 pi)^(3/2) enters); 0
  // when the determinant is not positive or the value is not finite.
  float Density(const float colour[3]) const;
};
static_assert(sizeof(GmmComponent) == 35 * sizeof(float));

// Accumulates the colours of one component; all sums in float.
struct GmmFitter {
  float sums[3] = {0, 0, 0};
  float products[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};  // (k, j) = sum of c_k * c_j
  int count = 0;

  void Add(const float colour[3]);
  // Writes mean, covariance, determinant, inverse and weight = count / total
  // (and, when asked, the singular values and vectors). An empty fitter only
  // sets the weight to 0.
  void Finalize(GmmComponent& component, unsigned total, bool computeEigen) const;
};

class ColorGmm {
 public:
  // The components start cleared, so an empty component never wins the
  // choice of the next split through stale values.
  explicit ColorGmm(int k) : K(k), components(static_cast<size_t>(k)) {}

  // luv32FC3: the colours (CV_32FC3). label32S: CV_32SC1 of the same size,
  // (re)allocated here; -1 means no component.
  void Build(const cv::Mat& luv32FC3, cv::Mat& label32S);
  void Learn(const cv::Mat& luv32FC3, cv::Mat& label32S);

  int K;
  std::vector<GmmComponent> components;
};

}  // namespace quadrix
