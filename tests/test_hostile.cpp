// Files that are valid and small but would cost far more than their size:
// each is refused quickly with a message that says why.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <thread>
#include <vector>

#include "base/cancel.hpp"
#include "imageio/image_file.hpp"
#include "test_support.hpp"

namespace {

using namespace quadrix;
using testsupport::TempDir;
namespace fs = std::filesystem;

constexpr std::int64_t kNoLimit = std::int64_t{1} << 40;

// A progressive JPEG of `size` whose smallest first AC scan is repeated
// `extra` times more: each repeat decodes as the first did (a valid file),
// is a few bytes, and costs a pass over all blocks.
std::vector<unsigned char> ScanBomb(cv::Size size, int extra) {
  // Smooth: its high frequencies are all zero, and their scan a few bytes.
  cv::Mat smooth;
  cv::GaussianBlur(testsupport::Sample(size), smooth, {0, 0}, 15);
  std::vector<unsigned char> jpeg;
  cv::imencode(".jpg", smooth, jpeg,
               {cv::IMWRITE_JPEG_PROGRESSIVE, 1, cv::IMWRITE_JPEG_QUALITY, 90});
  size_t begin = 0, end = 0;
  for (size_t i = 0; i + 4 < jpeg.size(); ++i) {
    if (jpeg[i] != 0xFF || jpeg[i + 1] != 0xDA) continue;
    const size_t ns = jpeg[i + 4];
    const size_t at = i + 5 + 2 * ns;  // Ss, Se, Ah << 4 | Al
    if (jpeg[at] == 0 || (jpeg[at + 2] >> 4) != 0) continue;
    // The scan's data runs to the next marker (not a stuffed zero or a
    // restart marker).
    for (size_t j = i + 2 + ((jpeg[i + 2] << 8) | jpeg[i + 3]); j + 1 < jpeg.size(); ++j)
      if (jpeg[j] == 0xFF && jpeg[j + 1] != 0 && (jpeg[j + 1] < 0xD0 || jpeg[j + 1] > 0xD7)) {
        if (end == 0 || j - i < end - begin) {
          begin = i;
          end = j;
        }
        break;
      }
  }
  EXPECT_GT(end, begin) << "a first AC scan";
  const auto at = [&](size_t k) { return jpeg.begin() + static_cast<std::ptrdiff_t>(k); };
  std::vector<unsigned char> out(jpeg.begin(), at(end));
  for (int k = 0; k < extra; ++k) out.insert(out.end(), at(begin), at(end));
  out.insert(out.end(), at(end), jpeg.end());
  return out;
}

void Save(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

TEST(HostileFiles, AJpegWhoseScansNeverEndIsRefusedQuickly) {
  TempDir dir;
  // A few repeats more than a photo has: still a picture.
  const std::string fine = dir / "fine.jpg";
  Save(fine, ScanBomb({800, 600}, 20));
  EXPECT_EQ(ReadImageFile(fine, ImageMode::kColour, kNoLimit).size(), cv::Size(800, 600));

  const std::string bomb = dir / "bomb.jpg";
  Save(bomb, ScanBomb({2000, 1500}, 200000));
  const auto start = std::chrono::steady_clock::now();
  try {
    ReadImageFile(bomb, ImageMode::kColour, kNoLimit);
    ADD_FAILURE() << "read";
  } catch (const ImageFileError& e) {
    EXPECT_NE(std::string(e.what()).find("progressive scans"), std::string::npos) << e.what();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  RecordProperty("scan_bomb_seconds", std::to_string(seconds));
  EXPECT_LT(fs::file_size(bomb), 10u << 20) << "a few bytes a scan";
}

TEST(HostileFiles, TiffsInAnyTilesOrPlanesAreReadAsTheyLook) {
  TempDir dir;
  const std::string png = dir / "photo.png";
  cv::imwrite(png, testsupport::Sample({200, 150}));
  const cv::Mat photo = cv::imread(png);
  // As ImageMagick writes them: small tiles with padded byte counts, 16 bits,
  // samples in planes, an alpha channel, BigTIFF.
  const std::vector<std::pair<std::string, std::string>> layouts = {
      {"tiles8.tif", "-define tiff:tile-geometry=16x16"},
      {"tiles16.tif", "-depth 16 -define tiff:tile-geometry=16x16"},
      {"odd_tiles16.tif", "-depth 16 -define tiff:tile-geometry=48x32"},
      {"planes16.tif", "-depth 16 -interlace plane"},
      {"tiles16_alpha.tif", "-depth 16 -alpha opaque -define tiff:tile-geometry=16x16"},
      {"bigtiff16.tif", "-depth 16"},
      {"bigtiff_tiles.tif", "-define tiff:tile-geometry=32x32"},
  };
  for (const auto& [name, options] : layouts) {
    const std::string tif = dir / name;
    // BigTIFF: 64-bit offsets, another signature.
    const std::string prefix = name.starts_with("bigtiff") ? "TIFF64:" : "";
    ASSERT_EQ(testsupport::Run("convert " + testsupport::Quote(png) + " " + options + " " +
                               testsupport::Quote(prefix + tif))
                  .status,
              0)
        << name;
    ImageInfo info;
    cv::Mat read;
    ASSERT_NO_THROW(read = ReadImageFile(tif, ImageMode::kDeep, kNoLimit, &info)) << name;
    const bool deep = name.find("16") != std::string::npos;
    EXPECT_EQ(read.depth(), deep ? CV_16U : CV_8U) << name;
    cv::Mat colour;
    read.convertTo(colour, CV_8U, deep ? 1.0 / 257 : 1.0);
    if (colour.channels() == 4) cv::cvtColor(colour, colour, cv::COLOR_BGRA2BGR);
    ASSERT_EQ(colour.size(), photo.size()) << name;
    EXPECT_LE(cv::norm(colour, photo, cv::NORM_INF), 1.0) << name;
  }
}

// Every reader stops at its first cancellation point once its task is
// cancelled, and in the middle of a long decode; without a scope, or with
// the flag down, nothing changes.
TEST(HostileFiles, EveryReaderStopsWhenItsTaskIsCancelled) {
  TempDir dir;
  const cv::Mat photo = testsupport::Sample({320, 240});
  const std::string png = dir / "photo.png";
  cv::imwrite(png, photo);
  std::vector<std::string> files = {png};
  const auto write = [&](const std::string& name, const std::vector<int>& params) {
    cv::imwrite(dir / name, photo, params);
    files.push_back(dir / name);
  };
  write("photo.jpg", {});
  write("progressive.jpg", {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
  write("photo.webp", {cv::IMWRITE_WEBP_QUALITY, 80});
  write("photo.bmp", {});
  write("photo.tif", {});
  for (const auto& [name, options] : std::vector<std::pair<std::string, std::string>>{
           {"interlaced.png", "-interlace PNG"},
           {"tiles.tif", "-define tiff:tile-geometry=32x32"},
           {"deep.tif", "-depth 16"}}) {
    ASSERT_EQ(testsupport::Run("convert " + testsupport::Quote(png) + " " + options + " " +
                               testsupport::Quote(dir / name))
                  .status,
              0);
    files.push_back(dir / name);
  }
  const std::string rle = dir / "rle.bmp";
  testsupport::WriteRleBomb(rle, 320, 240, 8);
  files.push_back(rle);

  std::atomic<bool> flag{false};
  for (const std::string& file : files) {
    const CancelScope scope(flag);
    EXPECT_NO_THROW(ReadImageFile(file, ImageMode::kDeep, kNoLimit)) << file;
    flag = true;
    EXPECT_THROW(ReadImageFile(file, ImageMode::kDeep, kNoLimit), Cancelled) << file;
    flag = false;
  }

  // 1 KB that stands for 120 megapixels: stopped well before its end.
  const std::string bomb = dir / "bomb.bmp";
  testsupport::WriteRleBomb(bomb, 10000, 12000, 8);
  const CancelScope scope(flag);
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    flag = true;
  });
  EXPECT_THROW(ReadImageFile(bomb, ImageMode::kColour, kNoLimit), Cancelled);
  canceller.join();
}

}  // namespace
