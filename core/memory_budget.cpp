#include "core/memory_budget.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <utility>

#include "base/environment.hpp"
#include "core/inputs.hpp"

namespace quadrix {

namespace {

constexpr std::int64_t kMiB = std::int64_t{1} << 20;

// Measured with GNU time's peak resident size (2-core VM, 2 MP to 120 MP
// photos, every format in and out), rounded up:
// the process itself, its libraries and the constant parts of the work;
constexpr std::int64_t kProcessBytes = 24 * kMiB;
// the analysis and the solve: a part that does not grow with the photo
// (more when the guard adds rows for a big change of aspect), and a part
// per analysed pixel (52 to 59 measured);
constexpr std::int64_t kAnalysisBytes = 32 * kMiB;
constexpr std::int64_t kAnalysisPerPixel = 60;
// the working copy and its grey and float companions while the photo is
// decoded for it;
constexpr std::int64_t kReductionPerPixel = 16;
// libwebp's lossless encoder, per output pixel (28 measured), and lossy;
constexpr std::int64_t kLosslessWebpPerPixel = 30;
constexpr std::int64_t kLossyWebpPerPixel = 8;
// the window's toolkit, OpenGL contexts (llvmpipe keeps its textures in
// memory) and view textures (a 12 MP photo's window peaked at 465 MiB);
constexpr std::int64_t kWindowBytes = 300 * kMiB;
// and what is added to all of it.
constexpr double kMargin = 1.1;

// The decoder's own buffers: the mapped file, and libtiff's 8-bit RGBA
// raster. A 16-bit TIFF is read row by row without it when its layout
// allows, else at 8 bits through it: whichever costs more beside the
// 16-bit photo.
std::int64_t DecoderExtra(const MemoryUse& use) {
  if (use.photo.format != ImageFormat::kTiff) return 0;
  const int channels = use.photo.alpha ? 4 : 3;
  const int raster = use.photo.depth == 16 ? std::max(0, 4 - channels) : 4;
  return use.photo.Pixels() * raster + use.fileBytes;
}

std::int64_t PhotoBytes(const ImageInfo& info) {
  return info.Pixels() * (info.alpha ? 4 : 3) * (info.depth == 16 ? 2 : 1);
}

// Analysing: the working copy's decode (a JPEG at a reduced DCT scale,
// others whole, 8 bits a channel) and then the analysis of the copy.
std::int64_t AnalysisPeak(const MemoryUse& use) {
  const cv::Size photo(use.photo.width, use.photo.height);
  const std::int64_t analysed = WorkingSize(photo, use.workSide).area();
  if (use.workSide <= 0 || analysed == use.photo.Pixels())
    return kAnalysisBytes + kAnalysisPerPixel * analysed + DecoderExtra(use);
  std::int64_t decoded = use.photo.Pixels() * (use.photo.alpha ? 4 : 3);
  // The window decodes the photo whole.
  if (use.photo.format == ImageFormat::kJpeg && !use.window) {
    // The smallest scale that keeps twice the working side (core/inputs).
    const int longSide = std::max(photo.width, photo.height);
    int denom = 1;
    while (denom < 8 && longSide / (2 * denom) >= 2 * use.workSide) denom *= 2;
    decoded = use.photo.Pixels() * 3 / (std::int64_t{denom} * denom);
  }
  return std::max(kAnalysisBytes + kAnalysisPerPixel * analysed,
                  decoded + DecoderExtra(use) + kReductionPerPixel * analysed);
}

// Drawing: the photo, its decoder's buffers, and one picture at a time with
// its encoder's.
std::int64_t DrawPeak(const MemoryUse& use) {
  const std::int64_t channelBytes = (use.photo.alpha ? 4 : 3) * (use.photo.depth == 16 ? 2 : 1);
  std::vector<cv::Size> outputs = use.outputs;
  if (outputs.empty()) outputs.emplace_back(use.photo.width, use.photo.height);
  std::int64_t picture = 0;
  for (const cv::Size& size : outputs) {
    const std::int64_t pixels = std::int64_t{size.width} * size.height;
    std::int64_t encoder = 0;
    switch (use.outputFormat) {
      case ImageFormat::kWebp:
        encoder = pixels * (use.losslessWebp ? kLosslessWebpPerPixel : kLossyWebpPerPixel);
        break;
      case ImageFormat::kPng:
      case ImageFormat::kTiff:
        // The file may be held whole to carry the photo's metadata.
        encoder = pixels * channelBytes;
        break;
      default:
        break;
    }
    picture = std::max(picture, pixels * channelBytes + encoder);
  }
  return PhotoBytes(use.photo) + DecoderExtra(use) + picture;
}

// The smaller of physical memory and the control group's limit.
std::int64_t MachineMemory() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  std::int64_t bytes = pages > 0 && pageSize > 0 ? std::int64_t{pages} * pageSize : 8LL << 30;
  std::ifstream cgroup("/sys/fs/cgroup/memory.max");
  std::string limit;
  if (cgroup >> limit && limit != "max") {
    const std::optional<std::int64_t> v = ParseMemorySize(limit);
    if (v) bytes = std::min(bytes, *v);
  }
  return bytes;
}

}  // namespace

