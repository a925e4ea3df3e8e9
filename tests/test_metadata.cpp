// Photo metadata carried from a source file into resized outputs: every part
// arrives in each format that holds it, describes the new pixels, and leaves
// those pixels as they were written. Files are made and read back with Exiv2
// directly, and cross-checked with ImageMagick where it is installed.

#include <gtest/gtest.h>

#include <exiv2/exiv2.hpp>
#include <exiv2/webpimage.hpp>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <thread>
#include <tuple>

#include "imageio/icc_chunks.hpp"
#include "imageio/image_file.hpp"
#include "imageio/metadata.hpp"
#include "metadata_support.hpp"
#include "test_support.hpp"

using namespace quadrix;
using testsupport::Quote;
using testsupport::TempDir;
using namespace metadatasupport;

namespace {

constexpr std::int64_t kNoLimit = std::int64_t{1} << 40;
const cv::Size kOutputSize{140, 100};

cv::Mat Pixels(const std::string& path) {
  return ReadImageFile(path, ImageMode::kColour, kNoLimit);
}

bool Same(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

}  // namespace

// ---- Every source format into every output format --------------------------

class CarriedInto : public testing::TestWithParam<std::tuple<std::string, std::string>> {
 protected:
  void SetUp() override {
    const auto& [from, to] = GetParam();
    source = dir / ("camera." + from);
    output = dir / ("out." + to);
    MakeCameraPhoto(source, Photo());
    const Found camera = FoundIn(source);
    ASSERT_EQ(camera.Exif("Exif.Image.Orientation"), "6");
    ASSERT_GT(Exiv2::ExifThumbC(camera.exif).copy().size_, 0);
    ASSERT_TRUE(camera.HasXmpKeyStarting("Xmp.xmp.Thumbnails"));
    cv::resize(Photo(), pixels, kOutputSize, 0, 0, cv::INTER_AREA);
    WriteImageFile(output, pixels);
    written = Pixels(output);
    plain = FoundIn(output);
    WritePhotoMetadata(output, ReadPhotoMetadata(source), pixels);
    found = FoundIn(output);
  }
  bool IptcOnBothSides() const {
    return std::get<0>(GetParam()) != "webp" && std::get<1>(GetParam()) != "webp";
  }

