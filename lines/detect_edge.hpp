#pragma once
// The curvilinear edge detector. It smooths and
// differentiates a grey image with Gaussian derivative filters,
// keeps the pixels whose gradient magnitude is a local maximum across the
// edge, and links them into labelled chains. Its product is the label image
// lineIndImg; the host's line-constraint builder reads it.
//
// Calling order: construct, SetImage, CalFirDer, NoneMaximalSuppress, Link;
// then read lineIndImg (and the chain list) before the detector goes away.
// Members are plain public fields: the host reads the label image directly.

#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

namespace quadrix {

// A start point for linking: a suppressed-maximum pixel at or above the high
// threshold, with its gradient magnitude.
struct EdgeSeed {
  int32_t y;
  int32_t x;
  float strength;
};

// One accepted chain. End A is where the backward trace stopped, end B where
// the forward trace stopped; the angles are the running directions there,
// pointing away from the chain.
struct EdgeChain {
  int32_t label = 0;
  int32_t xA = 0;
  int32_t yA = 0;
  int32_t xB = 0;
  int32_t yB = 0;
  float angleA = 0.0f;
  float angleB = 0.0f;
  int32_t length = 0;
};

struct RingOffset {
  int dx;
  int dy;
};

// The 8 neighbours; code c lies in the direction c * pi/4 (x to the right,
// y downwards).
inline constexpr RingOffset NEAR_RING[8] = {{1, 0},  {1, 1},   {0, 1},  {-1, 1},
                                            {-1, 0}, {-1, -1}, {0, -1}, {1, -1}};

// The 16 pixels at chessboard distance 2; entry j lies in the direction
// j * pi/8.
inline constexpr RingOffset FAR_RING[16] = {{2, 0},  {2, 1},  {2, 2},  {1, 2},   {0, 2},   {-1, 2},
                                            {-2, 2}, {-2, 1}, {-2, 0}, {-2, -1}, {-2, -2}, {-1, -2},
                                            {0, -2}, {1, -2}, {2, -2}, {2, -1}};

// Unoriented difference of two directions (modulo pi), in [0, pi/2].
float AngleDiff(float a, float b);

// Brings the pixel direction phi to the orientation of the running direction
// theta (flipping it by pi where it points against the travel), adopts it as
// the new theta and writes it back into phi.
void UpdateDirection(float& theta, float& phi);

class CDetectEdge {
 public:
  // `lines`: the caller's chain list (the caller owns it and must keep it
  // alive longer than the detector). sigma must be greater than 0.4.
  CDetectEdge(std::vector<EdgeChain>* lines, double sigma);
  ~CDetectEdge();
  CDetectEdge(const CDetectEdge&) = delete;
  CDetectEdge& operator=(const CDetectEdge&) = delete;

  // Releases everything held, copies `img32FC1` (CV_32FC1; not checked) and
  // allocates the work images, all continuous.
  void SetImage(const cv::Mat& img32FC1);

  // Fills derYImg, derXImg, secDerImg (magnitude) and angleImg (direction
  // along the edge, radians in [0, 2 pi)).
  void CalFirDer();

  // Fills lineIndImg with 0 and -1 (suppressed maxima at or above `low`) and
  // seedList with the maxima at or above `high`, in reverse raster order.
  void NoneMaximalSuppress(float low, float high);

  // Links edge pixels into chains; chains longer than minLength get the labels
  // 1, 2, ..., the pixels of shorter ones -2.
  void Link(int32_t minLength);

  // Extends `chain` from (col, row) in one direction.
  void Trace(int row, int col, bool backward, EdgeChain& chain);

  // One step to NEAR_RING[code], respectively two to FAR_RING[index]; true if
  // it moved. (x, y) and theta are the current position and direction.
  bool StepNear(int& x, int& y, float& theta, EdgeChain& chain, int code, bool backward,
                bool strict);
  bool StepFar(int& x, int& y, float& theta, EdgeChain& chain, int index, bool backward,
               bool strict);

  // Empties the caller's chain list and releases all images.
  void Release();

  cv::Mat srcImg;      // CV_32FC1, the detector's copy of the input
  cv::Mat secDerImg;   // CV_32FC1, gradient magnitude
  cv::Mat angleImg;    // CV_32FC1, edge direction in [0, 2 pi)
  cv::Mat lineIndImg;  // CV_32SC1, labels: 0, -1, -2 or chain number >= 1
  cv::Mat linkDirImg;  // CV_32SC1, NEAR_RING code of the next chain pixel, or -1
  cv::Mat derYImg;     // CV_32FC1, vertical first derivative
  cv::Mat derXImg;     // CV_32FC1, horizontal first derivative
  std::vector<EdgeSeed> seedList;
  std::vector<EdgeChain>* chainList;
  double filterSigma;
  int32_t imgHeight = 0;
  int32_t imgWidth = 0;

 private:
  // One pass of the four attempts of Trace step 3, strict or relaxed.
  bool TracePass(int& x, int& y, float& theta, EdgeChain& chain, bool backward, bool strict);
};

}  // namespace quadrix
