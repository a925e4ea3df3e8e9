#pragma once
// The names the window shows and suggests: its title, what Save Picture
// suggests, and when it must warn.

#include <opencv2/core.hpp>
#include <string>

#include "imageio/image_file.hpp"

namespace quadrix {

// "NAME — W×H — Quadrix" for the photo at `photoPath` of `size` pixels;
// "Quadrix" without a photo (empty path).
std::string WindowTitle(const std::string& photoPath, cv::Size size);

struct SuggestedPicture {
  std::string folder;  // the photo's folder; empty without a photo
  std::string name;    // NAME_WxH.EXT
  ImageFormat format;  // the photo's own, when it is one the window writes; else PNG
};

// The picture of the photo at `photoPath` at `size`: named after the photo
// and its new size, in its folder and format ("quadrix_WxH.png" without a
// photo).
SuggestedPicture SuggestPicture(const std::string& photoPath, cv::Size size);

// True when `path` and `photoPath` name one file (through links, or "./"
// and the like); false when either does not exist.
bool IsSameFile(const std::string& path, const std::string& photoPath);

}  // namespace quadrix
