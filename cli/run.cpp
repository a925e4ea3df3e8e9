#include "cli/run.hpp"

#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <opencv2/core/utility.hpp>
#include <optional>
#include <span>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "base/check.hpp"
#include "base/malloc_pages.hpp"
#include "base/perf_timer.hpp"
#include "cli/failures.hpp"
#include "cli/interrupt.hpp"
#include "cli/options.hpp"
#include "core/inputs.hpp"
#include "core/memory_budget.hpp"
#include "core/outputs.hpp"
#include "core/resize_host.hpp"
#include "engine/engine.hpp"
#include "imageio/image_file.hpp"
#include "imageio/metadata.hpp"
#include "interop_gl/photo_warp.hpp"
#include "interop_gl/pictures.hpp"
#include "lines/gauss_deriv.hpp"

namespace quadrix {

namespace {

constexpr const char* kProg = "quadrix-cli";

// Standard error: every message on a line of its own and, on a terminal,
// one progress line below them that is rewritten as photos finish.
class Console {
 public:
  explicit Console(bool progress) : progress_(progress) {}

  // "quadrix-cli: <text>".
  void Message(const std::string& text) { Plain(std::string(kProg) + ": " + text); }

  void Plain(const std::string& text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    Erase();
    std::fprintf(stderr, "%s\n", text.c_str());
    Draw();
  }

  void Progress(const std::string& text) {
    if (!progress_) return;
    const std::lock_guard<std::mutex> lock(mutex_);
    Erase();
    shown_ = text;
    winsize ws{};
    const size_t columns =
        ::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1 ? ws.ws_col - 1 : 79;
    if (shown_.size() > columns) shown_ = "..." + shown_.substr(shown_.size() - columns + 3);
    Draw();
  }

  void Clear() {
    const std::lock_guard<std::mutex> lock(mutex_);
    Erase();
    shown_.clear();
  }

 private:
  void Erase() {
    if (progress_ && !shown_.empty()) std::fputs("\r\033[K", stderr);
  }
  void Draw() {
    if (progress_ && !shown_.empty()) std::fputs(shown_.c_str(), stderr);
    std::fflush(stderr);
  }

  std::mutex mutex_;
  bool progress_;
  std::string shown_;
};

// While a batch runs, what the parts write to std::cerr themselves (the
// picture maker's notices) goes through the console too, a whole line at a
// time, so that it never lands on the progress line.
class ConsoleLines : public std::streambuf {
 public:
  explicit ConsoleLines(Console& console) : console_(console), old_(std::cerr.rdbuf(this)) {}
  ~ConsoleLines() override { std::cerr.rdbuf(old_); }
  ConsoleLines(const ConsoleLines&) = delete;
  ConsoleLines& operator=(const ConsoleLines&) = delete;

 protected:
  int overflow(int ch) override {
    if (ch == traits_type::eof()) return traits_type::not_eof(ch);
    std::string& line = Pending();
    if (ch == '\n') {
      console_.Plain(line);
      line.clear();
    } else {
      line.push_back(static_cast<char>(ch));
    }
    return ch;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    for (std::streamsize k = 0; k < n; ++k) overflow(static_cast<unsigned char>(s[k]));
    return n;
  }

 private:
  // Each thread builds its own line.
  static std::string& Pending() {
    thread_local std::string line;
    return line;
  }