  TempDir dir;
  std::string source, output;
  cv::Mat pixels, written;
  Found plain, found;
};

TEST_P(CarriedInto, CameraEditorAndColourProfileArrive) {
  EXPECT_EQ(found.Exif("Exif.Image.Make"), "QuadrixCam");
  EXPECT_EQ(found.Exif("Exif.Image.Model"), "QX-1");
  EXPECT_EQ(found.Exif("Exif.Image.Copyright"), "(c) A. Photographer");
  EXPECT_EQ(found.Exif("Exif.Photo.DateTimeOriginal"), "2021:06:01 12:34:56");
  EXPECT_EQ(found.Exif("Exif.GPSInfo.GPSLatitudeRef"), "N");
  EXPECT_EQ(found.Xmp("Xmp.dc.title"), "lang=\"x-default\" A building");
  EXPECT_EQ(found.Xmp("Xmp.photoshop.Credit"), "A. Photographer");
  const auto caption = found.iptc.findKey(Exiv2::IptcKey("Iptc.Application2.Caption"));
  if (IptcOnBothSides()) {
    ASSERT_NE(caption, found.iptc.end());
    EXPECT_EQ(caption->toString(), "A building at dusk");
  } else {
    EXPECT_EQ(caption, found.iptc.end());
  }
  EXPECT_EQ(found.icc, IccProfile(true));
}

TEST_P(CarriedInto, MetadataDescribesTheNewUprightPixels) {
  EXPECT_EQ(found.Exif("Exif.Image.Orientation"), "1");
  EXPECT_EQ(found.Exif("Exif.Photo.PixelXDimension"), std::to_string(kOutputSize.width));
  EXPECT_EQ(found.Exif("Exif.Photo.PixelYDimension"), std::to_string(kOutputSize.height));
  EXPECT_EQ(found.Xmp("Xmp.tiff.Orientation"), "1");
  EXPECT_EQ(found.Xmp("Xmp.exif.PixelXDimension"), std::to_string(kOutputSize.width));
  EXPECT_EQ(found.Xmp("Xmp.exif.PixelYDimension"), std::to_string(kOutputSize.height));
  // The thumbnails showed the source; none is better than a wrong one.
  EXPECT_EQ(Exiv2::ExifThumbC(found.exif).copy().size_, 0);
  EXPECT_FALSE(found.HasExifGroup("Thumbnail"));
  EXPECT_FALSE(found.HasXmpKeyStarting("Xmp.xmp.Thumbnails"));
}

TEST_P(CarriedInto, PixelsAndTheFilesOwnStructureStay) {
  const cv::Mat back = Pixels(output);
  EXPECT_TRUE(Same(back, written)) << "the picture changed when its metadata was written";
  if (std::get<1>(GetParam()) != "jpg") {
    EXPECT_TRUE(Same(back, pixels));
  } else {
    EXPECT_LT(cv::norm(back, pixels, cv::NORM_L1) / static_cast<double>(pixels.total()), 3 * 3.0);
  }
  // A TIFF's own tags say how its strips are stored: the source's (another
  // size, another file) must not replace them. The strips may move.
  for (const Exiv2::Exifdatum& d : plain.exif) {
    if (d.groupName() != "Image" || d.tagName() == "StripOffsets") continue;
    EXPECT_EQ(found.Exif(d.key().c_str()), d.toString()) << d.key();
  }
  if (std::get<1>(GetParam()) == "tif") {
    EXPECT_EQ(found.Exif("Exif.Image.ImageWidth"), std::to_string(kOutputSize.width));
    EXPECT_EQ(found.Exif("Exif.Image.ImageLength"), std::to_string(kOutputSize.height));
  } else {
    EXPECT_EQ(found.Exif("Exif.Image.ImageWidth"), "(none)");
    EXPECT_EQ(found.Exif("Exif.Image.StripOffsets"), "(none)");
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, CarriedInto,
                         testing::Combine(testing::Values("jpg", "png", "tif", "webp"),
                                          testing::Values("jpg", "png", "tif", "webp")),
                         [](const auto& info) {
                           return std::get<0>(info.param) + "_to_" + std::get<1>(info.param);
                         });

// ---- What is read -----------------------------------------------------------

TEST(PhotoMetadataRead, ACameraPhotoGivesEveryPart) {
  TempDir dir;
  MakeCameraPhoto(dir / "camera.jpg", Photo());
  const PhotoMetadata meta = ReadPhotoMetadata(dir / "camera.jpg");
  EXPECT_FALSE(meta.empty());
  EXPECT_TRUE(meta.hasExif());
  EXPECT_TRUE(meta.hasXmp());
  EXPECT_TRUE(meta.hasIptc());
  EXPECT_TRUE(meta.hasIccProfile());
  const PhotoMetadata copy = meta;  // shared, and still whole
  EXPECT_TRUE(copy.hasExif() && copy.hasIccProfile());
  EXPECT_TRUE(PhotoMetadata().empty());
  EXPECT_FALSE(PhotoMetadata().hasExif() || PhotoMetadata().hasIccProfile());
}

TEST(PhotoMetadataRead, FilesWithoutMetadataGiveNoneAndGetNothingWritten) {
  TempDir dir;
  const PhotoMetadata camera = [&] {
    MakeCameraPhoto(dir / "camera.jpg", Photo());
    return ReadPhotoMetadata(dir / "camera.jpg");
  }();
  for (const char* ext : {"jpg", "png", "tif", "webp", "bmp"}) {
    SCOPED_TRACE(ext);
    const std::string path = dir / (std::string("plain.") + ext);
    WriteImageFile(path, Photo());
    const Bytes before = FileBytes(path);
    // Our TIFF holds its structure tags as EXIF: they are not metadata.
    EXPECT_TRUE(ReadPhotoMetadata(path).empty());
    EXPECT_TRUE(ReadPhotoMetadata(before.data(), before.size()).empty());
    WritePhotoMetadata(path, PhotoMetadata(), Photo());
    EXPECT_EQ(FileBytes(path), before);
    if (std::string(ext) == "bmp") {
      // The format holds none: the file stays as it was, without an error.
      EXPECT_NO_THROW(WritePhotoMetadata(path, camera, Photo()));
      EXPECT_EQ(FileBytes(path), before);
    }
  }
}

// `plain` with a JPEG APP1 segment holding `payload` put after the SOI marker.
Bytes WithApp1(const Bytes& plain, const std::string& payload) {
  const size_t length = payload.size() + 2;
  Bytes b = {0xFF,
             0xD8,
             0xFF,
             0xE1,
             static_cast<unsigned char>(length >> 8),
             static_cast<unsigned char>(length)};
  AppendText(b, payload);
  b.insert(b.end(), plain.begin() + 2, plain.end());
  return b;
}

TEST(PhotoMetadataRead, DamagedOrOddSourcesNeverThrow) {
  TempDir dir;
  const cv::Mat grey = [] {
    cv::Mat g;
    cv::cvtColor(Photo(), g, cv::COLOR_BGR2GRAY);
    return g;
  }();
  MakeCameraPhoto(dir / "grey.jpg", grey, {.exif = false});  // XMP, IPTC, ICC
  const Bytes good = FileBytes(dir / "grey.jpg");
  // EXIF whose first IFD lies far beyond the segment, and XMP that is not XML.
  const Bytes badExif = WithApp1(good, std::string("Exif\0\0II*\0\0\0\0\xF0zzzz", 18));
  const Bytes badXmp =
      WithApp1(good, std::string("http://ns.adobe.com/xap/1.0/\0<x:xmpmeta <<", 43));
  for (const Bytes* file : {&badExif, &badXmp}) {
    PhotoMetadata meta;
    ASSERT_NO_THROW(meta = ReadPhotoMetadata(file->data(), file->size()));
    EXPECT_FALSE(meta.hasExif());
    EXPECT_FALSE(meta.hasXmp());
    // Exiv2 gives up on the whole file at an EXIF block it cannot follow,
    // but takes the rest beside XMP that is not XML.
    if (file == &badXmp) {
      EXPECT_TRUE(meta.hasIptc() && meta.hasIccProfile());
    }
    // The reader still takes the file's pixels.
    PutFile(dir / "odd.jpg", *file);
    EXPECT_EQ(Pixels(dir / "odd.jpg").size(), grey.size());
  }
  const Bytes cut(good.begin(), good.begin() + 300);
  const Bytes noise = [] {
    Bytes n(4000);
    cv::randu(n, 0, 256);
    return n;
  }();
  const Bytes tiffLoop = {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x10, 0x01, 2,
                          0,   200, 0,  0, 0, 8, 0, 0, 0, 8, 0,    0,    0};
  for (const Bytes* file : {&cut, &noise, &tiffLoop}) {
    PutFile(dir / "odd", *file);
    EXPECT_NO_THROW(ReadPhotoMetadata(dir / "odd"));
    EXPECT_NO_THROW(ReadPhotoMetadata(file->data(), file->size()));
  }
  EXPECT_TRUE(ReadPhotoMetadata(noise.data(), noise.size()).empty());
  EXPECT_TRUE(ReadPhotoMetadata(nullptr, 0).empty());
  EXPECT_TRUE(ReadPhotoMetadata(dir / "no such file.jpg").empty());
  EXPECT_TRUE(ReadPhotoMetadata(dir.path().string()).empty());
}

TEST(PhotoMetadataRead, ANameThatLooksLikeAnAddressIsAFile) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "http:" / "host");
  MakeCameraPhoto(dir / "http:/host/photo.jpg", Photo());
  const std::filesystem::path was = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  // Exiv2 would fetch this over HTTP; it is the file http:/host/photo.jpg.
  const PhotoMetadata meta = ReadPhotoMetadata("http://host/photo.jpg");
  std::filesystem::current_path(was);
  EXPECT_TRUE(meta.hasExif());
}

