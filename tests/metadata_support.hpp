#pragma once
// Photos with what cameras and editors put in them (EXIF with a thumbnail
// and orientation 6, XMP, IPTC, an ICC profile), made and read back with
// Exiv2 directly, for the tests of metadata carried into pictures.

#include <exiv2/exiv2.hpp>
#include <exiv2/webpimage.hpp>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "imageio/icc_chunks.hpp"
#include "imageio/image_file.hpp"
#include "test_support.hpp"

namespace metadatasupport {

using namespace quadrix;

inline const cv::Size kSourceSize{173, 121};

using Bytes = std::vector<unsigned char>;

inline void Append32(Bytes& b, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<unsigned char>(v >> s));
}
inline void AppendText(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
inline void AppendS15(Bytes& b, double v) {
  Append32(b, static_cast<std::uint32_t>(std::lround(v * 65536)));
}

inline Bytes XyzTag(double x, double y, double z) {
  Bytes b;
  AppendText(b, "XYZ ");
  Append32(b, 0);
  for (double v : {x, y, z}) AppendS15(b, v);
  return b;
}

// A small but complete ICC (v2.1) display profile: an RGB matrix/gamma
// profile with Adobe RGB-like primaries, or a grey gamma profile. Readers
// that check profiles (libpng, ImageMagick) take it as valid. `privateBytes`
// more go into a private tag, as large profiles carry tables.
inline Bytes IccProfile(bool colour, size_t privateBytes = 0) {
  std::vector<std::pair<std::string, Bytes>> tags;
  Bytes desc;
  const std::string name = colour ? "Quadrix test RGB" : "Quadrix test grey";
  AppendText(desc, "desc");
  Append32(desc, 0);
  Append32(desc, static_cast<std::uint32_t>(name.size() + 1));
  AppendText(desc, name);
  desc.resize(desc.size() + 1 + 4 + 4 + 2 + 1 + 67, 0);  // NUL, no Unicode, no ScriptCode
  tags.emplace_back("desc", desc);
  Bytes cprt;
  AppendText(cprt, "text");
  Append32(cprt, 0);
  AppendText(cprt, "No copyright, test data");
  cprt.push_back(0);
  tags.emplace_back("cprt", cprt);
  tags.emplace_back("wtpt", XyzTag(0.9642, 1.0, 0.8249));
  const Bytes curve = {'c', 'u', 'r', 'v', 0, 0, 0, 0, 0, 0, 0, 1, 0x02, 0x33, 0, 0};  // 2.2
  if (colour) {
    tags.emplace_back("rXYZ", XyzTag(0.6097, 0.3111, 0.0195));
    tags.emplace_back("gXYZ", XyzTag(0.2053, 0.6257, 0.0609));
    tags.emplace_back("bXYZ", XyzTag(0.1492, 0.0632, 0.7446));
    for (const char* t : {"rTRC", "gTRC", "bTRC"}) tags.emplace_back(t, curve);
  } else {
    tags.emplace_back("kTRC", curve);
  }
  if (privateBytes > 0) {
    Bytes table = {'d', 'a', 't', 'a', 0, 0, 0, 0, 0, 0, 0, 1};  // binary data
    for (size_t i = 0; i < privateBytes; ++i) table.push_back(static_cast<unsigned char>(i * 7));
    tags.emplace_back("qxpv", table);
  }
  Bytes table;
  Bytes data;
  const size_t start = 128 + 4 + 12 * tags.size();
  for (auto& [sig, body] : tags) {
    AppendText(table, sig);
    Append32(table, static_cast<std::uint32_t>(start + data.size()));
    Append32(table, static_cast<std::uint32_t>(body.size()));
    data.insert(data.end(), body.begin(), body.end());
    data.resize((data.size() + 3) / 4 * 4, 0);
  }
  Bytes p;
  Append32(p, static_cast<std::uint32_t>(start + data.size()));
  Append32(p, 0);
  Append32(p, 0x02100000);
  AppendText(p, colour ? "mntrRGB XYZ " : "mntrGRAYXYZ ");
  for (int v : {2021, 6, 1, 12, 0, 0})
    p.insert(p.end(), {static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)});
  AppendText(p, "acsp");
  p.resize(68, 0);  // platform, flags, device, attributes; perceptual intent
  for (double v : {0.9642, 1.0, 0.8249}) AppendS15(p, v);
  p.resize(128, 0);
  Append32(p, static_cast<std::uint32_t>(tags.size()));
  p.insert(p.end(), table.begin(), table.end());
  p.insert(p.end(), data.begin(), data.end());
  return p;
}

inline Bytes Jpeg(const cv::Mat& image) {
  Bytes b;
  cv::imencode(".jpg", image, b);
  return b;
}

inline Bytes FileBytes(const std::string& path) {
  const std::string s = testsupport::ReadFile(path);
  return Bytes(s.begin(), s.end());
}

inline void PutFile(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
}

