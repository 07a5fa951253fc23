#include <gtest/gtest.h>

#include <cmath>
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
#include "log_capture.hpp"
#include "pipeline_fixture.hpp"
#include "rcutils/logging.h"
#include "test_scene.hpp"
#include "test_support.hpp"
#include "tf2/exceptions.h"
#include "velmora_water_stain/fisheye.hpp"
#include "water_stain_node_access.hpp"

namespace fc = fisheye_calibration;
namespace vws = velmora_water_stain;
using node_access::Camera;
using test_support::LogCapture;
using test_support::TemporaryDirectory;

// Camera info: the colour cameras' calibration, driven through the callbacks.
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
  EXPECT_EQ(node_->floorQuadrilateral(Camera::front), calibrated);
  node_->front_cam_info_callback(cameraInfo(kFocalLength, {-0.3, 0.1, 0.001, 0.002, -0.02}));
  EXPECT_EQ(node_->floorQuadrilateral(Camera::front), calibrated);
  ASSERT_TRUE(node_->mountCamera(levelMount(kFrontFrame, kLookingUp)));
  node_->front_cam_info_callback(cameraInfo());
  EXPECT_EQ(node_->floorQuadrilateral(Camera::front), calibrated);

  // Likewise the rear camera, which keeps its own first calibration.
  ASSERT_TRUE(node_->mountCamera(levelMount(kRearFrame, kLookingBackward)));
  node_->cam_info_callback(cameraInfo());
  const std::vector<cv::Point2f> rear = node_->floorQuadrilateral(Camera::rear);
  ASSERT_EQ(rear.size(), 4u);
  node_->cam_info_callback(cameraInfo(900.0));
  EXPECT_EQ(node_->floorQuadrilateral(Camera::rear), rear);
  ASSERT_TRUE(node_->mountCamera(levelMount(kRearFrame, kLookingForward)));
  node_->cam_info_callback(cameraInfo(kFocalLength * 2));
  EXPECT_EQ(node_->floorQuadrilateral(Camera::rear), rear);
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
  for (int message = 0; message < 3; ++message) {
    node_->front_cam_info_callback(cameraInfo());
  }

  EXPECT_TRUE(node_->floorQuadrilateral(Camera::front).empty());
  EXPECT_TRUE(log.containsAt(
    RCUTILS_LOG_SEVERITY_WARN, std::string("Rejected calibration of ") + kFrontFrame +
    ": floor corner 0 is behind the camera (z = -0.5)"));
  // At the camera's rate, one line per 10 s rather than one per message.
  EXPECT_EQ(log.count("Rejected calibration of "), 1u);

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

// The image pipelines, driven through the node's real topics.
using pipeline_fixture::history;
using pipeline_fixture::kClean;
using pipeline_fixture::kDirty;
using pipeline_fixture::kStubborn;
using pipeline_fixture::kUnsure;
using pipeline_fixture::PipelineTest;

TEST_F(PipelineTest, RearFirstFrameDecidesAloneThenStandingStillConfirms)
{
  startNode();
  calibrateAndWork();
  LogCapture log;
  for (int32_t sec = 1; sec <= 3; ++sec) {
    rearFrame(kDirty, sec, 0.0);
  }
  EXPECT_EQ(verdicts(1, 3), (std::vector<std::string>{"dirty", "dirty", "dirty"}));
  EXPECT_EQ(log.count("dirty iou: "), 2u);
  EXPECT_TRUE(log.contains("dirty iou: 1.000000 , all ones, 2.0.jpg"));
  EXPECT_TRUE(log.contains("dirty iou: 1.000000 , all ones, 3.0.jpg"));
  EXPECT_FALSE(log.contains("softmax_output"));
  EXPECT_EQ(vlm_->requestCount(), 0u);
  EXPECT_TRUE(node_->floorPatchPrepared(Camera::rear));
}

TEST_F(PipelineTest, RearWindowOfThreeOnTheSameFloor)
{
  startNode();
  calibrateAndWork();
  const std::vector<cv::Scalar> frames{kDirty, kDirty, kClean, kDirty, kDirty, kDirty};
  for (size_t i = 0; i < frames.size(); ++i) {
    rearFrame(frames[i], static_cast<int32_t>(i + 1), 0.0);
  }
  EXPECT_EQ(
    verdicts(1, 6),
    (std::vector<std::string>{"dirty", "dirty", "clean", "clean", "clean", "dirty"}));
  EXPECT_EQ(node_->history(Camera::rear), history({1, 1, 1}));
}