// ---- What is written --------------------------------------------------------

TEST(PhotoMetadataWrite, ColourProfileOnlyWhereItsColourSpaceFits) {
  TempDir dir;
  const cv::Mat colour = Photo(kOutputSize);
  cv::Mat grey;
  cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
  MakeCameraPhoto(dir / "rgb.jpg", Photo());
  MakeCameraPhoto(dir / "grey.jpg", grey);
  MakeCameraPhoto(dir / "profile.png", Photo(), {.exif = false, .xmp = false});
  const PhotoMetadata rgb = ReadPhotoMetadata(dir / "rgb.jpg");
  const PhotoMetadata greyMeta = ReadPhotoMetadata(dir / "grey.jpg");
  const PhotoMetadata iccOnly = ReadPhotoMetadata(dir / "profile.png");
  ASSERT_TRUE(rgb.hasIccProfile() && greyMeta.hasIccProfile() && iccOnly.hasIccProfile());
  ASSERT_FALSE(iccOnly.hasExif() || iccOnly.hasXmp() || iccOnly.hasIptc());
  for (const char* ext : {"jpg", "png", "tif", "webp"}) {
    SCOPED_TRACE(ext);
    const std::string path = dir / (std::string("out.") + ext);
    // Our WebP files are coded in colour whatever the pixels.
    const bool webp = std::string(ext) == "webp";
    // An RGB profile on grey pixels would misdescribe them; the rest stays.
    WriteImageFile(path, grey);
    WritePhotoMetadata(path, rgb, grey);
    EXPECT_EQ(FoundIn(path).icc, webp ? IccProfile(true) : Bytes());
    EXPECT_EQ(FoundIn(path).Exif("Exif.Image.Make"), "QuadrixCam");
    // A grey source's profile goes with grey pixels, not with colour ones.
    WriteImageFile(path, grey);
    WritePhotoMetadata(path, greyMeta, grey);
    EXPECT_EQ(FoundIn(path).icc, webp ? Bytes() : IccProfile(false));
    WriteImageFile(path, colour);
    WritePhotoMetadata(path, greyMeta, colour);
    EXPECT_TRUE(FoundIn(path).icc.empty());
    // A profile alone: no other metadata has made room for it (a WebP
    // stays a simple file until the profile comes).
    WriteImageFile(path, colour);
    const cv::Mat written = Pixels(path);
    WritePhotoMetadata(path, iccOnly, colour);
    EXPECT_EQ(FoundIn(path).icc, IccProfile(true));
    EXPECT_TRUE(Same(Pixels(path), written));
  }
}

