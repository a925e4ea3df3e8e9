// BMP seeds, written by hand as no library here writes every kind: 1, 4
// and 8 bits with palettes, RLE8 and RLE4 (runs, literals, deltas, line and
// picture ends), 16 and 32 bits with and without masks, 24 bits bottom-up
// and top-down, the OS/2 core header and the version 5 one. And the two
// hostile files of a few hundred bytes each: an RLE8 picture of 10 000 x
// 12 000 and an RLE4 one of 1 536 x 65 539, which would decode to gigabytes.

#include "fuzz/seeds.hpp"

namespace quadrix::seeds {

namespace {

constexpr unsigned kRgb = 0, kRle8 = 1, kRle4 = 2, kBitfields = 3, kAlphaBitfields = 6;

struct BmpLayout {
  int width = 0;
  int height = 0;  // negative: top-down
  int bpp = 24;
  unsigned compression = kRgb;
  unsigned headerSize = 40;          // 12 (core), 40, 108 or 124
  std::vector<std::uint32_t> masks;  // red, green, blue(, alpha): after a 40-byte header
  int paletteSize = 0;
};

// The file headers, the palette and `pixels`.
Bytes Bmp(const BmpLayout& l, const Bytes& pixels) {
  const bool core = l.headerSize == 12;
  const size_t paletteBytes = static_cast<size_t>(l.paletteSize) * (core ? 3 : 4);
  const size_t maskBytes = l.headerSize == 40 ? l.masks.size() * 4 : 0;
  const std::uint32_t offset =
      static_cast<std::uint32_t>(14 + l.headerSize + maskBytes + paletteBytes);
  Bytes b = {'B', 'M'};
  Put32(b, static_cast<std::uint32_t>(offset + pixels.size()));
  Put32(b, 0);
  Put32(b, offset);
  Put32(b, l.headerSize);
  if (core) {
    Put16(b, static_cast<unsigned>(l.width));
    Put16(b, static_cast<unsigned>(l.height));
    Put16(b, 1);
    Put16(b, static_cast<unsigned>(l.bpp));
  } else {
    Put32(b, static_cast<std::uint32_t>(l.width));
    Put32(b, static_cast<std::uint32_t>(l.height));
    Put16(b, 1);
    Put16(b, static_cast<unsigned>(l.bpp));
    Put32(b, l.compression);
    Put32(b, static_cast<std::uint32_t>(pixels.size()));
    Put32(b, 2835);  // 72 dots per inch
    Put32(b, 2835);
    Put32(b, static_cast<std::uint32_t>(l.paletteSize));
    Put32(b, 0);
    if (l.headerSize > 40) {
      for (size_t k = 0; k < 4; ++k) Put32(b, k < l.masks.size() ? l.masks[k] : 0);
      b.insert(b.end(), {'B', 'G', 'R', 's'});
      b.resize(14 + l.headerSize, 0);
    } else {
      for (std::uint32_t m : l.masks) Put32(b, m);
    }
  }
  for (int k = 0; k < l.paletteSize; ++k) {
    b.push_back(static_cast<unsigned char>(k * 255 / std::max(1, l.paletteSize - 1)));
    b.push_back(static_cast<unsigned char>(k * 53));
    b.push_back(static_cast<unsigned char>(255 - k * 29));
    if (!core) b.push_back(0);
  }
  b.insert(b.end(), pixels.begin(), pixels.end());
  return b;
}

// Uncompressed rows, bottom row first unless top-down, each padded to four
// bytes: palette indices in a pattern (bpp <= 8), else the sample's pixels.
Bytes Rows(const BmpLayout& l) {
  const int w = l.width, h = std::abs(l.height);
  const cv::Mat bgra = Sample({w, h}, 4);
  Bytes out;
  for (int r = 0; r < h; ++r) {
    const int y = l.height < 0 ? r : h - 1 - r;
    Bytes row;
    unsigned bits = 0, filled = 0;
    for (int x = 0; x < w; ++x) {
      const cv::Vec4b p = bgra.at<cv::Vec4b>(y, x);
      if (l.bpp <= 8) {
        bits = bits << l.bpp | static_cast<unsigned>((x + 2 * y) % (1 << l.bpp));
        if ((filled += static_cast<unsigned>(l.bpp)) == 8) {
          row.push_back(static_cast<unsigned char>(bits));
          bits = filled = 0;
        }
      } else if (l.bpp == 16) {
        Put16(row, (p[2] >> 3) << 10 | (p[1] >> 3) << 5 | p[0] >> 3);  // 5-5-5
      } else {
        row.insert(row.end(), {p[0], p[1], p[2]});
        if (l.bpp == 32) row.push_back(p[3]);
      }
    }
    if (filled > 0) row.push_back(static_cast<unsigned char>(bits << (8 - filled)));
    row.resize((row.size() + 3) / 4 * 4, 0);
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

// RLE8 or RLE4 data for a picture of `width` x `height`, made of every kind
// of code the format has.
Bytes RleCodes(int width, int height, bool rle4) {
  Bytes out;
  for (int y = 0; y < height; ++y) {
    if (y == 2) {  // a delta: two right, one up; the skipped pixels stay
      out.insert(out.end(), {0, 2, 2, 1});
      ++y;
      out.insert(out.end(), {static_cast<unsigned char>(width - 2),
                             static_cast<unsigned char>(rle4 ? 0x12 : 3)});
    } else if (y % 2 == 0) {  // one run over the row
      out.insert(out.end(), {static_cast<unsigned char>(width),
                             static_cast<unsigned char>(rle4 ? 0x5A : y % 16)});
    } else {  // a literal of five pixels, padded to a word, then a run
      out.insert(out.end(), {0, 5});
      if (rle4)
        out.insert(out.end(), {0x12, 0x34, 0x50, 0});
      else
        out.insert(out.end(), {1, 2, 3, 4, 5, 0});
      out.insert(out.end(), {static_cast<unsigned char>(width - 5), 7});
    }
    out.insert(out.end(), {0, 0});  // end of line
  }
  out.insert(out.end(), {0, 1});  // end of picture
  return out;
}

// A picture far larger than its file: a run, a delta down most of the
// picture, and the end.
Bytes RleBomb(bool rle4, int deltas) {
  Bytes out = {255, static_cast<unsigned char>(rle4 ? 0x21 : 1)};
  for (int k = 0; k < deltas; ++k) out.insert(out.end(), {0, 2, 0, 255});
  out.insert(out.end(), {0, 0, 0, 1});
  return out;
}

}  // namespace

void MakeBmpSeeds(Corpus& corpus) {
  const int w = 13, h = 7;
  const auto put = [&](const std::string& name, const BmpLayout& l) {
    corpus.Put("read_bmp", name, Bmp(l, Rows(l)));
  };
  put("rgb24.bmp", {.width = w, .height = h});
  put("rgb24_top_down.bmp", {.width = w, .height = -h});
  put("palette1.bmp", {.width = w, .height = h, .bpp = 1, .paletteSize = 2});
  put("palette4.bmp", {.width = w, .height = h, .bpp = 4, .paletteSize = 16});
  put("palette8.bmp", {.width = w, .height = h, .bpp = 8, .paletteSize = 256});
  put("palette8_short.bmp", {.width = w, .height = h, .bpp = 8, .paletteSize = 40});
  put("rgb16.bmp", {.width = w, .height = h, .bpp = 16});
  put("rgb32.bmp", {.width = w, .height = h, .bpp = 32});
  put("rgb16_565.bmp", {.width = w,
                        .height = h,
                        .bpp = 16,
                        .compression = kBitfields,
                        .masks = {0xF800, 0x07E0, 0x001F}});
  put("rgb32_masks.bmp", {.width = w,
                          .height = h,
                          .bpp = 32,
                          .compression = kBitfields,
                          .masks = {0xFF0000, 0xFF00, 0xFF}});
  put("rgba32_v5.bmp", {.width = w,
                        .height = h,
                        .bpp = 32,
                        .compression = kAlphaBitfields,
                        .headerSize = 124,
                        .masks = {0xFF0000, 0xFF00, 0xFF, 0xFF000000}});
  put("rgba32_v5_masks.bmp", {.width = w,
                              .height = h,
                              .bpp = 32,
                              .compression = kBitfields,
                              .headerSize = 124,
                              .masks = {0xFF0000, 0xFF00, 0xFF, 0xFF000000}});
  put("rgb24_v4.bmp", {.width = w, .height = h, .headerSize = 108});
  put("core24.bmp", {.width = w, .height = h, .headerSize = 12});
  put("core8.bmp", {.width = w, .height = h, .bpp = 8, .headerSize = 12, .paletteSize = 256});
  corpus.Put("read_bmp", "rle8.bmp",
             Bmp({.width = 16, .height = h, .bpp = 8, .compression = kRle8, .paletteSize = 256},
                 RleCodes(16, h, false)));
  corpus.Put("read_bmp", "rle4.bmp",
             Bmp({.width = 16, .height = h, .bpp = 4, .compression = kRle4, .paletteSize = 16},
                 RleCodes(16, h, true)));
  corpus.Put(
      "read_bmp", "hostile_rle8_10000x12000.bmp",
      Bmp({.width = 10000, .height = 12000, .bpp = 8, .compression = kRle8, .paletteSize = 256},
          RleBomb(false, 100)));
  corpus.Put(
      "read_bmp", "hostile_rle4_1536x65539.bmp",
      Bmp({.width = 1536, .height = 65539, .bpp = 4, .compression = kRle4, .paletteSize = 16},
          RleBomb(true, 50)));
}

}  // namespace quadrix::seeds
