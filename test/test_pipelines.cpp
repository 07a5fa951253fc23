#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "log_capture.hpp"
#include "pipeline_fixture.hpp"
#include "test_scene.hpp"

using test_support::LogCapture;

using namespace pipeline_fixture;

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

TEST_F(PipelineTest, TopScoreExactlyAtTheThresholdIsTrusted)
{
  startNode("yes");
  calibrateAndWork();
  const cv::Scalar leaning_dirty(0, 200, 150);
  const auto classification = node_->classifyPatch(cv::Mat(100, 100, CV_8UC3, leaning_dirty));
  ASSERT_TRUE(classification.has_value());
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

TEST_F(PipelineTest, CameraLookingAwayFromTheFloorIsRejectedAndRetried)
{
  startNode();
  LogCapture log;
  node_->mountCamera(
    test_scene::cameraMount(
      "base_footprint", "camera_01_color_optical_frame", {0.3, 0.0, 1.0}, {1.4, 0.0, 2.0}));
  calibrateAndWork();
  EXPECT_TRUE(node_->floorQuadrilateral(Camera::front).empty());
  EXPECT_TRUE(log.containsAt(RCUTILS_LOG_SEVERITY_WARN, "behind the camera"));
  frontFrame(kDirty, 1, 0.0);
  EXPECT_TRUE(filedAs(1, "_front").empty());

  node_->mountCamera(test_scene::frontCameraMount());
  front_info_->publish(test_scene::cameraInfo(320.0, 640, 480));
  executor_.spin_some();
  EXPECT_EQ(node_->floorQuadrilateral(Camera::front).size(), 4u);
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