TEST_F(PipelineTest, NewFloorTakesTheNewestJudgementSameFloorNeedsAgreement)
{
  startNode();
  calibrateAndWork();
  rearFrame(kDirty, 1, 0.0);
  rearFrame(kDirty, 2, 0.0);
  rearFrame(kStubborn, 3, 0.5);  // moved half a patch: overlap 1/3
  rearFrame(kStubborn, 4, 0.5);
  EXPECT_EQ(verdicts(1, 4), (std::vector<std::string>{"dirty", "dirty", "stubborn", "clean"}));
  EXPECT_EQ(node_->history(Camera::rear), history({1, 2, 2}));
  rearFrame(kStubborn, 5, 0.5);
  EXPECT_EQ(verdicts(5, 5), std::vector<std::string>{"stubborn"});
}

TEST_F(PipelineTest, UnsureFrameAsksTheVlmAndFilesThePatchTwice)
{
  startNode("Yes, there is a water stain.");
  calibrateAndWork();
  LogCapture log;
  rearFrame(kUnsure, 7, 0.0);
  EXPECT_EQ(vlm_->requestCount(), 1u);
  EXPECT_EQ(filedAs(7), (std::vector<std::string>{"internvl", "dirty"}));
  EXPECT_EQ(node_->history(Camera::rear), history({1}));
  EXPECT_TRUE(log.contains("result: 1, internvl takes: "));
  EXPECT_FALSE(log.contains("mobilenet result not sure"));
}

TEST_F(PipelineTest, FrontAsksTheStainQuestionRearAndFisheyeTheDirtQuestion)
{
  startNode("no");
  calibrateAndWork();
  rearFrame(kUnsure, 1, 0.0);
  frontFrame(kUnsure, 2, 1.0);
  fisheyeFrame(kUnsure, 3, 2.0);
  const std::string dirt = "is there any dirt or water stain in the image? answer yes or no.";
  const std::string stain = "is there any vomit or dark stain in the image? answer yes or no.";
  EXPECT_EQ(prompts(), (std::vector<std::string>{dirt, stain, dirt}));
}

TEST_F(PipelineTest, FailedVlmAnswerBlocksTheSameFloorConsensusWhileInTheWindow)
{
  startNode("yes");
  calibrateAndWork();
  rearFrame(kDirty, 1, 0.0);
  rearFrame(kDirty, 2, 0.0);
  node_->pointVlmAt("http://127.0.0.1:1");  // nothing listens: the request fails
  rearFrame(kUnsure, 3, 0.0);
  EXPECT_EQ(node_->history(Camera::rear), history({1, 1, -1}));
  EXPECT_EQ(filedAs(3), (std::vector<std::string>{"internvl", "clean"}));
  for (int32_t sec = 4; sec <= 6; ++sec) {
    rearFrame(kDirty, sec, 0.0);
  }
  EXPECT_EQ(verdicts(4, 6), (std::vector<std::string>{"clean", "clean", "dirty"}));
}

TEST_F(PipelineTest, NonFiniteScoresLeaveNoVerdictOnAStandingRobot)
{
  startNode("yes", testModel("floor_nan_scores.onnx"));
  calibrateAndWork();
  LogCapture log;
  for (int32_t sec = 1; sec <= 2; ++sec) {
    rearFrame(kDirty, sec, 0.0);
    frontFrame(kDirty, sec, 0.0);
    fisheyeFrame(kDirty, sec, 0.0);
  }
  for (const std::string suffix : {"", "_front", "_fish"}) {
    EXPECT_TRUE(test_support::listDirectory(archive_ / ("stubborn" + suffix)).empty()) << suffix;
    EXPECT_EQ(verdicts(1, 2, suffix), (std::vector<std::string>{"none", "none"})) << suffix;
  }
  for (const Camera camera : {Camera::rear, Camera::front, Camera::fisheye}) {
    EXPECT_TRUE(node_->history(camera).empty());
    EXPECT_TRUE(node_->lastRegion(camera).empty());
  }
  EXPECT_EQ(vlm_->requestCount(), 0u);
  EXPECT_FALSE(log.contains("dirty iou"));
  EXPECT_EQ(log.count("Classifier gave non-finite scores: frame not judged"), 1u);
}

