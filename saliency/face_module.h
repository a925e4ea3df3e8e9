#pragma once
// The face detector module's one entry point (C linkage, so it can be looked
// up by name after loading the module).
//
// cascadePath: an OpenCV cascade file. grey: 8-bit image of width x height,
// rows `step` bytes apart. minSide: the smallest face side sought, pixels.
// rects: room for maxRects faces as x, y, width, height in the image's
// pixels. Returns the number of faces written, or -1 with a message in
// error (errorSize bytes, terminated) when the cascade cannot be read or the
// detector fails.

#include <cstddef>

extern "C" int quadrix_detect_faces(const char* cascadePath, const unsigned char* grey, int width,
                                    int height, size_t step, int minSide, int* rects, int maxRects,
                                    char* error, int errorSize);

using QuadrixDetectFacesFn = int (*)(const char*, const unsigned char*, int, int, size_t, int, int*,
                                     int, char*, int);
