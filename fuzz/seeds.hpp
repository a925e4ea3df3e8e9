#pragma once
// The seed corpora of the fuzz targets, made by `make_seeds DIR`: a few
// tiny files of every variant each reader knows, written by the codecs'
// own libraries (or by hand for BMP), and the hostile files the readers
// must refuse at once. One folder per target under DIR.

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace quadrix::seeds {

using Bytes = std::vector<unsigned char>;

// Where the seeds go.
class Corpus {
 public:
  explicit Corpus(std::string root) : root_(std::move(root)) {}
  // Writes DIR/target/name; throws std::runtime_error when it cannot.
  void Put(const std::string& target, const std::string& name, const Bytes& bytes);
  int count() const { return count_; }

 private:
  std::string root_;
  int count_ = 0;
};

// A small picture with something in every channel: gradients, a disc and
// (four channels) an alpha that falls off towards one side. `channels` 1
// (grey), 3 (blue-green-red) or 4 (and alpha); CV_8U, or CV_16U with
// `deep`, whose low bytes differ from the high ones.
cv::Mat Sample(cv::Size size, int channels, bool deep = false);

// A picture's channels as a codec's rows want them: red-green-blue(-alpha)
// interleaved, 8 or 16 bits (native order), rows back to back.
Bytes Interleaved(const cv::Mat& bgr);

// Little- and big-endian fields, appended.
void Put16(Bytes& b, unsigned v);
void Put32(Bytes& b, std::uint32_t v);
void Put16Be(Bytes& b, unsigned v);
void Put32Be(Bytes& b, std::uint32_t v);

// A minimal ICC profile (header and an empty tag table) of colour space
// "RGB " or "GRAY".
Bytes IccProfile(const char* colourSpace);

// An APP1 Exif block ("Exif\0\0" and a little-endian TIFF structure) with
// the one tag Orientation.
Bytes ExifOrientationBlock(int orientation);

// The JPEG encoder with the few knobs the variants need.
struct JpegOptions {
  int quality = 80;
  bool progressive = false;
  bool arithmetic = false;
  bool fullChroma = false;  // 4:4:4 rather than 4:2:0
  int restartRows = 0;      // a restart marker every N rows of blocks
  std::vector<Bytes> app1;  // APP1 markers, each without its marker and length
};
// `image` CV_8UC1 (grey), CV_8UC3 (blue-green-red) or CV_8UC4 (taken as
// CMYK, written with Adobe's marker).
Bytes EncodeJpeg(const cv::Mat& image, const JpegOptions& options);

void MakeJpegSeeds(Corpus& corpus);
void MakePngSeeds(Corpus& corpus);
void MakeBmpSeeds(Corpus& corpus);
void MakeTiffSeeds(Corpus& corpus);
void MakeWebpSeeds(Corpus& corpus);
void MakeMetadataSeeds(Corpus& corpus);

}  // namespace quadrix::seeds
