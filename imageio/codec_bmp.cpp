// Windows bitmaps, by hand: the core and info headers up to version 5, 1, 4
// and 8 bits with a palette (RLE8 and RLE4 included), 16 and 32 bits with
// or without channel masks, 24 bits. Written as 24-bit colour or as 8-bit
// grey with a grey palette.

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "base/cancel.hpp"
#include "imageio/codecs.hpp"

namespace quadrix::codec {

namespace {

constexpr unsigned kRgb = 0, kRle8 = 1, kRle4 = 2, kBitfields = 3, kAlphaBitfields = 6;

unsigned U16(const unsigned char* p) { return p[0] | (p[1] << 8); }
std::uint32_t U32(const unsigned char* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}

ImageFileError Bad(const std::string& detail) { return Damaged(ImageFormat::kBmp, detail); }

void ReadExactly(std::FILE* f, unsigned char* into, size_t n) {
  if (std::fread(into, 1, n, f) != n) throw CutShort();
}

// One channel of a masked pixel value, brought to 8 bits by shifting.
struct Channel {
  std::uint32_t mask = 0;
  int shift = 0;
  int bits = 0;
  explicit Channel(std::uint32_t m = 0) : mask(m) {
    if (m == 0) return;
    while (((m >> shift) & 1u) == 0) ++shift;
    while (shift + bits < 32 && ((m >> (shift + bits)) & 1u) != 0) ++bits;
  }
  // Short channels repeat their top bits, so that full scale is 255.
  unsigned char Of(std::uint32_t v) const {
    if (bits == 0) return 0;
    const std::uint32_t c = (v & mask) >> shift;
    if (bits >= 8) return static_cast<unsigned char>(c >> (bits - 8));
    std::uint32_t out = 0;
    int filled = 0;
    for (; filled < 8; filled += bits) out = (out << bits) | c;
    return static_cast<unsigned char>(out >> (filled - 8));
  }
};

struct Header {
  ImageInfo info;
  std::int64_t dataOffset = 0;
  bool topDown = false;
  int bpp = 0;
  unsigned compression = kRgb;
  std::array<Channel, 3> masks;  // blue, green, red
  Channel alpha;                 // bit fields with an alpha mask; none (0) otherwise
  std::vector<std::array<unsigned char, 3>> palette;  // blue, green, red
};

Header ReadHeader(std::FILE* f) {
  Header h;
  h.info.format = ImageFormat::kBmp;
  unsigned char fileHeader[14];
  ReadExactly(f, fileHeader, sizeof fileHeader);
  if (fileHeader[0] != 'B' || fileHeader[1] != 'M') throw Bad("no BM signature");
  h.dataOffset = U32(fileHeader + 10);

  unsigned char ih[124] = {};
  ReadExactly(f, ih, 4);
  const std::uint32_t size = U32(ih);
  const bool core = size == 12;
  if (!core && (size < 16 || size > 4096))
    throw Bad("header of " + std::to_string(size) + " bytes");
  const size_t kept = std::min<size_t>(size, sizeof ih);
  ReadExactly(f, ih + 4, kept - 4);
  if (size > kept && std::fseek(f, static_cast<long>(size - kept), SEEK_CUR) != 0) throw CutShort();

  std::int64_t width = 0, height = 0;
  std::uint32_t colours = 0;
  if (core) {
    width = U16(ih + 4);
    height = U16(ih + 6);
    h.bpp = static_cast<int>(U16(ih + 10));
  } else {
    width = static_cast<std::int32_t>(U32(ih + 4));
    height = static_cast<std::int32_t>(U32(ih + 8));
    h.bpp = static_cast<int>(U16(ih + 14));
    if (size >= 20) h.compression = U32(ih + 16);
    if (size >= 36) colours = U32(ih + 32);
  }
  if (height < 0) {
    h.topDown = true;
    height = -height;
  }
  if (width <= 0 || height <= 0 || width > 0x7FFFFFFF || height > 0x7FFFFFFF)
    throw Bad("a size of " + std::to_string(width) + " x " + std::to_string(height) + " pixels");
  h.info.width = static_cast<int>(width);
  h.info.height = static_cast<int>(height);

  const int bpp = h.bpp;
  const unsigned c = h.compression;
  const bool known =
      (c == kRgb && (bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32)) ||
      (c == kRle8 && bpp == 8) || (c == kRle4 && bpp == 4) ||
      ((c == kBitfields || c == kAlphaBitfields) && (bpp == 16 || bpp == 32));
  if (!known)
    throw ImageFileError("a BMP of " + std::to_string(bpp) + " bits per pixel with compression " +
                         std::to_string(c) + " cannot be read");

  if (c == kBitfields || c == kAlphaBitfields) {
    std::array<std::uint32_t, 3> m{};
    std::uint32_t alpha = 0;
    if (size >= 52) {
      m = {U32(ih + 48), U32(ih + 44), U32(ih + 40)};
      if (size >= 56) alpha = U32(ih + 52);
    } else {
      unsigned char extra[16];
      ReadExactly(f, extra, c == kAlphaBitfields ? 16 : 12);
      m = {U32(extra + 8), U32(extra + 4), U32(extra)};
      if (c == kAlphaBitfields) alpha = U32(extra + 12);
    }
    for (int k = 0; k < 3; ++k)
      h.masks[static_cast<size_t>(k)] = Channel(m[static_cast<size_t>(k)]);
    // A mask that overlaps a colour's is not alpha.
    if ((alpha & (m[0] | m[1] | m[2])) == 0) h.alpha = Channel(alpha);
    h.info.alpha = h.alpha.bits > 0;
  } else if (bpp == 16) {
    h.masks = {Channel(0x001F), Channel(0x03E0), Channel(0x7C00)};
  } else if (bpp == 32) {
    h.masks = {Channel(0x000000FF), Channel(0x0000FF00), Channel(0x00FF0000)};
  }

  if (bpp <= 8) {
    const size_t count = colours != 0 ? std::min<std::uint32_t>(colours, 1u << bpp) : 1u << bpp;
    const size_t entry = core ? 3 : 4;
    std::vector<unsigned char> raw(count * entry);
    ReadExactly(f, raw.data(), raw.size());
    h.palette.resize(count);
    for (size_t k = 0; k < count; ++k)
      h.palette[k] = {raw[k * entry], raw[k * entry + 1], raw[k * entry + 2]};
    h.info.colour = std::any_of(h.palette.begin(), h.palette.end(),
                                [](const auto& p) { return p[0] != p[1] || p[1] != p[2]; });
  } else {
    h.info.colour = true;
  }
  return h;
}

// The palette colour of an index (black beyond the palette).
const unsigned char* PaletteColour(const Header& h, unsigned index) {
  static const unsigned char kBlack[3] = {0, 0, 0};
  return index < h.palette.size() ? h.palette[index].data() : kBlack;
}

void PutIndex(const Header& h, unsigned char* px, unsigned index) {
  std::memcpy(px, PaletteColour(h, index), 3);
}

// The alpha of a row of 16- or 32-bit bit fields.
void DecodeAlpha(const Header& h, const unsigned char* in, unsigned char* out) {
  for (int x = 0; x < h.info.width; ++x)
    out[x] = h.alpha.Of(h.bpp == 16 ? U16(in + 2 * x) : U32(in + 4 * x));
}

void DecodeRow(const Header& h, const unsigned char* in, unsigned char* out) {
  const int w = h.info.width;
  switch (h.bpp) {
    case 1:
      for (int x = 0; x < w; ++x) PutIndex(h, out + 3 * x, (in[x >> 3] >> (7 - (x & 7))) & 1u);
      break;
    case 4:
      for (int x = 0; x < w; ++x) PutIndex(h, out + 3 * x, (in[x >> 1] >> ((x & 1) ? 0 : 4)) & 15u);
      break;
    case 8:
      for (int x = 0; x < w; ++x) PutIndex(h, out + 3 * x, in[x]);
      break;
    case 24:
      std::memcpy(out, in, 3 * static_cast<size_t>(w));
      break;
    case 16:
    case 32:
      for (int x = 0; x < w; ++x) {
        const std::uint32_t v = h.bpp == 16 ? U16(in + 2 * x) : U32(in + 4 * x);
        for (int k = 0; k < 3; ++k) out[3 * x + k] = h.masks[static_cast<size_t>(k)].Of(v);
      }
      break;
    default:
      break;
  }
}

// Run-length coded 8- or 4-bit data; rows bottom-up unless the header says
// otherwise, pixels not coded keep palette colour 0.
void DecodeRle(const Header& h, std::FILE* f, cv::Mat& bgr) {
  const int w = h.info.width, ht = h.info.height;
  const std::int64_t available = FileSize(f) - h.dataOffset;
  // Far more than any coding of this picture needs.
  const std::int64_t enough = 4 * std::int64_t{w} * ht + 4 * std::int64_t{ht} + 1024;
  std::vector<unsigned char> data(
      static_cast<size_t>(std::clamp<std::int64_t>(available, 0, enough)));
  if (std::fread(data.data(), 1, data.size(), f) != data.size()) throw CutShort();
  const unsigned char* first = PaletteColour(h, 0);
  for (int y = 0; y < ht; ++y) {
    CancellationPoint();
    for (int x = 0; x < w; ++x) std::memcpy(bgr.ptr<unsigned char>(y) + 3 * x, first, 3);
  }

  const bool four = h.compression == kRle4;
  int x = 0, row = 0;  // row counts in file order
  size_t p = 0;
  auto put = [&](unsigned index) {
    if (x < w && row < ht) {
      const int y = h.topDown ? row : ht - 1 - row;
      PutIndex(h, bgr.ptr<unsigned char>(y) + 3 * x, index);
    }
    ++x;
  };
  for (;;) {
    if (row >= ht) return;
    if (p + 2 > data.size()) throw CutShort();
    const unsigned count = data[p], value = data[p + 1];
    p += 2;
    if (count > 0) {
      for (unsigned k = 0; k < count; ++k) put(four ? ((k & 1) ? value & 15u : value >> 4) : value);
    } else if (value == 0) {  // end of line
      CancellationPoint();
      x = 0;
      ++row;
    } else if (value == 1) {  // end of bitmap
      return;
    } else if (value == 2) {  // move right and up
      if (p + 2 > data.size()) throw CutShort();
      x += data[p];
      row += data[p + 1];
      p += 2;
    } else {  // `value` pixels as they are, padded to whole 16-bit words
      const size_t bytes = four ? (value + 1) / 2 : value;
      if (p + bytes > data.size()) throw CutShort();
      for (unsigned k = 0; k < value; ++k)
        put(four ? ((k & 1) ? data[p + k / 2] & 15u : data[p + k / 2] >> 4) : data[p + k]);
      p += bytes + (bytes & 1);
    }
  }
}

void PutU16(std::vector<unsigned char>& b, size_t at, unsigned v) {
  b[at] = static_cast<unsigned char>(v);
  b[at + 1] = static_cast<unsigned char>(v >> 8);
}
void PutU32(std::vector<unsigned char>& b, size_t at, std::uint32_t v) {
  for (int k = 0; k < 4; ++k)
    b[at + static_cast<size_t>(k)] = static_cast<unsigned char>(v >> (8 * k));
}

}  // namespace

ImageInfo BmpInfo(std::FILE* f) { return ReadHeader(f).info; }

cv::Mat BmpRead(std::FILE* f, ImageMode mode, std::int64_t maxPixels, ImageInfo& info) {
  const Header h = ReadHeader(f);
  info = h.info;
  CheckPixelLimit(info, maxPixels);
  if (std::fseek(f, static_cast<long>(h.dataOffset), SEEK_SET) != 0) throw CutShort();
  const bool rle = h.compression == kRle8 || h.compression == kRle4;
  const size_t rowBytes = static_cast<size_t>((std::int64_t{info.width} * h.bpp + 31) / 32 * 4);
  // Before any memory for the pixels: a short file is refused at once.
  if (!rle && h.dataOffset + static_cast<std::int64_t>(rowBytes) * info.height > FileSize(f))
    throw CutShort();
  cv::Mat bgr = NewPicture(info.height, info.width, CV_8UC3);
  const bool alpha = WantsAlpha(mode) && info.alpha;
  cv::Mat a = alpha ? NewPicture(info.height, info.width, CV_8UC1) : cv::Mat();
  if (rle) {
    DecodeRle(h, f, bgr);
  } else {
    std::vector<unsigned char> row(rowBytes);
    for (int r = 0; r < info.height; ++r) {
      CancellationPoint();
      ReadExactly(f, row.data(), rowBytes);
      const int y = h.topDown ? r : info.height - 1 - r;
      DecodeRow(h, row.data(), bgr.ptr<unsigned char>(y));
      if (alpha) DecodeAlpha(h, row.data(), a.ptr<unsigned char>(y));
    }
  }
  if (!alpha) return ToMode(bgr, mode);
  // Some writers give an alpha mask and leave every alpha at 0: the picture
  // is meant opaque, as browsers show it.
  double most = 0.0;
  cv::minMaxLoc(a, nullptr, &most);
  if (most == 0.0) a.setTo(255);
  cv::Mat bgra = NewPicture(info.height, info.width, CV_8UC4);
  const cv::Mat planes[] = {bgr, a};
  const int pairs[] = {0, 0, 1, 1, 2, 2, 3, 3};
  cv::mixChannels(planes, 2, &bgra, 1, pairs, 4);
  return bgra;
}

void BmpWrite(std::FILE* f, const cv::Mat& image) {
  const bool colour = image.channels() == 3;
  const size_t rowBytes = (static_cast<size_t>(image.cols) * (colour ? 3 : 1) + 3) / 4 * 4;
  const size_t paletteBytes = colour ? 0 : 256 * 4;
  const size_t offset = 14 + 40 + paletteBytes;
  const std::uint64_t total = offset + std::uint64_t{rowBytes} * static_cast<unsigned>(image.rows);
  if (total > 0xFFFFFFFFu) throw ImageFileError("the picture is too large for a BMP file");
  std::vector<unsigned char> head(offset, 0);
  head[0] = 'B';
  head[1] = 'M';
  PutU32(head, 2, static_cast<std::uint32_t>(total));
  PutU32(head, 10, static_cast<std::uint32_t>(offset));
  PutU32(head, 14, 40);
  PutU32(head, 18, static_cast<std::uint32_t>(image.cols));
  PutU32(head, 22, static_cast<std::uint32_t>(image.rows));  // bottom-up
  PutU16(head, 26, 1);
  PutU16(head, 28, colour ? 24 : 8);
  PutU32(head, 34, static_cast<std::uint32_t>(rowBytes * static_cast<unsigned>(image.rows)));
  if (!colour) {
    PutU32(head, 46, 256);
    for (unsigned k = 0; k < 256; ++k) PutU32(head, 54 + 4 * k, k | (k << 8) | (k << 16));
  }
  std::vector<unsigned char> row(rowBytes, 0);
  bool ok = std::fwrite(head.data(), 1, head.size(), f) == head.size();
  for (int y = image.rows - 1; ok && y >= 0; --y) {
    std::memcpy(row.data(), image.ptr<unsigned char>(y), image.cols * image.elemSize());
    ok = std::fwrite(row.data(), 1, rowBytes, f) == rowBytes;
  }
  if (!ok) throw ImageFileError(std::string("write failed: ") + std::strerror(errno));
}

}  // namespace quadrix::codec
