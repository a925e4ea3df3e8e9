// What reading the header first costs: the readers beside OpenCV's codec
// layer on the same files, and the refusal of a file whose header claims
// far more pixels than the limit.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>

#include "imageio/image_file.hpp"

namespace {

// The sample photo at 1920 x 1080 in one format; removed at exit.
const std::string& File(const char* ext) {
  struct Files {
    std::string jpg, png;
    Files() {
      cv::Mat photo = cv::imread(QUADRIX_SOURCE_DIR "/data/building.jpg");
      cv::resize(photo, photo, {1920, 1080}, 0, 0, cv::INTER_CUBIC);
      const std::string base = "/tmp/quadrix-bench-io-" + std::to_string(::getpid());
      jpg = base + ".jpg";
      png = base + ".png";
      cv::imwrite(jpg, photo);
      cv::imwrite(png, photo);
    }
    ~Files() {
      std::remove(jpg.c_str());
      std::remove(png.c_str());
    }
  };
  static const Files files;
  return std::string(ext) == "jpg" ? files.jpg : files.png;
}

void BM_ReadOurs(benchmark::State& state, const char* ext) {
  const std::string& path = File(ext);
  for (auto _ : state)
    benchmark::DoNotOptimize(
        quadrix::ReadImageFile(path, quadrix::ImageMode::kColour, 120000000).data);
}

void BM_ReadOpenCv(benchmark::State& state, const char* ext) {
  const std::string& path = File(ext);
  for (auto _ : state) benchmark::DoNotOptimize(cv::imread(path, cv::IMREAD_COLOR).data);
}

// A PNG header that claims 100000 x 100000 pixels.
void BM_RefuseClaimedSize(benchmark::State& state) {
  const std::string path = "/tmp/quadrix-bench-claims-" + std::to_string(::getpid()) + ".png";
  {
    cv::Mat one(1, 1, CV_8UC1, cv::Scalar(0));
    cv::imwrite(path, one);
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    const char side[4] = {0x00, 0x01, static_cast<char>(0x86), static_cast<char>(0xA0)};
    f.seekp(16);
    f.write(side, 4);
    f.write(side, 4);  // the header's CRC no longer fits; the size is read first
  }
  for (auto _ : state) {
    try {
      quadrix::ReadImageFile(path, quadrix::ImageMode::kColour, 120000000);
    } catch (const quadrix::ImageTooLarge&) {
      continue;
    }
    state.SkipWithError("not refused");
    break;
  }
  std::remove(path.c_str());
}

}  // namespace

BENCHMARK_CAPTURE(BM_ReadOurs, jpeg_1920x1080, "jpg")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadOpenCv, jpeg_1920x1080, "jpg")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadOurs, png_1920x1080, "png")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadOpenCv, png_1920x1080, "png")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RefuseClaimedSize)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
