// WebP through libwebp: still pictures, lossy or lossless; written lossless.

#include <webp/decode.h>
#include <webp/encode.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "base/cancel.hpp"
#include "imageio/codecs.hpp"

namespace quadrix::codec {

namespace {

// Enough of the file for the size and the kind of picture.
constexpr size_t kHeaderBytes = 4096;

WebPBitstreamFeatures Features(const std::vector<unsigned char>& head) {
  WebPBitstreamFeatures features;
  const VP8StatusCode status = WebPGetFeatures(head.data(), head.size(), &features);
  // The header is well inside the bytes read, unless the file ends first.
  if (status == VP8_STATUS_NOT_ENOUGH_DATA) throw CutShort();
  if (status != VP8_STATUS_OK)
    throw Damaged(ImageFormat::kWebp, "status " + std::to_string(static_cast<int>(status)));
  return features;
}

std::vector<unsigned char> ReadSome(std::FILE* f, size_t limit) {
  std::vector<unsigned char> data(limit);
  data.resize(std::fread(data.data(), 1, data.size(), f));
  return data;
}

ImageInfo InfoOf(const WebPBitstreamFeatures& features) {
  ImageInfo info;
  info.format = ImageFormat::kWebp;
  info.width = features.width;
  info.height = features.height;
  info.colour = true;
  info.alpha = features.has_alpha != 0;
  return info;
}

struct WebpFree {
  void operator()(std::uint8_t* p) const { WebPFree(p); }
};

struct WebpDecoderDelete {
  void operator()(WebPIDecoder* d) const { WebPIDelete(d); }
};

}  // namespace

ImageInfo WebpInfo(std::FILE* f) {
  const std::vector<unsigned char> head = ReadSome(f, kHeaderBytes);
  return InfoOf(Features(head));
}

cv::Mat WebpRead(std::FILE* f, ImageMode mode, std::int64_t maxPixels, ImageInfo& info) {
  const std::vector<unsigned char> head = ReadSome(f, kHeaderBytes);
  const WebPBitstreamFeatures features = Features(head);
  info = InfoOf(features);
  CheckPixelLimit(info, maxPixels);
  if (features.has_animation) throw ImageFileError("an animated WebP cannot be read");
  // The file can be no larger than a RIFF chunk says; more than a few bytes
  // a pixel would be metadata, not picture.
  const std::int64_t size = FileSize(f);
  if (size > 64 * info.Pixels() + (std::int64_t{1} << 24))
    throw Damaged(ImageFormat::kWebp, "far larger than its picture");
  std::rewind(f);
  const std::vector<unsigned char> data = ReadSome(f, static_cast<size_t>(size));
  if (static_cast<std::int64_t>(data.size()) != size) throw CutShort();
  const bool alpha = WantsAlpha(mode) && info.alpha;
  cv::Mat bgr = NewPicture(info.height, info.width, alpha ? CV_8UC4 : CV_8UC3);
  // Fed a piece at a time, with a cancellation point between pieces.
  const std::unique_ptr<WebPIDecoder, WebpDecoderDelete> decoder(
      WebPINewRGB(alpha ? MODE_BGRA : MODE_BGR, bgr.data, bgr.total() * bgr.elemSize(),
                  static_cast<int>(bgr.step)));
  if (!decoder) throw std::bad_alloc();
  constexpr size_t kPiece = 16 * 1024;
  VP8StatusCode status = VP8_STATUS_SUSPENDED;
  for (size_t at = 0; at < data.size() && status == VP8_STATUS_SUSPENDED; at += kPiece) {
    CancellationPoint();
    status = WebPIAppend(decoder.get(), data.data() + at, std::min(kPiece, data.size() - at));
  }
  if (status == VP8_STATUS_SUSPENDED || status == VP8_STATUS_NOT_ENOUGH_DATA) throw CutShort();
  if (status != VP8_STATUS_OK)
    throw Damaged(ImageFormat::kWebp, "status " + std::to_string(static_cast<int>(status)));
  return ToMode(bgr, mode);
}

void WebpWrite(std::FILE* f, const cv::Mat& image, int quality) {
  cv::Mat bgr = image;
  if (image.channels() == 1) cv::cvtColor(image, bgr, cv::COLOR_GRAY2BGR);
  std::uint8_t* raw = nullptr;
  const int step = static_cast<int>(bgr.step);
  const float q = static_cast<float>(quality);
  size_t size = 0;
  if (bgr.channels() == 4)
    size = quality > 0 ? WebPEncodeBGRA(bgr.data, bgr.cols, bgr.rows, step, q, &raw)
                       : WebPEncodeLosslessBGRA(bgr.data, bgr.cols, bgr.rows, step, &raw);
  else
    size = quality > 0 ? WebPEncodeBGR(bgr.data, bgr.cols, bgr.rows, step, q, &raw)
                       : WebPEncodeLosslessBGR(bgr.data, bgr.cols, bgr.rows, step, &raw);
  const std::unique_ptr<std::uint8_t, WebpFree> out(raw);
  if (size == 0) throw ImageFileError("the WebP encoder failed (a side above 16383 pixels?)");
  if (std::fwrite(out.get(), 1, size, f) != size)
    throw ImageFileError(std::string("write failed: ") + std::strerror(errno));
}

}  // namespace quadrix::codec
