// TIFF through libtiff: the first page, through its RGBA interface, which
// knows every photometric interpretation and sample size libtiff knows.
// Messages go to the handle's own handlers, never to standard error.

#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <mutex>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "base/cancel.hpp"
#include "imageio/codecs.hpp"

namespace quadrix::codec {

namespace {

struct Messages {
  char text[256] = {};
};

int OnError(TIFF*, void* user, const char*, const char* fmt, va_list ap) {
  auto* m = static_cast<Messages*>(user);
  if (m->text[0] == '\0') std::vsnprintf(m->text, sizeof m->text, fmt, ap);
  return 1;  // handled: the process-wide handler stays quiet
}

int OnWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct OptionsDeleter {
  void operator()(TIFFOpenOptions* o) const { TIFFOpenOptionsFree(o); }
};
struct TiffDeleter {
  void operator()(TIFF* t) const { TIFFClose(t); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffDeleter>;

// A colour picture with one sample more than its colours, and that sample
// marked unspecified (or not marked at all, as OpenCV writes RGBA), is
// taken as straight alpha, as ImageMagick and most editors take it; set on
// the open handle so that every reader of it below agrees.
void TakeLoneExtraSampleAsAlpha(TIFF* t) {
  std::uint16_t samples = 1, photometric = PHOTOMETRIC_MINISBLACK;
  TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(t, TIFFTAG_PHOTOMETRIC, &photometric);
  const int colours =
      photometric == PHOTOMETRIC_RGB                                                   ? 3
      : photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE ? 1
                                                                                       : 0;
  if (colours == 0 || samples != colours + 1) return;
  std::uint16_t count = 0;
  std::uint16_t* extra = nullptr;
  if (TIFFGetField(t, TIFFTAG_EXTRASAMPLES, &count, &extra) == 1 && count == 1 &&
      extra != nullptr && extra[0] != EXTRASAMPLE_UNSPECIFIED)
    return;
  const std::uint16_t alpha[] = {EXTRASAMPLE_UNASSALPHA};
  TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, alpha);
}

// Opens the file behind `f` (through a duplicate of its descriptor, which
// libtiff closes) with the messages going to `m`.
TiffPtr Open(std::FILE* f, const char* mode, Messages& m) {
  // Messages without a handle would go to the process-wide handlers.
  static std::once_flag quiet;
  std::call_once(quiet, [] {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
  });
  std::unique_ptr<TIFFOpenOptions, OptionsDeleter> options(TIFFOpenOptionsAlloc());
  if (!options) throw std::bad_alloc();
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), OnError, &m);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), OnWarning, &m);
  TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), tmsize_t{1} << 30);
  std::fflush(f);
  const int fd = ::dup(::fileno(f));
  if (fd < 0) throw ImageFileError(std::strerror(errno));
  TiffPtr t(TIFFFdOpenExt(fd, "image", mode, options.get()));
  if (!t) {
    ::close(fd);
    throw Damaged(ImageFormat::kTiff, m.text[0] != '\0' ? m.text : "cannot be opened");
  }
  if (mode[0] == 'r') TakeLoneExtraSampleAsAlpha(t.get());
  return t;
}

ImageFileError Failure(const Messages& m) {
  if (std::strstr(m.text, "Read error") != nullptr || std::strstr(m.text, "EOF") != nullptr)
    return CutShort();
  return Damaged(ImageFormat::kTiff, m.text[0] != '\0' ? m.text : "cannot be decoded");
}

ImageInfo InfoOf(TIFF* t) {
  ImageInfo info;
  info.format = ImageFormat::kTiff;
  std::uint32_t w = 0, h = 0;
  std::uint16_t photometric = PHOTOMETRIC_MINISBLACK;
  TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
  TIFFGetFieldDefaulted(t, TIFFTAG_PHOTOMETRIC, &photometric);
  info.width = w > 0x7FFFFFFFu ? -1 : static_cast<int>(w);
  info.height = h > 0x7FFFFFFFu ? -1 : static_cast<int>(h);
  info.colour = photometric != PHOTOMETRIC_MINISBLACK && photometric != PHOTOMETRIC_MINISWHITE;
  std::uint16_t bits = 8;
  TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bits);
  info.depth = bits == 16 ? 16 : 8;
  std::uint16_t extraCount = 0;
  std::uint16_t* extra = nullptr;
  if (TIFFGetField(t, TIFFTAG_EXTRASAMPLES, &extraCount, &extra) == 1 && extra != nullptr)
    for (std::uint16_t k = 0; k < extraCount; ++k)
      if (extra[k] == EXTRASAMPLE_ASSOCALPHA || extra[k] == EXTRASAMPLE_UNASSALPHA)
        info.alpha = true;
  return info;
}