  Console& console_;
  std::streambuf* old_;
};

// What one thread keeps from photo to photo.
struct Worker {
  EngineConnection connection;  // its own engine process, if any
  std::unique_ptr<PictureMaker> pictures;
  bool solverThreads = true;
};

// One size solved: the mesh to draw, and what was written of it so far.
struct SolvedSize {
  cv::Size size;
  std::vector<float> xy;
  std::string written;
};

// Solves every size asked for, writing meshes and energy dumps as it goes.
std::vector<SolvedSize> SolveSizes(const CliOptions& o, ResizeHost& host, const PhotoFields& fields,
                                   std::optional<OutputDir>& dump) {
  const int vx = host.quadCountX() + 1;
  const int vy = host.quadCountY() + 1;
  std::vector<cv::Size> sizes = o.sizes;
  if (sizes.empty()) sizes.emplace_back(host.RestSize());
  std::vector<SolvedSize> solved;
  for (const cv::Size& size : sizes) {
    host.Resize(size.width, size.height);
    SolvedSize s{size, {}, {}};
    const std::string tag = std::to_string(size.width) + "x" + std::to_string(size.height);
    if (o.outputPattern) {
      if (o.uniform)
        BuildUniformGrid(vx, vy, size.width, size.height, s.xy);
      else
        s.xy.assign(host.solution().begin(), host.solution().begin() + 2 * vx * vy);
    }
    if (o.meshPattern) {
      const std::string path = ExpandPattern(*o.meshPattern, size, &fields);
      WriteMeshCsv(path, host);
      s.written += " mesh " + path;
    }
    if (dump) {
      dump->WriteDoubles("vals_" + tag + ".txt", host.vals());
      dump->WriteDoubles("x_" + tag + ".txt", host.solution64());
      s.written += " energy " + dump->Path("x_" + tag + ".txt");
    }
    solved.push_back(std::move(s));
  }
  return solved;
}

// Says what was written of each size, once all of it is.
void ReportSize(const CliOptions& o, const SolvedSize& s, const std::string& picture) {
  std::string line = "size " + std::to_string(s.size.width) + "x" + std::to_string(s.size.height) +
                     ":" + (picture.empty() ? "" : " picture " + picture) + s.written;
  if (!o.meshPattern && !o.dumpDir && !o.outputPattern) line += " solved";
  if (o.verbose) PrintDiagnostic(line);
}

// Returns the pictures written.
std::vector<std::string> DrawSizes(
    const CliOptions& o, const std::vector<SolvedSize>& solved, const PhotoFields& fields,
    const PhotoMetadata& meta,
    const std::function<cv::Mat(std::span<const float>, cv::Size)>& draw) {
  std::vector<std::string> written;
  PerfTimer stage;
  for (const SolvedSize& s : solved) {
    stage.Start("draw");
    const cv::Mat picture = draw(s.xy, s.size);
    stage.Stop();
    const std::string path = ExpandPattern(*o.outputPattern, s.size, &fields);
    stage.Start("write");
    if (path == kStandardOutput)
      WriteImageToDescriptor(o.streamFd, picture, o.streamFormat, o.quality, &meta);
    else
      WriteImageAtomically(path, picture, o.quality, &meta);
    stage.Stop();
    ReportSize(o, s, path);
    written.push_back(path);
  }
  return written;
}

// What the output's format cannot hold: 16 bits a channel are brought to
// 8, a transparent picture is put on the background; each is said once.
std::function<cv::Mat(cv::Mat)> FitToFormat(const CliOptions& o, const std::string& src,
                                            bool transparent, bool deep, const Notify& say) {
  const ImageFormat format =
      *o.outputPattern == kStandardOutput ? o.streamFormat : FormatForName(*o.outputPattern);
  const FormatFit fit = FitFor(format, transparent, deep);
  std::vector<std::string> notices = fit.Notices(format, o.backgroundName);
  if (fit.flatten) notices.front() += " (choose with --background)";
  for (const std::string& notice : notices) say("'" + src + "': " + notice);
  const cv::Scalar background = o.background;
  return [fit, background](cv::Mat picture) { return fit.Apply(picture, background); };
}

// Returns the pictures written.
std::vector<std::string> ResizePhoto(const CliOptions& o, const std::string& src, Worker& w,
                                     const Notify& say) {
  // An engine named in the options is this call's (the Python module's);
  // else the process's choice.
  std::optional<ResizeHost> slot(std::in_place, SettingsOf(o, w.solverThreads),
                                 o.engine ? OpenEngineConnection(w.connection, *o.engine)
                                          : OpenEngineConnection(w.connection));
  ResizeHost& host = *slot;
  PerfTimer stage;
  stage.Start("read");
  // A photo longer than the working side is read as its working copy; the
  // photo itself is decoded only to be drawn, once the analysis is freed.
  const int workSide = host.settings().WorkSide();
  InputImages inputs =
      workSide > 0
          ? ReadWorkingInputs(src, ImportancePathOf(o, src), host.settings().quadSize, o.maxPixels,
                              workSide)
          : ReadInputs(src, ImportancePathOf(o, src), host.settings().quadSize, o.maxPixels);
  stage.Stop();
  stage.Start("analyse");
  host.Load(inputs);
  stage.Stop();
  // A photo too small for a computed map goes on with a flat one.
  if (!host.notice().empty()) say("'" + src + "': " + host.notice());
  if (!host.faceNotice().empty()) say(host.faceNotice());
  const PhotoFields fields = FieldsOf(src);

  if (o.importanceOut) {
    const std::string path =
        ExpandPattern(*o.importanceOut, {host.srcWidth(), host.srcHeight()}, &fields);
    WriteImportance(path, host.imgSal());
    if (o.verbose) PrintDiagnostic("importance " + path);
  }
  std::optional<OutputDir> dump;
  if (o.dumpDir) {
    dump.emplace(ExpandPattern(*o.dumpDir, {0, 0}, &fields));
    host.SetEnergyObserver([&](const TripletMatrix& a) { dump->WriteMatrix("A.mtx", a); });
  }
  host.BuildEquationA();
  if (dump) dump->WriteInts("ind.txt", host.ind());
  const std::string notice = host.UniformFallbackNotice();
  if (!notice.empty()) say("'" + src + "': " + notice);

  const std::vector<SolvedSize> solved = SolveSizes(o, host, fields, dump);
  if (!o.outputPattern) {
    for (const SolvedSize& s : solved) ReportSize(o, s, "");
    return {};
  }
  const int vx = host.quadCountX() + 1;
  const int vy = host.quadCountY() + 1;
  // The photo's camera, date, copyright and colour profile go with its
  // pictures (not with a picture of its importance map).
  const PhotoMetadata meta =
      o.strip || o.showImportance ? PhotoMetadata() : ReadPhotoMetadata(ReadablePath(src));
  // The colour picture is drawn on the processor from the photo's 8-bit
  // pixels (cheaper than an OpenGL context and textures of it, and no size
  // limit), after the analysis and the factor are freed.
  if (host.settings().parts.sharp && !o.grid && !o.showImportance) {
    // A photo with transparency is read again with its alpha: the host
    // holds it composited on white.
    const bool transparent = !inputs.alpha.empty();
    const bool deep = inputs.deep;
    cv::Mat photo = transparent || deep ? cv::Mat() : host.DrawImage();
    slot.reset();
    // What the analysis freed stays in the heap, out of reach of the
    // photo and the picture (mapped on their own), unless given back now.
    GiveFreedMemoryBack();
    if (photo.empty()) {
      stage.Start("read photo");
      photo = ReadPhoto(inputs, o.maxPixels);
      stage.Stop();
    }
    inputs = InputImages{};
    const bool readDeep = photo.depth() == CV_16U;
    PhotoWarper warper(std::move(photo));
    // Tiles in planes and colour spaces other than grey and RGB go through
    // libtiff's 8-bit interface.
    if (deep && !readDeep)
      say("'" + src + "': this 16-bit file's layout is read with 8 bits a channel");
    const auto fit = FitToFormat(o, src, transparent, deep && readDeep, say);
    return DrawSizes(o, solved, fields, meta, [&](std::span<const float> xy, cv::Size size) {
      return fit(warper.Render(vx, vy, xy, size));
    });
  }
  const cv::Mat& photo = host.DrawImage();
  if (!w.pictures)
    w.pictures = std::make_unique<PictureMaker>(photo, host.imgSal());
  else
    w.pictures->SetImages(photo, host.imgSal());
  w.pictures->SetFiltered(host.settings().parts.sharp);
  return DrawSizes(o, solved, fields, meta, [&](std::span<const float> xy, cv::Size size) {
    return w.pictures->Render(vx, vy, xy, size, o.grid, o.showImportance ? 1 : 0);
  });
}

// An importance image that is really a photo: colour in the file, and more
// than a trace of it in the pixels (a grey map saved as colour has none).
bool LooksLikeColourPhoto(const std::string& path, std::int64_t maxPixels) {
  try {
    if (!ReadImageInfo(path).colour) return false;
    const cv::Mat bgr = ReadImageFile(path, ImageMode::kColour, maxPixels);
    double chroma = 0.0;
    for (int y = 0; y < bgr.rows; ++y) {
      const cv::Vec3b* row = bgr.ptr<cv::Vec3b>(y);
      for (int x = 0; x < bgr.cols; ++x) {
        const auto [lo, hi] = std::minmax({row[x][0], row[x][1], row[x][2]});
        chroma += hi - lo;
      }
    }
    return chroma / static_cast<double>(bgr.total()) > 4.0;
  } catch (const ImageFileError&) {
    return false;  // the load says what is wrong with it
  }
}

// The peak memory the resize of `src` is expected to take, from its
// header; 0 when the header cannot be read or is above the pixel limit
// (the read says why). Throws Error when the photo's own size, drawn
// without --size, is more than the output's format holds.
std::int64_t PhotoPeakBytes(const CliOptions& o, const std::string& src) {
  std::optional<MemoryUse> found;
  try {
    found = MemoryUseOf(ReadablePath(src), o.maxPixels, SettingsOf(o, false).WorkSide());
  } catch (const ImageFileError&) {
    return 0;
  }
  if (!found) return 0;
  MemoryUse& use = *found;
  use.outputs = o.sizes;
  if (o.outputPattern) {
    use.outputFormat =
        *o.outputPattern == kStandardOutput ? o.streamFormat : FormatForName(*o.outputPattern);
    const int most = MaxSideOf(use.outputFormat);
    if (o.sizes.empty() && std::max(use.photo.width, use.photo.height) > most)
      throw Error(ErrorKind::kInput, "'" + src + "' is " + std::to_string(use.photo.width) + " x " +
                                         std::to_string(use.photo.height) + " pixels, more than " +
                                         FormatName(use.outputFormat) + " holds (" +
                                         std::to_string(most) +
                                         " a side): choose a smaller --size");
  }
  use.losslessWebp = o.quality == 0;
  return EstimatePeakBytes(use);
}

int ProcessorCount() {
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

std::string Clock(double seconds) {
  const long s = static_cast<long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

}  // namespace

ResizeSettings SettingsOf(const CliOptions& o, bool solverThreads) {
  ResizeSettings settings;
  settings.useScaleTerm = o.useScaleTerm;
  settings.minScale = o.minScale;
  settings.parts = o.parts;
  settings.maxPixels = o.maxPixels;
  settings.maxMemory = o.maxMemory;
  settings.workSide = o.workSide;
  settings.printDiagnostics = o.verbose;
  settings.solverThreads = solverThreads;
  return settings;
}

std::vector<std::string> ResizeOnePhoto(const CliOptions& o, const Notify& notice) {
  CheckMemoryLimit(o.sources[0], PhotoPeakBytes(o, o.sources[0]), o.maxMemory);
  Worker w;
  return ResizePhoto(o, o.sources[0], w, notice);
}

int RunSinglePhoto(const CliOptions& o) {
  printTimings = o.timings || o.verbose;
  Console console(false);
  if (o.sal && LooksLikeColourPhoto(*o.sal, o.maxPixels))
    console.Message("warning: '" + *o.sal +
                    "' is a colour photo; it is taken as the importance map of '" + o.sources[0] +
                    "' (its grey levels). To resize several photos, use --batch");
  ResizeOnePhoto(o, [&](const std::string& text) { console.Message(text); });
  return 0;
}

namespace {

// The batch's last word and exit status.
int BatchEnd(Console& console, const std::string& fatal, int failed, int done, int total) {
  if (!fatal.empty()) {
    console.Message(fatal);
    return 1;
  }
  // 128 + the signal, as a shell reports a process the signal ended.
  if (const int signal = BatchInterrupt::Signal()) {
    console.Plain("interrupted: " + std::to_string(done - failed) + " of " + std::to_string(total) +
                  " photos written");
    return 128 + signal;
  }
  if (failed > 0) {
    console.Plain(std::to_string(failed) + " of " + std::to_string(total) +
                  (total == 1 ? " photo failed" : " photos failed"));
    return 1;
  }
  return 0;
}

}  // namespace

int RunBatch(const CliOptions& o) {
  const BatchInterrupt interrupt;
  printTimings = o.timings || o.verbose;
  const int total = static_cast<int>(o.sources.size());
  const int jobs = std::min(o.jobs > 0 ? o.jobs : ProcessorCount(), total);
  // Each worker is one thread: -j N keeps N processors busy, no more.
  // OpenCV's threads, the solver's second thread and llvmpipe's drawing
  // threads gave a lone photo little (a few percent on two processors) and
  // cost time when workers meet. Set before any thread reads it; a value
  // the user gave stays.
  cv::setNumThreads(1);
  ::setenv("LP_NUM_THREADS", "0", 0);
  Console console(::isatty(STDERR_FILENO) == 1);
  const ConsoleLines routed(console);
  const auto start = std::chrono::steady_clock::now();
  std::atomic<int> next{0};
  std::atomic<int> done{0};
  std::atomic<int> failed{0};
  std::atomic<bool> stop{false};
  std::mutex fatalMutex;
  std::string fatal;
  auto stopWith = [&](const std::string& why) {
    const std::lock_guard<std::mutex> lock(fatalMutex);
    if (fatal.empty()) fatal = why;
    stop = true;
  };
  std::mutex currentMutex;
  std::string current;  // the photo started last
  auto progress = [&](const std::string* started) {
    const std::lock_guard<std::mutex> lock(currentMutex);
    if (started != nullptr) current = *started;
    const int finished = done;
    // Appended piece by piece: GCC 12 warns wrongly about "[" + std::string.
    std::string text(1, '[');
    text += std::to_string(finished);
    text += '/';
    text += std::to_string(total);
    text += "] ";
    text += current;
    if (finished > 0) {
      const double elapsed =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      text += ", " + Clock(elapsed / finished * (total - finished)) + " left";
    }
    console.Progress(text);
  };

  MemoryBudget budget(o.maxMemory);
  const std::function<bool()> halted = [&] { return stop || BatchInterrupt::Signal() != 0; };
  auto work = [&] {
    Worker w;
    w.solverThreads = false;
    try {
      OpenEngineConnection(w.connection);
    } catch (const EngineError& e) {
      stopWith(e.what());
      return;
    }
    while (!halted()) {
      const int k = next++;
      if (k >= total) return;
      const std::string& src = o.sources[static_cast<size_t>(k)];
      progress(&src);
      SetDiagnosticPrefix(src + ": ");
      try {
        // A photo waits until its memory fits beside the other workers'.
        const MemoryBudget::Lease lease = budget.Take(src, PhotoPeakBytes(o, src), halted);
        if (halted()) return;
        ResizePhoto(o, src, w, [&](const std::string& text) { console.Message(text); });
      } catch (...) {
        const Failure failure = DescribeFailure(std::current_exception());
        const std::string& why = failure.text;
        if (failure.fatal) {
          stopWith(why);
          return;
        }
        // A broken engine is started afresh for the next photo.
        if (failure.engineBroken) w.connection.handle.reset();
        ++failed;
        console.Message(why.find("'" + src + "'") != std::string::npos ? why : src + ": " + why);
      }
      ++done;
      progress(nullptr);
    }
  };
  std::vector<std::thread> threads;
  for (int t = 1; t < jobs; ++t) threads.emplace_back(work);
  work();
  for (std::thread& t : threads) t.join();
  console.Clear();
  return BatchEnd(console, fatal, failed, done, total);
}

}  // namespace quadrix
