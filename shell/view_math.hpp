#pragma once
// The arithmetic of the window's view: the target size (what is solved and
// saved) and the zoom (drawing-area pixels per target pixel) are separate,
// and the drawing area follows target × zoom. Nothing here needs the
// toolkit.

#include <opencv2/core.hpp>
#include <span>
#include <string>

namespace quadrix {

// The zoom levels Zoom In and Zoom Out step through.
inline constexpr double kZoomSteps[] = {0.05, 0.1, 0.125, 1.0 / 6, 0.25, 1.0 / 3, 0.5, 2.0 / 3,
                                        1.0,  1.5, 2.0,   3.0,     4.0,  6.0,     8.0};
inline constexpr double kMinZoom = kZoomSteps[0];
inline constexpr double kMaxZoom = kZoomSteps[sizeof kZoomSteps / sizeof kZoomSteps[0] - 1];
// What fitting may go down to, below the steps, so that even the largest
// target keeps the window inside the screen.
inline constexpr double kLeastZoom = 0.001;

// The largest zoom, at most `limit`, at which `target` fits into
// `available` pixels, in steps of 0.1 % so that the status bar can say it;
// never below kLeastZoom.
double FitZoom(cv::Size target, cv::Size available, double limit = 1.0);

// The next zoom level above (up) or below `zoom`, kept within [kMinZoom,
// maxZoom]; `zoom` itself when there is none.
double StepZoom(double zoom, bool up, double maxZoom);

// The drawing area that shows `target` at `zoom`: each side rounded, at
// least 1 where the target side is.
cv::Size ViewSize(cv::Size target, double zoom);

// The target that a drawing area of `area` shows at `zoom` (the inverse of
// ViewSize; the user dragged the border).
cv::Size TargetForArea(cv::Size area, double zoom);

// Where the picture lies in a drawing area of `area` pixels: all of it when
// the area is the view of target at zoom; otherwise, when the toolkit gave
// another size than asked (a window cannot be narrower than its menu bar),
// the target at the largest scale up to `zoom` that fits, centred.
// Rows counted from the top.
cv::Rect PictureRect(cv::Size area, cv::Size target, double zoom);

// The source position that the mesh `xy` (vx × vy vertices in vertex
// order, pixels of the target) shows at the point `p` of the target, for a
// source of `src` pixels; `scale`: how many source pixels one target pixel
// covers there. False when `p` lies on no triangle of the mesh.
bool MeshPointToSource(int vx, int vy, std::span<const float> xy, cv::Size src, cv::Point2d p,
                       cv::Point2d& at, double& scale);

// A size of aspect ratioW : ratioH that keeps the width (keepWidth) or the
// height of `current`.
cv::Size AspectSize(int ratioW, int ratioH, cv::Size current, bool keepWidth);

// A duration for the status bar: "<0.1 ms", "1.2 ms", "240 ms", "1.5 s".
std::string FormatDuration(double ms);

}  // namespace quadrix
