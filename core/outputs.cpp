#include "core/outputs.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "core/inputs.hpp"
#include "imageio/image_file.hpp"

namespace quadrix {

namespace fs = std::filesystem;

PhotoFields FieldsOf(const std::string& srcPath) {
  if (srcPath == kStandardInput) return {".", "stdin"};
  const fs::path p(srcPath);
  PhotoFields f;
  f.dir = p.has_parent_path() ? p.parent_path().string() : ".";
  f.name = p.stem().string();
  return f;
}

std::string ExpandPattern(const std::string& pattern, cv::Size size, const PhotoFields* photo) {
  const bool sized = size.area() > 0;
  const std::pair<const char*, std::string> fields[] = {
      {"{w}", sized ? std::to_string(size.width) : "{w}"},
      {"{h}", sized ? std::to_string(size.height) : "{h}"},
      {"{dir}", photo != nullptr ? photo->dir : "{dir}"},
      {"{name}", photo != nullptr ? photo->name : "{name}"},
  };
  std::string out;
  for (size_t i = 0; i < pattern.size();) {
    bool replaced = false;
    for (const auto& [key, value] : fields) {
      const size_t n = std::strlen(key);
      if (pattern.compare(i, n, key) == 0) {
        out += value;
        i += n;
        replaced = true;
        break;
      }
    }
    if (!replaced) out += pattern[i++];
  }
  return out;
}

namespace {

// A hidden name beside `target` that does not end in its extension (a glob
// for the outputs never picks it up): ".NAME.EXT.qx<pid>_<n>", unique among
// the threads of a batch too.
fs::path HiddenName(const fs::path& target) {
  static std::atomic<unsigned> count{0};
  // Appended piece by piece: GCC 12 warns wrongly about "." + std::string.
  std::string name(1, '.');
  name += target.filename().string();
  name += ".qx";
  name += std::to_string(::getpid());
  name += '_';
  name += std::to_string(count++);
  return target.parent_path() / name;
}

// Creates the folders leading to `path` when they are missing.
void MakeParentFolders(const std::string& path) {
  const fs::path parent = fs::path(path).parent_path();
  if (parent.empty()) return;
  std::error_code ec;
  if (fs::is_directory(parent, ec)) return;
  fs::create_directories(parent, ec);
  if (ec)
    throw OutputError("cannot write '" + path + "': cannot create the folder '" + parent.string() +
                      "': " + ec.message());
}

// An output being written. It has no name until Commit (Linux's O_TMPFILE),
// so that a write cut short by a signal or a crash leaves nothing behind;
// where the file system cannot do that, a hidden name that the destructor
// removes.
class PendingFile {
 public:
  explicit PendingFile(const std::string& path) : path_(path) {
    MakeParentFolders(path);
    const fs::path target(path);
    const std::string dir = target.has_parent_path() ? target.parent_path().string() : ".";
    int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
      named_ = HiddenName(target);
      fd = ::open(named_.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
    }
    if (fd < 0) Fail(std::strerror(errno));
    file_ = ::fdopen(fd, "w+b");
    if (file_ == nullptr) {
      ::close(fd);
      Fail(std::strerror(errno));
    }
  }
  ~PendingFile() {
    if (file_ != nullptr) std::fclose(file_);
    if (!named_.empty()) ::unlink(named_.c_str());
  }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  std::FILE* stream() { return file_; }

  [[noreturn]] void Fail(const std::string& why) const {
    throw OutputError("cannot write '" + path_ + "': " + why);
  }

  // The file, complete, under its name (replacing what was there).
  void Commit() {
    if (std::fflush(file_) != 0 || std::ferror(file_) != 0)
      Fail(std::string("write failed: ") + std::strerror(errno));
    if (named_.empty()) {
      // A name of its own first, then renamed over the target: a link
      // cannot replace a file.
      const fs::path hidden = HiddenName(fs::path(path_));
      const std::string proc = "/proc/self/fd/" + std::to_string(::fileno(file_));
      if (::linkat(::fileno(file_), "", AT_FDCWD, hidden.c_str(), AT_EMPTY_PATH) != 0 &&
          ::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, hidden.c_str(), AT_SYMLINK_FOLLOW) != 0)
        Fail(std::strerror(errno));
      named_ = hidden;
    }
    const int closed = std::fclose(file_);
    file_ = nullptr;
    if (closed != 0) Fail(std::string("write failed: ") + std::strerror(errno));
    if (std::rename(named_.c_str(), path_.c_str()) != 0) Fail(std::strerror(errno));
    named_.clear();
  }

 private:
  std::string path_;
  fs::path named_;  // the name the file has until it is renamed; empty: none yet
  std::FILE* file_ = nullptr;
};

// The whole of an open stream, from its start.
std::vector<unsigned char> ReadBack(std::FILE* f) {
  std::vector<unsigned char> bytes;
  std::rewind(f);
  unsigned char chunk[1 << 16];
  size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
    bytes.insert(bytes.end(), chunk, chunk + n);
  return bytes;
}

// Replaces the whole content of an open stream with `bytes`.
bool Rewrite(std::FILE* f, const std::vector<unsigned char>& bytes) {
  std::rewind(f);
  if (::ftruncate(::fileno(f), 0) != 0) return false;
  return std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size() && std::fflush(f) == 0;
}

}  // namespace

void WriteFileAtomically(const std::string& path, const std::function<void(std::ostream&)>& fill) {
  // Small text files: made in memory, then written in one go.
  std::ostringstream text;
  fill(text);
  const std::string bytes = std::move(text).str();
  PendingFile out(path);
  if (std::fwrite(bytes.data(), 1, bytes.size(), out.stream()) != bytes.size())
    out.Fail(std::string("write failed: ") + std::strerror(errno));
  out.Commit();
}

