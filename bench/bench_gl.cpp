#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "interop_gl/cpu_raster.hpp"
#include "interop_gl/offscreen.hpp"

using namespace quadrix;

namespace {

constexpr int kVx = 44;
constexpr int kVy = 31;

// The sample photo aligned to whole quads: 860 x 600.
const cv::Mat& Sample() {
  static const cv::Mat sample = [] {
    cv::Mat img = cv::imread(QUADRIX_SOURCE_DIR "/data/building.jpg", cv::IMREAD_COLOR);
    if (!img.empty()) cv::resize(img, img, cv::Size(860, 600), 0, 0, cv::INTER_AREA);
    return img;
  }();
  return sample;
}

cv::Mat Importance() {
  cv::Mat grey;
  cv::cvtColor(Sample(), grey, cv::COLOR_BGR2GRAY);
  grey.convertTo(grey, CV_32F, 0.004);
  return grey;
}

// A content-aware-looking mesh: the grid over the target with its inner
// vertices moved by a smooth wave of a third of a cell.
std::vector<float> Mesh(int w, int h) {
  std::vector<float> xy;
  const double cw = static_cast<double>(w) / (kVx - 1);
  const double ch = static_cast<double>(h) / (kVy - 1);
  for (int j = 0; j < kVy; ++j)
    for (int i = 0; i < kVx; ++i) {
      const bool inner = i > 0 && j > 0 && i < kVx - 1 && j < kVy - 1;
      const double s = inner ? 0.33 : 0.0;
      xy.push_back(static_cast<float>(i * cw + s * cw * std::sin(2 * M_PI * j / (kVy - 1)) *
                                                   std::sin(M_PI * i / (kVx - 1))));
      xy.push_back(static_cast<float>(j * ch + s * ch * std::sin(2 * M_PI * i / (kVx - 1)) *
                                                   std::sin(M_PI * j / (kVy - 1))));
    }
  return xy;
}

// One renderer for the whole run: context, effect and textures are made
// once, outside every timing.
OffscreenRenderer* Gl() {
  static const std::unique_ptr<OffscreenRenderer> gl = [] {
    auto r = std::make_unique<OffscreenRenderer>();
    if (r->status() == OffscreenRenderer::Status::kReady) r->SetImages(Sample(), Importance());
    return r;
  }();
  return gl.get();
}

void BM_GlFrame(benchmark::State& state) {
  OffscreenRenderer* gl = Gl();
  if (Sample().empty() || gl->status() != OffscreenRenderer::Status::kReady) {
    state.SkipWithError("no OpenGL renderer or no sample image");
    return;
  }
  const cv::Size size(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  const std::vector<float> xy = Mesh(size.width, size.height);
  cv::Mat picture;
  gl->Render(kVx, kVy, xy, size, false, 0, picture);  // target made here, not timed
  for (auto _ : state) {
    if (!gl->Render(kVx, kVy, xy, size, false, 0, picture)) {
      state.SkipWithError("drawing failed");
      break;
    }
    benchmark::DoNotOptimize(picture.data);
  }
  state.counters["Mpx/s"] = benchmark::Counter(static_cast<double>(size.area()) * 1e-6,
                                               benchmark::Counter::kIsIterationInvariantRate);
}

// A photo larger than the picture, as the window shows a camera's: the
// sample enlarged to 4300 x 3000, drawn at 1920 x 1080 (minified ~2.5x).
const cv::Mat& Large() {
  static const cv::Mat large = [] {
    cv::Mat img;
    if (!Sample().empty()) cv::resize(Sample(), img, cv::Size(4300, 3000), 0, 0, cv::INTER_CUBIC);
    return img;
  }();
  return large;
}

void BM_GlFrameFromLarge(benchmark::State& state) {
  static const std::unique_ptr<OffscreenRenderer> gl = [] {
    auto r = std::make_unique<OffscreenRenderer>();
    if (r->status() == OffscreenRenderer::Status::kReady && !Large().empty()) {
      cv::Mat grey;
      cv::cvtColor(Large(), grey, cv::COLOR_BGR2GRAY);
      grey.convertTo(grey, CV_32F, 0.004);
      r->SetImages(Large(), grey);
    }
    return r;
  }();
  if (Large().empty() || gl->status() != OffscreenRenderer::Status::kReady) {
    state.SkipWithError("no OpenGL renderer or no sample image");
    return;
  }
  const cv::Size size(1920, 1080);
  const std::vector<float> xy = Mesh(size.width, size.height);
  cv::Mat picture;
  gl->Render(kVx, kVy, xy, size, false, 0, picture);  // target and levels made here
  for (auto _ : state) {
    if (!gl->Render(kVx, kVy, xy, size, false, 0, picture)) {
      state.SkipWithError("drawing failed");
      break;
    }
    benchmark::DoNotOptimize(picture.data);
  }
}

void BM_CpuFrame(benchmark::State& state) {
  if (Sample().empty()) {
    state.SkipWithError("no sample image");
    return;
  }
  CpuRasterizer cpu;
  cpu.SetImages(Sample(), Importance());
  const cv::Size size(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  const std::vector<float> xy = Mesh(size.width, size.height);
  for (auto _ : state) {
    cv::Mat picture = cpu.Render(kVx, kVy, xy, size, false, 0);
    benchmark::DoNotOptimize(picture.data);
  }
  state.counters["Mpx/s"] = benchmark::Counter(static_cast<double>(size.area()) * 1e-6,
                                               benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

BENCHMARK(BM_GlFrame)
    ->Args({1920, 1080})
    ->Args({4000, 3000})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_GlFrameFromLarge)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CpuFrame)
    ->Args({1920, 1080})
    ->Args({4000, 3000})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
