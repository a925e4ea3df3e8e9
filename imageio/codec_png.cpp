// PNG through libpng. Its errors return through longjmp, so every function
// that calls setjmp keeps only plain data on its own frame.

#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <cstring>
#include <vector>

#include "base/cancel.hpp"
#include "imageio/codecs.hpp"

namespace quadrix::codec {

namespace {

struct Messages {
  char text[200] = {};
};

void OnError(png_structp png, png_const_charp message) {
  auto* m = static_cast<Messages*>(png_get_error_ptr(png));
  std::snprintf(m->text, sizeof m->text, "%s", message);
  png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

struct Reader {
  png_structp png = nullptr;
  png_infop info = nullptr;
  Messages messages;
  bool cancelled = false;
  Reader() {
    png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &messages, OnError, OnWarning);
    if (png != nullptr) info = png_create_info_struct(png);
    if (png == nullptr || info == nullptr) throw std::bad_alloc();
  }
  ~Reader() { png_destroy_read_struct(&png, &info, nullptr); }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
};

bool ReadHeader(Reader& r, std::FILE* f) {
  if (setjmp(png_jmpbuf(r.png))) return false;
  png_init_io(r.png, f);
  // The pixel limit is checked by the caller, with a better message than
  // libpng's own million-pixel sides.
  png_set_user_limits(r.png, 0x7FFFFFFF, 0x7FFFFFFF);
  png_read_info(r.png, r.info);
  return true;
}

// Sets up the transforms to 8-bit grey or blue-green-red, then reads the
// rows and the end of the file.
bool Decode(Reader& r, bool colour, bool alpha, bool deep, size_t rowBytes,
            unsigned char* const* rows) {
  if (setjmp(png_jmpbuf(r.png))) return false;
  const int type = png_get_color_type(r.png, r.info);
  const int depth = png_get_bit_depth(r.png, r.info);
  if (depth == 16 && !deep) png_set_strip_16(r.png);
  // PNG's 16-bit samples are big-endian.
  if (depth == 16 && deep) png_set_swap(r.png);
  if (type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(r.png);
  if (type == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(r.png);
  if (alpha) {
    // A colour key becomes an alpha channel like any other.
    if (png_get_valid(r.png, r.info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(r.png);
  } else {
    png_set_strip_alpha(r.png);
  }
  if (colour) {
    if (!(type & PNG_COLOR_MASK_COLOR)) png_set_gray_to_rgb(r.png);
    png_set_bgr(r.png);
  } else if ((type & PNG_COLOR_MASK_COLOR) || type == PNG_COLOR_TYPE_PALETTE) {
    png_set_rgb_to_gray(r.png, 1, 0.299, 0.587);
  }
  const int passes = png_set_interlace_handling(r.png);
  png_read_update_info(r.png, r.info);
  if (png_get_rowbytes(r.png, r.info) != rowBytes) png_error(r.png, "unexpected row size");
  // Row by row, as png_read_image does, with a cancellation point.
  const auto height = png_get_image_height(r.png, r.info);
  for (int pass = 0; pass < passes; ++pass)
    for (png_uint_32 y = 0; y < height; ++y) {
      if (CancelRequested()) {
        r.cancelled = true;
        return false;
      }
      png_read_row(r.png, rows[y], nullptr);
    }
  png_read_end(r.png, nullptr);
  return true;
}

ImageInfo InfoOf(const Reader& r) {
  ImageInfo info;
  info.format = ImageFormat::kPng;
  info.width = static_cast<int>(png_get_image_width(r.png, r.info));
  info.height = static_cast<int>(png_get_image_height(r.png, r.info));
  info.colour = (png_get_color_type(r.png, r.info) & PNG_COLOR_MASK_COLOR) != 0;
  info.alpha = (png_get_color_type(r.png, r.info) & PNG_COLOR_MASK_ALPHA) != 0 ||
               png_get_valid(r.png, r.info, PNG_INFO_tRNS) != 0;
  info.depth = png_get_bit_depth(r.png, r.info) == 16 ? 16 : 8;
  return info;
}

// Throws Cancelled for a decode the user called off.
ImageFileError Failure(const Reader& r, std::FILE* f) {
  if (r.cancelled) throw Cancelled();
  if (std::feof(f)) return CutShort();
  return Damaged(ImageFormat::kPng, r.messages.text);
}

struct Writer {
  png_structp png = nullptr;
  png_infop info = nullptr;
  Messages messages;
  Writer() {
    png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &messages, OnError, OnWarning);
    if (png != nullptr) info = png_create_info_struct(png);
    if (png == nullptr || info == nullptr) throw std::bad_alloc();
  }
  ~Writer() { png_destroy_write_struct(&png, &info); }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
};

bool Encode(Writer& w, std::FILE* f, int width, int height, int channels, int bits,
            unsigned char* const* rows) {
  const bool colour = channels >= 3;
  if (setjmp(png_jmpbuf(w.png))) return false;
  png_init_io(w.png, f);
  // Fast: pictures are written often and read rarely. One filter for every
  // row spares libpng trying all five.
  png_set_filter(w.png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
  png_set_compression_level(w.png, Z_BEST_SPEED);
  png_set_compression_strategy(w.png, Z_RLE);
  png_set_IHDR(w.png, w.info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height),
               bits,
               channels == 4 ? PNG_COLOR_TYPE_RGB_ALPHA
                             : (colour ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY),
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(w.png, w.info);
  if (colour) png_set_bgr(w.png);
  if (bits == 16) png_set_swap(w.png);
  png_write_image(w.png, const_cast<png_bytepp>(rows));
  png_write_end(w.png, nullptr);
  return true;
}

}  // namespace

ImageInfo PngInfo(std::FILE* f) {
  // The first chunk is the header: size and colour type, before libpng
  // reads on to the picture data (which a hostile file may not even have).
  unsigned char b[33];
  if (std::fread(b, 1, sizeof b, f) != sizeof b) throw CutShort();
  if (std::memcmp(b + 12, "IHDR", 4) != 0) throw Damaged(ImageFormat::kPng, "no IHDR chunk first");
  auto be32 = [&](int at) {
    return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
           (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
  };
  ImageInfo info;
  info.format = ImageFormat::kPng;
  const std::uint32_t w = be32(16), h = be32(20);
  info.width = w > 0x7FFFFFFFu ? -1 : static_cast<int>(w);
  info.height = h > 0x7FFFFFFFu ? -1 : static_cast<int>(h);
  info.colour = (b[25] & PNG_COLOR_MASK_COLOR) != 0;
  info.alpha = (b[25] & PNG_COLOR_MASK_ALPHA) != 0;
  info.depth = b[24] == 16 ? 16 : 8;
  return info;
}

cv::Mat PngRead(std::FILE* f, ImageMode mode, std::int64_t maxPixels, ImageInfo& info) {
  info = PngInfo(f);
  CheckPixelLimit(info, maxPixels);
  std::rewind(f);
  Reader r;
  if (!ReadHeader(r, f)) throw Failure(r, f);
  info = InfoOf(r);
  const bool colour = mode != ImageMode::kGrey;
  const bool alpha = WantsAlpha(mode) && info.alpha;
  const bool deep = mode == ImageMode::kDeep && info.depth == 16;
  cv::Mat out = NewPicture(info.height, info.width,
                           CV_MAKETYPE(deep ? CV_16U : CV_8U, alpha ? 4 : (colour ? 3 : 1)));
  const std::vector<unsigned char*> rows = RowPointers(out);
  if (!Decode(r, colour, alpha, deep, out.cols * out.elemSize(), rows.data())) throw Failure(r, f);
  return out;
}

void PngWrite(std::FILE* f, const cv::Mat& image) {
  cv::Mat copy = image;
  const std::vector<unsigned char*> rows = RowPointers(copy);
  Writer w;
  if (!Encode(w, f, image.cols, image.rows, image.channels(), image.depth() == CV_16U ? 16 : 8,
              rows.data()))
    throw ImageFileError(w.messages.text);
}

}  // namespace quadrix::codec
