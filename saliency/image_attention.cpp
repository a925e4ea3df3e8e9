#include "saliency/image_attention.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "base/check.hpp"
#include "base/hugepages.hpp"
#include "saliency/color_gmm.hpp"
#include "saliency/zq_cv_helper.hpp"

namespace quadrix {

namespace {

constexpr double kDefaultFloor = 0.2;
constexpr double kByteToUnit = 0.00392156862745098;  // 1 / 255

constexpr int kSpectrumSide = 64;
constexpr int kPyramidSide = 512;
constexpr int kPyramidLevels = 6;
constexpr int kContrastRadius = 4;  // 9 x 9 window
// Far below the contrast of a single 8-bit step (about 1e-5), far above the
// rounding noise of resizing a flat image.
constexpr double kFlatContrast = 1e-10;
constexpr int kCsdSide = 256;
constexpr int kCsdComponents = 8;

// The smoothing of the classic C interface replicates the border pixels.
constexpr int kSmoothBorder = cv::BORDER_REPLICATE;

cv::Size OutputSize(const cv::Mat& dst, const cv::Mat& src) {
  return dst.empty() ? src.size() : dst.size();
}

// Failed checks report the caller's place.
void CheckColourFloat(const cv::Mat& src32FC3,
                      const std::source_location& where = std::source_location::current()) {
  if (src32FC3.depth() != CV_32F || src32FC3.channels() != 3)
    CheckFailed("src32FC3.depth() == CV_32F && src32FC3.channels() == 3", where);
}

}  // namespace

cv::Mat ImageAttention::GetDefaultSaliencyMap(const cv::Mat& src8U3C) {
  cv::Mat dst(src8U3C.size(), CV_32FC1);
  // The full-size map is touched for the first time by its last resize.
  AdviseHugePages(dst.data, dst.total() * dst.elemSize());
  GetSaliencyMap(dst, kDefaultFloor, SaliencyWeights(), src8U3C);
  return dst;
}

void ImageAttention::GetSaliencyMap(cv::Mat& dst, double floor, const SaliencyWeights& weights,
                                    const cv::Mat& src8U3C) {
  cv::Mat work8U3C;
  ZqCvHelper::ScaleToWorkingSize(src8U3C, work8U3C);
  QX_CHECK(!work8U3C.empty());
  QX_CHECK(src8U3C.depth() == CV_8U && src8U3C.channels() == 3);

  cv::Mat work32FC3;
  cv::Mat component(work8U3C.size(), CV_32FC1);
  cv::Mat sum(work8U3C.size(), CV_32FC1, cv::Scalar(0));
  work8U3C.convertTo(work32FC3, CV_32F, kByteToUnit, 0.0);

  // The spectral residual writes the sum directly, so it comes first.
  if (weights[0] > 0) {
    cv::cvtColor(work32FC3, component, cv::COLOR_BGR2GRAY);
    SpectralResidual(component, sum);
    sum.convertTo(sum, CV_32F, weights[0], 0.0);
  }
  if (weights[1] > 0) {
    MultiScaleContrast(work32FC3, component);
    cv::addWeighted(component, weights[1], sum, 1.0, 0.0, sum);
  }
  if (weights[3] > 0) {
    ColorSpatialDistribution(work32FC3, component);
    cv::addWeighted(component, weights[3], sum, 1.0, 0.0, sum);
  }

  // A flat sum has zero range and becomes the floor everywhere.
  cv::normalize(sum, sum, floor, 1.0, cv::NORM_MINMAX);
  cv::resize(sum, dst, OutputSize(dst, src8U3C), 0, 0, cv::INTER_CUBIC);
}

void ImageAttention::SpectralResidual(const cv::Mat& img32F, cv::Mat& saliencyMap32F) {
  QX_CHECK(!img32F.empty() && !saliencyMap32F.empty() && img32F.channels() == 1);
  const cv::Size side(kSpectrumSide, kSpectrumSide);
  cv::Mat amplitude, phase, smoothed, spectrumSource, spectrum;

  cv::resize(img32F, amplitude, side, 0, 0, cv::INTER_AREA);
  const cv::Mat planes[] = {amplitude, cv::Mat::zeros(side, CV_32FC1)};
  cv::merge(planes, 2, spectrumSource);
  cv::dft(spectrumSource, spectrum, 0, 0);

  ZqCvHelper::AbsAngle(spectrum, amplitude, phase);
  cv::log(amplitude, amplitude);
  cv::blur(amplitude, smoothed, cv::Size(3, 3), cv::Point(-1, -1), kSmoothBorder);
  cv::addWeighted(smoothed, -1.0, amplitude, 1.0, 0.0, smoothed);
  cv::exp(smoothed, smoothed);
  ZqCvHelper::Polar2Cmplx(smoothed, phase, spectrum);
  cv::dft(spectrum, spectrumSource, cv::DFT_INVERSE | cv::DFT_SCALE, 0);

  cv::Mat parts[2];
  cv::split(spectrumSource, parts);
  amplitude = parts[0];
  phase = parts[1];
  cv::pow(amplitude, 2.0, amplitude);
  cv::pow(phase, 2.0, phase);
  cv::add(amplitude, phase, amplitude);
  cv::GaussianBlur(amplitude, amplitude, cv::Size(9, 9), 0, 0, kSmoothBorder);
  ZqCvHelper::Mat2GrayLinear(amplitude, &amplitude);
  cv::resize(amplitude, saliencyMap32F, saliencyMap32F.size(), 0, 0, cv::INTER_LINEAR);
}

void ImageAttention::AddLocalContrast(const cv::Mat& colour32FC3, cv::Mat& contrast32FC1) {
  QX_CHECK(colour32FC3.type() == CV_32FC3 && contrast32FC1.type() == CV_32FC1 &&
           contrast32FC1.size() == colour32FC3.size());
  const int w = colour32FC3.cols;
  const int h = colour32FC3.rows;
  cv::Mat planes[3];
  cv::split(colour32FC3, planes);

  // Rows are independent; within a row every pixel keeps its own summation
  // order (window rows outer, columns inner), so the result does not depend
  // on the threading. The loops run over x innermost so they vectorise.
  cv::parallel_for_(cv::Range(0, h), [&](const cv::Range& range) {
    std::vector<double> sum(static_cast<size_t>(w));
    for (int y = range.start; y < range.end; ++y) {
      std::fill(sum.begin(), sum.end(), 0.0);
      const float* c0 = planes[0].ptr<float>(y);
      const float* c1 = planes[1].ptr<float>(y);
      const float* c2 = planes[2].ptr<float>(y);
      int rowsInside = 0;
      for (int j = -kContrastRadius; j <= kContrastRadius; ++j) {
        const int yy = y + j;
        if (yy < 0 || yy >= h) continue;
        ++rowsInside;
        const float* n0 = planes[0].ptr<float>(yy);
        const float* n1 = planes[1].ptr<float>(yy);
        const float* n2 = planes[2].ptr<float>(yy);
        for (int i = -kContrastRadius; i <= kContrastRadius; ++i) {
          const int xBegin = std::max(0, -i);
          const int xEnd = std::min(w, w - i);
          double* s = sum.data();
          for (int x = xBegin; x < xEnd; ++x) {
            const float d0 = c0[x] - n0[x + i];
            const float d1 = c1[x] - n1[x + i];
            const float d2 = c2[x] - n2[x + i];
            s[x] += static_cast<double>(d0 * d0) + static_cast<double>(d1 * d1) +
                    static_cast<double>(d2 * d2);
          }
        }
      }
      float* out = contrast32FC1.ptr<float>(y);
      for (int x = 0; x < w; ++x) {
        const int colsInside =
            std::min(x + kContrastRadius, w - 1) - std::max(x - kContrastRadius, 0) + 1;
        out[x] += static_cast<float>(sum[x] / (rowsInside * colsInside));
      }
    }
  });
}

void ImageAttention::MultiScaleContrast(const cv::Mat& src32FC3, cv::Mat& dst) {
  CheckColourFloat(src32FC3);
  cv::Mat colour[kPyramidLevels];
  cv::Mat contrast[kPyramidLevels];
  int side = kPyramidSide;
  cv::resize(src32FC3, colour[0], cv::Size(side, side), 0, 0, cv::INTER_LINEAR);
  for (int k = 1; k < kPyramidLevels; ++k) {
    side /= 2;
    cv::resize(colour[k - 1], colour[k], cv::Size(side, side), 0, 0, cv::INTER_LINEAR);
  }

  const int top = kPyramidLevels - 1;
  contrast[top] = cv::Mat::zeros(colour[top].size(), CV_32FC1);
  for (int n = top; n >= 0; --n) {
    if (n < top) cv::resize(contrast[n + 1], contrast[n], colour[n].size(), 0, 0, cv::INTER_CUBIC);
    AddLocalContrast(colour[n], contrast[n]);
  }

  cv::resize(contrast[0], dst, OutputSize(dst, src32FC3), 0, 0, cv::INTER_CUBIC);
  // The resizes leave rounding noise (about 1e-14) in the contrast of a
  // single-colour image, which the min-max stretch would blow up to the full
  // range. Such a map counts as flat and, like any flat map, becomes 0.
  double lo = 0.0, hi = 0.0;
  cv::minMaxLoc(dst, &lo, &hi);
  if (hi - lo <= kFlatContrast)
    dst.setTo(cv::Scalar(0));
  else
    cv::normalize(dst, dst, 0.0, 1.0, cv::NORM_MINMAX);
}

void ImageAttention::ColorSpatialDistribution(const cv::Mat& src32FC3, cv::Mat& dst) {
  CheckColourFloat(src32FC3);
  const cv::Size side(kCsdSide, kCsdSide);
  cv::Mat bgr, luv;
  cv::Mat labels(side, CV_32SC1);
  cv::resize(src32FC3, bgr, side, 0, 0, cv::INTER_CUBIC);
  ZqCvHelper::BgrToLuv(bgr, luv);

  // Posterior share of every component at every pixel.
  std::vector<cv::Mat> posterior(kCsdComponents);
  {
    ColorGmm gmm(kCsdComponents);
    gmm.Build(luv, labels);
    gmm.Learn(luv, labels);
    for (cv::Mat& p : posterior) p.create(side, CV_32FC1);
    cv::parallel_for_(cv::Range(0, kCsdSide), [&](const cv::Range& range) {
      float* rowOf[kCsdComponents];
      for (int y = range.start; y < range.end; ++y) {
        const float* px = luv.ptr<float>(y);
        for (int c = 0; c < kCsdComponents; ++c) rowOf[c] = posterior[c].ptr<float>(y);
        for (int x = 0; x < kCsdSide; ++x) {
          float sum = 0.0f;
          for (int c = 0; c < kCsdComponents; ++c) {
            const GmmComponent& comp = gmm.components[c];
            const float value = comp.weight > 0.0f ? comp.Density(px + 3 * x) : 0.0f;
            rowOf[c][x] = value;
            sum += value;
          }
          // A zero sum gives 0 (the library's division would give NaN).
          for (int c = 0; c < kCsdComponents; ++c)
            rowOf[c][x] = sum != 0.0f ? rowOf[c][x] / sum : 0.0f;
        }
      }
    });
  }

  // Spatial spread and distance from the centre of every component.
  cv::Mat spread(1, kCsdComponents, CV_64FC1);
  cv::Mat distance(1, kCsdComponents, CV_64FC1);
  const double centre = kCsdSide / 2;
  const double unit = 1.0 / centre;
  for (int c = 0; c < kCsdComponents; ++c) {
    const cv::Mat& p = posterior[c];
    double total = 0.0, sumX = 0.0, sumY = 0.0;
    for (int y = 0; y < kCsdSide; ++y) {
      const float* row = p.ptr<float>(y);
      for (int x = 0; x < kCsdSide; ++x) {
        total += row[x];
        sumX += x * static_cast<double>(row[x]);
        sumY += y * static_cast<double>(row[x]);
      }
    }
    const double weight = 1e-8 + total;
    const double meanX = sumX / weight;
    const double meanY = sumY / weight;
    double spreadX = 0.0, spreadY = 0.0, dist = 0.0;
    for (int y = 0; y < kCsdSide; ++y) {
      const float* row = p.ptr<float>(y);
      const double dy = (y - centre) * unit;
      for (int x = 0; x < kCsdSide; ++x) {
        const double v = row[x];
        const double dx = (x - centre) * unit;
        const double offX = x - meanX;
        const double offY = y - meanY;
        spreadX += v * (offX * offX);
        spreadY += v * (offY * offY);
        dist += v * std::sqrt(dx * dx + dy * dy);
      }
    }
    spread.at<double>(c) = spreadX / weight + spreadY / weight;
    distance.at<double>(c) = dist / weight;
  }
  // Equal values (all components alike) normalise to 0.
  cv::normalize(spread, spread, 0.0, 1.0, cv::NORM_MINMAX);
  cv::normalize(distance, distance, 0.0, 1.0, cv::NORM_MINMAX);

  cv::Mat accumulator(side, CV_32FC1, cv::Scalar(0));
  for (int c = 0; c < kCsdComponents; ++c) {
    const double factor = (1.0 - spread.at<double>(c)) * (1.0 - distance.at<double>(c));
    posterior[c].convertTo(posterior[c], CV_32F, factor, 0.0);
    cv::add(accumulator, posterior[c], accumulator);
  }
  cv::GaussianBlur(accumulator, accumulator, cv::Size(3, 3), 0, 0, kSmoothBorder);
  cv::normalize(accumulator, accumulator, 0.0, 1.0, cv::NORM_MINMAX);
  cv::resize(accumulator, dst, OutputSize(dst, src32FC3), 0, 0, cv::INTER_CUBIC);
}

}  // namespace quadrix