// The rows of a 16-bit picture, each as `samples` values a pixel side by
// side, from strips or tiles, samples side by side or in planes.
class DeepRows {
 public:
  DeepRows(TIFF* t, int width, int height, int samples, bool planes)
      : t_(t), width_(width), samples_(samples), planes_(planes) {
    tiled_ = TIFFIsTiled(t) != 0;
    if (tiled_) {
      TIFFGetField(t, TIFFTAG_TILEWIDTH, &tileW_);
      TIFFGetField(t, TIFFTAG_TILELENGTH, &tileH_);
    } else {
      TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &stripRows_);
      // "All rows in one strip" is often written as 2^32 - 1.
      stripRows_ = std::min(stripRows_, static_cast<std::uint32_t>(std::max(height, 1)));
    }
  }
  // False for a layout read otherwise (tiles in planes).
  bool Supported() const {
    if (tiled_) return !planes_ && tileW_ > 0 && tileH_ > 0;
    const size_t perRow = static_cast<size_t>(width_) * (planes_ ? 1 : samples_) * 2;
    return static_cast<size_t>(TIFFScanlineSize(t_)) == perRow;
  }
  // Row y (rows asked in order), or null when libtiff failed.
  const ushort* Row(int y) {
    if (!tiled_ && !planes_) {
      line_.resize(static_cast<size_t>(width_) * samples_);
      return TIFFReadScanline(t_, line_.data(), static_cast<std::uint32_t>(y), 0) == 1
                 ? line_.data()
                 : nullptr;
    }
    const int height = static_cast<int>(tiled_ ? tileH_ : std::max<std::uint32_t>(stripRows_, 1));
    const int bandTop = y / height * height;
    if (bandTop != bandTop_ && !(tiled_ ? ReadTiles(bandTop) : ReadPlanes(bandTop))) return nullptr;
    return band_.data() + static_cast<size_t>(y - bandTop) * width_ * samples_;
  }

 private:
  // The strip of each plane at `top`, side by side. Strips rather than
  // rows: a compressed plane cannot be read a row at a time out of order.
  bool ReadPlanes(int top) {
    const size_t rowValues = static_cast<size_t>(width_) * samples_;
    const std::uint32_t rows = std::max<std::uint32_t>(stripRows_, 1);
    band_.assign(rowValues * rows, 0);
    tile_.resize(static_cast<size_t>(width_) * rows);
    for (int s = 0; s < samples_; ++s) {
      const tstrip_t strip =
          TIFFComputeStrip(t_, static_cast<std::uint32_t>(top), static_cast<std::uint16_t>(s));
      const tmsize_t got =
          TIFFReadEncodedStrip(t_, strip, tile_.data(), static_cast<tmsize_t>(tile_.size() * 2));
      if (got < 0) return false;
      const size_t values = static_cast<size_t>(got) / 2;
      for (size_t i = 0; i < values; ++i) band_[i * samples_ + s] = tile_[i];
    }
    bandTop_ = top;
    return true;
  }

  // The tiles across at `top`, into rows of the whole width.
  bool ReadTiles(int top) {
    const size_t rowValues = static_cast<size_t>(width_) * samples_;
    band_.assign(rowValues * tileH_, 0);
    tile_.resize(static_cast<size_t>(tileW_) * tileH_ * samples_);
    for (std::uint32_t left = 0; left < static_cast<std::uint32_t>(width_); left += tileW_) {
      if (TIFFReadTile(t_, tile_.data(), left, static_cast<std::uint32_t>(top), 0, 0) < 0)
        return false;
      const size_t across = std::min<size_t>(tileW_, static_cast<size_t>(width_) - left);
      for (std::uint32_t r = 0; r < tileH_; ++r)
        std::copy_n(tile_.data() + static_cast<size_t>(r) * tileW_ * samples_, across * samples_,
                    band_.data() + r * rowValues + static_cast<size_t>(left) * samples_);
    }
    bandTop_ = top;
    return true;
  }

  TIFF* t_;
  int width_, samples_;
  bool planes_, tiled_ = false;
  std::uint32_t tileW_ = 0, tileH_ = 0, stripRows_ = 0;
  int bandTop_ = -1;
  std::vector<ushort> line_, tile_, band_;
};

