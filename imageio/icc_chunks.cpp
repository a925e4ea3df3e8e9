#include "imageio/icc_chunks.hpp"

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "imageio/image_file.hpp"

namespace quadrix::icc_chunks {

namespace {

using Bytes = std::vector<unsigned char>;

// One chunk of a file: where it starts and how many bytes it takes in all.
struct Chunk {
  size_t start = 0;
  size_t bytes = 0;
  std::string type;
};

std::uint32_t Big32(const unsigned char* b) {
  return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
}
std::uint32_t Little32(const unsigned char* b) {
  return std::uint32_t{b[3]} << 24 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[1]} << 8 | b[0];
}
void WriteBig32(unsigned char* b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}
void PutLittle(Bytes& b, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
void PutText(Bytes& b, const char* text, size_t bytes = 4) {
  b.insert(b.end(), text, text + bytes);
}
void Append(Bytes& to, const Bytes& from, size_t start, size_t bytes) {
  to.insert(to.end(), from.begin() + static_cast<std::ptrdiff_t>(start),
            from.begin() + static_cast<std::ptrdiff_t>(start + bytes));
}

// PNG: 8-byte signature, then length (big-endian), type, data, CRC.
std::vector<Chunk> PngChunks(const Bytes& png) {
  static const unsigned char kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (png.size() < 8 || std::memcmp(png.data(), kSignature, 8) != 0)
    throw ImageFileError("not a PNG file");
  std::vector<Chunk> chunks;
  for (size_t at = 8; at < png.size();) {
    if (png.size() - at < 12) throw ImageFileError("damaged PNG data (a chunk is cut short)");
    const size_t length = Big32(&png[at]);
    if (length > png.size() - at - 12)
      throw ImageFileError("damaged PNG data (a chunk is cut short)");
    chunks.push_back({at, length + 12, std::string(&png[at + 4], &png[at + 8])});
    at += length + 12;
  }
  if (chunks.empty() || chunks[0].type != "IHDR")
    throw ImageFileError("damaged PNG data (no IHDR chunk first)");
  return chunks;
}

Bytes PngIccChunk(const Bytes& icc) {
  uLongf packed = compressBound(static_cast<uLong>(icc.size()));
  Bytes deflated(packed);
  if (compress2(deflated.data(), &packed, icc.data(), static_cast<uLong>(icc.size()),
                Z_BEST_COMPRESSION) != Z_OK)
    throw ImageFileError("the ICC profile cannot be compressed");
  deflated.resize(packed);
  static const char kName[] = "ICC profile";  // with its NUL
  const size_t length = sizeof kName + 1 + deflated.size();
  Bytes chunk(12 + length, 0);
  WriteBig32(&chunk[0], static_cast<std::uint32_t>(length));
  std::memcpy(&chunk[4], "iCCP", 4);
  std::memcpy(&chunk[8], kName, sizeof kName);
  // Then compression method 0 (zlib) and the deflated profile.
  std::memcpy(&chunk[9 + sizeof kName], deflated.data(), deflated.size());
  WriteBig32(&chunk[8 + length],
             static_cast<std::uint32_t>(crc32(0, &chunk[4], static_cast<uInt>(length + 4))));
  return chunk;
}

// WebP: "RIFF", size, "WEBP", then chunks of fourcc, size (little-endian),
// data and a pad byte to an even length.
std::vector<Chunk> WebpChunks(const Bytes& webp) {
  if (webp.size() < 12 || std::memcmp(webp.data(), "RIFF", 4) != 0 ||
      std::memcmp(webp.data() + 8, "WEBP", 4) != 0)
    throw ImageFileError("not a WebP file");
  std::vector<Chunk> chunks;
  for (size_t at = 12; at < webp.size();) {
    if (webp.size() - at < 8) throw ImageFileError("damaged WebP data (a chunk is cut short)");
    const size_t length = Little32(&webp[at + 4]);
    const size_t bytes = 8 + length + (length & 1);
    if (length > webp.size() - at - 8)
      throw ImageFileError("damaged WebP data (a chunk is cut short)");
    chunks.push_back(
        {at, std::min(bytes, webp.size() - at), std::string(&webp[at], &webp[at + 4])});
    at += bytes;
  }
  if (chunks.empty()) throw ImageFileError("damaged WebP data (no image)");
  return chunks;
}

// The extended header for a simple file's one bitstream chunk: canvas size
// and alpha from the bitstream's own header, and the ICC flag.
Bytes WebpExtendedHeader(const Bytes& webp, const Chunk& image) {
  const unsigned char* p = &webp[image.start + 8];
  const size_t n = image.bytes - 8;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool alpha = false;
  if (image.type == "VP8L" && n >= 5 && p[0] == 0x2f) {
    const std::uint32_t bits = Little32(p + 1);
    width = (bits & 0x3fff) + 1;
    height = ((bits >> 14) & 0x3fff) + 1;
    alpha = (bits >> 28) & 1;
  } else if (image.type == "VP8 " && n >= 10 && p[3] == 0x9d && p[4] == 0x01 && p[5] == 0x2a) {
    width = (p[6] | p[7] << 8) & 0x3fff;
    height = (p[8] | p[9] << 8) & 0x3fff;
  }
  if (width == 0 || height == 0) throw ImageFileError("damaged WebP data (no picture header)");
  Bytes header;
  PutText(header, "VP8X");
  PutLittle(header, 10, 4);
  PutLittle(header, alpha ? 0x30 : 0x20, 4);  // ICC and alpha flags, 3 reserved bytes
  PutLittle(header, width - 1, 3);
  PutLittle(header, height - 1, 3);
  return header;
}

}  // namespace

void PutIntoPng(Bytes& png, const Bytes& icc) {
  const std::vector<Chunk> chunks = PngChunks(png);
  Bytes out(png.begin(), png.begin() + 8);
  Append(out, png, chunks[0].start, chunks[0].bytes);
  const Bytes iccp = PngIccChunk(icc);
  out.insert(out.end(), iccp.begin(), iccp.end());
  for (size_t i = 1; i < chunks.size(); ++i)
    if (chunks[i].type != "iCCP" && chunks[i].type != "sRGB")
      Append(out, png, chunks[i].start, chunks[i].bytes);
  png = std::move(out);
}

void PutIntoWebp(Bytes& webp, const Bytes& icc) {
  const std::vector<Chunk> chunks = WebpChunks(webp);
  Bytes out(webp.begin(), webp.begin() + 12);
  size_t next = 0;
  if (chunks[0].type == "VP8X") {
    if (chunks[0].bytes < 18) throw ImageFileError("damaged WebP data (a short VP8X chunk)");
    Bytes header(webp.begin() + 12,
                 webp.begin() + 12 + static_cast<std::ptrdiff_t>(chunks[0].bytes));
    header[8] |= 0x20;  // the ICC flag
    out.insert(out.end(), header.begin(), header.end());
    next = 1;
  } else {
    const Bytes header = WebpExtendedHeader(webp, chunks[0]);
    out.insert(out.end(), header.begin(), header.end());
  }
  PutText(out, "ICCP");
  PutLittle(out, static_cast<std::uint32_t>(icc.size()), 4);
  out.insert(out.end(), icc.begin(), icc.end());
  if (icc.size() & 1) out.push_back(0);
  for (size_t i = next; i < chunks.size(); ++i)
    if (chunks[i].type != "ICCP") Append(out, webp, chunks[i].start, chunks[i].bytes);
  const std::uint32_t riff = static_cast<std::uint32_t>(out.size() - 8);
  for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<unsigned char>(riff >> (8 * i));
  webp = std::move(out);
}

}  // namespace quadrix::icc_chunks