FormatFit FitFor(ImageFormat format, bool transparent, bool deep) {
  return {transparent && !FormatHoldsAlpha(format), deep && !FormatHoldsDeep(format)};
}

std::vector<std::string> FormatFit::Notices(ImageFormat format,
                                            const std::string& backgroundName) const {
  std::vector<std::string> out;
  if (flatten)
    out.push_back(std::string(FormatName(format)) + " holds no transparency: the picture is on " +
                  backgroundName);
  if (shallow)
    out.push_back(std::string(FormatName(format)) +
                  " holds 8 bits a channel: the 16-bit photo is written with 8 (PNG and TIFF "
                  "keep 16)");
  return out;
}

cv::Mat FormatFit::Apply(cv::Mat picture, cv::Scalar background) const {
  if (shallow && picture.depth() == CV_16U) picture.convertTo(picture, CV_8U, 1.0 / 257.0);
  if (flatten && picture.channels() == 4) picture = CompositeOn(picture, background);
  return picture;
}

void WriteImageToDescriptor(int fd, const cv::Mat& image, ImageFormat format, int quality,
                            const PhotoMetadata* meta) {
  std::vector<unsigned char> bytes;
  try {
    bytes =
        EncodeImage(image, format == ImageFormat::kUnknown ? ImageFormat::kPng : format, quality);
    if (meta != nullptr) WritePhotoMetadata(bytes, *meta, image);
  } catch (const ImageFileError& e) {
    throw OutputError(std::string("cannot write the picture to standard output: ") + e.what());
  }
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      throw OutputError(std::string("cannot write the picture to standard output: ") +
                        std::strerror(errno));
    done += static_cast<size_t>(n);
  }
}

void WriteImageAtomically(const std::string& path, const cv::Mat& image, int quality,
                          const PhotoMetadata* meta) {
  const ImageFormat format = FormatForName(path);
  PendingFile out(path);
  try {
    WriteImageStream(out.stream(), image, format, quality);
    if (meta != nullptr && !meta->empty()) {
      std::vector<unsigned char> bytes = ReadBack(out.stream());
      WritePhotoMetadata(bytes, *meta, image);
      if (!Rewrite(out.stream(), bytes))
        out.Fail(std::string("write failed: ") + std::strerror(errno));
    }
  } catch (const ImageFileError& e) {
    out.Fail(e.what());
  }
  out.Commit();
}

void WriteImportance(const std::string& path, const cv::Mat& importance32F) {
  cv::Mat grey;
  importance32F.convertTo(grey, CV_8U, 1.0 / 0.004);  // rounds and saturates
  WriteImageAtomically(path, grey);
}

void WriteMeshCsv(const std::string& path, const ResizeHost& host) {
  WriteFileAtomically(path, [&](std::ostream& out) {
    const int C = host.quadCountX();
    const int V = (host.quadCountX() + 1) * (host.quadCountY() + 1);
    const size_t points = host.solution().size() / 2;
    out << "point,kind,row,col,x,y\n";
    char line[128];
    for (size_t p = 0; p < points; ++p) {
      const bool vertex = static_cast<int>(p) < V;
      int row = 0;
      int col = 0;
      if (vertex) {
        row = static_cast<int>(p) / (C + 1);
        col = static_cast<int>(p) % (C + 1);
      } else {
        const cv::Point q = host.linePointQuads().at(p - V);
        row = q.y;
        col = q.x;
      }
      std::snprintf(line, sizeof line, "%zu,%s,%d,%d,%.9g,%.9g\n", p, vertex ? "vertex" : "line",
                    row, col, static_cast<double>(host.solution()[2 * p]),
                    static_cast<double>(host.solution()[2 * p + 1]));
      out << line;
    }
  });
}

OutputDir::OutputDir(std::string dir) : dir_(std::move(dir)) {
  std::error_code ec;
  if (fs::exists(dir_, ec) && !fs::is_directory(dir_, ec))
    throw OutputError("cannot use '" + dir_ + "' as output directory: it is not a directory");
  fs::create_directories(dir_, ec);
  if (ec) throw OutputError("cannot create directory '" + dir_ + "': " + ec.message());
}

std::string OutputDir::Path(const std::string& name) const {
  return (fs::path(dir_) / name).string();
}

void OutputDir::WriteMatrix(const std::string& name, const TripletMatrix& a) const {
  WriteFileAtomically(Path(name), [&](std::ostream& out) {
    out << "%%MatrixMarket matrix coordinate real general\n";
    out << a.m << ' ' << a.n << ' ' << a.entries.size() << '\n';
    char line[96];
    for (const Triplet& t : a.entries) {
      std::snprintf(line, sizeof line, "%d %d %.17g\n", t.row + 1, t.col + 1, t.value);
      out << line;
    }
  });
}

void OutputDir::WriteInts(const std::string& name, const std::vector<int32_t>& v) const {
  WriteFileAtomically(Path(name), [&](std::ostream& out) {
    for (int32_t x : v) out << x << '\n';
  });
}

void OutputDir::WriteDoubles(const std::string& name, const std::vector<double>& v) const {
  WriteFileAtomically(Path(name), [&](std::ostream& out) {
    char line[48];
    for (double x : v) {
      std::snprintf(line, sizeof line, "%.17g\n", x);
      out << line;
    }
  });
}

}  // namespace quadrix