TEST_F(PipelineTest, TopScoreExactlyAtTheThresholdIsTrusted)
{
  startNode("yes");
  calibrateAndWork();
  const cv::Scalar leaning_dirty(0, 200, 150);
  const auto classification = node_->classifyPatch(cv::Mat(100, 100, CV_8UC3, leaning_dirty));
  ASSERT_TRUE(classification.ok());
  node_->setScoreThreshold(classification->top_score);
  rearFrame(leaning_dirty, 1, 0.0);
  EXPECT_EQ(vlm_->requestCount(), 0u);
  EXPECT_EQ(filedAs(1), std::vector<std::string>{"dirty"});

  node_->setScoreThreshold(std::nextafter(classification->top_score, 1.0f));
  rearFrame(leaning_dirty, 2, 1.0);
  EXPECT_EQ(vlm_->requestCount(), 1u);
  EXPECT_EQ(filedAs(2), (std::vector<std::string>{"internvl", "dirty"}));
}

TEST_F(PipelineTest, WithoutArchivingOnlyVlmPatchesAreWritten)
{
  startNode("no");
  calibrateAndWork();
  node_->setSaveImages(false);
  rearFrame(kUnsure, 1, 0.0);
  rearFrame(kDirty, 2, 1.0);
  frontFrame(kUnsure, 3, 2.0);
  fisheyeFrame(kUnsure, 4, 3.0);
  EXPECT_EQ(filedAs(1), std::vector<std::string>{"internvl"});
  EXPECT_TRUE(filedAs(2).empty());
  EXPECT_EQ(filedAs(3, "_front"), std::vector<std::string>{"internvl_front"});
  EXPECT_EQ(filedAs(4, "_fish"), std::vector<std::string>{"internvl_fish"});
  EXPECT_EQ(node_->history(Camera::rear), history({0, 1}));
}

TEST_F(PipelineTest, GateHoldsUntilCalibratedAndWorkingAndAPauseKeepsTheLastRegion)
{
  startNode();
  LogCapture log;
  poseAt(1, 0.0);
  rear_images_->publish(image(kDirty, 1, {640, 480}));
  executor_.spin_some();
  EXPECT_EQ(log.count("working status wrong or no intrinsic"), 1u);

  calibrateAndWork();
  rearFrame(kDirty, 2, 0.0);
  EXPECT_EQ(verdicts(2, 2), std::vector<std::string>{"dirty"});
  const auto judged_region = node_->lastRegion(Camera::rear);

  setWorking(false);
  rearFrame(kDirty, 3, 0.5);
  frontFrame(kDirty, 4, 0.5);
  EXPECT_EQ(log.count("working status wrong or no intrinsic"), 3u);
  EXPECT_TRUE(filedAs(3).empty());
  EXPECT_EQ(node_->history(Camera::rear), history({1}));
  EXPECT_EQ(node_->lastRegion(Camera::rear), judged_region);

  setWorking(true);
  rearFrame(kDirty, 5, 0.0);  // back on the floor judged before the pause
  EXPECT_TRUE(log.contains("dirty iou: 1.000000 , all ones, 5.0.jpg"));
}

TEST_F(PipelineTest, FrontNeedsItsOwnCalibration)
{
  startNode();
  rear_info_->publish(test_scene::cameraInfo(320.0, 640, 480));
  setWorking(true);
  LogCapture log;
  frontFrame(kDirty, 1, 0.0);
  EXPECT_TRUE(log.contains("working status wrong or no intrinsic"));
  EXPECT_TRUE(node_->history(Camera::front).empty());
  rearFrame(kDirty, 2, 0.0);
  EXPECT_EQ(filedAs(2), std::vector<std::string>{"dirty"});
}

TEST_F(PipelineTest, FrontWindowOfTwoLogsItsQuadrilateralAndScores)
{
  startNode();
  calibrateAndWork();
  LogCapture log;
  frontFrame(kDirty, 1, 0.0);
  frontFrame(kDirty, 2, 0.0);
  frontFrame(kClean, 3, 0.0);
  frontFrame(kDirty, 4, 0.0);
  EXPECT_EQ(
    verdicts(1, 4, "_front"),
    (std::vector<std::string>{"dirty_front", "dirty_front", "clean_front", "clean_front"}));
  EXPECT_EQ(node_->history(Camera::front), history({0, 1}));
  EXPECT_EQ(log.count("uv on image: ("), 4u);
  EXPECT_EQ(log.count("softmax_output: "), 4u);
  EXPECT_TRUE(node_->floorPatchPrepared(Camera::front));
  EXPECT_TRUE(log.contains("dirty iou: 1.000000 , all ones, 2.0.jpg"));
}

TEST_F(PipelineTest, PoseFailureDropsTheFrameWithOnlyTheWarning)
{
  startNode();
  calibrateAndWork();
  LogCapture log;
  rear_images_->publish(image(kDirty, 1, {640, 480}));
  fisheye_images_->publish(image(kDirty, 1, {800, 600}));
  executor_.spin_some();
  EXPECT_EQ(log.count("Could not transform 'map' to 'base_footprint': "), 2u);
  EXPECT_FALSE(log.contains("working status wrong or no intrinsic"));
  EXPECT_TRUE(node_->history(Camera::rear).empty());
  EXPECT_TRUE(node_->lastRegion(Camera::fisheye).empty());
}

