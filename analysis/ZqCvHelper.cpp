#include "analysis/ZqCvHelper.hpp"

#include <cmath>
#include <cstdio>
#include <opencv2/imgproc.hpp>

#include "core/assertion.hpp"

namespace quadrix {

namespace {
constexpr const char* kSource = "ZqCvHelper";
}

void ZqCvHelper::AbsAngle(const cv::Mat& cmplx, cv::Mat& magnitude, cv::Mat& phase) {
  QX_ASSERT_AT("ZqCvHelper::AbsAngle", kSource, __LINE__,
               cmplx.channels() == 2 && cmplx.depth() == CV_32F,
               "cmplx->nChannels == 2 && cmplx->depth == IPL_DEPTH_32F");
  magnitude.create(cmplx.size(), CV_32FC1);
  phase.create(cmplx.size(), CV_32FC1);
  for (int r = 0; r < cmplx.rows; ++r) {
    const float* in = cmplx.ptr<float>(r);
    float* mag = magnitude.ptr<float>(r);
    float* ph = phase.ptr<float>(r);
    for (int c = 0; c < cmplx.cols; ++c) {
      const float re = in[2 * c];
      const float im = in[2 * c + 1];
      ph[c] = static_cast<float>(std::atan2(static_cast<double>(im), static_cast<double>(re)));
      const float sumSq = re * re + im * im;  // rounded to float before the root
      mag[c] = static_cast<float>(std::sqrt(static_cast<double>(sumSq)));
    }
  }
}

void ZqCvHelper::Polar2Cmplx(const cv::Mat& magnitude, const cv::Mat& phase, cv::Mat& cmplx) {
  cmplx.create(magnitude.size(), CV_32FC2);
  for (int r = 0; r < cmplx.rows; ++r) {
    const float* mag = magnitude.ptr<float>(r);
    const float* ph = phase.ptr<float>(r);
    float* out = cmplx.ptr<float>(r);
    for (int c = 0; c < cmplx.cols; ++c) {
      const float cs = static_cast<float>(std::cos(static_cast<double>(ph[c])));
      const float sn = static_cast<float>(std::sin(static_cast<double>(ph[c])));
      out[2 * c] = cs * mag[c];
      out[2 * c + 1] = sn * mag[c];
    }
  }
}

void ZqCvHelper::MeshGrid(double xStart, double xEnd, double yStart, double yEnd, double xStep,
                          double yStep, cv::Mat& fx64FC1, cv::Mat& fy64FC1) {
  const int nx = static_cast<int>(std::trunc((xEnd - xStart) / xStep)) + 1;
  const int ny = static_cast<int>(std::trunc((yEnd - yStart) / yStep)) + 1;
  if (nx > 0 && ny > 0) {
    fx64FC1.create(ny, nx, CV_64FC1);
    fy64FC1.create(ny, nx, CV_64FC1);
  } else {
    fx64FC1.release();
    fy64FC1.release();
  }
  QX_ASSERT_AT("ZqCvHelper::MeshGrid", kSource, __LINE__, !fx64FC1.empty(), "fx64FC1 != NULL");
  QX_ASSERT_AT("ZqCvHelper::MeshGrid", kSource, __LINE__, !fy64FC1.empty(), "fy64FC1 != NULL");
  for (int i = 0; i < ny; ++i) {
    double* fx = fx64FC1.ptr<double>(i);
    double* fy = fy64FC1.ptr<double>(i);
    for (int j = 0; j < nx; ++j) {
      fx[j] = xStart + static_cast<double>(j) * xStep;
      fy[j] = yStart + static_cast<double>(i) * yStep;
    }
  }
}

cv::Mat ZqCvHelper::Mat2GrayLinear(const cv::Mat& mat32FC1, cv::Mat* dst) {
  // Checked with or without a destination: minMaxLoc needs one channel.
  QX_ASSERT_AT("ZqCvHelper::Mat2GrayLinear", kSource, __LINE__,
               mat32FC1.depth() == CV_32F && mat32FC1.channels() == 1,
               "mat32FC1->depth == IPL_DEPTH_32F && mat32FC1->nChannels == 1");
  double minVal = 0.0;
  double maxVal = 0.0;
  cv::minMaxLoc(mat32FC1, &minVal, &maxVal);
  QX_ASSERT_AT("ZqCvHelper::Mat2GrayLinear", kSource, __LINE__, maxVal - minVal > 1e-6,
               "maxVal - minVal > 1e-6");
  const double scale = 1.0 / (maxVal - minVal);
  const double shift = -minVal / (maxVal - minVal);
  cv::Mat out;
  mat32FC1.convertTo(out, CV_32F, scale, shift);
  if (dst != nullptr) {
    out.copyTo(*dst);
    return *dst;
  }
  return out;
}

void ZqCvHelper::ScaleToWorkingSize(const cv::Mat& src, cv::Mat& dst) {
  const int w = src.cols;
  const int h = src.rows;
  const int m = w < h ? w : h;
  if (m < 128) {
    std::printf("Input image is too small: %d * %d\n", w, h);
    std::fflush(stdout);
    return;
  }
  const double s = 256.0 / m;
  const int newW = static_cast<int>(s * w) / 8 * 8;
  const int newH = static_cast<int>(s * h) / 8 * 8;
  cv::resize(src, dst, cv::Size(newW, newH), 0, 0, cv::INTER_LINEAR);
}

}  // namespace quadrix
