// JPEG seeds through libjpeg: baseline, progressive, arithmetic, restart
// markers, grey, CMYK, every Exif orientation; and the hostile ones: a scan
// repeated past the scan limit, and a header far above the pixel limit.

// jpeglib.h needs size_t and FILE first.
#include <cstddef>
#include <cstdio>
// clang-format off
#include <jpeglib.h>
// clang-format on

#include <cstdlib>
#include <opencv2/imgproc.hpp>
#include <stdexcept>

#include "fuzz/seeds.hpp"

namespace quadrix::seeds {

namespace {

// The first AC scan (Ss > 0, Ah = 0) of a progressive JPEG: where its
// marker starts and where the next marker does.
std::pair<size_t, size_t> FirstAcScan(const Bytes& jpeg) {
  for (size_t i = 0; i + 9 < jpeg.size(); ++i) {
    if (jpeg[i] != 0xFF || jpeg[i + 1] != 0xDA) continue;
    const size_t at = i + 5 + 2 * size_t{jpeg[i + 4]};  // Ss, Se, Ah << 4 | Al
    if (at + 2 >= jpeg.size() || jpeg[at] == 0 || (jpeg[at + 2] >> 4) != 0) continue;
    // The scan's data runs to the next marker that is neither a stuffed
    // zero nor a restart.
    for (size_t j = i + 2 + ((jpeg[i + 2] << 8) | jpeg[i + 3]); j + 1 < jpeg.size(); ++j)
      if (jpeg[j] == 0xFF && jpeg[j + 1] != 0 && (jpeg[j + 1] < 0xD0 || jpeg[j + 1] > 0xD7))
        return {i, j};
  }
  throw std::runtime_error("no first AC scan in the progressive JPEG");
}

// The size in a JPEG's frame header (SOF0 to SOF2) set to `size`.
Bytes WithFrameSize(Bytes jpeg, cv::Size size) {
  for (size_t i = 0; i + 8 < jpeg.size(); ++i)
    if (jpeg[i] == 0xFF && jpeg[i + 1] >= 0xC0 && jpeg[i + 1] <= 0xC2) {
      jpeg[i + 5] = static_cast<unsigned char>(size.height >> 8);
      jpeg[i + 6] = static_cast<unsigned char>(size.height);
      jpeg[i + 7] = static_cast<unsigned char>(size.width >> 8);
      jpeg[i + 8] = static_cast<unsigned char>(size.width);
      return jpeg;
    }
  throw std::runtime_error("no frame header in the JPEG");
}

}  // namespace

Bytes EncodeJpeg(const cv::Mat& image, const JpegOptions& options) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr err{};
  // libjpeg's own handler prints the cause and ends the program: the build
  // stops with it.
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_compress(&cinfo);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = static_cast<JDIMENSION>(image.cols);
  cinfo.image_height = static_cast<JDIMENSION>(image.rows);
  cinfo.input_components = image.channels();
  cinfo.in_color_space = image.channels() == 1   ? JCS_GRAYSCALE
                         : image.channels() == 3 ? JCS_EXT_BGR
                                                 : JCS_CMYK;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, options.quality, TRUE);
  if (options.progressive) jpeg_simple_progression(&cinfo);
  cinfo.arith_code = options.arithmetic ? TRUE : FALSE;
  cinfo.restart_in_rows = options.restartRows;
  if (options.fullChroma)
    for (int k = 0; k < cinfo.num_components; ++k) {
      cinfo.comp_info[k].h_samp_factor = 1;
      cinfo.comp_info[k].v_samp_factor = 1;
    }
  jpeg_start_compress(&cinfo, TRUE);
  for (const Bytes& app1 : options.app1)
    jpeg_write_marker(&cinfo, JPEG_APP0 + 1, app1.data(), static_cast<unsigned>(app1.size()));
  cv::Mat rows = image.isContinuous() ? image : image.clone();
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = rows.ptr<unsigned char>(static_cast<int>(cinfo.next_scanline));
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  Bytes out(buffer, buffer + size);
  std::free(buffer);
  return out;
}

void MakeJpegSeeds(Corpus& corpus) {
  const cv::Mat colour = Sample({23, 17}, 3);
  const cv::Mat grey = Sample({23, 17}, 1);
  const auto put = [&](const std::string& name, const cv::Mat& image, const JpegOptions& o) {
    corpus.Put("read_jpeg", name, EncodeJpeg(image, o));
  };
  put("baseline_420.jpg", colour, {});
  put("baseline_444.jpg", colour, {.quality = 95, .fullChroma = true});
  put("grey.jpg", grey, {});
  put("progressive.jpg", colour, {.progressive = true});
  put("progressive_grey.jpg", grey, {.progressive = true});
  put("arithmetic.jpg", colour, {.arithmetic = true});
  put("arithmetic_progressive.jpg", colour, {.progressive = true, .arithmetic = true});
  put("restarts.jpg", colour, {.restartRows = 1});
  put("cmyk.jpg", Sample({23, 17}, 4), {});
  for (int orientation = 2; orientation <= 8; ++orientation)
    put("orientation" + std::to_string(orientation) + ".jpg", colour,
        {.app1 = {ExifOrientationBlock(orientation)}});

  // A smooth picture's high frequencies are zero: its first AC scan is a few
  // bytes, and each repeat is a valid pass over every block.
  cv::Mat smooth;
  cv::GaussianBlur(Sample({48, 40}, 3), smooth, {0, 0}, 6);
  const Bytes progressive = EncodeJpeg(smooth, {.quality = 90, .progressive = true});
  const auto [begin, end] = FirstAcScan(progressive);
  const auto at = [&](size_t k) { return progressive.begin() + static_cast<std::ptrdiff_t>(k); };
  Bytes bomb(progressive.begin(), at(end));
  for (int k = 0; k < 600; ++k) bomb.insert(bomb.end(), at(begin), at(end));
  bomb.insert(bomb.end(), at(end), progressive.end());
  corpus.Put("read_jpeg", "hostile_600_scans.jpg", bomb);

  corpus.Put("read_jpeg", "hostile_40000x30000.jpg",
             WithFrameSize(EncodeJpeg(colour, {}), {40000, 30000}));
}

}  // namespace quadrix::seeds
