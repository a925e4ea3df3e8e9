#include "cli/options.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>
#include <utility>

#include "base/environment.hpp"
#include "core/inputs.hpp"
#include "core/memory_budget.hpp"
#include "core/mesh_guard.hpp"
#include "core/outputs.hpp"
#include "engine/engine.hpp"
#include "imageio/image_file.hpp"

namespace quadrix {

namespace {

namespace fs = std::filesystem;

// The help text states the default.
#define DEFAULT_MIN_SCALE_TEXT "0.3"
static_assert(kDefaultMinScale == 0.3, "DEFAULT_MIN_SCALE_TEXT follows kDefaultMinScale");
#define DEFAULT_WORK_SIZE_TEXT "1600"
static_assert(kDefaultWorkSide == 1600, "DEFAULT_WORK_SIZE_TEXT follows kDefaultWorkSide");

// "WxH" with whole numbers from 1 to 32768.
std::optional<cv::Size> ParseSize(const std::string& text) {
  const size_t x = text.find('x');
  if (x == std::string::npos) return std::nullopt;
  auto number = [](const std::string& s) -> std::optional<int> {
    if (s.empty() || s.size() > 5) return std::nullopt;
    if (!std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return std::nullopt;
    const int v = std::stoi(s);
    if (v < 1 || v > kMaxTargetSide) return std::nullopt;
    return v;
  };
  const auto w = number(text.substr(0, x));
  const auto h = number(text.substr(x + 1));
  if (!w || !h) return std::nullopt;
  return cv::Size(*w, *h);
}

std::optional<int> ParseJobs(const std::string& text) {
  if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const int v = std::stoi(text);
  if (v < 1 || v > 256) return std::nullopt;
  return v;
}

// Where two photos, or a photo and an output, would meet: every output path
// is made for every photo and size, and none may repeat or be an input.
void CheckOutputsApart(const CliOptions& o) {
  struct Pattern {
    const char* option;
    const std::optional<std::string>* value;
  };
  const Pattern patterns[] = {
      {"-o", &o.outputPattern}, {"--mesh", &o.meshPattern}, {"--importance-out", &o.importanceOut}};
  auto key = [](const std::string& path) {
    std::error_code ec;
    const fs::path p = fs::weakly_canonical(fs::absolute(path), ec);
    return ec ? fs::absolute(path).lexically_normal().string() : p.string();
  };
  std::map<std::string, std::string> inputs;  // key -> what it is
  std::set<std::string> named;                // the sources as given (links are other photos)
  for (const std::string& src : o.sources) {
    if (!named.insert(fs::absolute(src).lexically_normal().string()).second)
      throw UsageError{"the photo '" + src + "' is given twice"};
    if (src != kStandardInput) inputs.emplace(key(src), "the source image '" + src + "'");
    const std::string sal = ImportancePathOf(o, src);
    if (!sal.empty()) inputs.emplace(key(sal), "the importance image '" + sal + "'");
  }
  std::map<std::string, std::string> written;  // key -> photo that writes it
  for (const Pattern& p : patterns) {
    if (!*p.value) continue;
    // The importance map is written once a photo, at a size not known yet.
    const bool perSize = p.value != &o.importanceOut && !o.sizes.empty();
    const std::vector<cv::Size> sizes = perSize ? o.sizes : std::vector<cv::Size>{{0, 0}};
    for (const std::string& src : o.sources) {
      const PhotoFields fields = FieldsOf(src);
      for (const cv::Size& size : sizes) {
        const std::string path = ExpandPattern(**p.value, size, &fields);
        if (path == kStandardOutput) continue;
        const std::string k = key(path);
        const auto in = inputs.find(k);
        if (in != inputs.end())
          throw UsageError{std::string(p.option) + " '" + path + "' would overwrite " + in->second};
        const auto [at, fresh] = written.emplace(k, src);
        if (!fresh && at->second != src)
          throw UsageError{"photos '" + at->second + "' and '" + src + "' would both write '" +
                           path + "'"};
      }
    }
  }
}

}  // namespace

const char* const kCliUsage =
    "Usage: quadrix-cli [options] MODE SRC [SAL]\n"
    "       quadrix-cli --batch [options] MODE SRC...\n"
    "\n"
    "Content-aware resizing of the image SRC by a quad mesh.\n"
    "\n"
    "  MODE   0: similarity energy only; 1: also pull each quad towards a uniform\n"
    "         scale (only the first character counts)\n"
    "  SRC    source image (PNG, JPEG, BMP, TIFF or WebP); - reads standard input\n"
    "  SAL    importance image (grey; brighter is more important, 250 = 1.0)\n"
    "\n"
    "In the patterns of -o, --mesh, --importance-out and --dump-energy, {w} and\n"
    "{h} stand for the size, {dir} for the folder of the source image and {name}\n"
    "for its file name without extension. Missing folders are created.\n"
    "\n"
    "Options:\n"
    "  --size WxH          target size, repeatable (1 to 32768 each side);\n"
    "                      default: the source size\n"
    "  -o, --output PATTERN\n"
    "                      draw the picture of each size at exactly that size into\n"
    "                      PATTERN; the format follows the extension (.png, .jpg,\n"
    "                      .bmp, .tif, .webp); - writes standard output (one\n"
    "                      photo, one size)\n"
    "  --format FORMAT     the format of -o -: png (the default), jpg, webp, tif\n"
    "                      or bmp\n"
    "  --strip             write the pictures without the photo's metadata (by\n"
    "                      default its EXIF, XMP, IPTC and colour profile go with\n"
    "                      them, orientation 1 and the new pixel size)\n"
    "  --background COLOR  what a transparent photo is put on in a JPEG or BMP\n"
    "                      (white, black, grey or #RRGGBB; default white); PNG,\n"
    "                      WebP and TIFF keep the transparency\n"
    "  --quality Q         JPEG and WebP quality, 1 to 100 (default: JPEG 95,\n"
    "                      WebP lossless); from 90 up JPEG keeps colour at full\n"
    "                      resolution\n"
    "  --uniform           draw the evenly spaced grid (plain scaling) instead of\n"
    "                      the solved mesh\n"
    "  --grid              draw the mesh lines on top\n"
    "  --show-importance   draw the importance map instead of the colour image\n"
    "  --mesh PATTERN      write the solved mesh of each size as CSV to PATTERN\n"
    "  --dump-energy DIR   write A.mtx, ind.txt and per size vals_WxH.txt and\n"
    "                      x_WxH.txt into DIR\n"
    "  --importance-out PATTERN\n"
    "                      write the importance map actually used (computed or\n"
    "                      loaded, at the aligned size) as an 8-bit grey image;\n"
    "                      edit it and give it back as SAL\n"
    "  --min-scale M       keep every quad at least M (between 0 and 1) of the\n"
    "                      size plain scaling gives it, so that the mesh never\n"
    "                      folds (default " DEFAULT_MIN_SCALE_TEXT
    "; also QUADRIX_MIN_SCALE);\n"
    "                      none: the plain minimum of the energy, folds and all\n"
    "  --max-pixels N      refuse a source or importance image of more than N\n"
    "                      pixels, before decoding it (default 350000000; also\n"
    "                      QUADRIX_MAX_PIXELS)\n"
    "  --max-memory SIZE   refuse a photo whose resize would need more memory\n"
    "                      than SIZE (4G, 512M; default: half of the machine's;\n"
    "                      also QUADRIX_MAX_MEMORY); a batch's workers share it\n"
    "  --work-size N       analyse and solve a photo longer than N pixels on a\n"
    "                      copy reduced to N, and draw the photo itself through\n"
    "                      the mesh found there (default " DEFAULT_WORK_SIZE_TEXT
    "; also\n"
    "                      QUADRIX_WORK_SIZE); none: at the photo's own size\n"
    "\n"
    "What the picture adds to the plain mesh energy, each on by default:\n"
    "  --no-sharp          lay the grid on the photo aligned to whole quads and\n"
    "                      draw it bilinearly (resampled twice, softer)\n"
    "  --no-straight       do not keep straight segments straight\n"
    "  --no-even           let important regions zoom along the side that keeps\n"
    "                      its length, and flat regions scale unevenly\n"
    "  --no-faces          do not add detected faces to a computed importance map\n"
    "  --no-shapes         do not keep round and compact objects in shape\n"
    "  --classic           all of the above off: the plain mesh energy's result\n"
    "\n"
    "  --engine NAME       numeric engine: builtin (in process, the default) or\n"
    "                      octave (GNU Octave's octave-cli from PATH); wins over\n"
    "                      the environment variable QUADRIX_ENGINE\n"
    "  --verbose           print the core's diagnostic lines, the stopwatch lines\n"
    "                      and what was written on standard output\n"
    "  --timings           print the stopwatch lines\n"
    "  -h, --help          show this help and exit\n"
    "  --version           show the version and exit\n"
    "\n"
    "Batch:\n"
    "  --batch             every word after MODE is a source image; each pattern\n"
    "                      above must hold {name}. A photo that fails is named on\n"
    "                      standard error and the others go on\n"
    "  -j, --jobs N        photos at once, one processor each (default: one per\n"
    "                      processor)\n"
    "  --importance-pattern PATTERN\n"
    "                      the importance image of each photo ({dir}, {name});\n"
    "                      without it the importance map is computed\n"
    "\n"
    "Exit status: 0 success, 1 unreadable input or failure (in a batch: any photo\n"
    "failed), 2 usage error.\n";

std::string ImportancePathOf(const CliOptions& o, const std::string& src) {
  if (o.sal) return *o.sal;
  if (!o.importancePattern) return {};
  const PhotoFields fields = FieldsOf(src);
  return ExpandPattern(*o.importancePattern, {0, 0}, &fields);
}

namespace {

// The options while they are read; the two limits stay open until the
// environment has had its say.
struct Parsed {
  CliOptions options;
  std::optional<double> minScale;
  std::optional<std::int64_t> maxPixels;
  std::optional<int> workSide;
  std::optional<std::int64_t> maxMemory;
};

// What an option takes after it: nothing, any text, or a name pattern that
// may not be empty.
enum class Takes { kNothing, kText, kPattern };

struct OptionSpec {
  const char* shortName;  // "-o", or null
  const char* longName;   // "--output"
  Takes takes;
  const char* patternOf;  // what an empty pattern lacks, for kPattern
  void (*store)(const std::string& value, Parsed& p);
};

template <bool CliOptions::*kFlag>
void SetFlag(const std::string&, Parsed& p) {
  p.options.*kFlag = true;
}

template <bool ResultParts::*kPart>
void TurnOff(const std::string&, Parsed& p) {
  p.options.parts.*kPart = false;
}

template <std::optional<std::string> CliOptions::*kPattern>
void StorePattern(const std::string& value, Parsed& p) {
  p.options.*kPattern = value;
}

void CheckImageExtension(const char* option, const std::string& value) {
  if (FormatForName(value) == ImageFormat::kUnknown)
    throw UsageError{std::string(option) + " '" + value +
                     "': no image format for this extension (use .png, .jpg, .bmp, .tif or "
                     ".webp)"};
}

void StoreOutput(const std::string& value, Parsed& p) {
  if (value != kStandardOutput) CheckImageExtension("--output", value);
  p.options.outputPattern = value;
}

void StoreImportanceOut(const std::string& value, Parsed& p) {
  CheckImageExtension("--importance-out", value);
  p.options.importanceOut = value;
}

void StoreQuality(const std::string& value, Parsed& p) {
  const bool digits = !value.empty() && value.size() <= 3 &&
                      value.find_first_not_of("0123456789") == std::string::npos;
  const int q = digits ? std::stoi(value) : 0;
  if (q < 1 || q > 100)
    throw UsageError{"invalid quality '" + value + "': expected a whole number from 1 to 100"};
  p.options.quality = q;
}

// A colour by name (white, black, grey or gray) or as #RRGGBB.
void StoreBackground(const std::string& value, Parsed& p) {
  std::string lower = value;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  cv::Scalar colour;
  if (lower == "white") {
    colour = cv::Scalar::all(255);
  } else if (lower == "black") {
    colour = cv::Scalar::all(0);
  } else if (lower == "grey" || lower == "gray") {
    colour = cv::Scalar::all(128);
  } else if (lower.size() == 7 && lower[0] == '#' &&
             lower.find_first_not_of("0123456789abcdef", 1) == std::string::npos) {
    const int r = std::stoi(lower.substr(1, 2), nullptr, 16);
    const int g = std::stoi(lower.substr(3, 2), nullptr, 16);
    const int b = std::stoi(lower.substr(5, 2), nullptr, 16);
    colour = cv::Scalar(b, g, r);
  } else {
    throw UsageError{"invalid colour '" + value + "': use white, black, grey or #RRGGBB"};
  }
  p.options.background = colour;
  p.options.backgroundName = value;
}

void StoreFormat(const std::string& value, Parsed& p) {
  const ImageFormat format = FormatForWord(value);
  if (format == ImageFormat::kUnknown)
    throw UsageError{"unknown format '" + value + "': use png, jpg, webp, tif or bmp"};
  p.options.streamFormat = format;
}

void StoreJobs(const std::string& value, Parsed& p) {
  const auto jobs = ParseJobs(value);
  if (!jobs) throw UsageError{"invalid number of jobs '" + value + "': expected 1 to 256"};
  p.options.jobs = *jobs;
}

void StoreSize(const std::string& value, Parsed& p) {
  const auto size = ParseSize(value);
  if (!size)
    throw UsageError{"invalid size '" + value +
                     "': expected WxH with whole numbers from 1 to 32768"};
  std::vector<cv::Size>& sizes = p.options.sizes;
  if (std::find(sizes.begin(), sizes.end(), *size) == sizes.end()) sizes.push_back(*size);
}

void StoreMinScale(const std::string& value, Parsed& p) {
  p.minScale = ParseMinScale(value);
  if (!p.minScale)
    throw UsageError{"invalid minimum quad scale '" + value +
                     "': expected a number between 0 and 1 (both excluded), or none"};
}

void StoreMaxPixels(const std::string& value, Parsed& p) {
  p.maxPixels = ParseMaxPixels(value);
  if (!p.maxPixels)
    throw UsageError{"invalid pixel limit '" + value +
                     "': expected a whole number of pixels from 1 up"};
}

void StoreMaxMemory(const std::string& value, Parsed& p) {
  p.maxMemory = ParseMemorySize(value);
  if (!p.maxMemory)
    throw UsageError{"invalid memory limit '" + value +
                     "': expected an amount of memory such as 4G or 512M"};
}

void StoreWorkSize(const std::string& value, Parsed& p) {
  p.workSide = ParseWorkSide(value);
  if (!p.workSide)
    throw UsageError{"invalid working size '" + value +
                     "': expected a longest side in pixels from 100 to 100000, or none"};
}

void StoreEngine(const std::string& value, Parsed& p) {
  if (!IsEngineName(value))
    throw UsageError{"unknown engine '" + value + "': use builtin or octave"};
  p.options.engine = value;
}

void SetClassic(const std::string&, Parsed& p) { p.options.parts = ResultParts::Classic(); }

constexpr const char* kFileNamePattern = "a file name pattern";

// Every option of kCliUsage.
constexpr OptionSpec kOptions[] = {
    {"-h", "--help", Takes::kNothing, nullptr, SetFlag<&CliOptions::help>},
    {nullptr, "--version", Takes::kNothing, nullptr, SetFlag<&CliOptions::version>},
    {nullptr, "--strip", Takes::kNothing, nullptr, SetFlag<&CliOptions::strip>},
    {nullptr, "--background", Takes::kText, nullptr, StoreBackground},
    {nullptr, "--quality", Takes::kText, nullptr, StoreQuality},
    {nullptr, "--format", Takes::kText, nullptr, StoreFormat},
    {nullptr, "--batch", Takes::kNothing, nullptr, SetFlag<&CliOptions::batch>},
    {"-j", "--jobs", Takes::kText, nullptr, StoreJobs},
    {nullptr, "--uniform", Takes::kNothing, nullptr, SetFlag<&CliOptions::uniform>},
    {nullptr, "--grid", Takes::kNothing, nullptr, SetFlag<&CliOptions::grid>},
    {nullptr, "--show-importance", Takes::kNothing, nullptr, SetFlag<&CliOptions::showImportance>},
    {"-o", "--output", Takes::kPattern, kFileNamePattern, StoreOutput},
    {nullptr, "--timings", Takes::kNothing, nullptr, SetFlag<&CliOptions::timings>},
    {nullptr, "--verbose", Takes::kNothing, nullptr, SetFlag<&CliOptions::verbose>},
    {nullptr, "--size", Takes::kText, nullptr, StoreSize},
    {nullptr, "--mesh", Takes::kPattern, kFileNamePattern, StorePattern<&CliOptions::meshPattern>},
    {nullptr, "--importance-out", Takes::kPattern, kFileNamePattern, StoreImportanceOut},
    {nullptr, "--importance-pattern", Takes::kPattern, kFileNamePattern,
     StorePattern<&CliOptions::importancePattern>},
    {nullptr, "--min-scale", Takes::kText, nullptr, StoreMinScale},
    {nullptr, "--max-pixels", Takes::kText, nullptr, StoreMaxPixels},
    {nullptr, "--max-memory", Takes::kText, nullptr, StoreMaxMemory},
    {nullptr, "--work-size", Takes::kText, nullptr, StoreWorkSize},
    {nullptr, "--classic", Takes::kNothing, nullptr, SetClassic},
    {nullptr, "--no-sharp", Takes::kNothing, nullptr, TurnOff<&ResultParts::sharp>},
    {nullptr, "--no-straight", Takes::kNothing, nullptr, TurnOff<&ResultParts::straight>},
    {nullptr, "--no-even", Takes::kNothing, nullptr, TurnOff<&ResultParts::even>},
    {nullptr, "--no-faces", Takes::kNothing, nullptr, TurnOff<&ResultParts::faces>},
    {nullptr, "--no-shapes", Takes::kNothing, nullptr, TurnOff<&ResultParts::shapes>},
    {nullptr, "--engine", Takes::kText, nullptr, StoreEngine},
    {nullptr, "--dump-energy", Takes::kPattern, "a directory", StorePattern<&CliOptions::dumpDir>},
};

const OptionSpec* FindOption(const std::string& name) {
  for (const OptionSpec& spec : kOptions)
    if (name == spec.longName || (spec.shortName != nullptr && name == spec.shortName))
      return &spec;
  return nullptr;
}

// Cuts the value off "--name=value" and "-j4"; `arg` keeps the name.
std::optional<std::string> SplitInlineValue(std::string& arg) {
  if (arg.rfind("--", 0) == 0) {
    const size_t eq = arg.find('=');
    if (eq == std::string::npos) return std::nullopt;
    std::string value = arg.substr(eq + 1);
    arg.resize(eq);
    return value;
  }
  if (arg.rfind("-j", 0) == 0 && arg.size() > 2) {
    std::string value = arg.substr(2);
    arg = "-j";
    return value;
  }
  return std::nullopt;
}

// Reads the options into `p`; the other words (MODE, SRC, ...) come back in
// order.
std::vector<std::string> ReadOptions(int argc, char** argv, Parsed& p) {
  std::vector<std::string> words;
  bool optionsDone = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (optionsDone || a.size() < 2 || a[0] != '-') {
      words.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsDone = true;
      continue;
    }
    const std::optional<std::string> inlineValue = SplitInlineValue(a);
    const OptionSpec* spec = FindOption(a);
    if (spec == nullptr) throw UsageError{"unknown option '" + a + "'"};
    std::string value;
    if (spec->takes == Takes::kNothing) {
      if (inlineValue) throw UsageError{"option " + a + " takes no value"};
    } else if (inlineValue) {
      value = *inlineValue;
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      throw UsageError{"option " + a + " needs a value"};
    }
    if (spec->takes == Takes::kPattern && value.empty())
      throw UsageError{a + " needs " + spec->patternOf};
    spec->store(value, p);
  }
  return words;
}

// What the options leave open: the engine, the minimum quad scale, the
// pixel limit and the working size from the environment.
void FillFromEnvironment(const Parsed& p, CliOptions& o) {
  if (!o.engine) {
    const char* env = std::getenv(kEnvEngine);
    if (env != nullptr && *env != '\0' && !IsEngineName(env))
      throw UsageError{std::string("unknown engine '") + env +
                       "' in QUADRIX_ENGINE: use builtin or octave"};
  }
  try {
    o.minScale = p.minScale ? *p.minScale : MinScaleFromEnvironment();
    o.maxPixels = p.maxPixels ? *p.maxPixels : MaxPixelsFromEnvironment();
    o.workSide = p.workSide ? *p.workSide : WorkSideFromEnvironment();
    o.maxMemory = p.maxMemory ? *p.maxMemory : MaxMemoryFromEnvironment();
  } catch (const std::invalid_argument& e) {
    throw UsageError{e.what()};
  }
}

void TakeMode(const std::string& word, CliOptions& o) {
  const char mode = word.empty() ? '\0' : word[0];
  if (mode != '0' && mode != '1')
    throw UsageError{"invalid MODE '" + word + "': it must start with 0 or 1"};
  o.useScaleTerm = mode == '1';
}

// MODE, the photos and SAL from the words.
void TakeWords(const std::vector<std::string>& words, CliOptions& o) {
  if (words.empty()) throw UsageError{"missing MODE and SRC"};
  if (words.size() < 2) throw UsageError{"missing SRC"};
  TakeMode(words[0], o);
  if (o.batch) {
    o.sources.assign(words.begin() + 1, words.end());
  } else {
    if (words.size() > 3)
      throw UsageError{"unexpected argument '" + words[3] +
                       "' (to resize several photos, use --batch)"};
    o.sources = {words[1]};
    if (words.size() == 3) o.sal = words[2];
    if (o.sal && o.importancePattern)
      throw UsageError{"give either SAL or --importance-pattern, not both"};
  }
  if (!o.batch && o.jobs > 0) throw UsageError{"-j needs --batch"};
}

// Patterns that would write one file twice: several photos without {name},
// several sizes without {w} or {h}.
void CheckPatternsSpread(const CliOptions& o) {
  const std::pair<const char*, const std::optional<std::string>*> patterns[] = {
      {"-o", &o.outputPattern},
      {"--mesh", &o.meshPattern},
      {"--importance-out", &o.importanceOut},
      {"--dump-energy", &o.dumpDir}};
  for (const auto& [option, value] : patterns) {
    if (!*value) continue;
    if (o.batch && (*value)->find("{name}") == std::string::npos)
      throw UsageError{std::string(option) + " '" + **value +
                       "' needs {name} in --batch mode: the files of different photos would "
                       "overwrite each other"};
  }
  for (const auto* p : {&o.meshPattern, &o.outputPattern})
    if (*p && o.sizes.size() > 1 &&
        ExpandPattern(**p, o.sizes[0]) == ExpandPattern(**p, o.sizes[1]))
      throw UsageError{"pattern '" + **p + "' needs {w} or {h} when several sizes are given"};
}

// Standard input and output: each carries one picture, and a run must
// write something.
void CheckStreamsAndOutputs(const CliOptions& o) {
  const bool toStream = o.outputPattern && *o.outputPattern == kStandardOutput;
  if (toStream && (o.batch || o.sizes.size() > 1))
    throw UsageError{
        "-o - writes one picture to standard output: give one photo and at most one "
        "--size"};
  if (o.streamFormat != ImageFormat::kUnknown && !toStream)
    throw UsageError{"--format is the format of -o - (a file's format follows its extension)"};
  for (const auto* p : {&o.meshPattern, &o.importanceOut, &o.dumpDir})
    if (*p && **p == kStandardOutput) throw UsageError{"only -o can write standard output ('-')"};
  if (o.batch && std::find(o.sources.begin(), o.sources.end(), kStandardInput) != o.sources.end())
    throw UsageError{"standard input ('-') is one photo: it cannot be part of --batch"};
  if (o.sal && *o.sal == kStandardInput)
    throw UsageError{"standard input ('-') can be the photo, not SAL"};
  if (!o.outputPattern && !o.meshPattern && !o.importanceOut && !o.dumpDir)
    throw UsageError{
        "nothing to write: add -o PATTERN for the pictures (or --mesh, "
        "--importance-out or --dump-energy)"};
}

// A size the output's format cannot hold is said before any work.
void CheckSizesFitFormat(const CliOptions& o) {
  if (!o.outputPattern) return;
  const ImageFormat format =
      *o.outputPattern == kStandardOutput ? o.streamFormat : FormatForName(*o.outputPattern);
  const int most = MaxSideOf(format);
  for (const cv::Size& size : o.sizes)
    if (std::max(size.width, size.height) > most)
      throw UsageError{"size " + std::to_string(size.width) + "x" + std::to_string(size.height) +
                       " is larger than " + FormatName(format) + " holds (" + std::to_string(most) +
                       " pixels a side)"};
}

}  // namespace

CliOptions ParseResizeOptions(const std::vector<std::string>& words) {
  std::vector<std::string> args{"quadrix"};
  args.insert(args.end(), words.begin(), words.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  Parsed p;
  const std::vector<std::string> rest = ReadOptions(static_cast<int>(argv.size()), argv.data(), p);
  if (rest.empty()) throw UsageError{"missing MODE"};
  if (rest.size() > 1) throw UsageError{"unexpected argument '" + rest[1] + "'"};
  CliOptions o = std::move(p.options);
  TakeMode(rest[0], o);
  FillFromEnvironment(p, o);
  return o;
}

CliOptions ParseCliOptions(int argc, char** argv) {
  Parsed p;
  const std::vector<std::string> words = ReadOptions(argc, argv, p);
  CliOptions o = std::move(p.options);
  if (o.help || o.version) return o;
  FillFromEnvironment(p, o);
  TakeWords(words, o);
  CheckStreamsAndOutputs(o);
  CheckPatternsSpread(o);
  if (o.outputPattern && *o.outputPattern == kStandardOutput &&
      o.streamFormat == ImageFormat::kUnknown)
    o.streamFormat = ImageFormat::kPng;
  CheckSizesFitFormat(o);
  CheckOutputsApart(o);
  return o;
}

}  // namespace quadrix
