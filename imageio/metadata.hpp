#pragma once
// What a photo file carries besides its pixels (EXIF, XMP, IPTC, the ICC
// colour profile), read from a source and written into a resized output, so
// that camera, date, copyright and colour space survive the resize.
//
// Reading never fails: a file whose metadata cannot be parsed, or a format
// without any (BMP), gives an empty PhotoMetadata, since the pixels are what
// matters. Calls may run on several threads at once.

#include <cstddef>
#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace quadrix {

// The metadata of one source file, as it will be carried: the EXIF without
// its thumbnail, its other images and the source's own TIFF structure tags.
// Cheap to copy (shared and immutable).
class PhotoMetadata {
 public:
  PhotoMetadata();  // empty: nothing to carry

  bool empty() const { return impl_ == nullptr; }
  bool hasExif() const;
  bool hasXmp() const;
  bool hasIptc() const;
  bool hasIccProfile() const;

  // The library's containers; defined, and usable, only where it is used.
  struct Impl;
  explicit PhotoMetadata(std::shared_ptr<const Impl> impl);
  const Impl* impl() const { return impl_.get(); }

 private:
  std::shared_ptr<const Impl> impl_;
};

// The metadata of the image file at `path`.
PhotoMetadata ReadPhotoMetadata(const std::string& path);
// The metadata of a whole image file held in memory (`size` bytes at `data`).
PhotoMetadata ReadPhotoMetadata(const unsigned char* data, size_t size);

// Writes `meta` into the image file at `path`, just written by WriteImageFile
// (image_file.hpp) from `image` (CV_8UC1 or CV_8UC3, upright). The pixels'
// description follows `image`: EXIF and XMP orientation 1, EXIF (and XMP, if
// there) pixel dimensions its size, no EXIF or XMP thumbnail. The ICC profile
// is written only when its colour space (RGB or grey) is that of the file's
// pixels: those of `image`, but always colour in a WebP.
// JPEG, PNG and TIFF take all four parts, WebP all but IPTC; a BMP takes
// nothing. Empty metadata leaves the file untouched. Throws ImageFileError
// with the cause when the file cannot be updated.
void WritePhotoMetadata(const std::string& path, const PhotoMetadata& meta, const cv::Mat& image);
// The same on a whole image file held in memory (for standard output).
void WritePhotoMetadata(std::vector<unsigned char>& file, const PhotoMetadata& meta,
                        const cv::Mat& image);

}  // namespace quadrix
