// The format is told by the file's first bytes, not its name; the name only
// chooses the format of a file written.

#include "imageio/image_file.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "base/hugepages.hpp"
#include "imageio/codecs.hpp"

namespace quadrix {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

constexpr const char* kReadable = "PNG, JPEG, BMP, TIFF or WebP";

ImageFormat Sniff(const unsigned char* b, size_t n) {
  auto starts = [&](std::initializer_list<unsigned char> magic) {
    return n >= magic.size() && std::equal(magic.begin(), magic.end(), b);
  };
  if (starts({0xFF, 0xD8, 0xFF})) return ImageFormat::kJpeg;
  if (starts({0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'})) return ImageFormat::kPng;
  if (starts({'B', 'M'}) && n >= 18) return ImageFormat::kBmp;
  // Classic TIFF (42) and BigTIFF (43), either byte order.
  if (starts({'I', 'I', 42, 0}) || starts({'M', 'M', 0, 42}) || starts({'I', 'I', 43, 0}) ||
      starts({'M', 'M', 0, 43}))
    return ImageFormat::kTiff;
  if (n >= 12 && std::memcmp(b, "RIFF", 4) == 0 && std::memcmp(b + 8, "WEBP", 4) == 0)
    return ImageFormat::kWebp;
  return ImageFormat::kUnknown;
}

// Standard input, read whole into an anonymous file on first use: the
// photo is read more than once (its working copy, then itself), and every
// reader seeks.
struct StandardInputCopy {
  std::string path;   // /proc/self/fd/N, opened afresh by each reader
  std::string error;  // why there is none
};

const StandardInputCopy& StandardInput() {
  static StandardInputCopy copy;
  static std::once_flag once;
  std::call_once(once, [] {
    if (::isatty(STDIN_FILENO)) {
      copy.error = "standard input is a terminal (pipe a picture into it)";
      return;
    }
    const int fd = ::memfd_create("quadrix-standard-input", MFD_CLOEXEC);
    if (fd < 0) {
      copy.error = std::strerror(errno);
      return;
    }
    std::vector<char> buffer(size_t{1} << 16);
    for (;;) {
      const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
      if (n == 0) break;
      if (n < 0 && errno == EINTR) continue;
      ssize_t done = n < 0 ? -1 : 0;
      while (done >= 0 && done < n) {
        const ssize_t w = ::write(fd, buffer.data() + done, static_cast<size_t>(n - done));
        if (w < 0 && errno != EINTR) done = -1;
        if (w > 0) done += w;
      }
      if (done < 0) {
        copy.error = std::string("reading standard input failed: ") + std::strerror(errno);
        ::close(fd);
        return;
      }
    }
    // Kept open for the life of the process: it is the photo.
    copy.path = "/proc/self/fd/" + std::to_string(fd);
  });
  return copy;
}

// Opens a file for reading and tells its format; throws with the cause.
FilePtr OpenImage(const std::string& given, ImageFormat& format) {
  const std::string path = ReadablePath(given);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) throw ImageFileError("no such file");
    throw ImageFileError(std::strerror(errno));
  }
  if (S_ISDIR(st.st_mode)) throw ImageFileError("is a directory");
  // A pipe or a device could block the read for ever.
  if (!S_ISREG(st.st_mode)) throw ImageFileError("not a regular file");
  FilePtr f(std::fopen(path.c_str(), "rb"));
  if (!f) throw ImageFileError(std::strerror(errno));
  if (st.st_size == 0)
    throw ImageFileError(given == kStandardInput ? "standard input is empty" : "the file is empty");
  std::array<unsigned char, 32> head{};
  const size_t n = std::fread(head.data(), 1, head.size(), f.get());
  format = Sniff(head.data(), n);
  if (format == ImageFormat::kUnknown)
    throw ImageFileError(std::string("not an image in a format that can be read (") + kReadable +
                         ")");
  std::rewind(f.get());
  return f;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

const char* FormatName(ImageFormat format) {
  switch (format) {
    case ImageFormat::kJpeg:
      return "JPEG";
    case ImageFormat::kPng:
      return "PNG";
    case ImageFormat::kBmp:
      return "BMP";
    case ImageFormat::kTiff:
      return "TIFF";
    case ImageFormat::kWebp:
      return "WebP";
    case ImageFormat::kUnknown:
      break;
  }
  return "unknown";
}

std::string PixelCountText(std::int64_t pixels) {
  if (pixels >= 1000000 && pixels % 1000000 == 0)
    return std::to_string(pixels / 1000000) + " megapixels";
  if (pixels >= 1000000) {
    char text[48];
    std::snprintf(text, sizeof text, "%.1f megapixels", static_cast<double>(pixels) / 1e6);
    return text;
  }
  return std::to_string(pixels) + " pixels";
}

ImageTooLarge::ImageTooLarge(const ImageInfo& info, std::int64_t limit)
    : ImageFileError(std::to_string(info.width) + " x " + std::to_string(info.height) +
                     " pixels (" + PixelCountText(info.Pixels()) + ") is above the limit of " +
                     PixelCountText(limit)),
      info_(info),
      limit_(limit) {}

ImageInfo ReadImageInfo(const std::string& path) {
  ImageFormat format = ImageFormat::kUnknown;
  FilePtr f = OpenImage(path, format);
  switch (format) {
    case ImageFormat::kJpeg:
      return codec::JpegInfo(f.get());
    case ImageFormat::kPng:
      return codec::PngInfo(f.get());
    case ImageFormat::kBmp:
      return codec::BmpInfo(f.get());
    case ImageFormat::kTiff:
      return codec::TiffInfo(f.get());
    case ImageFormat::kWebp:
      return codec::WebpInfo(f.get());
    case ImageFormat::kUnknown:
      break;
  }
  throw ImageFileError("not an image");
}

cv::Mat ReadImageFile(const std::string& path, ImageMode mode, std::int64_t maxPixels,
                      ImageInfo* info) {
  ImageFormat format = ImageFormat::kUnknown;
  FilePtr f = OpenImage(path, format);
  ImageInfo local;
  ImageInfo& out = info != nullptr ? *info : local;
  switch (format) {
    case ImageFormat::kJpeg:
      return codec::JpegRead(f.get(), mode, maxPixels, out);
    case ImageFormat::kPng:
      return codec::PngRead(f.get(), mode, maxPixels, out);
    case ImageFormat::kBmp:
      return codec::BmpRead(f.get(), mode, maxPixels, out);
    case ImageFormat::kTiff:
      return codec::TiffRead(f.get(), mode, maxPixels, out);
    case ImageFormat::kWebp:
      return codec::WebpRead(f.get(), mode, maxPixels, out);
    case ImageFormat::kUnknown:
      break;
  }
  throw ImageFileError("not an image");
}

cv::Mat ReadImageReduced(const std::string& path, ImageMode mode, std::int64_t maxPixels,
                         int minLongSide, ImageInfo* info) {
  ImageFormat format = ImageFormat::kUnknown;
  FilePtr f = OpenImage(path, format);
  if (format != ImageFormat::kJpeg) return ReadImageFile(path, mode, maxPixels, info);
  ImageInfo local;
  return codec::JpegRead(f.get(), mode, maxPixels, info != nullptr ? *info : local, minLongSide);
}

ImageFormat FormatForName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return ImageFormat::kUnknown;
  const std::string ext = Lower(path.substr(dot + 1));
  if (ext == "png") return ImageFormat::kPng;
  if (ext == "jpg" || ext == "jpeg" || ext == "jpe") return ImageFormat::kJpeg;
  if (ext == "bmp" || ext == "dib") return ImageFormat::kBmp;
  if (ext == "tif" || ext == "tiff") return ImageFormat::kTiff;
  if (ext == "webp") return ImageFormat::kWebp;
  return ImageFormat::kUnknown;
}

namespace {

void CheckWritable(const cv::Mat& image, ImageFormat format) {
  if (image.depth() == CV_16U && !FormatHoldsDeep(format))
    throw ImageFileError(std::string(FormatName(format)) + " holds no 16-bit pictures");
  if (image.empty() || (image.depth() != CV_8U && image.depth() != CV_16U) ||
      (image.channels() != 1 && image.channels() != 3 && image.channels() != 4))
    throw ImageFileError("only 8-bit grey or colour pictures can be written");
  if (image.channels() == 4 && !FormatHoldsAlpha(format))
    throw ImageFileError(std::string(FormatName(format)) + " holds no transparency");
}

void WriteTo(std::FILE* f, const cv::Mat& image, ImageFormat format, int quality) {
  switch (format) {
    case ImageFormat::kJpeg:
      codec::JpegWrite(f, image, quality > 0 ? std::min(quality, 100) : kDefaultJpegQuality);
      break;
    case ImageFormat::kPng:
      codec::PngWrite(f, image);
      break;
    case ImageFormat::kBmp:
      codec::BmpWrite(f, image);
      break;
    case ImageFormat::kTiff:
      codec::TiffWrite(f, image);
      break;
    case ImageFormat::kWebp:
      codec::WebpWrite(f, image, std::clamp(quality, 0, 100));
      break;
    case ImageFormat::kUnknown:
      throw ImageFileError("no image format given");
  }
  if (std::fflush(f) != 0 || std::ferror(f) != 0)
    throw ImageFileError(std::string("write failed: ") + std::strerror(errno));
}

}  // namespace

bool FormatHoldsDeep(ImageFormat format) {
  return format == ImageFormat::kPng || format == ImageFormat::kTiff;
}

int MaxSideOf(ImageFormat format) {
  switch (format) {
    case ImageFormat::kJpeg:
      return 65500;
    case ImageFormat::kWebp:
      return 16383;
    case ImageFormat::kPng:
      return 1000000;
    default:
      return std::numeric_limits<int>::max();
  }
}

bool FormatHoldsAlpha(ImageFormat format) {
  return format == ImageFormat::kPng || format == ImageFormat::kTiff ||
         format == ImageFormat::kWebp;
}

std::string ReadablePath(const std::string& path) {
  if (path != kStandardInput) return path;
  const StandardInputCopy& in = StandardInput();
  if (!in.error.empty()) throw ImageFileError(in.error);
  return in.path;
}

ImageFormat FormatForWord(const std::string& word) {
  return word.find_first_of("./") == std::string::npos ? FormatForName("x." + word)
                                                       : ImageFormat::kUnknown;
}

void WriteImageFile(const std::string& path, const cv::Mat& image, int quality) {
  const ImageFormat format = FormatForName(path);
  if (format == ImageFormat::kUnknown)
    throw ImageFileError(
        "no image format for this extension (use .png, .jpg, .bmp, .tif or .webp)");
  CheckWritable(image, format);
  FilePtr f(std::fopen(path.c_str(), "wb"));
  if (!f) throw ImageFileError(std::strerror(errno));
  WriteTo(f.get(), image, format, quality);
  std::FILE* raw = f.release();
  if (std::fclose(raw) != 0)
    throw ImageFileError(std::string("write failed: ") + std::strerror(errno));
}

void WriteImageStream(std::FILE* f, const cv::Mat& image, ImageFormat format, int quality) {
  if (format == ImageFormat::kUnknown)
    throw ImageFileError(
        "no image format for this extension (use .png, .jpg, .bmp, .tif or .webp)");
  CheckWritable(image, format);
  WriteTo(f, image, format, quality);
  if (std::fflush(f) != 0 || std::ferror(f) != 0)
    throw ImageFileError(std::string("write failed: ") + std::strerror(errno));
}

std::vector<unsigned char> EncodeImage(const cv::Mat& image, ImageFormat format, int quality) {
  CheckWritable(image, format);
  // A real file rather than a memory stream: the TIFF writer needs a
  // descriptor.
  FilePtr f(std::tmpfile());
  if (!f) throw ImageFileError(std::string("no temporary file: ") + std::strerror(errno));
  WriteTo(f.get(), image, format, quality);
  const std::int64_t size = codec::FileSize(f.get());
  std::vector<unsigned char> bytes(static_cast<size_t>(size));
  std::rewind(f.get());
  if (std::fread(bytes.data(), 1, bytes.size(), f.get()) != bytes.size())
    throw ImageFileError(std::string("reading the encoded picture failed: ") +
                         std::strerror(errno));
  return bytes;
}

namespace codec {

void CheckPixelLimit(const ImageInfo& info, std::int64_t maxPixels) {
  if (info.width < 1 || info.height < 1)
    throw Damaged(info.format, "a size of " + std::to_string(info.width) + " x " +
                                   std::to_string(info.height) + " pixels");
  if (info.Pixels() > maxPixels) throw ImageTooLarge(info, maxPixels);
}

cv::Mat ToMode(cv::Mat bgr, ImageMode mode) {
  if (mode != ImageMode::kGrey) return bgr;
  cv::Mat grey = NewPicture(bgr.rows, bgr.cols, CV_8UC1);
  cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
  return grey;
}

cv::Mat NewPicture(int height, int width, int type) {
  cv::Mat m(height, width, type);
  AdviseHugePages(m.data, m.total() * m.elemSize());
  return m;
}

std::vector<unsigned char*> RowPointers(cv::Mat& m) {
  std::vector<unsigned char*> rows(static_cast<size_t>(m.rows));
  for (int y = 0; y < m.rows; ++y) rows[static_cast<size_t>(y)] = m.ptr<unsigned char>(y);
  return rows;
}

std::int64_t FileSize(std::FILE* f) {
  struct stat st {};
  if (::fstat(::fileno(f), &st) != 0) return 0;
  return static_cast<std::int64_t>(st.st_size);
}

ImageFileError Damaged(ImageFormat format, const std::string& detail) {
  return ImageFileError(std::string("damaged ") + FormatName(format) + " data (" + detail + ")");
}

ImageFileError CutShort() { return ImageFileError("the file is cut short"); }

}  // namespace codec

}  // namespace quadrix
