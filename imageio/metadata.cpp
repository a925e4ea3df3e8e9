// Photo metadata through Exiv2 (0.27). The output file is written first by
// our own codecs; Exiv2 then rewrites it with the metadata added, which it
// does for JPEG, PNG, TIFF and WebP without touching the coded pixels.

#include "imageio/metadata.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exiv2/exiv2.hpp>
#include <exiv2/webpimage.hpp>
#include <mutex>
#include <new>

#include "imageio/icc_chunks.hpp"
#include "imageio/image_file.hpp"

namespace quadrix {

struct PhotoMetadata::Impl {
  Exiv2::ExifData exif;
  Exiv2::XmpData xmp;
  Exiv2::IptcData iptc;
  std::vector<unsigned char> icc;
};

PhotoMetadata::PhotoMetadata() = default;
PhotoMetadata::PhotoMetadata(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}
bool PhotoMetadata::hasExif() const { return impl_ && !impl_->exif.empty(); }
bool PhotoMetadata::hasXmp() const { return impl_ && !impl_->xmp.empty(); }
bool PhotoMetadata::hasIptc() const { return impl_ && !impl_->iptc.empty(); }
bool PhotoMetadata::hasIccProfile() const { return impl_ && !impl_->icc.empty(); }

namespace {

std::mutex xmpMutex;

void LockXmp(void*, bool lock) {
  if (lock)
    xmpMutex.lock();
  else
    xmpMutex.unlock();
}

// Once per process, before any thread touches XMP: the toolkit's start is not
// thread-safe. Exiv2's warnings about odd files would otherwise reach stderr.
void StartExiv2() {
  static std::once_flag once;
  std::call_once(once, [] {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    Exiv2::XmpParser::initialize(LockXmp, nullptr);
  });
}

// IFD0 tags that say how a TIFF stores its pixels, or that hold parts carried
// on their own (XMP, IPTC, Photoshop resources, the ICC profile). An output
// TIFF keeps its own; elsewhere they would describe pixels that are not there.
constexpr std::uint16_t kStructureTags[] = {
    0x00fe, 0x00ff, 0x0100, 0x0101, 0x0102, 0x0103, 0x0106, 0x0107, 0x0108, 0x0109, 0x010a, 0x0111,
    0x0115, 0x0116, 0x0117, 0x0118, 0x0119, 0x011c, 0x0120, 0x0121, 0x0122, 0x0123, 0x0124, 0x0125,
    0x012d, 0x013d, 0x0140, 0x0141, 0x0142, 0x0143, 0x0144, 0x0145, 0x014a, 0x014c, 0x0152, 0x0153,
    0x0154, 0x0155, 0x0156, 0x015b, 0x0200, 0x0201, 0x0202, 0x0203, 0x0205, 0x0206, 0x0207, 0x0208,
    0x0209, 0x0211, 0x0212, 0x0213, 0x0214, 0x02bc, 0x83bb, 0x8649, 0x8773, 0x935c};

// The EXIF worth carrying: the main image's IFD, the Exif, GPS and
// interoperability IFDs and the maker note. Not the thumbnail's IFD, nor the
// IFDs of other images in the source.
bool Carried(const Exiv2::Exifdatum& d) {
  const std::string group = d.groupName();
  if (group == "Image")
    return std::find(std::begin(kStructureTags), std::end(kStructureTags), d.tag()) ==
           std::end(kStructureTags);
  return group == "Photo" || group == "GPSInfo" || group == "Iop" ||
         Exiv2::ExifTags::isMakerGroup(group);
}

PhotoMetadata Extract(Exiv2::Image& image) {
  image.readMetadata();
  auto m = std::make_shared<PhotoMetadata::Impl>();
  for (const Exiv2::Exifdatum& d : image.exifData())
    if (Carried(d)) m->exif.add(d);
  m->xmp = image.xmpData();
  m->iptc = image.iptcData();
  if (image.iccProfileDefined()) {
    const Exiv2::DataBuf* icc = image.iccProfile();
    m->icc.assign(icc->pData_, icc->pData_ + icc->size_);
  }
  if (m->exif.empty() && m->xmp.empty() && m->iptc.empty() && m->icc.empty()) return {};
  return PhotoMetadata(std::move(m));
}

// The image in the file at `path`, never fetched from a URL the name may
// look like; null when its format is not known.
Exiv2::Image::AutoPtr OpenFile(const std::string& path) {
  Exiv2::BasicIo::AutoPtr io(std::make_unique<Exiv2::FileIo>(path).release());
  return Exiv2::ImageFactory::open(io);
}

// Reads through `open`; anything that goes wrong gives no metadata.
template <class Open>
PhotoMetadata ReadWith(Open open) {
  StartExiv2();
  try {
    const Exiv2::Image::AutoPtr image = open();
    if (image.get() == nullptr) return {};
    return Extract(*image);
  } catch (const std::exception&) {
    // Exiv2's own errors, and the allocations a damaged size asks for.
    return {};
  }
}

std::uint32_t BigEndian32(const unsigned char* b) {
  return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
}

// A profile whose stated length is its own and whose colour space is the
// picture's: an RGB profile on grey pixels, or the grey profile of a grey
// source whose pixels became colour, would misdescribe them.
bool IccFits(const std::vector<unsigned char>& icc, bool colour) {
  if (icc.size() < 128 || BigEndian32(icc.data()) != icc.size()) return false;
  return std::memcmp(icc.data() + 16, colour ? "RGB " : "GRAY", 4) == 0;
}

void SetIfPresent(Exiv2::XmpData& xmp, const char* key, const std::string& value) {
  const auto pos = xmp.findKey(Exiv2::XmpKey(key));
  if (pos != xmp.end()) pos->setValue(value);
}

// The EXIF for the output: the file's own (a TIFF's structure tags) with the
// carried tags over it, describing the new upright pixels.
Exiv2::ExifData OutputExif(const Exiv2::ExifData& own, const Exiv2::ExifData& carried,
                           cv::Size size) {
  Exiv2::ExifData exif = own;
  if (carried.empty()) return exif;
  for (const Exiv2::Exifdatum& d : carried) {
    const auto pos = exif.findKey(Exiv2::ExifKey(d.key()));
    if (pos != exif.end())
      pos->setValue(&d.value());
    else
      exif.add(d);
  }
  const auto orientation = exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
  if (orientation != exif.end()) *orientation = std::uint16_t{1};
  exif["Exif.Photo.PixelXDimension"] = static_cast<std::uint32_t>(size.width);
  exif["Exif.Photo.PixelYDimension"] = static_cast<std::uint32_t>(size.height);
  return exif;
}

Exiv2::XmpData OutputXmp(const Exiv2::XmpData& carried, cv::Size size) {
  Exiv2::XmpData xmp = carried;
  // The thumbnail shows the old picture; there is none to replace it with.
  for (auto it = xmp.begin(); it != xmp.end();) {
    if (it->key().rfind("Xmp.xmp.Thumbnails", 0) == 0)
      it = xmp.erase(it);
    else
      ++it;
  }
  const std::string w = std::to_string(size.width);
  const std::string h = std::to_string(size.height);
  SetIfPresent(xmp, "Xmp.tiff.Orientation", "1");
  SetIfPresent(xmp, "Xmp.tiff.ImageWidth", w);
  SetIfPresent(xmp, "Xmp.tiff.ImageLength", h);
  SetIfPresent(xmp, "Xmp.exif.PixelXDimension", w);
  SetIfPresent(xmp, "Xmp.exif.PixelYDimension", h);
  return xmp;
}

bool Writable(int type) {
  return type == Exiv2::ImageType::jpeg || type == Exiv2::ImageType::png ||
         type == Exiv2::ImageType::tiff || type == Exiv2::ImageType::webp;
}

std::vector<unsigned char> Contents(Exiv2::BasicIo& io) {
  const long size = io.size();
  std::vector<unsigned char> bytes(static_cast<size_t>(std::max(size, 0L)));
  io.seek(0, Exiv2::BasicIo::beg);
  if (io.read(bytes.data(), size) != size)
    throw ImageFileError("the rewritten file cannot be read back");
  return bytes;
}

// Writes the metadata into the whole file `file`; false when it is a BMP,
// left as it is. The ICC profile goes in through Exiv2 for JPEG and TIFF and
// by icc_chunks for PNG and WebP (see there why).
bool Rewrite(std::vector<unsigned char>& file, const PhotoMetadata::Impl& m,
             const cv::Mat& pixels) {
  if (file.empty()) throw ImageFileError("the file is empty");
  StartExiv2();
  try {
    const Exiv2::Image::AutoPtr image =
        Exiv2::ImageFactory::open(file.data(), static_cast<long>(file.size()));
    const int type = image->imageType();
    if (type == Exiv2::ImageType::bmp) return false;
    if (!Writable(type))
      throw ImageFileError("metadata can be written only into JPEG, PNG, TIFF and WebP files");
    // Our WebP files are always coded in colour.
    const bool icc = IccFits(m.icc, type == Exiv2::ImageType::webp || pixels.channels() == 3);
    image->readMetadata();
    image->setExifData(OutputExif(image->exifData(), m.exif, pixels.size()));
    image->setXmpData(OutputXmp(m.xmp, pixels.size()));
    if (image->checkMode(Exiv2::mdIptc) & Exiv2::amWrite) image->setIptcData(m.iptc);
    if (icc && (type == Exiv2::ImageType::jpeg || type == Exiv2::ImageType::tiff)) {
      Exiv2::DataBuf profile(m.icc.data(), static_cast<long>(m.icc.size()));
      image->setIccProfile(profile, false);
    }
    image->writeMetadata();
    std::vector<unsigned char> out = Contents(image->io());
    if (icc && type == Exiv2::ImageType::png) icc_chunks::PutIntoPng(out, m.icc);
    if (icc && type == Exiv2::ImageType::webp) icc_chunks::PutIntoWebp(out, m.icc);
    file = std::move(out);
    return true;
  } catch (const Exiv2::AnyError& e) {
    throw ImageFileError(std::string("its metadata cannot be written (") + e.what() + ")");
  }
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::vector<unsigned char> Load(const std::string& path) {
  const FilePtr f(std::fopen(path.c_str(), "rb"));
  if (!f) throw ImageFileError(std::strerror(errno));
  std::vector<unsigned char> bytes;
  unsigned char block[1 << 16];
  for (size_t n; (n = std::fread(block, 1, sizeof block, f.get())) > 0;)
    bytes.insert(bytes.end(), block, block + n);
  if (std::ferror(f.get())) throw ImageFileError(std::strerror(errno));
  return bytes;
}

void Save(const std::string& path, const std::vector<unsigned char>& bytes) {
  FilePtr f(std::fopen(path.c_str(), "wb"));
  if (!f) throw ImageFileError(std::strerror(errno));
  if (std::fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size() ||
      std::fclose(f.release()) != 0)
    throw ImageFileError(std::string("write failed: ") + std::strerror(errno));
}

}  // namespace

PhotoMetadata ReadPhotoMetadata(const std::string& path) {
  return ReadWith([&] { return OpenFile(path); });
}

PhotoMetadata ReadPhotoMetadata(const unsigned char* data, size_t size) {
  if (data == nullptr || size == 0) return {};
  return ReadWith([&] { return Exiv2::ImageFactory::open(data, static_cast<long>(size)); });
}

void WritePhotoMetadata(const std::string& path, const PhotoMetadata& meta, const cv::Mat& image) {
  if (meta.empty()) return;
  std::vector<unsigned char> file = Load(path);
  if (Rewrite(file, *meta.impl(), image)) Save(path, file);
}

void WritePhotoMetadata(std::vector<unsigned char>& file, const PhotoMetadata& meta,
                        const cv::Mat& image) {
  if (meta.empty()) return;
  Rewrite(file, *meta.impl(), image);
}

}  // namespace quadrix
