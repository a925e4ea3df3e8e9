#pragma once
// The ICC profile put into PNG and WebP files by hand. Exiv2 0.27 writes the
// PNG iCCP chunk without the name the format requires (libpng and the
// browsers drop it) and the WebP ICCP chunk under the name VP8X (no reader
// finds it), so metadata.cpp leaves these two to this code.

#include <vector>

namespace quadrix::icc_chunks {

// Puts `icc` into the whole PNG file `png` as its iCCP chunk, named "ICC
// profile", right after IHDR; any iCCP or sRGB chunk there was goes. Throws
// ImageFileError when the file's chunks cannot be followed.
void PutIntoPng(std::vector<unsigned char>& png, const std::vector<unsigned char>& icc);

// Puts `icc` into the whole WebP file `webp` as its ICCP chunk, after the
// extended header (VP8X), which a simple file gets with the canvas size of
// its bitstream; any ICCP chunk there was goes. Throws ImageFileError when
// the file's chunks cannot be followed.
void PutIntoWebp(std::vector<unsigned char>& webp, const std::vector<unsigned char>& icc);

}  // namespace quadrix::icc_chunks