// A 16-bit grey or RGB TIFF (with or without alpha; strips or tiles, samples
// side by side or strips in planes) as CV_16UC3 or CV_16UC4
// blue-green-red(-alpha), alpha straight. Empty for any other layout, which
// is then read at 8 bits.
cv::Mat ReadDeep(TIFF* t, const ImageInfo& info, Messages& m) {
  std::uint16_t samples = 1, planar = PLANARCONFIG_CONTIG, photometric = PHOTOMETRIC_MINISBLACK;
  TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(t, TIFFTAG_PHOTOMETRIC, &photometric);
  const bool rgb = photometric == PHOTOMETRIC_RGB;
  const int colours = rgb ? 3 : 1;
  if ((!rgb && photometric != PHOTOMETRIC_MINISBLACK) || samples < colours) return {};
  DeepRows rows(t, info.width, info.height, samples, planar == PLANARCONFIG_SEPARATE);
  if (!rows.Supported()) return {};
  // Extra samples past the first (say, a second alpha) are left out.
  const bool alpha = samples > colours && info.alpha;
  std::uint16_t extraCount = 0;
  std::uint16_t* extra = nullptr;
  const bool associated = alpha &&
                          TIFFGetField(t, TIFFTAG_EXTRASAMPLES, &extraCount, &extra) == 1 &&
                          extraCount > 0 && extra[0] == EXTRASAMPLE_ASSOCALPHA;
  cv::Mat out = NewPicture(info.height, info.width, alpha ? CV_16UC4 : CV_16UC3);
  for (int y = 0; y < info.height; ++y) {
    CancellationPoint();
    const ushort* in = rows.Row(y);
    if (in == nullptr) throw Failure(m);
    ushort* o = out.ptr<ushort>(y);
    for (int x = 0; x < info.width; ++x, in += samples, o += out.channels()) {
      const ushort r = in[0], g = in[rgb ? 1 : 0], b = in[rgb ? 2 : 0];
      o[0] = b;
      o[1] = g;
      o[2] = r;
      if (!alpha) continue;
      const ushort a = in[colours];
      o[3] = a;
      if (associated)
        for (int c = 0; c < 3; ++c)
          o[c] = a == 0 ? 0 : cv::saturate_cast<ushort>(o[c] * 65535.0 / a);
    }
  }
  return out;
}

// Deletes libtiff's RGBA reader state.
struct RgbaImage {
  TIFFRGBAImage image{};
  bool begun = false;
  ~RgbaImage() {
    if (begun) TIFFRGBAImageEnd(&image);
  }
};

// The picture through libtiff's RGBA interface into `rgba` (CV_8UC4, its
// size; packed as A, B, G, R from the top byte down: R, G, B, A in memory,
// alpha premultiplied), top row first. Read in bands of whole strips or
// tiles, with a cancellation point between them; a band of part of a
// compressed strip would decode it again from its start.
bool ReadRgba(TIFF* t, cv::Mat& rgba) {
  RgbaImage r;
  char why[1024] = {};
  if (TIFFRGBAImageBegin(&r.image, t, 1, why) != 1) return false;
  r.begun = true;
  // Rows in the file's own order; the flips to top-left are made below.
  r.image.req_orientation = r.image.orientation;
  std::uint32_t unit = 0;
  if (TIFFIsTiled(t) != 0)
    TIFFGetField(t, TIFFTAG_TILELENGTH, &unit);
  else
    TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &unit);
  const int rows = rgba.rows;
  unit = std::clamp<std::uint32_t>(unit, 1, static_cast<std::uint32_t>(rows));
  const std::uint32_t band = unit * std::max<std::uint32_t>(1, 64 / unit);
  for (std::uint32_t top = 0; top < static_cast<std::uint32_t>(rows); top += band) {
    CancellationPoint();
    const std::uint32_t height = std::min(band, static_cast<std::uint32_t>(rows) - top);
    r.image.row_offset = static_cast<int>(top);
    if (TIFFRGBAImageGet(&r.image, rgba.ptr<std::uint32_t>(static_cast<int>(top)),
                         static_cast<std::uint32_t>(rgba.cols), height) != 1)
      return false;
  }
  // As libtiff turns each orientation to top-left (without transposing).
  switch (r.image.orientation) {
    case ORIENTATION_TOPRIGHT:
    case ORIENTATION_RIGHTTOP:
      cv::flip(rgba, rgba, 1);
      break;
    case ORIENTATION_BOTRIGHT:
    case ORIENTATION_RIGHTBOT:
      cv::flip(rgba, rgba, -1);
      break;
    case ORIENTATION_BOTLEFT:
    case ORIENTATION_LEFTBOT:
      cv::flip(rgba, rgba, 0);
      break;
    default:
      break;
  }
  return true;
}

}  // namespace