inline cv::Mat Photo(cv::Size size = kSourceSize) { return testsupport::Sample(size); }

// What a source file gets.
struct Parts {
  bool exif = true;
  bool xmp = true;
  bool icc = true;
};

// Writes `pixels` to `path` and gives it what a camera and a photo editor put
// there: EXIF with a thumbnail and orientation 6, XMP with a thumbnail, IPTC
// where the format holds it, and an ICC profile.
inline void MakeCameraPhoto(const std::string& path, const cv::Mat& pixels, Parts parts = {}) {
  WriteImageFile(path, pixels);
  const Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(path);
  image->readMetadata();
  if (parts.exif) {
    Exiv2::ExifData& exif = image->exifData();
    exif["Exif.Image.Make"] = "QuadrixCam";
    exif["Exif.Image.Model"] = "QX-1";
    exif["Exif.Image.Orientation"] = std::uint16_t{6};
    exif["Exif.Image.Copyright"] = "(c) A. Photographer";
    exif["Exif.Photo.DateTimeOriginal"] = "2021:06:01 12:34:56";
    exif["Exif.Photo.PixelXDimension"] = static_cast<std::uint32_t>(pixels.cols);
    exif["Exif.Photo.PixelYDimension"] = static_cast<std::uint32_t>(pixels.rows);
    exif["Exif.GPSInfo.GPSLatitudeRef"] = "N";
    const Bytes thumb = Jpeg(Photo({32, 24}));
    Exiv2::ExifThumb(exif).setJpegThumbnail(thumb.data(), static_cast<long>(thumb.size()));
  }
  if (parts.xmp) {
    Exiv2::XmpData& xmp = image->xmpData();
    xmp["Xmp.dc.title"] = "lang=x-default A building";
    xmp["Xmp.photoshop.Credit"] = "A. Photographer";
    xmp["Xmp.tiff.Orientation"] = "6";
    xmp["Xmp.exif.PixelXDimension"] = std::to_string(pixels.cols);
    xmp["Xmp.exif.PixelYDimension"] = std::to_string(pixels.rows);
    Exiv2::XmpTextValue alt;
    alt.setXmpArrayType(Exiv2::XmpValue::xaAlt);
    xmp.add(Exiv2::XmpKey("Xmp.xmp.Thumbnails"), &alt);
    xmp["Xmp.xmp.Thumbnails[1]/xmpGImg:format"] = "JPEG";
    xmp["Xmp.xmp.Thumbnails[1]/xmpGImg:image"] = "/9j/4AAQSkZJRgABAQ==";
    if (image->checkMode(Exiv2::mdIptc) & Exiv2::amWrite)
      image->iptcData()["Iptc.Application2.Caption"] = "A building at dusk";
  }
  Bytes icc = IccProfile(pixels.channels() == 3);
  // Exiv2 0.27 writes a WebP profile under a wrong chunk name.
  const bool webp = image->imageType() == Exiv2::ImageType::webp;
  if (parts.icc && !webp) {
    Exiv2::DataBuf buf(icc.data(), static_cast<long>(icc.size()));
    image->setIccProfile(buf, true);
  }
  image->writeMetadata();
  if (parts.icc && webp) {
    Bytes file = FileBytes(path);
    icc_chunks::PutIntoWebp(file, icc);
    PutFile(path, file);
  }
}

// What Exiv2 finds in a file.
struct Found {
  Exiv2::ExifData exif;
  Exiv2::XmpData xmp;
  Exiv2::IptcData iptc;
  Bytes icc;

  std::string Exif(const char* key) const {
    const auto pos = exif.findKey(Exiv2::ExifKey(key));
    return pos == exif.end() ? "(none)" : pos->toString();
  }
  std::string Xmp(const char* key) const {
    const auto pos = xmp.findKey(Exiv2::XmpKey(key));
    return pos == xmp.end() ? "(none)" : pos->toString();
  }
  bool HasExifGroup(const std::string& group) const {
    return std::any_of(exif.begin(), exif.end(),
                       [&](const Exiv2::Exifdatum& d) { return d.groupName() == group; });
  }
  bool HasXmpKeyStarting(const std::string& prefix) const {
    return std::any_of(xmp.begin(), xmp.end(),
                       [&](const Exiv2::Xmpdatum& d) { return d.key().rfind(prefix, 0) == 0; });
  }
};

inline Found FoundIn(const Exiv2::Image::AutoPtr& image) {
  image->readMetadata();
  Found f{image->exifData(), image->xmpData(), image->iptcData(), {}};
  if (image->iccProfileDefined())
    f.icc.assign(image->iccProfile()->pData_,
                 image->iccProfile()->pData_ + image->iccProfile()->size_);
  return f;
}
inline Found FoundIn(const std::string& path) { return FoundIn(Exiv2::ImageFactory::open(path)); }
inline Found FoundIn(const Bytes& file) {
  return FoundIn(Exiv2::ImageFactory::open(file.data(), static_cast<long>(file.size())));
}

}  // namespace metadatasupport
