// JPEG through libjpeg(-turbo). Its errors return through longjmp, so every
// function that calls setjmp keeps only plain data on its own frame.
//
// A file that ends early gets a warning from libjpeg and a grey bottom; here
// it is an error. The orientation in the Exif block is applied, as cameras
// expect.

// jpeglib.h needs size_t and FILE first, jerror.h needs jpeglib.h.
#include <cstddef>
#include <cstdio>
// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "base/cancel.hpp"
#include "imageio/codecs.hpp"

namespace quadrix::codec {

namespace {

struct ErrorManager {
  jpeg_error_mgr pub;  // first: libjpeg sees only this part
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
  bool cutShort;
  bool tooManyScans;
  bool cancelled;
};

[[noreturn]] void OnError(j_common_ptr c) {
  auto* e = reinterpret_cast<ErrorManager*>(c->err);
  (*c->err->format_message)(c, e->message);
  std::longjmp(e->jump, 1);
}

void OnMessage(j_common_ptr c, int level) {
  if (level >= 0) return;  // trace messages
  auto* e = reinterpret_cast<ErrorManager*>(c->err);
  const int code = c->err->msg_code;
  if (code == JWRN_JPEG_EOF || code == JWRN_HIT_MARKER) {
    e->cutShort = code == JWRN_JPEG_EOF;
    (*c->err->format_message)(c, e->message);
    std::longjmp(e->jump, 1);
  }
  // Other warnings (stray bytes before a marker and the like) are common in
  // files that decode well.
  ++c->err->num_warnings;
}

void InitErrors(ErrorManager& e) {
  std::memset(&e, 0, sizeof e);
  jpeg_std_error(&e.pub);
  e.pub.error_exit = OnError;
  e.pub.emit_message = OnMessage;
}

// Throws Cancelled for a decode the user called off.
ImageFileError Failure(const ErrorManager& e) {
  if (e.cancelled) throw Cancelled();
  if (e.cutShort) return CutShort();
  if (e.tooManyScans)
    return ImageFileError("refused: more than " + std::to_string(kMaxJpegScans) +
                          " progressive scans (a photo has a few dozen at most); each costs a "
                          "pass over the whole picture");
  return Damaged(ImageFormat::kJpeg, e.message);
}

// Stops a file whose scans never end (a few hundred bytes each, but each a
// pass over every block of the picture), and a decode called off: libjpeg
// reports progress every few rows of every pass.
void OnProgress(j_common_ptr c) {
  if (c->is_decompressor == 0) return;
  auto* d = reinterpret_cast<j_decompress_ptr>(c);
  auto* e = reinterpret_cast<ErrorManager*>(c->err);
  e->cancelled = CancelRequested();
  e->tooManyScans = d->input_scan_number > kMaxJpegScans;
  if (e->cancelled || e->tooManyScans) std::longjmp(e->jump, 1);
}

struct Decompress {
  jpeg_decompress_struct cinfo;
  ErrorManager err;
  jpeg_progress_mgr progress;
  bool created = false;
  Decompress() {
    std::memset(&cinfo, 0, sizeof cinfo);
    std::memset(&progress, 0, sizeof progress);
    progress.progress_monitor = OnProgress;
    InitErrors(err);
  }
  ~Decompress() {
    if (created) jpeg_destroy_decompress(&cinfo);
  }
  Decompress(const Decompress&) = delete;
  Decompress& operator=(const Decompress&) = delete;
};

bool ReadHeader(Decompress& d, std::FILE* f) {
  d.cinfo.err = &d.err.pub;
  if (setjmp(d.err.jump)) return false;
  jpeg_create_decompress(&d.cinfo);
  d.created = true;
  d.cinfo.progress = &d.progress;
  jpeg_stdio_src(&d.cinfo, f);
  jpeg_save_markers(&d.cinfo, JPEG_APP0 + 1, 0xFFFF);
  jpeg_read_header(&d.cinfo, TRUE);
  return true;
}

// Decodes into `rows` (one pointer per output row) in `space`.
bool Decode(Decompress& d, J_COLOR_SPACE space, unsigned char* const* rows) {
  if (setjmp(d.err.jump)) return false;
  d.cinfo.out_color_space = space;
  jpeg_start_decompress(&d.cinfo);
  while (d.cinfo.output_scanline < d.cinfo.output_height) {
    if (CancelRequested()) {
      d.err.cancelled = true;
      return false;
    }
    JSAMPROW row = rows[d.cinfo.output_scanline];
    jpeg_read_scanlines(&d.cinfo, &row, 1);
  }
  jpeg_finish_decompress(&d.cinfo);
  return true;
}

// The Exif orientation (1 to 8; 1 when there is none).
int ExifOrientation(const jpeg_decompress_struct& cinfo) {
  for (jpeg_saved_marker_ptr m = cinfo.marker_list; m != nullptr; m = m->next) {
    if (m->marker != JPEG_APP0 + 1 || m->data_length < 6 + 8 ||
        std::memcmp(m->data, "Exif\0\0", 6) != 0)
      continue;
    const unsigned char* t = m->data + 6;
    const size_t n = m->data_length - 6;
    bool little = false;
    if (t[0] == 'I' && t[1] == 'I')
      little = true;
    else if (!(t[0] == 'M' && t[1] == 'M'))
      continue;
    auto u16 = [&](size_t o) -> unsigned {
      return little ? t[o] | (t[o + 1] << 8) : (t[o] << 8) | t[o + 1];
    };
    auto u32 = [&](size_t o) -> size_t {
      return little ? (size_t{u16(o + 2)} << 16) | u16(o) : (size_t{u16(o)} << 16) | u16(o + 2);
    };
    if (u16(2) != 42) continue;
    const size_t ifd = u32(4);
    if (ifd + 2 > n) continue;
    const unsigned entries = u16(ifd);
    for (unsigned k = 0; k < entries; ++k) {
      const size_t e = ifd + 2 + 12 * size_t{k};
      if (e + 12 > n) break;
      if (u16(e) == 0x0112 && u16(e + 2) == 3) {  // Orientation, SHORT
        const unsigned v = u16(e + 8);
        return v >= 1 && v <= 8 ? static_cast<int>(v) : 1;
      }
    }
  }
  return 1;
}

void Orient(cv::Mat& img, int orientation) {
  switch (orientation) {
    case 2:
      cv::flip(img, img, 1);
      break;
    case 3:
      cv::flip(img, img, -1);
      break;
    case 4:
      cv::flip(img, img, 0);
      break;
    case 5:
      cv::transpose(img, img);
      break;
    case 6:
      cv::transpose(img, img);
      cv::flip(img, img, 1);
      break;
    case 7:
      cv::transpose(img, img);
      cv::flip(img, img, -1);
      break;
    case 8:
      cv::transpose(img, img);
      cv::flip(img, img, 0);
      break;
    default:
      break;
  }
}

ImageInfo InfoOf(const Decompress& d) {
  ImageInfo info;
  info.format = ImageFormat::kJpeg;
  info.width = static_cast<int>(d.cinfo.image_width);
  info.height = static_cast<int>(d.cinfo.image_height);
  info.colour = d.cinfo.num_components >= 3;
  if (ExifOrientation(d.cinfo) >= 5) std::swap(info.width, info.height);
  return info;
}

// Adobe's inverted CMYK to blue-green-red, as image libraries commonly do.
void CmykToBgr(const cv::Mat& cmyk, cv::Mat& bgr) {
  for (int y = 0; y < cmyk.rows; ++y) {
    const unsigned char* s = cmyk.ptr<unsigned char>(y);
    unsigned char* d = bgr.ptr<unsigned char>(y);
    for (int x = 0; x < cmyk.cols; ++x, s += 4, d += 3) {
      const int k = s[3];
      d[2] = static_cast<unsigned char>(k - ((255 - s[0]) * k >> 8));
      d[1] = static_cast<unsigned char>(k - ((255 - s[1]) * k >> 8));
      d[0] = static_cast<unsigned char>(k - ((255 - s[2]) * k >> 8));
    }
  }
}

struct Compress {
  jpeg_compress_struct cinfo;
  ErrorManager err;
  bool created = false;
  Compress() {
    std::memset(&cinfo, 0, sizeof cinfo);
    InitErrors(err);
  }
  ~Compress() {
    if (created) jpeg_destroy_compress(&cinfo);
  }
  Compress(const Compress&) = delete;
  Compress& operator=(const Compress&) = delete;
};

bool Encode(Compress& c, std::FILE* f, const cv::Mat& image, unsigned char* const* rows,
            int quality) {
  c.cinfo.err = &c.err.pub;
  if (setjmp(c.err.jump)) return false;
  jpeg_create_compress(&c.cinfo);
  c.created = true;
  jpeg_stdio_dest(&c.cinfo, f);
  c.cinfo.image_width = static_cast<JDIMENSION>(image.cols);
  c.cinfo.image_height = static_cast<JDIMENSION>(image.rows);
  c.cinfo.input_components = image.channels();
  c.cinfo.in_color_space = image.channels() == 3 ? JCS_EXT_BGR : JCS_GRAYSCALE;
  jpeg_set_defaults(&c.cinfo);
  jpeg_set_quality(&c.cinfo, quality, TRUE);
  // Full colour resolution at high quality, as ImageMagick and libvips
  // choose: halved chroma would be the largest loss left.
  if (image.channels() == 3 && quality >= kFullChromaQuality)
    for (int k = 0; k < c.cinfo.num_components; ++k) {
      c.cinfo.comp_info[k].h_samp_factor = 1;
      c.cinfo.comp_info[k].v_samp_factor = 1;
    }
  jpeg_start_compress(&c.cinfo, TRUE);
  while (c.cinfo.next_scanline < c.cinfo.image_height) {
    JSAMPROW row = rows[c.cinfo.next_scanline];
    jpeg_write_scanlines(&c.cinfo, &row, 1);
  }
  jpeg_finish_compress(&c.cinfo);
  return true;
}

}  // namespace

ImageInfo JpegInfo(std::FILE* f) {
  Decompress d;
  if (!ReadHeader(d, f)) throw Failure(d.err);
  return InfoOf(d);
}

cv::Mat JpegRead(std::FILE* f, ImageMode mode, std::int64_t maxPixels, ImageInfo& info,
                 int minLongSide) {
  Decompress d;
  if (!ReadHeader(d, f)) throw Failure(d.err);
  info = InfoOf(d);
  CheckPixelLimit(info, maxPixels);
  // Saved markers go with the decompression's memory at its end.
  const int orientation = ExifOrientation(d.cinfo);
  // The DCT's own scaling: 1/2, 1/4 or 1/8 of the work and memory of a full
  // decode, for a copy that is resized further anyway.
  const unsigned longSide = std::max(d.cinfo.image_width, d.cinfo.image_height);
  unsigned denom = 1;
  while (minLongSide > 0 && denom < 8 &&
         (longSide + 2 * denom - 1) / (2 * denom) >= static_cast<unsigned>(minLongSide))
    denom *= 2;
  d.cinfo.scale_num = 1;
  d.cinfo.scale_denom = denom;
  jpeg_calc_output_dimensions(&d.cinfo);
  const int w = static_cast<int>(d.cinfo.output_width);
  const int h = static_cast<int>(d.cinfo.output_height);
  cv::Mat out;
  if (d.cinfo.num_components == 4) {
    cv::Mat cmyk = NewPicture(h, w, CV_8UC4);
    const std::vector<unsigned char*> rows = RowPointers(cmyk);
    if (!Decode(d, JCS_CMYK, rows.data())) throw Failure(d.err);
    cv::Mat bgr = NewPicture(h, w, CV_8UC3);
    CmykToBgr(cmyk, bgr);
    out = ToMode(bgr, mode);
  } else if (mode != ImageMode::kGrey) {
    out = NewPicture(h, w, CV_8UC3);
    const std::vector<unsigned char*> rows = RowPointers(out);
    if (!Decode(d, JCS_EXT_BGR, rows.data())) throw Failure(d.err);
  } else {
    out = NewPicture(h, w, CV_8UC1);
    const std::vector<unsigned char*> rows = RowPointers(out);
    if (!Decode(d, JCS_GRAYSCALE, rows.data())) throw Failure(d.err);
  }
  Orient(out, orientation);
  return out;
}

void JpegWrite(std::FILE* f, const cv::Mat& image, int quality) {
  cv::Mat copy = image;
  const std::vector<unsigned char*> rows = RowPointers(copy);
  Compress c;
  if (!Encode(c, f, image, rows.data(), quality)) throw ImageFileError(c.err.message);
}

}  // namespace quadrix::codec
