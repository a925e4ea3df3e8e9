#pragma once
// quadrix-cli's command line: options, words and the checks that make a
// usage error (exit status 2).

#include <cstdint>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "core/inputs.hpp"
#include "core/result_parts.hpp"
#include "imageio/image_file.hpp"

namespace quadrix {

struct UsageError {
  std::string message;
};

struct CliOptions {
  bool useScaleTerm = false;
  bool batch = false;
  int jobs = 0;  // photos at once in a batch; 0: one per processor
  // The photos: one unless in batch mode.
  std::vector<std::string> sources;
  std::optional<std::string> sal;  // the single photo's importance image
  std::optional<std::string> importancePattern;
  std::vector<cv::Size> sizes;
  std::optional<std::string> meshPattern;
  std::optional<std::string> dumpDir;
  std::optional<std::string> importanceOut;
  std::optional<std::string> outputPattern;
  bool uniform = false;
  bool grid = false;
  bool showImportance = false;
  bool timings = false;
  bool verbose = false;
  bool help = false;
  bool version = false;
  // Write no metadata (EXIF, XMP, IPTC, ICC profile) into the pictures.
  bool strip = false;
  // What a transparent photo is put on in a format without transparency
  // (blue, green, red), and its name as given.
  cv::Scalar background = cv::Scalar::all(255);
  std::string backgroundName = "white";
  // JPEG and WebP quality, 1 to 100; 0: JPEG 95, WebP lossless.
  int quality = 0;
  // The format of the picture written to standard output (-o -): PNG
  // unless --format says otherwise.
  ImageFormat streamFormat = ImageFormat::kUnknown;
  // Where -o - writes: the program's standard output, set apart by RunCli
  // so that every message (even --verbose's) goes to standard error.
  int streamFd = -1;
  std::optional<std::string> engine;
  double minScale = 0.0;
  ResultParts parts;
  std::int64_t maxPixels = 0;
  // The memory a resize may take, shared by a batch's workers (bytes).
  std::int64_t maxMemory = 0;
  // The working copy's longest side (--work-size), 0 for none.
  int workSide = kDefaultWorkSide;
};

// The longest side of a target size (--size).
inline constexpr int kMaxTargetSide = 32768;

extern const char* const kCliUsage;
// -o - writes the picture to standard output.
inline constexpr char kStandardOutput[] = "-";

// Throws UsageError. Reads QUADRIX_ENGINE, QUADRIX_MIN_SCALE and
// QUADRIX_MAX_PIXELS for what the options leave open.
CliOptions ParseCliOptions(int argc, char** argv);

// The options that shape a resize and its picture, for a face of the
// library that has no photos or files on a command line (the Python
// module): `words` are MODE and options as quadrix-cli takes them ("1",
// "--min-scale", "0.5", "--no-sharp", ...), with the same checks and
// messages. What they
// leave open comes from the environment as in ParseCliOptions. Throws
// UsageError, also for a word that is not an option.
CliOptions ParseResizeOptions(const std::vector<std::string>& words);

// The importance file of photo `src`: SAL, the importance pattern's, or
// empty (computed).
std::string ImportancePathOf(const CliOptions& o, const std::string& src);

}  // namespace quadrix
