#include "shell/save_names.hpp"

#include <filesystem>
#include <system_error>

namespace quadrix {

namespace fs = std::filesystem;

std::string WindowTitle(const std::string& photoPath, cv::Size size) {
  if (photoPath.empty()) return "Quadrix";
  return fs::path(photoPath).filename().string() + " — " + std::to_string(size.width) + "×" +
         std::to_string(size.height) + " — Quadrix";
}

SuggestedPicture SuggestPicture(const std::string& photoPath, cv::Size size) {
  const std::string dims = std::to_string(size.width) + "x" + std::to_string(size.height);
  if (photoPath.empty()) return {"", "quadrix_" + dims + ".png", ImageFormat::kPng};
  const fs::path photo(photoPath);
  ImageFormat format = FormatForName(photoPath);
  // The extension as the photo spells it (".JPG" stays), when it is one the
  // window writes.
  std::string ext = photo.extension().string();
  if (format == ImageFormat::kUnknown) {
    format = ImageFormat::kPng;
    ext = ".png";
  }
  return {photo.parent_path().string(), photo.stem().string() + "_" + dims + ext, format};
}

bool IsSameFile(const std::string& path, const std::string& photoPath) {
  std::error_code ec;
  const bool same = fs::equivalent(path, photoPath, ec);
  return !ec && same;
}

}  // namespace quadrix