ImageInfo TiffInfo(std::FILE* f) {
  Messages m;
  const TiffPtr t = Open(f, "r", m);
  return InfoOf(t.get());
}

cv::Mat TiffRead(std::FILE* f, ImageMode mode, std::int64_t maxPixels, ImageInfo& info) {
  Messages m;
  const TiffPtr t = Open(f, "r", m);
  info = InfoOf(t.get());
  CheckPixelLimit(info, maxPixels);
  if (mode == ImageMode::kDeep && info.depth == 16) {
    cv::Mat deep = ReadDeep(t.get(), info, m);
    if (!deep.empty()) return deep;
  }
  char why[1024] = {};
  if (!TIFFRGBAImageOK(t.get(), why))
    throw ImageFileError(std::string("a TIFF that cannot be read (") + why + ")");
  cv::Mat rgba = NewPicture(info.height, info.width, CV_8UC4);
  if (!ReadRgba(t.get(), rgba)) throw Failure(m);
  if (WantsAlpha(mode) && info.alpha) {
    // libtiff gives alpha premultiplied; pictures are read straight.
    cv::Mat bgra = NewPicture(info.height, info.width, CV_8UC4);
    cv::cvtColor(rgba, bgra, cv::COLOR_mRGBA2RGBA);
    cv::cvtColor(bgra, bgra, cv::COLOR_RGBA2BGRA);
    return bgra;
  }
  // Without its alpha the colour is read straight too, as from a PNG.
  if (info.alpha) cv::cvtColor(rgba, rgba, cv::COLOR_mRGBA2RGBA);
  cv::Mat bgr = NewPicture(info.height, info.width, CV_8UC3);
  cv::cvtColor(rgba, bgr, cv::COLOR_RGBA2BGR);
  return ToMode(bgr, mode);
}

void TiffWrite(std::FILE* f, const cv::Mat& image) {
  Messages m;
  // Classic TIFF's offsets end at 4 GiB; past that (LZW may grow noise by
  // half) the file is written as BigTIFF.
  const auto raw = static_cast<std::uint64_t>(image.total() * image.elemSize());
  const bool big = raw / 2 * 3 + (std::uint64_t{1} << 20) >= (std::uint64_t{1} << 32);
  const TiffPtr t = Open(f, big ? "w8" : "w", m);
  const int channels = image.channels();
  const bool colour = channels >= 3;
  TIFF* tif = t.get();
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(image.cols));
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(image.rows));
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, image.depth() == CV_16U ? 16 : 8);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, channels);
  if (channels == 4) {
    const std::uint16_t extra[] = {EXTRASAMPLE_UNASSALPHA};
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, extra);
  }
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, colour ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
  cv::Mat row(1, image.cols, image.type());
  for (int y = 0; y < image.rows; ++y) {
    if (channels == 4)
      cv::cvtColor(image.row(y), row, cv::COLOR_BGRA2RGBA);
    else if (colour)
      cv::cvtColor(image.row(y), row, cv::COLOR_BGR2RGB);
    else
      image.row(y).copyTo(row);
    if (TIFFWriteScanline(tif, row.data, static_cast<std::uint32_t>(y), 0) != 1)
      throw ImageFileError(m.text[0] != '\0' ? m.text : "write failed");
  }
  if (TIFFFlush(tif) != 1) throw ImageFileError(m.text[0] != '\0' ? m.text : "write failed");
}

}  // namespace quadrix::codec
