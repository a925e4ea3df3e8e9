// Memory as the limit: amounts as written, the estimate against what the
// program really takes, photos refused from their header, and a batch
// whose workers share one budget.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli_support.hpp"
#include "core/memory_budget.hpp"
#include "test_support.hpp"

namespace {

using namespace quadrix;
using clisupport::Cli;
using testsupport::Quote;
using testsupport::TempDir;
namespace fs = std::filesystem;

constexpr std::int64_t kMiB = std::int64_t{1} << 20;

TEST(MemoryLimit, AmountsAreReadAsWrittenAndWorkersShareTheBudget) {
  EXPECT_EQ(ParseMemorySize("4G"), 4 * 1024 * kMiB);
  EXPECT_EQ(ParseMemorySize("512M"), 512 * kMiB);
  EXPECT_EQ(ParseMemorySize("1.5GiB"), 1536 * kMiB);
  EXPECT_EQ(ParseMemorySize("2048 MB"), 2048 * kMiB);
  EXPECT_EQ(ParseMemorySize("1048576"), kMiB);
  for (const char* bad : {"", "0", "12", "4X", "G", "-1G", "1..5G", ".5G", "4GG", "1e9"})
    EXPECT_FALSE(ParseMemorySize(bad)) << bad;
  EXPECT_EQ(MemoryText(1536 * kMiB), "1.5 GiB");
  EXPECT_EQ(MemoryText(300 * kMiB), "300 MiB");
  EXPECT_GT(DefaultMaxMemory(), 256 * kMiB);

  MemoryBudget budget(100 * kMiB);
  auto first = std::make_unique<MemoryBudget::Lease>(budget.Take("a.jpg", 60 * kMiB, {}));
  std::atomic<bool> second{false};
  std::thread waiter([&] {
    const MemoryBudget::Lease lease = budget.Take("b.jpg", 60 * kMiB, {});
    second = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(second) << "60 beside 60 does not fit 100";
  first.reset();
  waiter.join();
  EXPECT_TRUE(second);
  EXPECT_EQ(budget.InUse(), 0);

  // One that can never fit is refused at once, naming both figures.
  try {
    budget.Take("big.png", 150 * kMiB, {});
    ADD_FAILURE() << "taken";
  } catch (const MemoryLimitError& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("'big.png' needs about 150 MiB"), std::string::npos) << what;
    EXPECT_NE(what.find("limit of 100 MiB"), std::string::npos) << what;
  }
  // A waiting worker that is told to stop goes without.
  const MemoryBudget::Lease held = budget.Take("a.jpg", 90 * kMiB, {});
  const MemoryBudget::Lease none = budget.Take("b.jpg", 20 * kMiB, [] { return true; });
  EXPECT_EQ(none.bytes(), 0);
  EXPECT_EQ(budget.InUse(), 90 * kMiB);
}

#ifndef QUADRIX_SANITIZED
// GNU time's peak resident size of quadrix-cli with `args`, in bytes.
std::int64_t PeakOf(const std::string& args) {
  const auto r =
      testsupport::Run("/usr/bin/time -f 'peak %M' " + std::string(QUADRIX_CLI_PATH) + " " + args);
  EXPECT_EQ(r.status, 0) << r.err;
  const size_t at = r.err.rfind("peak ");
  return at == std::string::npos ? 0 : std::stoll(r.err.substr(at + 5)) * 1024;
}

TEST(MemoryEstimate, CoversWhatTheProgramTakesWithoutWastingTheBudget) {
  TempDir dir;
  const std::string photo = dir / "photo.png";
  cv::imwrite(photo, testsupport::Sample({4800, 3200}));
  const std::string bomb = dir / "bomb.bmp";
  testsupport::WriteRleBomb(bomb, 10000, 12000, 8);
  struct Case {
    std::string src;
    cv::Size size;
    std::string out;
  };
  for (const Case& c : {Case{photo, {7200, 3200}, "wide.jpg"}, Case{photo, {2400, 3200}, "n.png"},
                        Case{bomb, {4000, 6000}, "bomb.jpg"}}) {
    MemoryUse use;
    use.photo = ReadImageInfo(c.src);
    use.fileBytes = static_cast<std::int64_t>(fs::file_size(c.src));
    use.workSide = 1600;
    use.outputs = {c.size};
    use.outputFormat = FormatForName(c.out);
    const std::int64_t estimate = EstimatePeakBytes(use);
    const std::int64_t peak =
        PeakOf("1 " + Quote(c.src) + " --size " + std::to_string(c.size.width) + "x" +
               std::to_string(c.size.height) + " -o " + Quote(dir / c.out));
    EXPECT_GE(estimate, peak) << c.out;
    EXPECT_LE(estimate, peak * 3 / 2) << c.out;
  }
}

// A photo of more bytes than a 32-bit offset reaches (16 bits with alpha,
// 270 megapixels: 2.16 GB) goes through reading, the working copy, the warp
// and writing; at its own size it comes back as it was, its last rows too.
TEST(BigPhotos, SixteenBitsWithAlphaPastTwoGigabytesComeBackPixelForPixel) {
  TempDir dir;
  const cv::Size size(20000, 13500);
  cv::Mat photo(size, CV_16UC4);
  for (int y = 0; y < size.height; ++y) {
    auto* row = photo.ptr<cv::Vec4w>(y);
    for (int x = 0; x < size.width; ++x)
      row[x] = cv::Vec4w(static_cast<ushort>(3 * x), static_cast<ushort>(4 * y),
                         static_cast<ushort>(7 * (x + y)), x < 2000 ? 30000 : 65535);
  }
  ASSERT_GT(photo.total() * photo.elemSize(), std::size_t{1} << 31);
  const std::string src = dir / "big.tif";
  ASSERT_TRUE(cv::imwrite(src, photo));

  std::optional<MemoryUse> use = MemoryUseOf(src, 300000000, 1600);
  ASSERT_TRUE(use);
  use->outputFormat = ImageFormat::kTiff;
  const std::string out = dir / "same.tif";
  const std::int64_t peak = PeakOf("--max-pixels 300000000 -o " + Quote(out) + " 1 " + Quote(src));
  EXPECT_GE(EstimatePeakBytes(*use), peak);
  ImageInfo info;
  const cv::Mat back = ReadImageFile(out, ImageMode::kDeep, 300000000, &info);
  ASSERT_EQ(back.type(), CV_16UC4);
  ASSERT_EQ(back.size(), size);
  // Where half transparent, colour goes through premultiplied values.
  EXPECT_LE(cv::norm(back, photo, cv::NORM_INF), 2.0);
  const cv::Rect lastRows(0, size.height - 64, size.width, 64);
  EXPECT_LE(cv::norm(back(lastRows), photo(lastRows), cv::NORM_INF), 2.0);
  cv::Mat alpha, wrote;
  cv::extractChannel(back, alpha, 3);
  cv::extractChannel(photo, wrote, 3);
  EXPECT_EQ(cv::norm(alpha, wrote, cv::NORM_INF), 0.0);
}
#endif

TEST(CliMemory, APhotoAboveTheBudgetIsRefusedFromItsHeaderAndTheBatchGoesOn) {
  TempDir dir;
  const std::string bomb = dir / "bomb.bmp";
  testsupport::WriteRleBomb(bomb, 10000, 12000, 8);
  const std::string a = dir / "a.png", b = dir / "b.png";
  cv::imwrite(a, testsupport::Sample({300, 200}));
  cv::imwrite(b, testsupport::Sample({240, 200}));

  const auto start = std::chrono::steady_clock::now();
  auto r = Cli("1 " + Quote(bomb) + " --max-memory 256M -o " + Quote(dir / "out.png"));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  RecordProperty("refusal_seconds", std::to_string(seconds));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("'" + bomb + "' needs about"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("more than the limit of 256 MiB"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("--max-memory"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir / "out.png"));

  // The same from the environment; a bad value there is a usage error.
  r = testsupport::Run("QUADRIX_MAX_MEMORY=256M " + std::string(QUADRIX_CLI_PATH) + " 1 " +
                       Quote(bomb) + " -o " + Quote(dir / "out.png"));
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("limit of 256 MiB"), std::string::npos) << r.err;
  r = testsupport::Run("QUADRIX_MAX_MEMORY=lots " + std::string(QUADRIX_CLI_PATH) + " 1 " +
                       Quote(a) + " -o " + Quote(dir / "out.png"));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("QUADRIX_MAX_MEMORY 'lots'"), std::string::npos) << r.err;

  // In a batch the photo that never fits is refused; the others are drawn.
  r = Cli("--batch -j 2 --max-memory 256M --size 200x200 -o " + Quote(dir / "out/{name}.png") +
          " 1 " + Quote(a) + " " + Quote(bomb) + " " + Quote(b));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("1 of 3 photos failed"), std::string::npos) << r.err;
  EXPECT_TRUE(fs::exists(dir / "out/a.png"));
  EXPECT_TRUE(fs::exists(dir / "out/b.png"));
  EXPECT_FALSE(fs::exists(dir / "out/bomb.png"));
}

