#ifndef FISHEYE_CALIBRATION_HPP_
#define FISHEYE_CALIBRATION_HPP_

#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include <opencv2/core.hpp>

// The rear fisheye camera's compiled-in calibration and floor rectangle, written out again so
// that the tests check the node's own copies rather than read them back.
namespace fisheye_calibration
{

inline const cv::Mat kK = (cv::Mat_<float>(3, 3) <<
  339.16461f, -0.04840181f, 412.04343f, 0.0f, 339.48041f, 305.00290f, 0.0f, 0.0f, 1.0f);
inline const cv::Mat kD = (cv::Mat_<float>(4, 1) <<
  -0.20290732f, 0.050523773f, -0.031190876f, 0.009916748f);
inline const cv::Mat kNewK = (cv::Mat_<float>(3, 3) <<
  139.16461f, -0.04840181f, 412.04343f, 0.0f, 139.48041f, 305.00290f, 0.0f, 0.0f, 1.0f);
inline const cv::Mat kRvec = (cv::Mat_<float>(3, 1) << -2.000999f, -0.014999f, 1.57f);
inline const cv::Mat kTvec = (cv::Mat_<float>(3, 1) << 0.0f, 0.7f, -0.226f);
inline const std::vector<cv::Point3f> kFloor{
  {-1.5f, 0.3f, 0.0f}, {-1.5f, -0.3f, 0.0f}, {-0.5f, -0.3f, 0.0f}, {-0.5f, 0.3f, 0.0f}};
// The floor rectangle in the undistorted image.
inline const std::vector<cv::Point2f> kQuadrilateral{
  {448.5f, 314.6f}, {375.1f, 313.7f}, {227.3f, 605.4f}, {592.8f, 604.8f}};

inline void expectCornersNear(
  const std::vector<cv::Point2f> & actual, const std::vector<cv::Point2f> & expected)
{
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_NEAR(actual[i].x, expected[i].x, 0.1) << "corner " << i;
    EXPECT_NEAR(actual[i].y, expected[i].y, 0.1) << "corner " << i;
  }
}

inline cv::Mat randomImage(cv::Size size)
{
  cv::Mat image(size, CV_8UC3);
  cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(256));
  return image;
}

}  // namespace fisheye_calibration

#endif  // FISHEYE_CALIBRATION_HPP_
