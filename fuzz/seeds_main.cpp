// make_seeds DIR: the seed corpora of every fuzz target (seeds.hpp).

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "fuzz/seeds.hpp"
#include "imageio/image_file.hpp"

namespace quadrix::seeds {

namespace {

// Our own writers' files, in every format and the channels it holds.
void MakeWrittenSeeds(Corpus& corpus) {
  const struct {
    ImageFormat format;
    const char* target;
    const char* ext;
  } formats[] = {{ImageFormat::kJpeg, "read_jpeg", "jpg"},
                 {ImageFormat::kPng, "read_png", "png"},
                 {ImageFormat::kBmp, "read_bmp", "bmp"},
                 {ImageFormat::kTiff, "read_tiff", "tif"},
                 {ImageFormat::kWebp, "read_webp", "webp"}};
  for (const auto& f : formats) {
    const std::string base = "written_";
    corpus.Put(f.target, base + "grey." + f.ext, EncodeImage(Sample({21, 13}, 1), f.format));
    corpus.Put(f.target, base + "colour." + f.ext, EncodeImage(Sample({21, 13}, 3), f.format));
    if (FormatHoldsAlpha(f.format))
      corpus.Put(f.target, base + "alpha." + f.ext, EncodeImage(Sample({21, 13}, 4), f.format));
    if (FormatHoldsDeep(f.format))
      corpus.Put(f.target, base + "deep." + f.ext,
                 EncodeImage(Sample({21, 13}, 3, true), f.format));
  }
  corpus.Put("read_webp", "written_lossy.webp",
             EncodeImage(Sample({21, 13}, 3), ImageFormat::kWebp, 70));
  corpus.Put("read_jpeg", "written_q50.jpg",
             EncodeImage(Sample({21, 13}, 3), ImageFormat::kJpeg, 50));
}

// Maps for the importance target's source of 64 x 48 pixels in quads of
// 16 (importance_fuzzer.cpp): fitting ones in every format, one at the
// working copy's size, ones that round to the same quads or to others.
void MakeImportanceSeeds(Corpus& corpus) {
  const cv::Mat grey = Sample({64, 48}, 1);
  corpus.Put("importance", "fits.png", EncodeImage(grey, ImageFormat::kPng));
  corpus.Put("importance", "fits.jpg", EncodeImage(grey, ImageFormat::kJpeg));
  corpus.Put("importance", "fits.bmp", EncodeImage(grey, ImageFormat::kBmp));
  corpus.Put("importance", "fits.tif", EncodeImage(grey, ImageFormat::kTiff));
  corpus.Put("importance", "fits.webp", EncodeImage(grey, ImageFormat::kWebp));
  corpus.Put("importance", "colour.png", EncodeImage(Sample({64, 48}, 3), ImageFormat::kPng));
  corpus.Put("importance", "alpha.png", EncodeImage(Sample({64, 48}, 4), ImageFormat::kPng));
  corpus.Put("importance", "deep.png", EncodeImage(Sample({64, 48}, 1, true), ImageFormat::kPng));
  corpus.Put("importance", "rounds_to_fit.png",
             EncodeImage(Sample({60, 50}, 1), ImageFormat::kPng));
  corpus.Put("importance", "working_size.png", EncodeImage(Sample({32, 24}, 1), ImageFormat::kPng));
  corpus.Put("importance", "other_size.png", EncodeImage(Sample({48, 64}, 1), ImageFormat::kPng));
  corpus.Put("importance", "one_pixel.png", EncodeImage(Sample({1, 1}, 1), ImageFormat::kPng));
}

}  // namespace

void Corpus::Put(const std::string& target, const std::string& name, const Bytes& bytes) {
  const std::filesystem::path dir = std::filesystem::path(root_) / target;
  std::filesystem::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + (dir / name).string());
  ++count_;
}

