#include <gtest/gtest.h>

#include "analysis/ZqCvHelper.hpp"

using quadrix::ZqCvHelper;

TEST(MeshGrid, GridOfQuadCorners) {
  cv::Mat fx, fy;
  ZqCvHelper::MeshGrid(0, 100, 0, 60, 20, 20, fx, fy);
  ASSERT_EQ(fx.cols, 6);
  ASSERT_EQ(fx.rows, 4);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 6; ++j) {
      EXPECT_EQ(fx.at<double>(i, j), 20.0 * j);
      EXPECT_EQ(fy.at<double>(i, j), 20.0 * i);
    }
}
