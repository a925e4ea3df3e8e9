// The format is told by the file's first bytes, not its name; the name only
// chooses the format of a file written.

#include "imageio/image_file.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <opencv2/imgproc.hpp>

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
  if (starts({'I', 'I', 42, 0}) || starts({'M', 'M', 0, 42})) return ImageFormat::kTiff;
  if (n >= 12 && std::memcmp(b, "RIFF", 4) == 0 && std::memcmp(b + 8, "WEBP", 4) == 0)
    return ImageFormat::kWebp;
  return ImageFormat::kUnknown;
}

// Opens a file for reading and tells its format; throws with the cause.
FilePtr OpenImage(const std::string& path, ImageFormat& format) {
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
  if (st.st_size == 0) throw ImageFileError("the file is empty");
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

void WriteImageFile(const std::string& path, const cv::Mat& image, int jpegQuality) {
  const ImageFormat format = FormatForName(path);
  if (format == ImageFormat::kUnknown)
    throw ImageFileError(
        "no image format for this extension (use .png, .jpg, .bmp, .tif or .webp)");
  if (image.empty() || image.depth() != CV_8U || (image.channels() != 1 && image.channels() != 3))
    throw ImageFileError("only 8-bit grey or colour pictures can be written");
  FilePtr f(std::fopen(path.c_str(), "wb"));
  if (!f) throw ImageFileError(std::strerror(errno));
  switch (format) {
    case ImageFormat::kJpeg:
      codec::JpegWrite(f.get(), image, std::clamp(jpegQuality, 1, 100));
      break;
    case ImageFormat::kPng:
      codec::PngWrite(f.get(), image);
      break;
    case ImageFormat::kBmp:
      codec::BmpWrite(f.get(), image);
      break;
    case ImageFormat::kTiff:
      codec::TiffWrite(f.get(), image);
      break;
    case ImageFormat::kWebp:
      codec::WebpWrite(f.get(), image);
      break;
    case ImageFormat::kUnknown:
      break;
  }
  if (std::fflush(f.get()) != 0 || std::ferror(f.get()) != 0)
    throw ImageFileError(std::string("write failed: ") + std::strerror(errno));
  std::FILE* raw = f.release();
  if (std::fclose(raw) != 0)
    throw ImageFileError(std::string("write failed: ") + std::strerror(errno));
}

namespace codec {

void CheckPixelLimit(const ImageInfo& info, std::int64_t maxPixels) {
  if (info.width < 1 || info.height < 1)
    throw Damaged(info.format, "a size of " + std::to_string(info.width) + " x " +
                                   std::to_string(info.height) + " pixels");
  if (info.Pixels() > maxPixels) throw ImageTooLarge(info, maxPixels);
}

cv::Mat ToMode(cv::Mat bgr, ImageMode mode) {
  if (mode == ImageMode::kColour) return bgr;
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