TEST(PhotoMetadataWrite, ProfileLargerThanAJpegSegmentArrivesWhole) {
  TempDir dir;
  const std::string source = dir / "large.tif";
  WriteImageFile(source, Photo());
  const Bytes large = IccProfile(true, 150000);  // a JPEG segment holds under 64 KiB
  {
    const Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(source);
    image->readMetadata();
    Exiv2::DataBuf buf(large.data(), static_cast<long>(large.size()));
    image->setIccProfile(buf, true);
    image->writeMetadata();
  }
  const PhotoMetadata meta = ReadPhotoMetadata(source);
  const cv::Mat pixels = Photo(kOutputSize);
  for (const char* ext : {"jpg", "png", "tif", "webp"}) {
    SCOPED_TRACE(ext);
    const std::string path = dir / (std::string("out.") + ext);
    WriteImageFile(path, pixels);
    const cv::Mat written = Pixels(path);
    WritePhotoMetadata(path, meta, pixels);
    EXPECT_EQ(FoundIn(path).icc, large);
    EXPECT_TRUE(Same(Pixels(path), written));
  }
}

TEST(PhotoMetadataWrite, ThreadsReadAndWriteAtOnce) {
  TempDir dir;
  MakeCameraPhoto(dir / "camera.jpg", Photo());
  const cv::Mat pixels = Photo(kOutputSize);
  const char* exts[] = {"jpg", "png", "tif", "webp"};
  std::vector<std::string> makes(8);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < makes.size(); ++t)
    threads.emplace_back([&, t] {
      const std::string path = dir / ("out" + std::to_string(t) + "." + exts[t % 4]);
      for (int round = 0; round < 5; ++round) {
        WriteImageFile(path, pixels);
        WritePhotoMetadata(path, ReadPhotoMetadata(dir / "camera.jpg"), pixels);
      }
      makes[t] = FoundIn(path).Xmp("Xmp.photoshop.Credit") + FoundIn(path).Exif("Exif.Image.Make");
    });
  for (std::thread& t : threads) t.join();
  for (const std::string& m : makes) EXPECT_EQ(m, "A. PhotographerQuadrixCam");
}

