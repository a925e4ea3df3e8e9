// WebP seeds through libwebp: lossy and lossless, with and without alpha,
// and an animation; and a lossless header of 16 384 x 16 384 pixels.

#include <webp/encode.h>
#include <webp/mux.h>

#include <stdexcept>

#include "fuzz/seeds.hpp"

namespace quadrix::seeds {

namespace {

Bytes Encode(const cv::Mat& bgr, bool lossless) {
  const Bytes rgb = Interleaved(bgr);
  const int n = bgr.channels();
  std::uint8_t* out = nullptr;
  size_t size = 0;
  if (lossless)
    size = n == 4 ? WebPEncodeLosslessRGBA(rgb.data(), bgr.cols, bgr.rows, bgr.cols * n, &out)
                  : WebPEncodeLosslessRGB(rgb.data(), bgr.cols, bgr.rows, bgr.cols * n, &out);
  else
    size = n == 4 ? WebPEncodeRGBA(rgb.data(), bgr.cols, bgr.rows, bgr.cols * n, 70.0f, &out)
                  : WebPEncodeRGB(rgb.data(), bgr.cols, bgr.rows, bgr.cols * n, 70.0f, &out);
  if (size == 0) throw std::runtime_error("libwebp failed to write a seed");
  Bytes bytes(out, out + size);
  WebPFree(out);
  return bytes;
}

// Three frames of a small animation.
Bytes Animation(cv::Size size) {
  WebPAnimEncoderOptions options;
  WebPConfig config;
  if (!WebPAnimEncoderOptionsInit(&options) || !WebPConfigInit(&config))
    throw std::runtime_error("libwebp's animation encoder is of another version");
  std::unique_ptr<WebPAnimEncoder, void (*)(WebPAnimEncoder*)> enc(
      WebPAnimEncoderNew(size.width, size.height, &options), WebPAnimEncoderDelete);
  for (int frame = 0; frame <= 3; ++frame) {
    WebPPicture picture;
    WebPPictureInit(&picture);
    picture.use_argb = 1;
    picture.width = size.width;
    picture.height = size.height;
    WebPPictureAlloc(&picture);
    cv::Mat bgra = Sample(size, 4);
    for (int y = 0; y < size.height; ++y)
      for (int x = 0; x < size.width; ++x) {
        const cv::Vec4b p = bgra.at<cv::Vec4b>(y, (x + 3 * frame) % size.width);
        picture.argb[y * picture.argb_stride + x] =
            std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
      }
    const bool ok = WebPAnimEncoderAdd(enc.get(), frame < 3 ? &picture : nullptr, frame * 100,
                                       frame < 3 ? &config : nullptr);
    WebPPictureFree(&picture);
    if (!ok) throw std::runtime_error("libwebp failed to add a frame");
  }
  WebPData data;
  WebPDataInit(&data);
  if (!WebPAnimEncoderAssemble(enc.get(), &data))
    throw std::runtime_error("libwebp failed to assemble an animation");
  Bytes out(data.bytes, data.bytes + data.size);
  WebPDataClear(&data);
  return out;
}

// A lossless file's header (the 14-bit width and height less one, after the
// signature byte) set to its largest size.
Bytes WithLargestSize(Bytes webp) {
  if (webp.size() < 25 || std::string(webp.begin() + 12, webp.begin() + 16) != "VP8L")
    throw std::runtime_error("not a simple lossless WebP");
  std::uint32_t bits = webp[21] | webp[22] << 8 | webp[23] << 16 | std::uint32_t{webp[24]} << 24;
  bits |= 0x0FFFFFFFu;  // both sides 16 384
  for (int k = 0; k < 4; ++k)
    webp[21 + static_cast<size_t>(k)] = static_cast<unsigned char>(bits >> (8 * k));
  return webp;
}

}  // namespace

void MakeWebpSeeds(Corpus& corpus) {
  const cv::Size size(19, 14);
  corpus.Put("read_webp", "lossy.webp", Encode(Sample(size, 3), false));
  corpus.Put("read_webp", "lossy_alpha.webp", Encode(Sample(size, 4), false));
  corpus.Put("read_webp", "lossless.webp", Encode(Sample(size, 3), true));
  corpus.Put("read_webp", "lossless_alpha.webp", Encode(Sample(size, 4), true));
  corpus.Put("read_webp", "animation.webp", Animation(size));
  corpus.Put("read_webp", "hostile_16384x16384.webp",
             WithLargestSize(Encode(Sample(size, 3), true)));
}

}  // namespace quadrix::seeds
