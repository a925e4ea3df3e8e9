#include "saliency/zq_cv_helper.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "base/check.hpp"

namespace quadrix {

void ZqCvHelper::AbsAngle(const cv::Mat& cmplx, cv::Mat& magnitude, cv::Mat& phase) {
  QX_CHECK(cmplx.channels() == 2 && cmplx.depth() == CV_32F);
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
  QX_CHECK(!fx64FC1.empty());
  QX_CHECK(!fy64FC1.empty());
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
  QX_CHECK(mat32FC1.depth() == CV_32F && mat32FC1.channels() == 1);
  double minVal = 0.0;
  double maxVal = 0.0;
  cv::minMaxLoc(mat32FC1, &minVal, &maxVal);
  QX_CHECK(maxVal - minVal > 1e-6);
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

namespace {

// The sRGB transfer curve at 4096 steps, read with linear interpolation
// (error below 1e-7).
constexpr int kGammaSteps = 4096;

const float* GammaTable() {
  static const std::vector<float> table = [] {
    std::vector<float> t(kGammaSteps + 2);
    for (int i = 0; i <= kGammaSteps + 1; ++i) {
      const double c = std::min(static_cast<double>(i) / kGammaSteps, 1.0);
      t[static_cast<size_t>(i)] =
          static_cast<float>(c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4));
    }
    return t;
  }();
  return table.data();
}

inline float Linear(float c, const float* table) {
  c = std::min(std::max(c, 0.0f), 1.0f) * kGammaSteps;
  const int i = static_cast<int>(c);
  return table[i] + (table[i + 1] - table[i]) * (c - static_cast<float>(i));
}

}  // namespace

void ZqCvHelper::BgrToLuv(const cv::Mat& src32FC3, cv::Mat& dst) {
  QX_CHECK(src32FC3.type() == CV_32FC3 && src32FC3.data != dst.data);
  dst.create(src32FC3.size(), CV_32FC3);
  // sRGB primaries to XYZ, and the D65 white's chromaticity.
  constexpr float m[9] = {0.412453f, 0.357580f, 0.180423f, 0.212671f, 0.715160f,
                          0.072169f, 0.019334f, 0.119193f, 0.950227f};
  constexpr double xn = 0.950456, zn = 1.088754;
  const float un = static_cast<float>(4 * xn / (xn + 15 + 3 * zn));
  const float vn = static_cast<float>(9 / (xn + 15 + 3 * zn));
  const float* table = GammaTable();
  cv::parallel_for_(cv::Range(0, src32FC3.rows), [&](const cv::Range& rows) {
    for (int y = rows.start; y < rows.end; ++y) {
      const float* s = src32FC3.ptr<float>(y);
      float* d = dst.ptr<float>(y);
      for (int x = 0; x < src32FC3.cols; ++x, s += 3, d += 3) {
        const float b = Linear(s[0], table), g = Linear(s[1], table), r = Linear(s[2], table);
        const float cx = m[0] * r + m[1] * g + m[2] * b;
        const float cy = m[3] * r + m[4] * g + m[5] * b;
        const float cz = m[6] * r + m[7] * g + m[8] * b;
        const float f = cy > 0.008856f ? std::cbrt(cy) : 7.787f * cy + 16.0f / 116.0f;
        const float l = 116.0f * f - 16.0f;
        const float den = std::max(cx + 15.0f * cy + 3.0f * cz, FLT_EPSILON);
        d[0] = l;
        d[1] = 13.0f * l * (4.0f * cx / den - un);
        d[2] = 13.0f * l * (9.0f * cy / den - vn);
      }
    }
  });
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
