#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "log_capture.hpp"
#include "rcutils/logging.h"
#include "test_support.hpp"
#include "tf2/exceptions.h"
#include "water_stain_node_access.hpp"

using test_support::LogCapture;
using test_support::TemporaryDirectory;

namespace
{

const char kFrontFrame[] = "camera_01_color_optical_frame";
const char kRearFrame[] = "camera_05_color_optical_frame";

struct Orientation
{
  double x, y, z, w;
};

// Optical frames (x right, y down, z forward) as seen from base_footprint.
constexpr Orientation kLookingForward{-0.5, 0.5, -0.5, 0.5};
constexpr Orientation kLookingBackward{-0.5, -0.5, 0.5, 0.5};
constexpr Orientation kLookingUp{0.0, 0.0, 0.0, 1.0};

constexpr double kFocalLength = 400.0;
constexpr double kCameraHeight = 0.5;

// Static, as a robot's camera mounts are; mounting again replaces the previous pose.
geometry_msgs::msg::TransformStamped levelMount(
  const std::string & frame, const Orientation & orientation)
{
  geometry_msgs::msg::TransformStamped mount;
  mount.header.frame_id = "base_footprint";
  mount.child_frame_id = frame;
  mount.transform.translation.z = kCameraHeight;
  mount.transform.rotation.x = orientation.x;
  mount.transform.rotation.y = orientation.y;
  mount.transform.rotation.z = orientation.z;
  mount.transform.rotation.w = orientation.w;
  return mount;
}

geometry_msgs::msg::TransformStamped robotAt(double x, double y)
{
  geometry_msgs::msg::TransformStamped pose;
  pose.header.frame_id = "map";
  pose.header.stamp.sec = 5;
  pose.child_frame_id = "base_footprint";
  pose.transform.translation.x = x;
  pose.transform.translation.y = y;
  return pose;
}

std::shared_ptr<sensor_msgs::msg::CameraInfo> cameraInfo(
  double focal_length = kFocalLength, std::vector<double> distortion = {})
{
  auto msg = std::make_shared<sensor_msgs::msg::CameraInfo>();
  msg->k = {focal_length, 0, 640, 0, focal_length, 360, 0, 0, 1};
  msg->d = std::move(distortion);
  msg->distortion_model = "plumb_bob";
  return msg;
}

// Where a floor point (forward, left of the camera, in metres) lands for a level-mounted camera.
cv::Point2f pinhole(double forward, double left)
{
  return cv::Point2f(
    static_cast<float>(640.0 - kFocalLength * left / forward),
    static_cast<float>(360.0 + kFocalLength * kCameraHeight / forward));
}

void expectQuadrilateral(
  const std::vector<cv::Point2f> & actual, const std::vector<cv::Point2f> & expected)
{
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_NEAR(actual[i].x, expected[i].x, 1e-3) << "corner " << i;
    EXPECT_NEAR(actual[i].y, expected[i].y, 1e-3) << "corner " << i;
  }
}

const std::vector<cv::Point2f> kFrontQuadrilateral{
  {745.263f, 465.263f}, {534.737f, 465.263f}, {417.778f, 582.222f}, {862.222f, 582.222f}};

// The rear rectangle seen from a camera looking backward: forward is -x, left is -y.
const std::vector<cv::Point2f> kRearQuadrilateral{
  pinhole(1.4, -0.3), pinhole(1.4, 0.3), pinhole(0.4, 0.3), pinhole(0.4, -0.3)};

class CameraInfoTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    test_support::ensureRclcppInit();
    node_ = std::make_shared<node_access::WaterStainNodeAccess>(
      rclcpp::NodeOptions().parameter_overrides({
        {"image_dir", archive_.path()}, {"engine_path", "/nonexistent"}}));
  }

  TemporaryDirectory archive_;
  std::shared_ptr<node_access::WaterStainNodeAccess> node_;
};

}  // namespace