TEST_F(PipelineTest, FisheyeJudgesWithoutStatusOrCalibrationAndLogsInOrder)
{
  startNode("no");
  LogCapture log;
  fisheyeFrame(kDirty, 1, 0.0);
  fisheyeFrame(kUnsure, 2, 0.0);
  EXPECT_EQ(filedAs(1, "_fish"), std::vector<std::string>{"dirty_fish"});
  EXPECT_EQ(filedAs(2, "_fish"), (std::vector<std::string>{"internvl_fish", "clean_fish"}));
  EXPECT_EQ(node_->history(Camera::fisheye), history({1, 0}));
  EXPECT_TRUE(node_->floorPatchPrepared(Camera::fisheye));

  std::vector<std::string> line_heads;
  for (const auto & text : log.messages()) {
    line_heads.push_back(text.substr(0, text.find(':')));
  }
  const std::vector<std::string> expected{
    "mobilenet takes", "softmax_output", "mobilenet takes", "softmax_output",
    "mobilenet result not sure", "fish internvl result"};
  EXPECT_EQ(line_heads, expected);
}

TEST_F(PipelineTest, FisheyeTestModeLeavesTheHistoryAlone)
{
  startNode();
  node_->setFisheyeTestMode(true);
  testing::internal::CaptureStderr();
  fisheyeFrame(kDirty, 1, 0.0);
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_NE(errors.find("Error: Could not load image."), std::string::npos);
  EXPECT_TRUE(node_->history(Camera::fisheye).empty());
  EXPECT_TRUE(node_->lastRegion(Camera::fisheye).empty());
  EXPECT_TRUE(filedAs(1, "_fish").empty());
}

TEST_F(PipelineTest, WithoutAnEngineNoPatchIsCutAndOnlyTheUsualLinesAreLogged)
{
  const std::string engine = archive_ / "missing.engine";
  startNode("no", engine);
  calibrateAndWork();
  LogCapture log;
  for (int32_t sec = 1; sec <= 6; sec += 3) {
    rearFrame(kDirty, sec, 0.0);
    frontFrame(kDirty, sec + 1, 0.0);
    fisheyeFrame(kDirty, sec + 2, 0.0);
  }
  for (const Camera camera : {Camera::rear, Camera::front, Camera::fisheye}) {
    EXPECT_FALSE(node_->floorPatchPrepared(camera));
    EXPECT_TRUE(node_->history(camera).empty());
    EXPECT_TRUE(node_->lastRegion(camera).empty());
  }
  for (const std::string suffix : {"", "_front", "_fish"}) {
    for (int32_t sec = 1; sec <= 6; ++sec) {
      EXPECT_TRUE(filedAs(sec, suffix).empty());
    }
  }
  EXPECT_EQ(log.messages().size(), 3u) << ::testing::PrintToString(log.messages());
  EXPECT_EQ(log.count("Classifier engine not loaded (" + engine + "): frame not judged"), 1u);
  EXPECT_EQ(log.count("uv on image: ("), 2u);
}

TEST_F(PipelineTest, UnconvertibleImagesAndDegenerateQuadrilateralsAreDropped)
{
  startNode();
  calibrateAndWork();
  LogCapture log;
  poseAt(1, 0.0);
  auto bad = image(kDirty, 1, {640, 480});
  bad.encoding = "32FC7";
  rear_images_->publish(bad);
  executor_.spin_some();
  EXPECT_TRUE(log.containsAt(RCUTILS_LOG_SEVERITY_ERROR, "cv_bridge exception: "));

  node_->setFloorQuadrilateral(Camera::rear, std::vector<cv::Point2f>(4, cv::Point2f(10.0f, 10.0f)));
  rearFrame(kDirty, 2, 0.0);
  EXPECT_TRUE(log.containsAt(RCUTILS_LOG_SEVERITY_ERROR, "Dropped a rear frame"));
  EXPECT_TRUE(node_->history(Camera::rear).empty());
  EXPECT_TRUE(node_->lastRegion(Camera::rear).empty());
}