TEST(PhotoMetadataWrite, InMemoryGivesTheSameFileAsOnDisk) {
  TempDir dir;
  MakeCameraPhoto(dir / "camera.tif", Photo());
  const Bytes source = FileBytes(dir / "camera.tif");
  const PhotoMetadata meta = ReadPhotoMetadata(source.data(), source.size());
  ASSERT_TRUE(meta.hasExif() && meta.hasXmp() && meta.hasIptc() && meta.hasIccProfile());
  const cv::Mat pixels = Photo(kOutputSize);
  for (const char* ext : {"jpg", "png", "tif", "webp", "bmp"}) {
    SCOPED_TRACE(ext);
    const std::string path = dir / (std::string("out.") + ext);
    WriteImageFile(path, pixels);
    Bytes inMemory = FileBytes(path);
    WritePhotoMetadata(path, meta, pixels);
    WritePhotoMetadata(inMemory, meta, pixels);
    EXPECT_EQ(inMemory, FileBytes(path));
    if (std::string(ext) == "bmp") continue;
    EXPECT_EQ(FoundIn(inMemory).Exif("Exif.Image.Make"), "QuadrixCam");
    EXPECT_EQ(FoundIn(inMemory).Exif("Exif.Photo.PixelXDimension"),
              std::to_string(kOutputSize.width));
  }
}

TEST(PhotoMetadataWrite, FilesThatCannotBeUpdatedAreRefusedWithACause) {
  TempDir dir;
  MakeCameraPhoto(dir / "camera.png", Photo());
  const PhotoMetadata meta = ReadPhotoMetadata(dir / "camera.png");
  const cv::Mat pixels = Photo(kOutputSize);
  auto cause = [&](const std::function<void()>& write) -> std::string {
    try {
      write();
    } catch (const ImageFileError& e) {
      return e.what();
    }
    return "no error";
  };
  const std::string missing = dir / "missing.jpg";
  EXPECT_NE(cause([&] { WritePhotoMetadata(missing, meta, pixels); }), "no error");
  EXPECT_FALSE(std::filesystem::exists(missing));
  PutFile(dir / "text.jpg", Bytes{'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'});
  EXPECT_NE(cause([&] { WritePhotoMetadata(dir / "text.jpg", meta, pixels); }), "no error");
  // Exiv2's own metadata file: a format it knows, but not one of ours.
  PutFile(dir / "a.exv", Bytes{0xFF, 0x01, 'E', 'x', 'i', 'v', '2', 0xFF, 0xD9});
  EXPECT_EQ(cause([&] { WritePhotoMetadata(dir / "a.exv", meta, pixels); }),
            "metadata can be written only into JPEG, PNG, TIFF and WebP files");
  Bytes empty;
  EXPECT_EQ(cause([&] { WritePhotoMetadata(empty, meta, pixels); }), "the file is empty");
  Bytes junk(100, 'x');
  EXPECT_NE(cause([&] { WritePhotoMetadata(junk, meta, pixels); }), "no error");
  EXPECT_EQ(junk, Bytes(100, 'x'));
}

// ---- Seen by another reader -------------------------------------------------

TEST(PhotoMetadataWrite, ImageMagickFindsTheProfileAndTheCamera) {
  if (testsupport::Run("command -v convert").status != 0) GTEST_SKIP() << "no ImageMagick";
  TempDir dir;
  MakeCameraPhoto(dir / "camera.jpg", Photo());
  const PhotoMetadata meta = ReadPhotoMetadata(dir / "camera.jpg");
  const cv::Mat pixels = Photo(kOutputSize);
  for (const char* ext : {"jpg", "png", "tif", "webp"}) {
    SCOPED_TRACE(ext);
    const std::string path = dir / (std::string("out.") + ext);
    const std::string icc = dir / "out.icc";
    WriteImageFile(path, pixels);
    WritePhotoMetadata(path, meta, pixels);
    const auto r = testsupport::Run("convert " + Quote(path) + " " + Quote("icc:" + icc));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(FileBytes(icc), IccProfile(true));
    // ImageMagick shows a TIFF's Make as a TIFF tag, and others' in their EXIF.
    std::string make;
    if (std::string(ext) == "tif") {
      make = testsupport::Run("identify -format '%[tiff:make]' " + Quote(path)).out;
    } else {
      testsupport::Run("convert " + Quote(path) + " " + Quote("exif:" + dir / "out.exif"));
      make = testsupport::ReadFile(dir / "out.exif");
    }
    EXPECT_NE(make.find("QuadrixCam"), std::string::npos);
  }
}
