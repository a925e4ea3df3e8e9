#pragma once
// Rows the program adds to the mesh energy beside the quad and line units
// (see ResultParts). Each appends rows to `a`, whose columns are the host's
// coordinates (a.n == host.coordCount()); none adds points. Every row is zero
// when the mesh is the rest mesh scaled to the photo's aspect, so plain
// scaling keeps a zero energy. They read the host's aligned images,
// restCoords, quad counts and RestSize(), set by the time BuildEquationA
// calls them.

#include <opencv2/core.hpp>
#include <utility>
#include <vector>

#include "core/resize_host.hpp"
#include "engine/bridge.hpp"

namespace quadrix {

// One energy row under construction: coefficients by coordinate, merged on
// AppendTo so that no coordinate appears twice in the matrix.
class RowBuilder {
 public:
  void Add(int col, double coef) { terms_.emplace_back(col, coef); }
  // Appends the row times `factor` (nothing when the factor or every merged
  // coefficient is 0) and starts the next one.
  void AppendTo(TripletMatrix& a, double factor);

 private:
  std::vector<std::pair<int, double>> terms_;
};

// Straight segments of the photo kept straight in the drawn picture: for
// each of host.straightSegments() (detected on first use from imgSrc) and
// each sample where it crosses a drawn triangle, rows holding the sample on
// the chord of the segment's ends at its share of the way.
void AppendStraightSegmentRows(ResizeHost& host, TripletMatrix& a);
// The segments AppendStraightSegmentRows keeps straight, in aligned pixels:
// those of the aligned photo `src` (CV_8UC3, or else the grey image grey32F,
// CV_32FC1 scaled by 0.004) at least minLength pixels long.
std::vector<cv::Vec4f> FindStraightSegments(const cv::Mat& src, const cv::Mat& grey32F,
                                            double minLength);
// Line segments of an 8-bit grey image (CV_8UC1) at least minLength pixels
// long, (x0, y0, x1, y1) in its pixels.
std::vector<cv::Vec4f> DetectStraightSegments(const cv::Mat& grey8U, double minLength);
// Compact objects (round things, faces) moved by one similarity each.
void AppendShapeRows(ResizeHost& host, TripletMatrix& a);
// No zoom along the side that keeps its length, even scaling where the
// importance is flat (see EvenAxis).
void AppendEvenScaleRows(ResizeHost& host, TripletMatrix& a, EvenAxis axis);
void AppendEvenScaleRows(ResizeHost& host, TripletMatrix& a);

}  // namespace quadrix
