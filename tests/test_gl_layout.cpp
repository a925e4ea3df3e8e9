// The renderer's layout routines, which need no GL context: the mesh's
// index lists and the texels made of an image.

#include <gtest/gtest.h>

#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

#include "interop_gl/renderer.hpp"

using namespace quadrix;

TEST(MeshIndices, OneQuad) {
  const MeshIndices m = BuildMeshIndices(2, 2);
  EXPECT_EQ(m.triangles, (std::vector<std::uint32_t>{0, 1, 3, 0, 3, 2}));
  EXPECT_EQ(m.lines, (std::vector<std::uint32_t>{0, 1, 1, 3, 3, 2, 2, 0}));
}

TEST(MeshIndices, TwoQuadsSideBySide) {
  const MeshIndices m = BuildMeshIndices(3, 2);
  EXPECT_EQ(m.triangles, (std::vector<std::uint32_t>{0, 1, 4, 0, 4, 3, 1, 2, 5, 1, 5, 4}));
  EXPECT_EQ(m.lines, (std::vector<std::uint32_t>{0, 1, 1, 4, 4, 3, 3, 0, 1, 2, 2, 5, 5, 4, 4, 1}));
}

TEST(MeshIndices, SampleGridQuadInRowTwo) {
  // 44 x 31 vertices: 43 x 30 quads; quad (row 2, column 5) is quad 91 and
  // its top-left vertex is 2 * 44 + 5 = 93.
  const MeshIndices m = BuildMeshIndices(44, 31);
  ASSERT_EQ(m.triangles.size(), 6u * 43 * 30);
  ASSERT_EQ(m.lines.size(), 8u * 43 * 30);
  const std::vector<std::uint32_t> tri(m.triangles.begin() + 6 * 91, m.triangles.begin() + 6 * 92);
  EXPECT_EQ(tri, (std::vector<std::uint32_t>{93, 94, 138, 93, 138, 137}));
  EXPECT_EQ(m.lines.back(), 44u * 30 - 2);  // the last quad closes at its top-left vertex
}

TEST(ImageTexels, ColourBytesBecomeRgbaQuotients) {
  cv::Mat img(1, 2, CV_8UC3);
  img.at<cv::Vec3b>(0, 0) = cv::Vec3b(255, 0, 0);
  img.at<cv::Vec3b>(0, 1) = cv::Vec3b(0, 0, 255);
  EXPECT_EQ(BuildImageTexels(img), (std::vector<float>{0, 0, 1, 1, 1, 0, 0, 1}));

  // Each quotient is formed in double precision, then stored as a float.
  cv::Mat all(1, 256, CV_8UC3);
  for (int v = 0; v < 256; ++v) all.at<cv::Vec3b>(0, v) = cv::Vec3b(v, v, v);
  const std::vector<float> t = BuildImageTexels(all);
  for (int v = 0; v < 256; ++v) ASSERT_EQ(t[4 * v], static_cast<float>(v / 255.0)) << v;
}

TEST(ImageTexels, BottomRowFirst) {
  cv::Mat img(2, 1, CV_8UC1);
  img.at<uchar>(0, 0) = 255;  // top
  img.at<uchar>(1, 0) = 0;    // bottom
  EXPECT_EQ(BuildImageTexels(img), (std::vector<float>{0, 0, 0, 1, 1, 1, 1, 1}));
}

TEST(ImageTexels, GreyFromChannelZeroForOtherChannelCounts) {
  for (int channels : {1, 2, 4}) {
    cv::Mat img(1, 1, CV_8UC(channels), cv::Scalar(51, 102, 153, 204));
    const float g = static_cast<float>(51 / 255.0);
    EXPECT_EQ(BuildImageTexels(img), (std::vector<float>{g, g, g, 1})) << channels;
  }
}

TEST(ImageTexels, FloatValuesTakenUnscaled) {
  cv::Mat colour(1, 1, CV_32FC3, cv::Scalar(-0.5, 2.0, 7.25));
  EXPECT_EQ(BuildImageTexels(colour), (std::vector<float>{7.25f, 2.0f, -0.5f, 1}));
  cv::Mat grey(1, 1, CV_32FC2, cv::Scalar(1.02, 9.0));
  EXPECT_EQ(BuildImageTexels(grey), (std::vector<float>{1.02f, 1.02f, 1.02f, 1}));
}

TEST(ImageTexels, OtherDepthsGiveAllZeros) {
  for (int type : {CV_16UC3, CV_64FC1, CV_8SC1}) {
    cv::Mat img(3, 2, type, cv::Scalar(100, 100, 100));
    EXPECT_EQ(BuildImageTexels(img), std::vector<float>(3 * 2 * 4, 0.0f)) << type;
  }
}
