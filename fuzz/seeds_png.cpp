// PNG seeds through libpng: every colour type and bit depth, palettes with
// and without transparency, a colour key, Adam7 interlacing; and a header
// of 10 000 x 12 000 pixels, whose valid file is 350 KB and would need
// gigabytes, cut short after its first rows.

#include <png.h>
#include <zlib.h>

#include <stdexcept>

#include "fuzz/seeds.hpp"

namespace quadrix::seeds {

namespace {

struct PngLayout {
  int colourType = PNG_COLOR_TYPE_RGB;
  int bitDepth = 8;
  bool interlaced = false;
  bool colourKey = false;  // a tRNS colour (grey and RGB) or palette alphas
};

void Append(png_structp png, png_bytep data, png_size_t n) {
  auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + n);
}

// The samples of one pixel of the layout at (x, y), packed into rows by
// libpng for depths under 8.
void PutPixel(Bytes& row, const PngLayout& l, const cv::Mat& rgba16, int x, int y) {
  const cv::Vec<std::uint16_t, 4> p = rgba16.at<cv::Vec<std::uint16_t, 4>>(y, x);
  const auto put = [&](std::uint16_t v) {
    if (l.bitDepth == 16) {
      row.push_back(static_cast<unsigned char>(v >> 8));
      row.push_back(static_cast<unsigned char>(v));
    } else {
      row.push_back(static_cast<unsigned char>((v >> 8) >> (8 - l.bitDepth)));
    }
  };
  const std::uint16_t grey = static_cast<std::uint16_t>((p[0] + p[1] + p[2]) / 3);
  switch (l.colourType) {
    case PNG_COLOR_TYPE_GRAY:
      put(grey);
      break;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
      put(grey);
      put(p[3]);
      break;
    case PNG_COLOR_TYPE_PALETTE:
      row.push_back(static_cast<unsigned char>((x + 3 * y) % (1 << l.bitDepth)));
      break;
    case PNG_COLOR_TYPE_RGB:
      put(p[2]), put(p[1]), put(p[0]);
      break;
    default:
      put(p[2]), put(p[1]), put(p[0]), put(p[3]);
  }
}

Bytes EncodePng(const PngLayout& l, cv::Size size) {
  const cv::Mat rgba16 = Sample(size, 4, true);
  Bytes out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (png == nullptr || info == nullptr) throw std::runtime_error("libpng cannot start");
  if (setjmp(png_jmpbuf(png))) throw std::runtime_error("libpng failed to write a seed");
  png_set_write_fn(png, &out, Append, nullptr);
  png_set_IHDR(png, info, static_cast<png_uint_32>(size.width),
               static_cast<png_uint_32>(size.height), l.bitDepth, l.colourType,
               l.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  const int entries = l.colourType == PNG_COLOR_TYPE_PALETTE ? 1 << l.bitDepth : 0;
  png_color palette[256];
  png_byte alphas[256];
  for (int k = 0; k < entries; ++k) {
    palette[k] = {static_cast<png_byte>(k * 255 / (entries - 1)), static_cast<png_byte>(k * 37),
                  static_cast<png_byte>(255 - k * 11)};
    alphas[k] = static_cast<png_byte>(255 - k * 255 / entries);
  }
  if (entries > 0) png_set_PLTE(png, info, palette, entries);
  png_color_16 key{};
  key.gray = key.red = key.green = key.blue = 0;
  if (l.colourKey)
    png_set_tRNS(png, info, alphas, entries > 0 ? entries / 2 : 0, entries > 0 ? nullptr : &key);
  png_write_info(png, info);
  if (l.bitDepth < 8) png_set_packing(png);
  std::vector<Bytes> rows(static_cast<size_t>(size.height));
  std::vector<png_bytep> pointers;
  for (int y = 0; y < size.height; ++y) {
    Bytes& row = rows[static_cast<size_t>(y)];
    for (int x = 0; x < size.width; ++x) PutPixel(row, l, rgba16, x, y);
    pointers.push_back(row.data());
  }
  png_write_image(png, pointers.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

// IHDR's size set to `size`, its checksum made anew, and the file cut
// `keep` bytes after the header.
Bytes WithHeaderSize(Bytes png, cv::Size size, size_t keep) {
  Bytes ihdr;
  Put32Be(ihdr, static_cast<std::uint32_t>(size.width));
  Put32Be(ihdr, static_cast<std::uint32_t>(size.height));
  std::copy(ihdr.begin(), ihdr.end(), png.begin() + 16);
  const uLong crc = crc32(0, png.data() + 12, 17);  // type and data
  Bytes sum;
  Put32Be(sum, static_cast<std::uint32_t>(crc));
  std::copy(sum.begin(), sum.end(), png.begin() + 29);
  png.resize(std::min(png.size(), 33 + keep));
  return png;
}

}  // namespace

void MakePngSeeds(Corpus& corpus) {
  const cv::Size size(19, 11);
  const struct {
    const char* name;
    PngLayout layout;
  } variants[] = {
      {"grey1.png", {PNG_COLOR_TYPE_GRAY, 1}},
      {"grey2.png", {PNG_COLOR_TYPE_GRAY, 2}},
      {"grey4_key.png", {PNG_COLOR_TYPE_GRAY, 4, false, true}},
      {"grey8.png", {PNG_COLOR_TYPE_GRAY, 8}},
      {"grey16.png", {PNG_COLOR_TYPE_GRAY, 16}},
      {"grey_alpha8.png", {PNG_COLOR_TYPE_GRAY_ALPHA, 8}},
      {"grey_alpha16.png", {PNG_COLOR_TYPE_GRAY_ALPHA, 16}},
      {"palette1.png", {PNG_COLOR_TYPE_PALETTE, 1}},
      {"palette4_alpha.png", {PNG_COLOR_TYPE_PALETTE, 4, false, true}},
      {"palette8.png", {PNG_COLOR_TYPE_PALETTE, 8}},
      {"palette8_alpha.png", {PNG_COLOR_TYPE_PALETTE, 8, false, true}},
      {"rgb8.png", {PNG_COLOR_TYPE_RGB, 8}},
      {"rgb8_key.png", {PNG_COLOR_TYPE_RGB, 8, false, true}},
      {"rgb16.png", {PNG_COLOR_TYPE_RGB, 16}},
      {"rgb16_key.png", {PNG_COLOR_TYPE_RGB, 16, false, true}},
      {"rgba8.png", {PNG_COLOR_TYPE_RGB_ALPHA, 8}},
      {"rgba16.png", {PNG_COLOR_TYPE_RGB_ALPHA, 16}},
      {"rgb8_interlaced.png", {PNG_COLOR_TYPE_RGB, 8, true}},
      {"rgba16_interlaced.png", {PNG_COLOR_TYPE_RGB_ALPHA, 16, true}},
  };
  for (const auto& v : variants) corpus.Put("read_png", v.name, EncodePng(v.layout, size));
  corpus.Put("read_png", "hostile_10000x12000.png",
             WithHeaderSize(EncodePng({PNG_COLOR_TYPE_GRAY, 8}, size), {10000, 12000}, 64));
}

}  // namespace quadrix::seeds