TEST_F(CameraInfoTest, FrontCameraCalibratesOnceItsFrameIsKnown)
{
  LogCapture log;
  node_->front_cam_info_callback(cameraInfo());

  EXPECT_TRUE(node_->floorQuadrilateral(Camera::front).empty());
  EXPECT_TRUE(log.containsAt(
    RCUTILS_LOG_SEVERITY_WARN,
    std::string("Could not transform 'base_footprint' to : ") + kFrontFrame + ", error: "));

  ASSERT_TRUE(node_->mountCamera(levelMount(kFrontFrame, kLookingForward)));
  log.clear();
  node_->front_cam_info_callback(cameraInfo());

  expectQuadrilateral(node_->floorQuadrilateral(Camera::front), kFrontQuadrilateral);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(CameraInfoTest, LaterCameraInfoChangesNothing)
{
  ASSERT_TRUE(node_->mountCamera(levelMount(kFrontFrame, kLookingForward)));
  node_->front_cam_info_callback(cameraInfo());
  const std::vector<cv::Point2f> calibrated = node_->floorQuadrilateral(Camera::front);

  node_->front_cam_info_callback(cameraInfo(900.0));
  node_->front_cam_info_callback(cameraInfo(kFocalLength, {-0.3, 0.1, 0.001, 0.002, -0.02}));
  ASSERT_TRUE(node_->mountCamera(levelMount(kFrontFrame, kLookingUp)));
  node_->front_cam_info_callback(cameraInfo());

  EXPECT_EQ(node_->floorQuadrilateral(Camera::front), calibrated);
}

TEST_F(CameraInfoTest, CamerasCalibrateIndependently)
{
  LogCapture log;
  ASSERT_TRUE(node_->mountCamera(levelMount(kFrontFrame, kLookingForward)));
  node_->cam_info_callback(cameraInfo());
  node_->front_cam_info_callback(cameraInfo());

  EXPECT_TRUE(node_->floorQuadrilateral(Camera::rear).empty());
  EXPECT_EQ(log.count(std::string("Could not transform 'base_footprint' to : ") + kRearFrame), 1u);
  expectQuadrilateral(node_->floorQuadrilateral(Camera::front), kFrontQuadrilateral);

  // Strong distortion coefficients: only K and the mount decide the quadrilateral.
  ASSERT_TRUE(node_->mountCamera(levelMount(kRearFrame, kLookingBackward)));
  node_->cam_info_callback(cameraInfo(kFocalLength, {0.5, -0.4, 0.01, 0.01, 0.2}));

  expectQuadrilateral(node_->floorQuadrilateral(Camera::rear), kRearQuadrilateral);
  expectQuadrilateral(node_->floorQuadrilateral(Camera::front), kFrontQuadrilateral);
}

TEST_F(CameraInfoTest, CameraLookingAwayFromTheFloorIsRejectedAndRetried)
{
  LogCapture log;
  ASSERT_TRUE(node_->mountCamera(levelMount(kFrontFrame, kLookingUp)));
  node_->front_cam_info_callback(cameraInfo());

  EXPECT_TRUE(node_->floorQuadrilateral(Camera::front).empty());
  EXPECT_TRUE(log.containsAt(
    RCUTILS_LOG_SEVERITY_WARN, std::string("Rejected calibration of ") + kFrontFrame +
    ": floor corner 0 is behind the camera (z = -0.5)"));

  ASSERT_TRUE(node_->mountCamera(levelMount(kFrontFrame, kLookingForward)));
  node_->front_cam_info_callback(cameraInfo());

  expectQuadrilateral(node_->floorQuadrilateral(Camera::front), kFrontQuadrilateral);
}

TEST_F(CameraInfoTest, RobotPoseIsTheLatestMapTransform)
{
  EXPECT_THROW(node_->lookupRobotPose(), tf2::TransformException);

  ASSERT_TRUE(node_->placeRobot(robotAt(3.0, -2.0)));
  const geometry_msgs::msg::TransformStamped pose = node_->lookupRobotPose();

  EXPECT_EQ(pose.header.frame_id, "map");
  EXPECT_EQ(pose.child_frame_id, "base_footprint");
  EXPECT_EQ(pose.header.stamp.sec, 5);
  EXPECT_DOUBLE_EQ(pose.transform.translation.x, 3.0);
  EXPECT_DOUBLE_EQ(pose.transform.translation.y, -2.0);
}