TEST(CliMemory, APictureLargerThanItsFormatHoldsIsRefusedBeforeTheWork) {
  TempDir dir;
  // 1 536 x 65 539: more rows than JPEG holds.
  const std::string tall = dir / "tall.bmp";
  testsupport::WriteRleBomb(tall, 1536, 65539, 4);
  auto r = Cli("1 " + Quote(tall) + " -o " + Quote(dir / "tall.jpg"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("more than JPEG holds (65500 a side)"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir / "tall.jpg"));

  const std::string a = dir / "a.png";
  cv::imwrite(a, testsupport::Sample({300, 200}));
  r = Cli("1 " + Quote(a) + " --size 20000x100 -o " + Quote(dir / "wide.webp"));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("larger than WebP holds (16383 pixels a side)"), std::string::npos) << r.err;
}

// The restart that gives malloc huge pages happens before the libraries
// start; what the program starts later (the outside engine) sees the
// user's environment, with the tunable added to what the user set.
TEST(CliMemory, TheHugePageRestartKeepsTheUsersEnvironment) {
  TempDir tmp;
  const fs::path engine = tmp / "octave-cli";
  std::ofstream(engine) << "#!/bin/sh\nenv > \"$QX_TEST_ENV_OUT\"\nexit 3\n";
  fs::permissions(engine, fs::perms::owner_all);
  std::ifstream modes("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string mode;
  std::getline(modes, mode);
#ifdef QUADRIX_SANITIZED
  const bool restarts = false;
#else
  const bool restarts = mode.find("[madvise]") != std::string::npos;
#endif
  auto environment = [&](const std::string& settings) {
    const std::string out = tmp / "env.txt";
    fs::remove(out);
    testsupport::Run("env -u OPENBLAS_NUM_THREADS -u GLIBC_TUNABLES -u QUADRIX_NO_HUGEPAGES " +
                     settings + " PATH=" + Quote(tmp.path().string()) + ":\"$PATH\" " +
                     "QX_TEST_ENV_OUT=" + Quote(out) + " " + QUADRIX_CLI_PATH +
                     " --engine octave --size 50x40 -o " + Quote(tmp / "o.png") + " 1 " +
                     Quote(testsupport::SamplePath()));
    std::ifstream in(out);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  };
  auto value = [](const std::vector<std::string>& lines, const std::string& name) {
    for (const std::string& line : lines)
      if (line.rfind(name + "=", 0) == 0) return std::optional(line.substr(name.size() + 1));
    return std::optional<std::string>();
  };
  const std::vector<std::string> plain = environment("");
  ASSERT_FALSE(plain.empty()) << "the outside engine was not started";
  EXPECT_FALSE(value(plain, "OPENBLAS_NUM_THREADS"));
  EXPECT_FALSE(value(plain, "QUADRIX_OPENBLAS_NUM_THREADS_SET"));
  if (restarts) {
    EXPECT_EQ(value(plain, "GLIBC_TUNABLES"), "glibc.malloc.hugetlb=1");
  }

  const std::vector<std::string> chosen =
      environment("OPENBLAS_NUM_THREADS=2 GLIBC_TUNABLES=glibc.malloc.arena_max=4");
  ASSERT_FALSE(chosen.empty());
  EXPECT_EQ(value(chosen, "OPENBLAS_NUM_THREADS"), "2");
  EXPECT_EQ(value(chosen, "GLIBC_TUNABLES"), restarts
                                                 ? "glibc.malloc.arena_max=4:glibc.malloc.hugetlb=1"
                                                 : "glibc.malloc.arena_max=4");

  const std::vector<std::string> off = environment("QUADRIX_NO_HUGEPAGES=1");
  ASSERT_FALSE(off.empty());
  EXPECT_FALSE(value(off, "GLIBC_TUNABLES"));
}

}  // namespace
