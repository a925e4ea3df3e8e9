// Seeds for the metadata target: photos carrying EXIF (with GPS, maker notes
// and a thumbnail), XMP, IPTC and ICC profiles of both colour spaces, in
// every format that holds them, written by Exiv2 (the ICC profile of PNG
// and WebP by icc_chunks, as the outputs get theirs).

#include <exiv2/exiv2.hpp>
#include <exiv2/webpimage.hpp>
#include <memory>
#include <stdexcept>

#include "fuzz/seeds.hpp"
#include "imageio/icc_chunks.hpp"
#include "imageio/image_file.hpp"

namespace quadrix::seeds {

namespace {

struct Parts {
  bool exif = false;
  bool xmp = false;
  bool iptc = false;
  const char* icc = nullptr;                 // "RGB " or "GRAY"
  const char* make = "Quadrix Test Camera";  // a maker note's make
  bool thumbnail = false;
};

void AddExif(Exiv2::ExifData& exif, const Parts& p) {
  exif["Exif.Image.Make"] = p.make;
  exif["Exif.Image.Model"] = "Model 1";
  exif["Exif.Image.Orientation"] = std::uint16_t{6};
  exif["Exif.Image.Copyright"] = "Nobody";
  exif["Exif.Photo.DateTimeOriginal"] = "2024:05:06 07:08:09";
  exif["Exif.Photo.ExposureTime"] = Exiv2::URational(1, 250);
  exif["Exif.Photo.PixelXDimension"] = std::uint32_t{4000};
  exif["Exif.Photo.UserComment"] = "charset=Ascii a comment";
  exif["Exif.GPSInfo.GPSLatitudeRef"] = "N";
  Exiv2::URationalValue latitude;
  latitude.read("47/1 30/1 1234/100");
  exif.add(Exiv2::ExifKey("Exif.GPSInfo.GPSLatitude"), &latitude);
  exif["Exif.Iop.InteroperabilityIndex"] = "R98";
  if (std::string(p.make) == "Canon") {
    exif["Exif.Canon.OwnerName"] = "Owner";
    exif["Exif.Canon.FirmwareVersion"] = "Firmware 1.0";
  } else if (std::string(p.make) == "NIKON CORPORATION") {
    exif["Exif.Nikon3.Quality"] = "FINE";
    exif["Exif.Nikon3.WhiteBalance"] = "AUTO";
  }
}

void AddXmp(Exiv2::XmpData& xmp) {
  xmp["Xmp.dc.creator"] = "Somebody";
  xmp["Xmp.dc.rights"] = "lang=x-default All rights reserved";
  xmp["Xmp.dc.subject"] = "bag of words";
  xmp["Xmp.tiff.Orientation"] = "6";
  xmp["Xmp.tiff.ImageWidth"] = "4000";
  xmp["Xmp.exif.PixelXDimension"] = "4000";
  xmp["Xmp.xmp.Rating"] = "3";
}

void AddIptc(Exiv2::IptcData& iptc) {
  iptc["Iptc.Application2.Copyright"] = "Nobody";
  iptc["Iptc.Application2.Keywords"] = "seed";
  iptc["Iptc.Application2.City"] = "Somewhere";
}

Bytes WithMetadata(Bytes file, const Parts& p) {
  const std::unique_ptr<Exiv2::Image> image =
      Exiv2::ImageFactory::open(file.data(), static_cast<long>(file.size()));
  image->readMetadata();
  if (p.exif) AddExif(image->exifData(), p);
  if (p.thumbnail) {
    const Bytes thumb = EncodeJpeg(Sample({8, 6}, 3), {});
    Exiv2::ExifThumb(image->exifData())
        .setJpegThumbnail(thumb.data(), static_cast<long>(thumb.size()));
  }
  if (p.xmp) AddXmp(image->xmpData());
  if (p.iptc) AddIptc(image->iptcData());
  const int type = image->imageType();
  const Bytes icc = p.icc != nullptr ? IccProfile(p.icc) : Bytes();
  if (!icc.empty() && (type == Exiv2::ImageType::jpeg || type == Exiv2::ImageType::tiff)) {
    Exiv2::DataBuf profile(icc.data(), static_cast<long>(icc.size()));
    image->setIccProfile(profile, true);
  }
  image->writeMetadata();
  Exiv2::BasicIo& io = image->io();
  Bytes out(static_cast<size_t>(io.size()));
  io.seek(0, Exiv2::BasicIo::beg);
  if (io.read(out.data(), static_cast<long>(out.size())) != static_cast<long>(out.size()))
    throw std::runtime_error("Exiv2's file cannot be read back");
  if (!icc.empty() && type == Exiv2::ImageType::png) icc_chunks::PutIntoPng(out, icc);
  if (!icc.empty() && type == Exiv2::ImageType::webp) icc_chunks::PutIntoWebp(out, icc);
  return out;
}

}  // namespace

void MakeMetadataSeeds(Corpus& corpus) {
  Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
  Exiv2::XmpParser::initialize();
  const cv::Mat colour = Sample({16, 12}, 3);
  const cv::Mat grey = Sample({16, 12}, 1);
  const Bytes jpeg = EncodeJpeg(colour, {});
  const Parts all{true, true, true, "RGB "};
  const auto put = [&](const std::string& name, const Bytes& file, const Parts& p) {
    corpus.Put("metadata", name, WithMetadata(file, p));
  };
  put("all.jpg", jpeg, all);
  put("all_grey.jpg", EncodeJpeg(grey, {}), {true, true, true, "GRAY"});
  put("exif.jpg", jpeg, {.exif = true});
  put("exif_thumbnail.jpg", jpeg, {.exif = true, .thumbnail = true});
  put("canon.jpg", jpeg, {.exif = true, .make = "Canon"});
  put("nikon.jpg", jpeg, {.exif = true, .make = "NIKON CORPORATION"});
  put("xmp.jpg", jpeg, {.xmp = true});
  put("iptc.jpg", jpeg, {.iptc = true});
  put("icc.jpg", jpeg, {.icc = "RGB "});
  put("all.png", EncodeImage(colour, ImageFormat::kPng), all);
  put("all_grey.png", EncodeImage(grey, ImageFormat::kPng), {true, true, true, "GRAY"});
  put("all.tif", EncodeImage(colour, ImageFormat::kTiff), all);
  put("all.webp", EncodeImage(colour, ImageFormat::kWebp, 70), {true, true, false, "RGB "});
  // The metadata of a file without any, and of one that holds none.
  corpus.Put("metadata", "none.jpg", jpeg);
  corpus.Put("metadata", "none.bmp", EncodeImage(colour, ImageFormat::kBmp));
}

}  // namespace quadrix::seeds
