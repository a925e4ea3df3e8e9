#pragma once
// Round and compact objects in a photo (balls, fruit, wheels, cups, a lid on
// a table): what the shape units keep in shape where the importance map
// alone would let them become ovals.

#include <opencv2/core.hpp>
#include <vector>

namespace quadrix {

// bgr8U3C: the photo (CV_8UC3). Each object as the ellipse that covers it,
// in the photo's pixels:
// - circles whose edge is close to a whole circle (radius from minRadius
//   pixels to half the shorter side), and
// - compact patches of one colour (convex, at most 2.5 times as long as
//   wide, 1 to 30 % of the photo, mostly clear of its border).
// Deterministic; an image below 32 pixels a side has none.
std::vector<cv::RotatedRect> FindCompactObjects(const cv::Mat& bgr8U3C, double minRadius);

}  // namespace quadrix
