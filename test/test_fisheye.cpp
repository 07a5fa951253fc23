#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>

#include "test_support.hpp"
#include "velmora_water_stain/fisheye.hpp"
#include "velmora_water_stain/geometry.hpp"

namespace vws = velmora_water_stain;

namespace
{

// The rear fisheye camera's compiled-in calibration and floor rectangle.
const cv::Mat kFisheyeK = (cv::Mat_<float>(3, 3) <<
  339.1646f, -0.048401807f, 412.04343f, 0.0f, 339.4804f, 305.0029f, 0.0f, 0.0f, 1.0f);
const cv::Mat kFisheyeD = (cv::Mat_<float>(4, 1) <<
  -0.20290732f, 0.050523773f, -0.031190876f, 0.009916748f);
const cv::Mat kFisheyeNewK = (cv::Mat_<float>(3, 3) <<
  139.16461f, -0.048401807f, 412.04343f, 0.0f, 139.48041f, 305.0029f, 0.0f, 0.0f, 1.0f);
const cv::Mat kFisheyeRvec = (cv::Mat_<float>(3, 1) << -2.000999f, -0.014999f, 1.57f);
const cv::Mat kFisheyeTvec = (cv::Mat_<float>(3, 1) << 0.0f, 0.7f, -0.226f);
const std::vector<cv::Point3f> kFisheyeFloor{
  {-1.5f, 0.3f, 0.0f}, {-1.5f, -0.3f, 0.0f}, {-0.5f, -0.3f, 0.0f}, {-0.5f, 0.3f, 0.0f}};

const std::vector<cv::Point2f> kFisheyeQuadrilateral{
  {448.5f, 314.6f}, {375.1f, 313.7f}, {227.3f, 605.4f}, {592.8f, 604.8f}};

cv::Mat column(float x, float y, float z)
{
  return (cv::Mat_<float>(3, 1) << x, y, z);
}

void expectNear(
  const std::vector<cv::Point2f> & actual, const std::vector<cv::Point2f> & expected)
{
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_NEAR(actual[i].x, expected[i].x, 0.1) << "corner " << i;
    EXPECT_NEAR(actual[i].y, expected[i].y, 0.1) << "corner " << i;
  }
}

cv::Mat randomImage(cv::Size size)
{
  cv::Mat image(size, CV_8UC3);
  cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(256));
  return image;
}

}  // namespace

TEST(FisheyeGeometry, EulerAnglesComposeYawPitchRoll)
{
  const float quarter = static_cast<float>(CV_PI / 2);
  const cv::Mat identity = vws::eulerToRotation(column(0.0f, 0.0f, 0.0f));
  ASSERT_EQ(identity.type(), CV_32F);
  EXPECT_LE(cv::norm(identity, cv::Mat::eye(3, 3, CV_32F), cv::NORM_INF), 1e-7);

  const cv::Mat quarter_yaw = vws::eulerToRotation(column(0.0f, 0.0f, quarter));
  const cv::Mat turned = quarter_yaw * column(1.0f, 0.0f, 0.0f);
  EXPECT_LE(cv::norm(turned, column(0.0f, 1.0f, 0.0f), cv::NORM_INF), 1e-6);

  // Roll is applied first: a quarter roll then a quarter yaw sends y to z, not to -x.
  const cv::Mat roll_then_yaw = vws::eulerToRotation(column(quarter, 0.0f, quarter));
  const cv::Mat y_axis = roll_then_yaw * column(0.0f, 1.0f, 0.0f);
  EXPECT_LE(cv::norm(y_axis, column(0.0f, 0.0f, 1.0f), cv::NORM_INF), 1e-6);
}

TEST(FisheyeGeometry, CompiledInCalibrationProjectsTheRearFloor)
{
  const std::vector<cv::Point2f> corners =
    vws::projectFisheyeCorners(kFisheyeFloor, kFisheyeRvec, kFisheyeTvec, kFisheyeNewK);

  expectNear(corners, kFisheyeQuadrilateral);
  // The near edge lies just below the undistorted image.
  EXPECT_GT(corners[2].y, vws::kFisheyeUndistortedSize.height);
  EXPECT_GT(corners[3].y, vws::kFisheyeUndistortedSize.height);
}

TEST(FisheyeGeometry, CropSizeDependsOnlyOnTheCalibration)
{
  const vws::FisheyeUndistorter undistorter(
    kFisheyeK, kFisheyeD, kFisheyeNewK, vws::kFisheyeUndistortedSize);
  const std::vector<cv::Point2f> corners =
    vws::projectFisheyeCorners(kFisheyeFloor, kFisheyeRvec, kFisheyeTvec, kFisheyeNewK);

  for (const cv::Size input : {cv::Size(800, 600), cv::Size(640, 480), cv::Size(1280, 720)}) {
    const cv::Mat undistorted = undistorter.undistort(randomImage(input));
    ASSERT_EQ(undistorted.size(), vws::kFisheyeUndistortedSize) << input;
    const cv::Mat crop = vws::rectifyFloorPatch(undistorted, corners);
    EXPECT_EQ(crop.size(), cv::Size(365, 291)) << input;
  }
}

TEST(FisheyeUndistortion, CachedMapsMatchUndistortImagePixelForPixel)
{
  const vws::FisheyeUndistorter undistorter(
    kFisheyeK, kFisheyeD, kFisheyeNewK, vws::kFisheyeUndistortedSize);
  ASSERT_TRUE(undistorter.ready());

  for (const cv::Size input : {cv::Size(800, 600), cv::Size(640, 480)}) {
    const cv::Mat frame = randomImage(input);
    cv::Mat reference;
    cv::fisheye::undistortImage(
      frame, reference, kFisheyeK, kFisheyeD, kFisheyeNewK, vws::kFisheyeUndistortedSize);

    const cv::Mat undistorted = undistorter.undistort(frame);

    ASSERT_EQ(undistorted.size(), reference.size()) << input;
    ASSERT_EQ(undistorted.type(), reference.type()) << input;
    EXPECT_EQ(cv::norm(undistorted, reference, cv::NORM_INF), 0.0) << input;
  }
}
