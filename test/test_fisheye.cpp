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

#include "fisheye_calibration.hpp"
#include "test_support.hpp"
#include "velmora_water_stain/fisheye.hpp"
#include "velmora_water_stain/geometry.hpp"

namespace fc = fisheye_calibration;
namespace vws = velmora_water_stain;

namespace
{

cv::Mat column(float x, float y, float z)
{
  return (cv::Mat_<float>(3, 1) << x, y, z);
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
    vws::projectFisheyeCorners(fc::kFloor, fc::kRvec, fc::kTvec, fc::kNewK);

  fc::expectCornersNear(corners, fc::kQuadrilateral);
  // The near edge lies just below the undistorted image.
  EXPECT_GT(corners[2].y, vws::kFisheyeUndistortedSize.height);
  EXPECT_GT(corners[3].y, vws::kFisheyeUndistortedSize.height);
}

TEST(FisheyeGeometry, CropSizeDependsOnlyOnTheCalibration)
{
  const vws::FisheyeUndistorter undistorter(
    fc::kK, fc::kD, fc::kNewK, vws::kFisheyeUndistortedSize);
  const std::vector<cv::Point2f> corners =
    vws::projectFisheyeCorners(fc::kFloor, fc::kRvec, fc::kTvec, fc::kNewK);

  for (const cv::Size input : {cv::Size(800, 600), cv::Size(640, 480), cv::Size(1280, 720)}) {
    const cv::Mat undistorted = undistorter.undistort(fc::randomImage(input));
    ASSERT_EQ(undistorted.size(), vws::kFisheyeUndistortedSize) << input;
    const cv::Mat crop = vws::rectifyFloorPatch(undistorted, corners);
    EXPECT_EQ(crop.size(), cv::Size(365, 291)) << input;
  }
}

TEST(FisheyeUndistortion, CachedMapsMatchUndistortImagePixelForPixel)
{
  const vws::FisheyeUndistorter undistorter(
    fc::kK, fc::kD, fc::kNewK, vws::kFisheyeUndistortedSize);
  ASSERT_TRUE(undistorter.ready());

  for (const cv::Size input : {cv::Size(800, 600), cv::Size(640, 480)}) {
    const cv::Mat frame = fc::randomImage(input);
    cv::Mat reference;
    cv::fisheye::undistortImage(
      frame, reference, fc::kK, fc::kD, fc::kNewK, vws::kFisheyeUndistortedSize);

    const cv::Mat undistorted = undistorter.undistort(frame);

    ASSERT_EQ(undistorted.size(), reference.size()) << input;
    ASSERT_EQ(undistorted.type(), reference.type()) << input;
    EXPECT_EQ(cv::norm(undistorted, reference, cv::NORM_INF), 0.0) << input;
  }
}
