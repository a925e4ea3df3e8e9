// TIFF seeds through libtiff: strips and tiles (whole and partial), 8 and
// 16 bits, interleaved and planar samples, grey, bilevel, palette, RGB with
// straight and premultiplied alpha, CMYK, floating point, JPEG-coded YCbCr,
// every usual compression, both byte orders, BigTIFF and two pages.

#include <tiffio.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

#include "fuzz/seeds.hpp"

namespace quadrix::seeds {

namespace {

struct TiffLayout {
  int samples = 3;  // with the extra ones
  int bits = 8;     // 1, 8, 16 or 32 (floating point)
  int photometric = PHOTOMETRIC_RGB;
  bool planar = false;
  int tile = 0;  // tiles of tile x tile pixels, else strips of 4 rows
  int compression = COMPRESSION_NONE;
  int extra = -1;          // EXTRASAMPLE_* of the last sample, if any
  const char* mode = "w";  // "wb": big-endian, "w8": BigTIFF
  bool predictor = false;  // horizontal differencing
  int pages = 1;
};

// The sample at (x, y) of channel c, as the layout's bits hold it.
void PutSample(Bytes& out, const TiffLayout& l, int x, int y, int c) {
  const int v8 = (x * 255 / 20 + c * 71 + y * 9 + (c == l.samples - 1 ? x * y : 0)) & 255;
  if (l.photometric == PHOTOMETRIC_PALETTE) {
    out.push_back(static_cast<unsigned char>((x + 3 * y) & 255));
  } else if (l.bits == 16) {
    Put16(out, static_cast<unsigned>(v8 * 257 ^ (x * 13)));
  } else if (l.bits == 32) {
    const float f = static_cast<float>(v8) / 255.0f;
    const auto* p = reinterpret_cast<const unsigned char*>(&f);
    out.insert(out.end(), p, p + 4);
  } else {
    out.push_back(static_cast<unsigned char>(v8));
  }
}

// The bytes of a block of pixels [x0, x0 + w) x [y0, y0 + h) of one plane
// (`plane` >= 0) or of all samples, rows back to back; bilevel packed.
Bytes Block(const TiffLayout& l, int x0, int y0, int w, int h, int plane) {
  Bytes out;
  for (int y = y0; y < y0 + h; ++y) {
    if (l.bits == 1) {
      for (int x = x0; x < x0 + w; x += 8) {
        unsigned bits = 0;
        for (int k = 0; k < 8; ++k) bits = bits << 1 | static_cast<unsigned>(((x + k) ^ y) & 1);
        out.push_back(static_cast<unsigned char>(bits));
      }
      continue;
    }
    for (int x = x0; x < x0 + w; ++x)
      for (int c = 0; c < l.samples; ++c)
        if (plane < 0 || c == plane) PutSample(out, l, x, y, c);
  }
  return out;
}

void SetFields(TIFF* t, const TiffLayout& l, cv::Size size) {
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(size.width));
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(size.height));
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, l.bits);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, l.samples);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, l.photometric);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, l.planar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
  if (TIFFSetField(t, TIFFTAG_COMPRESSION, l.compression) != 1)
    throw std::runtime_error("libtiff cannot write compression " + std::to_string(l.compression));
  if (l.compression == COMPRESSION_JPEG) TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
  if (l.predictor) TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
  if (l.bits == 32) TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP);
  if (l.extra >= 0) {
    const std::uint16_t extra[] = {static_cast<std::uint16_t>(l.extra)};
    TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, extra);
  }
  if (l.photometric == PHOTOMETRIC_SEPARATED) TIFFSetField(t, TIFFTAG_INKSET, INKSET_CMYK);
  if (l.photometric == PHOTOMETRIC_PALETTE) {
    std::vector<std::uint16_t> map(3 << l.bits);
    for (size_t k = 0; k < map.size(); ++k) map[k] = static_cast<std::uint16_t>(k * 4099);
    const size_t n = size_t{1} << l.bits;
    TIFFSetField(t, TIFFTAG_COLORMAP, map.data(), map.data() + n, map.data() + 2 * n);
  }
  if (l.tile > 0) {
    TIFFSetField(t, TIFFTAG_TILEWIDTH, l.tile);
    TIFFSetField(t, TIFFTAG_TILELENGTH, l.tile);
  } else {
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, l.compression == COMPRESSION_JPEG ? 8 : 4);
  }
}

