// The whole line detection as the host runs it: SetImage,
// CalFirDer, NoneMaximalSuppress(5e-5, 0.015), Link(70), on the sample photo
// as a grey float image (scale 0.004) at three sizes.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <utility>
#include <vector>

#include "lines/detect_edge.hpp"

namespace {

const cv::Mat& GreyPhoto(int width, int height) {
  static std::map<std::pair<int, int>, cv::Mat> cache;
  auto it = cache.find({width, height});
  if (it != cache.end()) return it->second;
  const cv::Mat src8U3C = cv::imread(QUADRIX_SOURCE_DIR "/data/building.jpg", cv::IMREAD_COLOR);
  if (src8U3C.empty()) {
    std::fprintf(stderr, "cannot load %s\n", QUADRIX_SOURCE_DIR "/data/building.jpg");
    std::exit(1);
  }
  cv::Mat gray8U, img32F, resized32F;
  cv::cvtColor(src8U3C, gray8U, cv::COLOR_BGR2GRAY);
  gray8U.convertTo(img32F, CV_32F, 0.004);
  cv::resize(img32F, resized32F, cv::Size(width, height), 0, 0, cv::INTER_LINEAR);
  return cache.emplace(std::make_pair(width, height), resized32F).first->second;
}

void BM_DetectLines(benchmark::State& state) {
  const cv::Mat& img32F =
      GreyPhoto(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  size_t chains = 0;
  for (auto _ : state) {
    std::vector<quadrix::EdgeChain> lines;
    quadrix::CDetectEdge detector(&lines, 1.0);
    detector.SetImage(img32F);
    detector.CalFirDer();
    detector.NoneMaximalSuppress(5e-5f, 0.015f);
    detector.Link(70);
    benchmark::DoNotOptimize(detector.lineIndImg.data);
    chains = lines.size();
  }
  state.counters["chains"] = static_cast<double>(chains);
  state.counters["Mpix/s"] =
      benchmark::Counter(static_cast<double>(state.range(0) * state.range(1)) * 1e-6,
                         benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

BENCHMARK(BM_DetectLines)
    ->Args({640, 480})
    ->Args({1920, 1080})
    ->Args({4000, 3000})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.5)  // several runs even at 4000 x 3000, where one takes about 0.4 s
    ->UseRealTime();

BENCHMARK_MAIN();