std::optional<MemoryUse> MemoryUseOf(const std::string& path, std::int64_t maxPixels,
                                     int workSide) {
  MemoryUse use;
  try {
    use.photo = ReadImageInfo(path);
  } catch (const ImageFileError&) {
    return std::nullopt;
  }
  if (use.photo.Pixels() > maxPixels) return std::nullopt;
  std::error_code error;
  const auto bytes = std::filesystem::file_size(path, error);
  if (!error) use.fileBytes = static_cast<std::int64_t>(bytes);
  use.workSide = workSide;
  return use;
}

std::int64_t EstimatePeakBytes(const MemoryUse& use) {
  std::int64_t peak = kProcessBytes + std::max(AnalysisPeak(use), DrawPeak(use));
  if (use.window) peak += kWindowBytes + PhotoBytes(use.photo);
  return static_cast<std::int64_t>(static_cast<double>(peak) * kMargin);
}

std::string MemoryText(std::int64_t bytes) {
  static const char* const kUnits[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
  double v = static_cast<double>(bytes);
  int unit = 0;
  while (v >= 1024.0 && unit < 4) {
    v /= 1024.0;
    ++unit;
  }
  char text[32];
  if (unit == 0 || v >= 10.0)
    std::snprintf(text, sizeof text, "%.0f %s", v, kUnits[unit]);
  else
    std::snprintf(text, sizeof text, "%.1f %s", v, kUnits[unit]);
  return text;
}

std::optional<std::int64_t> ParseMemorySize(const std::string& text) {
  size_t end = 0;
  while (end < text.size() && (std::isdigit(static_cast<unsigned char>(text[end])) ||
                               (text[end] == '.' && text.find('.') == end)))
    ++end;
  if (end == 0 || end > 20 || text[0] == '.') return std::nullopt;
  const double number = std::strtod(text.substr(0, end).c_str(), nullptr);
  std::string unit = text.substr(end);
  if (!unit.empty() && unit.front() == ' ') unit.erase(0, 1);
  double scale = 1.0;
  if (!unit.empty()) {
    const char lead = static_cast<char>(std::toupper(static_cast<unsigned char>(unit[0])));
    const std::string rest = unit.substr(1);
    const size_t power = std::string("KMGT").find(lead);
    if (power != std::string::npos && (rest.empty() || rest == "B" || rest == "iB"))
      scale = std::pow(1024.0, static_cast<double>(power + 1));
    else if (unit != "B")
      return std::nullopt;
  }
  const double bytes = number * scale;
  if (!(bytes >= static_cast<double>(kMiB)) || bytes > 1e18) return std::nullopt;
  return static_cast<std::int64_t>(bytes);
}

std::int64_t DefaultMaxMemory() { return MachineMemory() / 2; }

std::int64_t MaxMemoryFromEnvironment() {
  return SettingFromEnvironment(kEnvMaxMemory, DefaultMaxMemory(), ParseMemorySize,
                                "expected an amount of memory such as 4G or 512M");
}

MemoryLimitError::MemoryLimitError(const std::string& path, std::int64_t needed, std::int64_t limit)
    : Error(ErrorKind::kInput, "'" + path + "' needs about " + MemoryText(needed) +
                                   " of memory, more than the limit of " + MemoryText(limit)),
      needed_(needed) {}

void CheckMemoryLimit(const std::string& path, std::int64_t needed, std::int64_t limit) {
  if (limit > 0 && needed > limit) throw MemoryLimitError(path, needed, limit);
}

MemoryBudget::Lease::Lease(Lease&& other) noexcept
    : budget_(std::exchange(other.budget_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}

MemoryBudget::Lease& MemoryBudget::Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    if (budget_ != nullptr) budget_->Give(bytes_);
    budget_ = std::exchange(other.budget_, nullptr);
    bytes_ = std::exchange(other.bytes_, 0);
  }
  return *this;
}

MemoryBudget::Lease::~Lease() {
  if (budget_ != nullptr) budget_->Give(bytes_);
}

MemoryBudget::Lease MemoryBudget::Take(const std::string& path, std::int64_t bytes,
                                       const std::function<bool()>& stop) {
  CheckMemoryLimit(path, bytes, total_);
  std::unique_lock<std::mutex> lock(mutex_);
  while (total_ > 0 && inUse_ + bytes > total_) {
    if (stop && stop()) return Lease();
    // Woken when a worker gives memory back; the timeout lets `stop` be
    // asked about signals that notify nobody.
    freed_.wait_for(lock, std::chrono::milliseconds(50));
  }
  inUse_ += bytes;
  return Lease(this, bytes);
}

std::int64_t MemoryBudget::InUse() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return inUse_;
}

void MemoryBudget::Give(std::int64_t bytes) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    inUse_ -= bytes;
  }
  freed_.notify_all();
}

}  // namespace quadrix