void WritePixels(TIFF* t, const TiffLayout& l, cv::Size size) {
  const int planes = l.planar ? l.samples : 1;
  const bool ok = [&] {
    for (int p = 0; p < planes; ++p) {
      const int plane = l.planar ? p : -1;
      const auto s = static_cast<std::uint16_t>(p);
      if (l.tile > 0) {
        for (int y = 0; y < size.height; y += l.tile)
          for (int x = 0; x < size.width; x += l.tile) {
            // Whole tiles, padded past the picture's edge.
            Bytes b = Block(l, x, y, l.tile, l.tile, plane);
            if (TIFFWriteTile(t, b.data(), static_cast<std::uint32_t>(x),
                              static_cast<std::uint32_t>(y), 0, s) < 0)
              return false;
          }
      } else {
        for (int y = 0; y < size.height; ++y) {
          Bytes b = Block(l, 0, y, size.width, 1, plane);
          if (TIFFWriteScanline(t, b.data(), static_cast<std::uint32_t>(y), s) != 1) return false;
        }
      }
    }
    return true;
  }();
  if (!ok) throw std::runtime_error("libtiff failed to write a seed's pixels");
}

Bytes EncodeTiff(const TiffLayout& l, cv::Size size) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::tmpfile(), std::fclose);
  if (!file) throw std::runtime_error("no temporary file for a TIFF seed");
  TIFF* t = TIFFFdOpen(::dup(::fileno(file.get())), "seed", l.mode);
  if (t == nullptr) throw std::runtime_error("libtiff cannot open a seed");
  for (int page = 0; page < l.pages; ++page) {
    SetFields(t, l, size);
    WritePixels(t, l, size);
    if (page + 1 < l.pages && TIFFWriteDirectory(t) != 1)
      throw std::runtime_error("libtiff cannot write a page");
  }
  TIFFClose(t);
  std::FILE* f = file.get();
  std::fseek(f, 0, SEEK_END);
  Bytes out(static_cast<size_t>(std::ftell(f)));
  std::rewind(f);
  if (std::fread(out.data(), 1, out.size(), f) != out.size())
    throw std::runtime_error("a TIFF seed cannot be read back");
  return out;
}

}  // namespace

void MakeTiffSeeds(Corpus& corpus) {
  const cv::Size size(21, 13);
  constexpr int kMinBlack = PHOTOMETRIC_MINISBLACK;
  const struct {
    const char* name;
    TiffLayout layout;
  } variants[] = {
      {"rgb8_strips.tif", {}},
      {"rgb8_lzw_predictor.tif", {.compression = COMPRESSION_LZW, .predictor = true}},
      {"rgb8_big_endian.tif", {.mode = "wb"}},
      {"rgb8_bigtiff.tif", {.compression = COMPRESSION_ADOBE_DEFLATE, .mode = "w8"}},
      {"rgb8_planar.tif", {.planar = true}},
      {"rgb8_tiles.tif", {.tile = 16}},
      {"rgb16_strips.tif", {.bits = 16, .compression = COMPRESSION_ADOBE_DEFLATE}},
      {"rgb16_planar.tif", {.bits = 16, .planar = true}},
      {"rgb16_tiles.tif", {.bits = 16, .tile = 16}},
      {"rgba8_tiles.tif", {.samples = 4, .tile = 16, .extra = EXTRASAMPLE_UNASSALPHA}},
      {"rgba16_tiles.tif", {.samples = 4, .bits = 16, .tile = 16, .extra = EXTRASAMPLE_UNASSALPHA}},
      {"rgba16_planar.tif",
       {.samples = 4, .bits = 16, .planar = true, .extra = EXTRASAMPLE_UNASSALPHA}},
      {"rgba8_premultiplied.tif", {.samples = 4, .extra = EXTRASAMPLE_ASSOCALPHA}},
      {"rgb8_extra_sample.tif", {.samples = 4, .extra = EXTRASAMPLE_UNSPECIFIED}},
      {"grey8_packbits.tif",
       {.samples = 1, .photometric = kMinBlack, .compression = COMPRESSION_PACKBITS}},
      {"grey16_tiles.tif", {.samples = 1, .bits = 16, .photometric = kMinBlack, .tile = 16}},
      {"grey_alpha8.tif",
       {.samples = 2, .photometric = kMinBlack, .extra = EXTRASAMPLE_UNASSALPHA}},
      {"bilevel_white.tif",
       {.samples = 1,
        .bits = 1,
        .photometric = PHOTOMETRIC_MINISWHITE,
        .compression = COMPRESSION_CCITTFAX4}},
      {"palette8.tif", {.samples = 1, .photometric = PHOTOMETRIC_PALETTE}},
      {"cmyk8.tif", {.samples = 4, .photometric = PHOTOMETRIC_SEPARATED}},
      {"float32_grey.tif", {.samples = 1, .bits = 32, .photometric = kMinBlack}},
      {"ycbcr_jpeg.tif",
       {.photometric = PHOTOMETRIC_YCBCR, .tile = 16, .compression = COMPRESSION_JPEG}},
      {"two_pages.tif", {.compression = COMPRESSION_LZW, .pages = 2}},
  };
  for (const auto& v : variants) corpus.Put("read_tiff", v.name, EncodeTiff(v.layout, size));
}

}  // namespace quadrix::seeds
