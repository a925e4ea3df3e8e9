#pragma once
// Small stateless image routines used by the saliency map and by the mesh
// layout. Outputs passed by reference are (re)allocated to the stated size
// and type; callers own them.

#include <opencv2/core.hpp>

namespace quadrix {

struct ZqCvHelper {
  // cmplx: CV_32FC2 (re, im). magnitude, phase: CV_32FC1 of cmplx's size.
  // phase = atan2(im, re) in (-pi, pi].
  static void AbsAngle(const cv::Mat& cmplx, cv::Mat& magnitude, cv::Mat& phase);

  // magnitude, phase: CV_32FC1 of one size. cmplx: CV_32FC2 of that size.
  static void Polar2Cmplx(const cv::Mat& magnitude, const cv::Mat& phase, cv::Mat& cmplx);

  // Coordinate grids in the manner of a numeric meshgrid: nx columns from
  // xStart by xStep, ny rows from yStart by yStep, both CV_64FC1 (ny x nx).
  static void MeshGrid(double xStart, double xEnd, double yStart, double yEnd, double xStep,
                       double yStep, cv::Mat& fx64FC1, cv::Mat& fy64FC1);

  // Stretches a CV_32FC1 image linearly to [0, 1]. With dst null a new image
  // is returned; dst may be the source itself. Fails on a flat image.
  static cv::Mat Mat2GrayLinear(const cv::Mat& mat32FC1, cv::Mat* dst = nullptr);

  // Rescales so the shorter side becomes about 256 and both sides are
  // multiples of 8 (bilinear). A source whose shorter side is below 128
  // prints a warning and leaves dst untouched.
  static void ScaleToWorkingSize(const cv::Mat& src, cv::Mat& dst);

  // CIE L*u*v* of a blue-green-red float image (CV_32FC3, values clamped to
  // [0, 1], sRGB, white D65), into dst (CV_32FC3): L in [0, 100], u and v
  // about -134 to 220, as OpenCV's conversion gives them. Its own conversion
  // builds large tables on first use, which costs more than the whole
  // importance map of a photo.
  static void BgrToLuv(const cv::Mat& src32FC3, cv::Mat& dst);
};

}  // namespace quadrix