TEST_F(PipelineTest, VerdictsAreNeverPublished)
{
  startNode();
  size_t received = 0;
  auto listener = peer_->create_subscription<velmora_protocol::msg::DirtyRecognition>(
    "/DirtyRecognition", 10, [&received](velmora_protocol::msg::DirtyRecognition::SharedPtr) {
      ++received;
    });
  auto front_listener = peer_->create_subscription<velmora_protocol::msg::DirtyRecognition>(
    "/DirtyRecognitionFront", 10,
    [&received](velmora_protocol::msg::DirtyRecognition::SharedPtr) {++received;});
  executor_.add_node(peer_);
  calibrateAndWork();
  rearFrame(kDirty, 1, 0.0);
  frontFrame(kStubborn, 2, 0.0);
  fisheyeFrame(kDirty, 3, 0.0);
  executor_.spin_some();
  EXPECT_EQ(filedAs(1), std::vector<std::string>{"dirty"});
  EXPECT_EQ(received, 0u);
  executor_.remove_node(peer_);
}

// The fisheye camera's compiled-in calibration and its test routine.
namespace
{

class FisheyeNodeTest : public ::testing::Test
{
protected:
  void SetUp() override {test_support::ensureRclcppInit();}

  std::shared_ptr<WaterStainNode> makeNode(const std::string & sample)
  {
    return std::make_shared<WaterStainNode>(
      rclcpp::NodeOptions().parameter_overrides({
        {"image_dir", archive_.path()}, {"engine_path", "/nonexistent"},
        {"fisheye_sample_image", sample}}));
  }

  std::string testDir() const {return archive_ / "fisheye_test";}

  test_support::TemporaryDirectory archive_;
};

}  // namespace

TEST_F(FisheyeNodeTest, NodeUsesItsCompiledInCalibration)
{
  const auto node = makeNode(archive_ / "sample.jpg");
  const cv::Mat frame = fc::randomImage({1280, 720});
  cv::Mat reference;
  cv::fisheye::undistortImage(
    frame, reference, fc::kK, fc::kD, fc::kNewK, vws::kFisheyeUndistortedSize);

  EXPECT_EQ(cv::norm(node->undistortFisheye(frame), reference, cv::NORM_INF), 0.0);
  fc::expectCornersNear(node->projectFisheyeRegion(), fc::kQuadrilateral);
}

TEST_F(FisheyeNodeTest, TestRoutineWithoutSampleOnlyReportsIt)
{
  const auto node = makeNode(archive_ / "missing.jpg");
  std::filesystem::create_directories(testDir());

  // OpenCV's own diagnostics for the unreadable file are not ours to count.
  const auto opencv_log_level =
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  testing::internal::CaptureStderr();
  node->fisheyeUndistortTest();
  const std::string errors = testing::internal::GetCapturedStderr();
  cv::utils::logging::setLogLevel(opencv_log_level);

  EXPECT_EQ(errors, "Error: Could not load image.\n");
  EXPECT_TRUE(test_support::listDirectory(testDir()).empty());
}

TEST_F(FisheyeNodeTest, TestRoutineWritesItsStagesAndCameraCoordinates)
{
  const std::string sample = archive_ / "sample.jpg";
  ASSERT_TRUE(cv::imwrite(sample, fc::randomImage({1280, 960})));
  const auto node = makeNode(sample);
  std::filesystem::create_directories(testDir());

  testing::internal::CaptureStdout();
  node->fisheyeUndistortTest();
  const std::string printed = testing::internal::GetCapturedStdout();

  EXPECT_EQ(
    test_support::listDirectory(testDir()),
    (std::vector<std::string>{"cropped.jpg", "undistort.jpg", "undistort_region.jpg"}));
  EXPECT_EQ(cv::imread(testDir() + "/undistort.jpg").size(), vws::kFisheyeUndistortedSize);
  EXPECT_EQ(cv::imread(testDir() + "/cropped.jpg").size(), cv::Size(365, 291));

  std::istringstream lines(printed);
  std::string line;
  int corners = 0;
  while (std::getline(lines, line)) {
    ++corners;
    const auto first_tab = line.find('\t');
    ASSERT_NE(first_tab, std::string::npos) << line;
    EXPECT_EQ(line.find("\t ", first_tab + 1), line.rfind('\t')) << line;
  }
  EXPECT_EQ(corners, 4);
}

TEST_F(FisheyeNodeTest, TestRoutineSurvivesAMissingOutputDirectory)
{
  const std::string sample = archive_ / "sample.jpg";
  ASSERT_TRUE(cv::imwrite(sample, fc::randomImage({800, 600})));
  const auto node = makeNode(sample);

  testing::internal::CaptureStdout();
  EXPECT_NO_THROW(node->fisheyeUndistortTest());
  testing::internal::GetCapturedStdout();

  EXPECT_FALSE(std::filesystem::exists(testDir()));
}
