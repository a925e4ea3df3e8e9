#include "cli/options.hpp"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>

#include "core/inputs.hpp"
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

// "WxH" with whole numbers from 1 to 32768.
std::optional<cv::Size> ParseSize(const std::string& text) {
  const size_t x = text.find('x');
  if (x == std::string::npos) return std::nullopt;
  auto number = [](const std::string& s) -> std::optional<int> {
    if (s.empty() || s.size() > 5) return std::nullopt;
    if (!std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return std::nullopt;
    const int v = std::stoi(s);
    if (v < 1 || v > 32768) return std::nullopt;
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
    inputs.emplace(key(src), "the source image '" + src + "'");
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
    "  SRC    source image (PNG, JPEG, BMP, TIFF or WebP)\n"
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
    "                      .bmp, .tif, .webp)\n"
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
    "                      pixels, before decoding it (default 120000000; also\n"
    "                      QUADRIX_MAX_PIXELS)\n"
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

// The part of the picture a --no-... switch turns off, or null.
bool ResultParts::*PartSwitch(const std::string& option) {
  static const std::pair<const char*, bool ResultParts::*> kSwitches[] = {
      {"--no-sharp", &ResultParts::sharp},
      {"--no-straight", &ResultParts::straight},
      {"--no-even", &ResultParts::even},
      {"--no-faces", &ResultParts::faces},
      {"--no-shapes", &ResultParts::shapes}};
  for (const auto& [name, part] : kSwitches)
    if (option == name) return part;
  return nullptr;
}

}  // namespace

CliOptions ParseCliOptions(int argc, char** argv) {
  CliOptions o;
  std::optional<double> minScale;
  std::optional<std::int64_t> maxPixels;
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
    std::string value;
    bool hasInlineValue = false;
    if (a.rfind("--", 0) == 0) {
      const size_t eq = a.find('=');
      if (eq != std::string::npos) {
        value = a.substr(eq + 1);
        a = a.substr(0, eq);
        hasInlineValue = true;
      }
    } else if (a.rfind("-j", 0) == 0 && a.size() > 2) {  // -j4
      value = a.substr(2);
      a = "-j";
      hasInlineValue = true;
    }
    auto takeValue = [&]() -> std::string {
      if (hasInlineValue) return value;
      if (i + 1 >= argc) throw UsageError{"option " + a + " needs a value"};
      return argv[++i];
    };
    auto noValue = [&] {
      if (hasInlineValue) throw UsageError{"option " + a + " takes no value"};
    };
    auto pattern = [&](std::optional<std::string>& into, const char* what) {
      into = takeValue();
      if (into->empty()) throw UsageError{a + " needs " + what};
    };
    if (a == "-h" || a == "--help") {
      noValue();
      o.help = true;
    } else if (a == "--batch") {
      noValue();
      o.batch = true;
    } else if (a == "-j" || a == "--jobs") {
      const std::string v = takeValue();
      const auto jobs = ParseJobs(v);
      if (!jobs) throw UsageError{"invalid number of jobs '" + v + "': expected 1 to 256"};
      o.jobs = *jobs;
    } else if (a == "--uniform") {
      noValue();
      o.uniform = true;
    } else if (a == "--grid") {
      noValue();
      o.grid = true;
    } else if (a == "--show-importance") {
      noValue();
      o.showImportance = true;
    } else if (a == "-o" || a == "--output") {
      pattern(o.outputPattern, "a file name pattern");
      if (FormatForName(*o.outputPattern) == ImageFormat::kUnknown)
        throw UsageError{"--output '" + *o.outputPattern +
                         "': no image format for this extension (use .png, .jpg, .bmp, .tif "
                         "or .webp)"};
    } else if (a == "--timings") {
      noValue();
      o.timings = true;
    } else if (a == "--verbose") {
      noValue();
      o.verbose = true;
    } else if (a == "--size") {
      const std::string v = takeValue();
      const auto size = ParseSize(v);
      if (!size)
        throw UsageError{"invalid size '" + v +
                         "': expected WxH with whole numbers from 1 to 32768"};
      if (std::find(o.sizes.begin(), o.sizes.end(), *size) == o.sizes.end())
        o.sizes.push_back(*size);
    } else if (a == "--mesh") {
      pattern(o.meshPattern, "a file name pattern");
    } else if (a == "--importance-out") {
      pattern(o.importanceOut, "a file name pattern");
      if (FormatForName(*o.importanceOut) == ImageFormat::kUnknown)
        throw UsageError{"--importance-out '" + *o.importanceOut +
                         "': no image format for this extension (use .png, .jpg, .bmp, .tif or "
                         ".webp)"};
    } else if (a == "--importance-pattern") {
      pattern(o.importancePattern, "a file name pattern");
    } else if (a == "--min-scale") {
      const std::string v = takeValue();
      minScale = ParseMinScale(v);
      if (!minScale)
        throw UsageError{"invalid minimum quad scale '" + v +
                         "': expected a number between 0 and 1 (both excluded), or none"};
    } else if (a == "--max-pixels") {
      const std::string v = takeValue();
      maxPixels = ParseMaxPixels(v);
      if (!maxPixels)
        throw UsageError{"invalid pixel limit '" + v +
                         "': expected a whole number of pixels from 1 up"};
    } else if (a == "--classic") {
      noValue();
      o.parts = ResultParts::Classic();
    } else if (bool ResultParts::*part = PartSwitch(a)) {
      noValue();
      o.parts.*part = false;
    } else if (a == "--engine") {
      o.engine = takeValue();
      if (!IsEngineName(*o.engine))
        throw UsageError{"unknown engine '" + *o.engine + "': use builtin or octave"};
    } else if (a == "--dump-energy") {
      pattern(o.dumpDir, "a directory");
    } else {
      throw UsageError{"unknown option '" + a + "'"};
    }
  }
  if (o.help) return o;

  if (!o.engine) {
    const char* env = std::getenv("QUADRIX_ENGINE");
    if (env != nullptr && *env != '\0' && !IsEngineName(env))
      throw UsageError{std::string("unknown engine '") + env +
                       "' in QUADRIX_ENGINE: use builtin or octave"};
  }
  try {
    o.minScale = minScale ? *minScale : MinScaleFromEnvironment();
    o.maxPixels = maxPixels ? *maxPixels : MaxPixelsFromEnvironment();
  } catch (const std::invalid_argument& e) {
    throw UsageError{e.what()};
  }

  if (words.empty()) throw UsageError{"missing MODE and SRC"};
  if (words.size() < 2) throw UsageError{"missing SRC"};
  const char mode = words[0].empty() ? '\0' : words[0][0];
  if (mode != '0' && mode != '1')
    throw UsageError{"invalid MODE '" + words[0] + "': it must start with 0 or 1"};
  o.useScaleTerm = mode == '1';
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
  CheckOutputsApart(o);
  return o;
}

}  // namespace quadrix
