// quadrix-cli: the batch face of the resizing core.

#include "cli/cli.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "cli/outputs.hpp"
#include "cli/pictures.hpp"
#include "core/assertion.hpp"
#include "core/inputs.hpp"
#include "core/perf_timer.hpp"
#include "core/resizehost.hpp"
#include "detect/GaussDeriv.hpp"
#include "imageio/image_file.hpp"

namespace quadrix {

namespace {

namespace fs = std::filesystem;

constexpr const char* kProg = "quadrix-cli";

// The help text states the default.
#define DEFAULT_MIN_SCALE_TEXT "0.3"
static_assert(kDefaultMinScale == 0.3, "DEFAULT_MIN_SCALE_TEXT follows kDefaultMinScale");

constexpr const char* kUsage =
    "Usage: quadrix-cli [options] MODE SRC [SAL]\n"
    "\n"
    "Content-aware resizing of the image SRC by a quad mesh.\n"
    "\n"
    "  MODE   0: similarity energy only; 1: also pull each quad towards a uniform\n"
    "         scale (only the first character counts)\n"
    "  SRC    source image\n"
    "  SAL    importance image (grey; brighter is more important, 250 = 1.0)\n"
    "\n"
    "Options:\n"
    "  --size WxH          target size, repeatable (1 to 32768 each side);\n"
    "                      default: the source size after alignment to whole quads\n"
    "  -o, --output PATTERN\n"
    "                      draw the picture of each size at exactly that size into\n"
    "                      PATTERN ({w} and {h} replaced); the format follows the\n"
    "                      extension (.png, .jpg, .bmp, .tif, .webp)\n"
    "  --uniform           draw the evenly spaced grid (plain scaling) instead of\n"
    "                      the solved mesh\n"
    "  --grid              draw the mesh lines on top\n"
    "  --show-importance   draw the importance map instead of the colour image\n"
    "  --mesh PATTERN      write the solved mesh of each size as CSV to PATTERN,\n"
    "                      {w} and {h} replaced by the size\n"
    "  --dump-energy DIR   write A.mtx, ind.txt and per size vals_WxH.txt and\n"
    "                      x_WxH.txt into DIR (created when missing)\n"
    "  --importance-out FILE\n"
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
    "  --timings           print the stopwatch lines\n"
    "  --engine NAME       numeric engine: builtin (in process, the default) or\n"
    "                      octave (GNU Octave's octave-cli from PATH); wins over\n"
    "                      the environment variable QUADRIX_ENGINE\n"
    "  -h, --help          show this help and exit\n"
    "\n"
    "Exit status: 0 success, 1 unreadable input or failure, 2 usage error.\n";

struct UsageError {
  std::string message;
};

struct Options {
  bool useScaleTerm = false;
  std::string src;
  std::optional<std::string> sal;
  std::vector<cv::Size> sizes;
  std::optional<std::string> meshPattern;
  std::optional<std::string> dumpDir;
  std::optional<std::string> importanceOut;
  std::optional<std::string> outputPattern;
  bool uniform = false;
  bool grid = false;
  bool showImportance = false;
  bool timings = false;
  bool help = false;
  std::optional<std::string> engine;
  std::optional<double> minScale;
  std::int64_t maxPixels = kDefaultMaxPixels;
};

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

Options ParseArgs(int argc, char** argv) {
  Options o;
  bool maxPixelsGiven = false;
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
    }
    auto takeValue = [&]() -> std::string {
      if (hasInlineValue) return value;
      if (i + 1 >= argc) throw UsageError{"option " + a + " needs a value"};
      return argv[++i];
    };
    auto noValue = [&] {
      if (hasInlineValue) throw UsageError{"option " + a + " takes no value"};
    };
    if (a == "-h" || a == "--help") {
      noValue();
      o.help = true;
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
      o.outputPattern = takeValue();
      if (o.outputPattern->empty()) throw UsageError{"--output needs a file name pattern"};
      if (FormatForName(ExpandPattern(*o.outputPattern, {1, 1})) == ImageFormat::kUnknown)
        throw UsageError{"--output '" + *o.outputPattern +
                         "': no image format for this extension (use .png, .jpg, .bmp, .tif "
                         "or .webp)"};
    } else if (a == "--timings") {
      noValue();
      o.timings = true;
    } else if (a == "--size") {
      const std::string v = takeValue();
      const auto size = ParseSize(v);
      if (!size)
        throw UsageError{"invalid size '" + v +
                         "': expected WxH with whole numbers from 1 to 32768"};
      if (std::find(o.sizes.begin(), o.sizes.end(), *size) == o.sizes.end())
        o.sizes.push_back(*size);
    } else if (a == "--mesh") {
      o.meshPattern = takeValue();
      if (o.meshPattern->empty()) throw UsageError{"--mesh needs a file name pattern"};
    } else if (a == "--importance-out") {
      o.importanceOut = takeValue();
      if (o.importanceOut->empty()) throw UsageError{"--importance-out needs a file name"};
    } else if (a == "--min-scale") {
      const std::string v = takeValue();
      o.minScale = ParseMinScale(v);
      if (!o.minScale)
        throw UsageError{"invalid minimum quad scale '" + v +
                         "': expected a number between 0 and 1 (both excluded), or none"};
    } else if (a == "--max-pixels") {
      const std::string v = takeValue();
      const auto limit = ParseMaxPixels(v);
      if (!limit)
        throw UsageError{"invalid pixel limit '" + v +
                         "': expected a whole number of pixels from 1 up"};
      o.maxPixels = *limit;
      maxPixelsGiven = true;
    } else if (a == "--engine") {
      o.engine = takeValue();
      if (!IsEngineName(*o.engine))
        throw UsageError{"unknown engine '" + *o.engine + "': use builtin or octave"};
    } else if (a == "--dump-energy") {
      o.dumpDir = takeValue();
      if (o.dumpDir->empty()) throw UsageError{"--dump-energy needs a directory"};
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
  if (!o.minScale) {
    try {
      o.minScale = MinScaleFromEnvironment();
    } catch (const std::invalid_argument& e) {
      throw UsageError{e.what()};
    }
  }
  if (!maxPixelsGiven) {
    try {
      o.maxPixels = MaxPixelsFromEnvironment();
    } catch (const std::invalid_argument& e) {
      throw UsageError{e.what()};
    }
  }
  if (words.empty()) throw UsageError{"missing MODE and SRC"};
  if (words.size() < 2) throw UsageError{"missing SRC"};
  if (words.size() > 3) throw UsageError{"unexpected argument '" + words[3] + "'"};
  const char mode = words[0].empty() ? '\0' : words[0][0];
  if (mode != '0' && mode != '1')
    throw UsageError{"invalid MODE '" + words[0] + "': it must start with 0 or 1"};
  o.useScaleTerm = mode == '1';
  o.src = words[1];
  if (words.size() == 3) o.sal = words[2];
  for (const auto* pattern : {&o.meshPattern, &o.outputPattern})
    if (*pattern && o.sizes.size() > 1 &&
        ExpandPattern(**pattern, o.sizes[0]) == ExpandPattern(**pattern, o.sizes[1]))
      throw UsageError{"pattern '" + **pattern + "' needs {w} or {h} when several sizes are given"};
  return o;
}

struct Failure {
  std::string message;
};

int Run(const Options& o) {
  printTimings = o.timings;

  ResizeHost host;
  host.useScaleTerm = o.useScaleTerm;
  host.minScale = *o.minScale;
  host.maxPixels = o.maxPixels;
  LoadInputs(host, ReadInputs(o.src, o.sal.value_or(""), host.quadSize, o.maxPixels));

  if (o.importanceOut) {
    WriteImportance(*o.importanceOut, host.imgSal);
    std::cout << "importance " << *o.importanceOut << std::endl;
  }

  std::optional<OutputDir> dump;
  if (o.dumpDir) {
    dump.emplace(*o.dumpDir);
    host.energyObserver = [&](const TripletMatrix& a) { dump->WriteMatrix("A.mtx", a); };
  }
  host.BuildEquationA();
  if (dump) dump->WriteInts("ind.txt", host.ind);

  std::unique_ptr<PictureMaker> pictures;
  if (o.outputPattern) pictures = std::make_unique<PictureMaker>(host.imgSrc, host.imgSal);
  const int vx = host.quadCountX + 1;
  const int vy = host.quadCountY + 1;
  std::vector<float> xy;

  std::vector<cv::Size> sizes = o.sizes;
  if (sizes.empty()) sizes.emplace_back(host.srcWidth, host.srcHeight);
  for (const cv::Size& size : sizes) {
    host.Resize(size.width, size.height);
    const std::string tag = std::to_string(size.width) + "x" + std::to_string(size.height);
    std::cout << "size " << tag << ":";
    if (pictures) {
      if (o.uniform)
        BuildUniformGrid(vx, vy, size.width, size.height, xy);
      else
        xy.assign(host.solution.begin(), host.solution.begin() + 2 * vx * vy);
      const cv::Mat picture = pictures->Render(vx, vy, xy, size, o.grid, o.showImportance ? 1 : 0);
      const std::string path = ExpandPattern(*o.outputPattern, size);
      WriteImageAtomically(path, picture);
      std::cout << " picture " << path;
    }
    if (o.meshPattern) {
      const std::string path = ExpandPattern(*o.meshPattern, size);
      WriteMeshCsv(path, host);
      std::cout << " mesh " << path;
    }
    if (dump) {
      dump->WriteDoubles("vals_" + tag + ".txt", host.vals);
      dump->WriteDoubles("x_" + tag + ".txt", host.solution64);
      std::cout << " energy " << dump->Path("x_" + tag + ".txt");
    }
    if (!o.meshPattern && !dump && !pictures) std::cout << " solved";
    std::cout << std::endl;
  }
  return 0;
}

}  // namespace

int RunCli(int argc, char** argv) {
  Options options;
  try {
    options = ParseArgs(argc, argv);
  } catch (const UsageError& e) {
    std::cerr << kProg << ": " << e.message << " (see " << kProg << " --help)" << std::endl;
    return 2;
  }
  if (options.help) {
    std::cout << kUsage;
    return 0;
  }
  if (options.engine) SetEngineChoice(*options.engine);
  try {
    return Run(options);
  } catch (const Failure& e) {
    std::cerr << kProg << ": " << e.message << std::endl;
  } catch (const InputError& e) {
    std::cerr << kProg << ": " << e.what()
              << (e.kind() == InputError::Kind::kTooLarge ? " (raise it with --max-pixels)" : "")
              << std::endl;
  } catch (const OutputError& e) {
    std::cerr << kProg << ": " << e.what() << std::endl;
  } catch (const EffectError& e) {
    std::cerr << kProg << ": " << e.what() << std::endl;
  } catch (const EngineError& e) {
    std::cerr << kProg << ": " << e.what() << std::endl;
  } catch (const AssertionError& e) {
    ReportAssertion(e);
  } catch (const cv::Exception& e) {
    std::cerr << kProg << ": " << e.what() << std::endl;
  } catch (const FilterOutOfMemory& e) {
    std::cerr << e.what() << std::endl;
  } catch (const std::bad_alloc&) {
    std::cerr << kProg << ": out of memory" << std::endl;
  }
  return 1;
}

}  // namespace quadrix
