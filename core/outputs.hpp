#pragma once
// Files read and written by the command-line tool and the desktop program. Every file is written
// under a temporary name beside its target and renamed into place, so a failure never leaves a
// half-written file behind.

#include <functional>
#include <opencv2/core.hpp>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/errors.hpp"
#include "core/resize_host.hpp"
#include "imageio/image_file.hpp"
#include "imageio/metadata.hpp"

namespace quadrix {

class OutputError : public Error {
 public:
  explicit OutputError(const std::string& message) : Error(ErrorKind::kOutput, message) {}
};

// What a pattern's "{dir}" and "{name}" stand for: the folder of a source
// photo ("." when it has none) and its file name without extension; "."
// and "stdin" for standard input ("-").
struct PhotoFields {
  std::string dir;
  std::string name;
};
PhotoFields FieldsOf(const std::string& srcPath);

// PATTERN with every "{w}" and "{h}" replaced by the size (when it is not
// empty), and "{dir}" and "{name}" by the photo's fields when given. Other
// text stays as it is.
std::string ExpandPattern(const std::string& pattern, cv::Size size,
                          const PhotoFields* photo = nullptr);

// Missing folders on the way to every file below are created first. Each
// is written without a name and named only once complete (or, where the
// file system cannot, under a hidden name that does not end in the
// output's extension), so an interrupted write leaves nothing behind.
// Writes path through fill; throws OutputError naming the file.
void WriteFileAtomically(const std::string& path, const std::function<void(std::ostream&)>& fill);

// An image file, format from the extension (quality as WriteImageFile
// takes it: 0 for the format's default), with the source photo's `meta`
// when given (see WritePhotoMetadata), named once complete.
void WriteImageAtomically(const std::string& path, const cv::Mat& image, int quality = 0,
                          const PhotoMetadata* meta = nullptr);
// What a picture's format cannot hold of it, and what is done instead.
struct FormatFit {
  bool flatten = false;  // transparency: put on a background
  bool shallow = false;  // 16 bits a channel: brought to 8
  // A sentence for each change, naming the format.
  std::vector<std::string> Notices(ImageFormat format, const std::string& backgroundName) const;
  // `picture` (CV_8U or CV_16U, 3 or 4 channels) as the format holds it.
  cv::Mat Apply(cv::Mat picture, cv::Scalar background) const;
};
FormatFit FitFor(ImageFormat format, bool transparent, bool deep);

// The whole file written to the open descriptor `fd` (standard output, as
// a rule), in `format` (kUnknown: PNG). Throws OutputError.
void WriteImageToDescriptor(int fd, const cv::Mat& image, ImageFormat format, int quality = 0,
                            const PhotoMetadata* meta = nullptr);

// The importance map (CV_32FC1) as an 8-bit grey image, grey =
// round(value / 0.004) clamped to 0..255: loading it back as an importance
// file gives the same map within the 8-bit rounding. The format follows the
// extension, as OpenCV writes it.
void WriteImportance(const std::string& path, const cv::Mat& importance32F);

// Mesh of the last solve: header point,kind,row,col,x,y, one line per point.
void WriteMeshCsv(const std::string& path, const ResizeHost& host);

// A directory for the energy dump, created when missing.
class OutputDir {
 public:
  explicit OutputDir(std::string dir);
  std::string Path(const std::string& name) const;
  // Matrix Market coordinate real general, 1-based, every triplet as given.
  void WriteMatrix(const std::string& name, const TripletMatrix& a) const;
  void WriteInts(const std::string& name, const std::vector<int32_t>& v) const;
  // One value per line, 17 significant digits.
  void WriteDoubles(const std::string& name, const std::vector<double>& v) const;

 private:
  std::string dir_;
};

}  // namespace quadrix
