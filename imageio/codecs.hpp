#pragma once
// What the codec sources share: one reader and one writer per format, on an
// open file. Readers start at the beginning of the file, read the header,
// check the pixel limit (CheckPixelLimit) and only then the pixels.

#include <cstdio>
#include <string>
#include <vector>

#include "imageio/image_file.hpp"

namespace quadrix::codec {

// Throws ImageTooLarge when the picture of `info` is above the limit.
void CheckPixelLimit(const ImageInfo& info, std::int64_t maxPixels);

// The mode keeps an alpha channel when the file has one.
inline bool WantsAlpha(ImageMode mode) {
  return mode == ImageMode::kColourAlpha || mode == ImageMode::kDeep;
}

// A colour picture as the mode asks for it (grey: the usual weighted sum).
cv::Mat ToMode(cv::Mat bgr, ImageMode mode);

// A picture of the given size and type, its memory offered for huge pages
// before the first touch.
cv::Mat NewPicture(int height, int width, int type);

// One pointer to the start of each row, for the codecs' row interfaces.
std::vector<unsigned char*> RowPointers(cv::Mat& m);

// Size of the open file in bytes.
std::int64_t FileSize(std::FILE* f);

// A format-specific read failure: "damaged <FORMAT> data (<detail>)".
ImageFileError Damaged(ImageFormat format, const std::string& detail);
// The file ended before the picture did.
ImageFileError CutShort();

// Header only (the file position is left anywhere).
// Progressive scans a JPEG may have: a photo has about ten, encoders that
// favour size a few dozen.
inline constexpr int kMaxJpegScans = 500;

ImageInfo JpegInfo(std::FILE* f);
ImageInfo PngInfo(std::FILE* f);
ImageInfo BmpInfo(std::FILE* f);
ImageInfo TiffInfo(std::FILE* f);
ImageInfo WebpInfo(std::FILE* f);

// minLongSide > 0: decoded at the smallest DCT scale (1/8 to 1) whose longer
// side is still at least that; `info` keeps the file's full size.
cv::Mat JpegRead(std::FILE* f, ImageMode mode, std::int64_t maxPixels, ImageInfo& info,
                 int minLongSide = 0);
cv::Mat PngRead(std::FILE* f, ImageMode mode, std::int64_t maxPixels, ImageInfo& info);
cv::Mat BmpRead(std::FILE* f, ImageMode mode, std::int64_t maxPixels, ImageInfo& info);
cv::Mat TiffRead(std::FILE* f, ImageMode mode, std::int64_t maxPixels, ImageInfo& info);
cv::Mat WebpRead(std::FILE* f, ImageMode mode, std::int64_t maxPixels, ImageInfo& info);

// From this JPEG quality up, colour is not subsampled (4:4:4).
constexpr int kFullChromaQuality = 90;

// `image` is CV_8UC1 or CV_8UC3 (blue-green-red) and continuous or not.
// quality: 1 to 100; for WebP 0 means lossless.
void JpegWrite(std::FILE* f, const cv::Mat& image, int quality);
void PngWrite(std::FILE* f, const cv::Mat& image);
void BmpWrite(std::FILE* f, const cv::Mat& image);
void TiffWrite(std::FILE* f, const cv::Mat& image);
void WebpWrite(std::FILE* f, const cv::Mat& image, int quality);

}  // namespace quadrix::codec