cv::Mat Sample(cv::Size size, int channels, bool deep) {
  cv::Mat out(size, CV_MAKETYPE(deep ? CV_16U : CV_8U, channels));
  const double cx = size.width * 0.6, cy = size.height * 0.4;
  const double r2 = 0.1 * (size.width * size.width + size.height * size.height);
  for (int y = 0; y < size.height; ++y)
    for (int x = 0; x < size.width; ++x) {
      const bool disc = (x - cx) * (x - cx) + (y - cy) * (y - cy) < r2;
      const int v[4] = {x * 255 / std::max(1, size.width - 1),
                        y * 255 / std::max(1, size.height - 1), disc ? 230 : 40 + (x * y) % 60,
                        255 - x * 200 / std::max(1, size.width - 1)};
      for (int c = 0; c < channels; ++c) {
        const int v8 = channels == 1 ? (v[0] + v[1] + v[2]) / 3 : v[c];
        if (deep)
          out.ptr<std::uint16_t>(y)[x * channels + c] =
              static_cast<std::uint16_t>(v8 * 256 + ((x * 7 + y * 13 + c * 5) & 255));
        else
          out.ptr<std::uint8_t>(y)[x * channels + c] = static_cast<std::uint8_t>(v8);
      }
    }
  return out;
}

Bytes Interleaved(const cv::Mat& bgr) {
  const int n = bgr.channels();
  const size_t sample = bgr.elemSize1();
  Bytes out;
  out.reserve(bgr.total() * bgr.elemSize());
  for (int y = 0; y < bgr.rows; ++y)
    for (int x = 0; x < bgr.cols; ++x)
      for (int c = 0; c < n; ++c) {
        // Blue and red change places; grey and alpha stay.
        const int from = n >= 3 && c < 3 ? 2 - c : c;
        const auto* p = bgr.ptr<unsigned char>(y) + (static_cast<size_t>(x * n + from)) * sample;
        out.insert(out.end(), p, p + sample);
      }
  return out;
}

void Put16(Bytes& b, unsigned v) {
  b.push_back(static_cast<unsigned char>(v));
  b.push_back(static_cast<unsigned char>(v >> 8));
}
void Put32(Bytes& b, std::uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}
void Put16Be(Bytes& b, unsigned v) {
  b.push_back(static_cast<unsigned char>(v >> 8));
  b.push_back(static_cast<unsigned char>(v));
}
void Put32Be(Bytes& b, std::uint32_t v) {
  Put16Be(b, v >> 16);
  Put16Be(b, v & 0xFFFF);
}

Bytes IccProfile(const char* colourSpace) {
  Bytes icc;
  Put32Be(icc, 132);         // size
  Put32Be(icc, 0);           // preferred CMM
  Put32Be(icc, 0x04300000);  // version 4.3
  icc.insert(icc.end(), {'m', 'n', 't', 'r'});
  icc.insert(icc.end(), colourSpace, colourSpace + 4);
  icc.insert(icc.end(), {'X', 'Y', 'Z', ' '});
  for (unsigned v : {2024u, 1u, 1u, 0u, 0u, 0u}) Put16Be(icc, v);  // date
  icc.insert(icc.end(), {'a', 'c', 's', 'p'});
  icc.resize(68, 0);
  // The D50 illuminant, then nothing up to the tag table.
  for (std::uint32_t v : {0x0000F6D6u, 0x00010000u, 0x0000D32Du}) Put32Be(icc, v);
  icc.resize(128, 0);
  Put32Be(icc, 0);  // no tags
  return icc;
}

Bytes ExifOrientationBlock(int orientation) {
  Bytes b = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0};
  Put32(b, 8);  // the first IFD
  Put16(b, 1);  // one entry
  Put16(b, 0x0112);
  Put16(b, 3);  // SHORT
  Put32(b, 1);
  Put16(b, static_cast<unsigned>(orientation));
  Put16(b, 0);
  Put32(b, 0);  // no next IFD
  return b;
}

}  // namespace quadrix::seeds

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds DIR\n");
    return 2;
  }
  using namespace quadrix::seeds;
  try {
    Corpus corpus(argv[1]);
    MakeJpegSeeds(corpus);
    MakePngSeeds(corpus);
    MakeBmpSeeds(corpus);
    MakeTiffSeeds(corpus);
    MakeWebpSeeds(corpus);
    MakeWrittenSeeds(corpus);
    MakeMetadataSeeds(corpus);
    MakeImportanceSeeds(corpus);
    std::printf("make_seeds: %d files in %s\n", corpus.count(), argv[1]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_seeds: %s\n", e.what());
    return 1;
  }
  return 0;
}
