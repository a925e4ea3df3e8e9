#pragma once
// Image files, read and written through the codecs' own libraries (libjpeg,
// libpng, libtiff, libwebp; BMP by hand) rather than OpenCV's codec layer,
// which would load a hundred libraries the programs never use and decodes
// whatever size a file claims.
//
// Every reader looks at the header first and refuses a picture above the
// pixel limit before it allocates anything for the pixels. A file that ends
// early or is damaged is refused, never filled up with grey.

#include <cstdint>
#include <cstdio>
#include <opencv2/core.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/errors.hpp"

namespace quadrix {

enum class ImageFormat { kUnknown, kJpeg, kPng, kBmp, kTiff, kWebp };

// "PNG", "JPEG", ...
const char* FormatName(ImageFormat format);

struct ImageInfo {
  ImageFormat format = ImageFormat::kUnknown;
  // The size of the picture as read, after the file's own orientation.
  int width = 0;
  int height = 0;
  // The file holds colour (not only grey levels).
  bool colour = false;
  // The file holds transparency: an alpha channel, or a PNG's colour key
  // (from the header alone, a PNG's key is not known yet).
  bool alpha = false;
  // Bits a channel: 16 for 16-bit PNG and TIFF files, else 8.
  int depth = 8;
  std::int64_t Pixels() const { return std::int64_t{width} * height; }
};

// Why a file cannot be read or written. The text is the cause alone ("no
// such file", "the file is cut short", ...); callers name the file.
class ImageFileError : public Error {
 public:
  explicit ImageFileError(const std::string& message) : Error(ErrorKind::kInput, message) {}
};

// A picture above the pixel limit, refused before its pixels were decoded.
class ImageTooLarge : public ImageFileError {
 public:
  ImageTooLarge(const ImageInfo& info, std::int64_t limit);
  const ImageInfo& info() const { return info_; }
  std::int64_t limit() const { return limit_; }

 private:
  ImageInfo info_;
  std::int64_t limit_;
};

// "120 megapixels", "1.5 megapixels", "4000 pixels".
std::string PixelCountText(std::int64_t pixels);

enum class ImageMode {
  kColour,  // CV_8UC3, blue-green-red; grey files give three equal channels
  kGrey,    // CV_8UC1; colour files are converted to grey levels
  // CV_8UC4 blue-green-red-alpha (straight, not premultiplied) when the file
  // holds transparency, else as kColour.
  kColourAlpha,
  // As kColourAlpha, with 16 bits a channel (CV_16UC3 or CV_16UC4) when the
  // file holds them (PNG; TIFF in strips).
  kDeep,
};

// A path of "-" reads standard input in every reader below: it is read
// whole on first use (it must not be a terminal) and kept for the life of
// the process, so that it can be read again.
inline constexpr char kStandardInput[] = "-";
// The path a reader opens for `path` (for "-", standard input's copy).
// Throws ImageFileError when standard input cannot be read.
std::string ReadablePath(const std::string& path);

// Format and size from the header alone. Throws ImageFileError.
ImageInfo ReadImageInfo(const std::string& path);

// The picture, 8 bits per channel (16-bit files keep their high byte; an
// alpha channel is dropped). Throws ImageTooLarge when width x height is
// above maxPixels, ImageFileError for anything else. `info` receives the
// header's facts when given.
cv::Mat ReadImageFile(const std::string& path, ImageMode mode, std::int64_t maxPixels,
                      ImageInfo* info = nullptr);

// A reduced copy for analysis: a JPEG is decoded at the smallest of its DCT
// scales (1/8, 1/4, 1/2, 1) whose longer side is still at least
// `minLongSide`, at a fraction of a full decode's time and memory; other
// formats are decoded whole. The caller resizes the result to the size it
// needs. The pixel limit applies to the file's full size, which `info`
// receives.
cv::Mat ReadImageReduced(const std::string& path, ImageMode mode, std::int64_t maxPixels,
                         int minLongSide, ImageInfo* info = nullptr);

// The format a file name asks for by its extension (case ignored): .png;
// .jpg, .jpeg, .jpe; .bmp, .dib; .tif, .tiff; .webp. kUnknown otherwise.
ImageFormat FormatForName(const std::string& path);
// The same for the extension alone ("png", "jpg", ...).
ImageFormat FormatForWord(const std::string& word);

inline constexpr int kDefaultJpegQuality = 95;

// Whether the format can hold an alpha channel (PNG, TIFF, WebP), and 16
// bits a channel (PNG, TIFF).
bool FormatHoldsAlpha(ImageFormat format);
bool FormatHoldsDeep(ImageFormat format);
// The longest side the format's library writes: JPEG 65500, WebP 16383,
// PNG a million (libpng's default limit); others no limit below INT_MAX.
int MaxSideOf(ImageFormat format);

// Writes `image` (CV_8UC1 grey, CV_8UC3 blue-green-red, or CV_8UC4 with
// straight alpha where FormatHoldsAlpha; 16 bits a channel where
// FormatHoldsDeep) in the format of
// the name's extension: PNG (fast compression), JPEG (`quality` 1 to 100,
// 0 for kDefaultJpegQuality; colour at full resolution from 90 up), BMP,
// TIFF (LZW), WebP (lossy at `quality`, lossless for 0). Throws
// ImageFileError.
void WriteImageFile(const std::string& path, const cv::Mat& image, int quality = 0);
// What WriteImageFile writes, in `format`, to the start of the open stream
// `f` (readable and writable from its start; the caller closes it).
void WriteImageStream(std::FILE* f, const cv::Mat& image, ImageFormat format, int quality = 0);
// The whole file WriteImageFile would write in `format`, in memory.
std::vector<unsigned char> EncodeImage(const cv::Mat& image, ImageFormat format, int quality = 0);

}  // namespace quadrix
