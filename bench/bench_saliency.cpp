// Saliency map timings: the whole map on the sample photo at two sizes, and
// each component alone at its working size.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "saliency/image_attention.hpp"
#include "saliency/zq_cv_helper.hpp"

using quadrix::ImageAttention;
using quadrix::ZqCvHelper;

namespace {

const cv::Mat& Photo() {
  static const cv::Mat photo = [] {
    const char* path = QUADRIX_SOURCE_DIR "/data/building.jpg";
    cv::Mat img = cv::imread(path, cv::IMREAD_COLOR);
    if (img.empty()) {
      std::fprintf(stderr, "bench_saliency: cannot read %s\n", path);
      std::exit(1);
    }
    return img;
  }();
  return photo;
}

cv::Mat PhotoAt(int width, int height) {
  cv::Mat out;
  cv::resize(Photo(), out, cv::Size(width, height), 0, 0, cv::INTER_LINEAR);
  return out;
}

// The working float image of a 640 x 480 source (336 x 256).
cv::Mat WorkingFloat() {
  cv::Mat work8U3C, work32FC3;
  ZqCvHelper::ScaleToWorkingSize(PhotoAt(640, 480), work8U3C);
  work8U3C.convertTo(work32FC3, CV_32F, 1.0 / 255.0);
  return work32FC3;
}

void BM_DefaultSaliencyMap(benchmark::State& state) {
  const cv::Mat src = PhotoAt(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  for (auto _ : state) {
    cv::Mat map = ImageAttention::GetDefaultSaliencyMap(src);
    benchmark::DoNotOptimize(map.data);
  }
}
BENCHMARK(BM_DefaultSaliencyMap)
    ->Args({640, 480})
    ->Args({4000, 3000})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_SpectralResidual(benchmark::State& state) {
  cv::Mat grey;
  cv::cvtColor(WorkingFloat(), grey, cv::COLOR_BGR2GRAY);
  cv::Mat out(grey.size(), CV_32FC1);
  for (auto _ : state) {
    ImageAttention::SpectralResidual(grey, out);
    benchmark::DoNotOptimize(out.data);
  }
}
BENCHMARK(BM_SpectralResidual)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MultiScaleContrast(benchmark::State& state) {
  const cv::Mat work = WorkingFloat();
  cv::Mat out(work.size(), CV_32FC1);
  for (auto _ : state) {
    ImageAttention::MultiScaleContrast(work, out);
    benchmark::DoNotOptimize(out.data);
  }
}
BENCHMARK(BM_MultiScaleContrast)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ColorSpatialDistribution(benchmark::State& state) {
  const cv::Mat work = WorkingFloat();
  cv::Mat out(work.size(), CV_32FC1);
  for (auto _ : state) {
    ImageAttention::ColorSpatialDistribution(work, out);
    benchmark::DoNotOptimize(out.data);
  }
}
BENCHMARK(BM_ColorSpatialDistribution)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
