#include "saliency/color_gmm.hpp"

#include <cmath>

namespace quadrix {

namespace {

// Projection of a colour on an axis. The split threshold (the mean's
// projection) is computed the same way, so a colour equal to the mean lands
// exactly on the threshold.
float Project(const float colour[3], const float axis[3]) {
  const double p = static_cast<double>(colour[0]) * axis[0] +
                   static_cast<double>(colour[1]) * axis[1] +
                   static_cast<double>(colour[2]) * axis[2];
  return static_cast<float>(p);
}

}  // namespace

float GmmComponent::Density(const float colour[3]) const {
  if (!(determinant > 0.0f)) return 0.0f;
  float d[3];
  for (int k = 0; k < 3; ++k) d[k] = colour[k] - mean[k];
  double q = 0.0;
  for (int j = 0; j < 3; ++j) {
    double column = 0.0;
    for (int i = 0; i < 3; ++i) column += static_cast<double>(inverse[i * 3 + j]) * d[i];
    q += d[j] * column;
  }
  const float qf = static_cast<float>(q);
  const float root = static_cast<float>(std::sqrt(static_cast<double>(determinant)));
  const float value = static_cast<float>((1.0 / root) * std::exp(-0.5 * qf));
  // A covariance made indefinite by float rounding can still have a positive
  // determinant; its quadratic form may then overflow the exponential.
  return std::isfinite(value) ? value : 0.0f;
}

void GmmFitter::Add(const float colour[3]) {
  for (int k = 0; k < 3; ++k) {
    sums[k] += colour[k];
    for (int j = 0; j < 3; ++j) products[k * 3 + j] += colour[k] * colour[j];
  }
  ++count;
}

void GmmFitter::Finalize(GmmComponent& component, unsigned total, bool computeEigen) const {
  if (count == 0) {
    component.weight = 0.0f;
    return;
  }
  const float n = static_cast<float>(count);
  for (int k = 0; k < 3; ++k) component.mean[k] = sums[k] / n;
  for (int k = 0; k < 3; ++k)
    for (int j = 0; j < 3; ++j)
      component.covariance[k * 3 + j] =
          products[k * 3 + j] / n - component.mean[k] * component.mean[j];
  for (int k = 0; k < 3; ++k) component.covariance[k * 4] += 0.0001f;

  const cv::Mat cov(3, 3, CV_32FC1, component.covariance);
  cv::Mat inv;
  cv::invert(cov, inv, cv::DECOMP_LU);  // all zeros when singular
  for (int k = 0; k < 9; ++k) component.inverse[k] = inv.at<float>(k / 3, k % 3);
  component.determinant = static_cast<float>(cv::determinant(cov));
  component.weight = n / static_cast<float>(total);

  if (computeEigen) {
    cv::Mat w, u, vt;
    cv::SVD::compute(cov, w, u, vt);
    for (int k = 0; k < 3; ++k) component.eigenvalues[k] = w.at<float>(k);
    for (int k = 0; k < 9; ++k) component.eigenvectors[k] = u.at<float>(k / 3, k % 3);
  }
}

void ColorGmm::Build(const cv::Mat& luv32FC3, cv::Mat& label32S) {
  CV_DbgAssert(luv32FC3.type() == CV_32FC3);
  label32S.create(luv32FC3.size(), CV_32SC1);
  label32S.setTo(cv::Scalar(-1));
  std::vector<GmmFitter> fitters(static_cast<size_t>(K));
  if (K <= 0) return;

  unsigned total = 0;
  for (int r = 0; r < luv32FC3.rows; ++r) {
    const float* px = luv32FC3.ptr<float>(r);
    int* label = label32S.ptr<int>(r);
    for (int c = 0; c < luv32FC3.cols; ++c) {
      label[c] = 0;
      fitters[0].Add(px + 3 * c);
      ++total;
    }
  }
  fitters[0].Finalize(components[0], total, true);

  int split = 0;
  for (int i = 1; i < K; ++i) {
    fitters[split] = GmmFitter{};
    const GmmComponent& comp = components[split];
    const float axis[3] = {comp.eigenvectors[0], comp.eigenvectors[3], comp.eigenvectors[6]};
    const float threshold = Project(comp.mean, axis);
    for (int r = 0; r < luv32FC3.rows; ++r) {
      const float* px = luv32FC3.ptr<float>(r);
      int* label = label32S.ptr<int>(r);
      for (int c = 0; c < luv32FC3.cols; ++c) {
        if (label[c] != split) continue;
        if (Project(px + 3 * c, axis) > threshold) {
          label[c] = i;
          fitters[i].Add(px + 3 * c);
        } else {
          fitters[split].Add(px + 3 * c);
        }
      }
    }
    fitters[split].Finalize(components[split], total, true);
    fitters[i].Finalize(components[i], total, true);

    // Strictly greater only: ties go to the lowest index.
    split = 0;
    for (int j = 1; j <= i; ++j)
      if (components[j].eigenvalues[0] > components[split].eigenvalues[0]) split = j;
  }
}

void ColorGmm::Learn(const cv::Mat& luv32FC3, cv::Mat& label32S) {
  CV_DbgAssert(luv32FC3.type() == CV_32FC3);
  label32S.create(luv32FC3.size(), CV_32SC1);
  label32S.setTo(cv::Scalar(-1));
  if (K <= 0) return;

  unsigned total = 0;
  for (int r = 0; r < luv32FC3.rows; ++r) {
    const float* px = luv32FC3.ptr<float>(r);
    int* label = label32S.ptr<int>(r);
    for (int c = 0; c < luv32FC3.cols; ++c) {
      float best = 0.0f;
      int bestLabel = 0;
      for (int j = 0; j < K; ++j) {
        const GmmComponent& comp = components[j];
        const float value = comp.weight > 0.0f ? comp.Density(px + 3 * c) : 0.0f;
        if (value > best) {
          best = value;
          bestLabel = j;
        }
      }
      label[c] = bestLabel;
      ++total;
    }
  }

  std::vector<GmmFitter> fitters(static_cast<size_t>(K));
  for (int r = 0; r < luv32FC3.rows; ++r) {
    const float* px = luv32FC3.ptr<float>(r);
    const int* label = label32S.ptr<int>(r);
    for (int c = 0; c < luv32FC3.cols; ++c)
      if (label[c] >= 0) fitters[label[c]].Add(px + 3 * c);
  }
  for (int j = 0; j < K; ++j) fitters[j].Finalize(components[j], total, false);
}

}  // namespace quadrix
