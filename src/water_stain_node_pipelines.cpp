#include <chrono>
#include <cmath>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "cv_bridge/cv_bridge.h"
#include "sensor_msgs/image_encodings.hpp"
#include "tf2/exceptions.h"
#include "velmora_water_stain/archive.hpp"
#include "velmora_water_stain/fisheye.hpp"
#include "velmora_water_stain/geometry.hpp"
#include "velmora_water_stain/image_layout.hpp"
#include "velmora_water_stain/water_stain_node.hpp"

using velmora_water_stain::ClassifierResult;
using velmora_water_stain::Failure;
using velmora_water_stain::Result;

namespace
{

double millisecondsSince(std::chrono::system_clock::time_point start)
{
  const auto elapsed = std::chrono::system_clock::now() - start;
  return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 1000000.0;
}

// Both colour cameras calibrate alike; only the members they fill differ. Returns why a
// calibration was rejected: the camera is left uncalibrated, so the next camera-info message tries
// again, and a camera mounted wrongly is rejected anew on every message.
std::optional<std::string> calibrateFloorQuadrilateral(
  tf2_ros::Buffer & tf_buffer, const rclcpp::Logger & logger, const std::string & camera_frame,
  const std::vector<cv::Point3f> & ground_region, sensor_msgs::msg::CameraInfo & camera_info,
  std::vector<cv::Point2f> & region_uv)
{
  if (!region_uv.empty()) {
    return std::nullopt;
  }
  geometry_msgs::msg::TransformStamped camera_from_base;
  try {
    camera_from_base =
      tf_buffer.lookupTransform(camera_frame, "base_footprint", tf2::TimePointZero);
  } catch (const tf2::TransformException & ex) {
    RCLCPP_WARN(
      logger, "Could not transform 'base_footprint' to : %s, error: %s", camera_frame.c_str(),
      ex.what());
    return std::nullopt;
  }
  const cv::Mat K(3, 3, CV_64F, camera_info.k.data());
  if (camera_from_base.header.frame_id.empty()) {
    return std::nullopt;
  }
  const auto quadrilateral =
    velmora_water_stain::projectFloorRectangle(K, camera_from_base, ground_region);
  if (!quadrilateral) {
    return "Rejected calibration of " + camera_frame + ": " + quadrilateral.error();
  }
  region_uv = *quadrilateral;
  return std::nullopt;
}

}  // namespace

WaterStainNode::PipelineCamera WaterStainNode::rearCamera()
{
  return {"rear", result_history_, velmora_water_stain::kRearHistoryCapacity, last_region_,
    ground_region_, dirt_prompt_, "", /*logs_scores=*/false, /*is_fisheye=*/false};
}

WaterStainNode::PipelineCamera WaterStainNode::frontCamera()
{
  return {"front", front_result_history_, velmora_water_stain::kFrontHistoryCapacity,
    front_last_region_, front_ground_region_, stain_prompt_, "_front", /*logs_scores=*/true,
    /*is_fisheye=*/false};
}

WaterStainNode::PipelineCamera WaterStainNode::fisheyeCamera()
{
  return {"fisheye", fisheye_result_history_, velmora_water_stain::kFisheyeHistoryCapacity,
    fisheye_last_region_, fisheye_ground_region_, dirt_prompt_, "_fish", /*logs_scores=*/true,
    /*is_fisheye=*/true};
}

void WaterStainNode::imageCallback(const std::shared_ptr<sensor_msgs::msg::Image> msg)
{
  const auto image = convertToBgr(msg);
  if (!image) {
    return;
  }
  const auto pose = lookupRobotPoseOrWarn();
  if (!pose || !workGateOpen(region_uv_)) {
    return;
  }
  const std::string file_name = velmora_water_stain::stampFileName(msg->header.stamp);
  // Without a classifier the patch could not be judged, so it is not cut either.
  if (!engineReadyForFrame()) {
    return;
  }
  runGuarded("rear", [&]() {
      const cv::Mat patch = floor_patch_cutter_.cut(*image, region_uv_);
      const auto classification = classifyPatch(patch);
      if (classification) {
        judgeFloorPatch(rearCamera(), patch, *classification, *pose, file_name);
      }
    });
}

void WaterStainNode::front_imageCallback(const std::shared_ptr<sensor_msgs::msg::Image> msg)
{
  const auto image = convertToBgr(msg);
  if (!image) {
    return;
  }
  const auto pose = lookupRobotPoseOrWarn();
  if (!pose || !workGateOpen(front_region_uv_)) {
    return;
  }
  const std::string file_name = velmora_water_stain::stampFileName(msg->header.stamp);
  const auto & uv = front_region_uv_;
  RCLCPP_INFO(
    get_logger(), "uv on image: (%f, %f), (%f, %f), (%f, %f), (%f, %f)",
    static_cast<double>(uv[0].x), static_cast<double>(uv[0].y),
    static_cast<double>(uv[1].x), static_cast<double>(uv[1].y),
    static_cast<double>(uv[2].x), static_cast<double>(uv[2].y),
    static_cast<double>(uv[3].x), static_cast<double>(uv[3].y));
  if (!engineReadyForFrame()) {
    return;
  }
  runGuarded("front", [&]() {
      const cv::Mat patch = front_floor_patch_cutter_.cut(*image, front_region_uv_);
      const auto classification = classifyPatch(patch);
      if (classification) {
        judgeFloorPatch(frontCamera(), patch, *classification, *pose, file_name);
      }
    });
}

void WaterStainNode::fisheyeimageCallback(const std::shared_ptr<sensor_msgs::msg::Image> msg)
{
  const auto image = convertToBgr(msg);
  if (!image) {
    return;
  }
  const auto pose = lookupRobotPoseOrWarn();
  if (!pose) {
    return;
  }
  if (fisheye_test_mode_) {
    runGuarded("fisheye", [this]() {fisheyeUndistortTest();});
    return;
  }
  if (!engineReadyForFrame()) {
    return;
  }
  const auto started = std::chrono::system_clock::now();
  const std::string file_name = velmora_water_stain::stampFileName(msg->header.stamp);
  runGuarded("fisheye", [&]() {
      const cv::Mat patch = fisheye_floor_crop_.crop(*image);
      const auto classification = classifyPatch(patch);
      if (!classification) {
        return;
      }
      RCLCPP_INFO(get_logger(), "mobilenet takes: %f ms", millisecondsSince(started));
      judgeFloorPatch(fisheyeCamera(), patch, *classification, *pose, file_name);
    });
}

Result<cv::Mat> WaterStainNode::convertToBgr(
  const std::shared_ptr<sensor_msgs::msg::Image> & msg)
{
  // cv_bridge's own checks let through layouts it then reads past, so ours come first.
  auto checked = velmora_water_stain::checkImageLayout(
    {msg->encoding, msg->width, msg->height, msg->step, msg->data.size()});
  cv::Mat image;
  if (checked) {
    try {
      image = cv_bridge::toCvCopy(msg, sensor_msgs::image_encodings::BGR8)->image;
    } catch (const std::exception & error) {
      checked = Failure{error.what()};
    }
  }
  if (checked && image.type() != CV_8UC3) {
    checked = Failure{"bgr8 conversion gave a " + cv::typeToString(image.type()) + " image"};
  }
  if (!checked) {
    RCLCPP_ERROR(get_logger(), "cv_bridge exception: %s", checked.error().c_str());
    return Failure{checked.error()};
  }
  return image;
}

Result<geometry_msgs::msg::TransformStamped> WaterStainNode::lookupRobotPoseOrWarn()
{
  try {
    return lookupRobotPose();
  } catch (const tf2::TransformException & error) {
    RCLCPP_WARN(get_logger(), "Could not transform 'map' to 'base_footprint': %s", error.what());
    return Failure{error.what()};
  }
}

bool WaterStainNode::workGateOpen(const std::vector<cv::Point2f> & region_uv)
{
  if (region_uv.empty() || !is_working_) {
    RCLCPP_INFO(get_logger(), "working status wrong or no intrinsic");
    return false;
  }
  return true;
}

void WaterStainNode::runGuarded(const char * camera, const std::function<void()> & judge_frame)
{
  try {
    judge_frame();
  } catch (const cv::Exception & error) {
    RCLCPP_ERROR(get_logger(), "Dropped a %s frame: %s", camera, error.what());
  }
}

void WaterStainNode::judgeFloorPatch(
  const PipelineCamera & camera, const cv::Mat & patch, const ClassifierResult & classification,
  const geometry_msgs::msg::TransformStamped & pose, const std::string & file_name)
{
  if (camera.logs_scores) {
    RCLCPP_INFO(
      get_logger(), "softmax_output: %f, %f, %f", static_cast<double>(classification.scores[0]),
      static_cast<double>(classification.scores[1]), static_cast<double>(classification.scores[2]));
  }
  // The frame's state changes are staged and committed together once nothing can throw.
  std::deque<int32_t> history = camera.history;
  velmora_water_stain::trimHistory(history, camera.history_capacity);
  if (velmora_water_stain::isConfident(classification.top_score, score_threshold_)) {
    history.push_back(classification.class_index);
  } else if (velmora_water_stain::isUnsure(classification.top_score, score_threshold_)) {
    history.push_back(askVlm(camera, patch, file_name));
  }
  auto region = velmora_water_stain::transformRegion(pose, camera.ground_region);
  const float overlap = velmora_water_stain::computeRegionIoU(region, camera.last_region);
  camera.history = std::move(history);
  camera.last_region = std::move(region);

  const auto verdict = decideVerdict(camera.history, overlap, file_name);
  if (save_images_) {
    saveImage(patch, velmora_water_stain::verdictCategory(verdict, camera.category_suffix),
      file_name);
  }
}

int WaterStainNode::askVlm(
  const PipelineCamera & camera, const cv::Mat & patch, const std::string & file_name)
{
  if (camera.logs_scores) {
    RCLCPP_INFO(get_logger(), "mobilenet result not sure: %s", camera.prompt.c_str());
  }
  const auto asked = std::chrono::system_clock::now();
  const int answer = image_http_request(patch, server_url_, camera.prompt);
  const double elapsed_ms = millisecondsSince(asked);
  if (camera.is_fisheye) {
    RCLCPP_INFO(
      get_logger(), "fish internvl result: %d, internvl takes: %f ms", answer, elapsed_ms);
  } else {
    RCLCPP_INFO(get_logger(), "result: %d, internvl takes: %f ms", answer, elapsed_ms);
  }
  saveImage(patch, "internvl" + camera.category_suffix, file_name);
  return answer;
}

void WaterStainNode::cam_info_callback(const std::shared_ptr<sensor_msgs::msg::CameraInfo> msg)
{
  const auto rejected = calibrateFloorQuadrilateral(
    *tf_buffer_, get_logger(), camera_frame_, ground_region_, *msg, region_uv_);
  if (rejected) {
    logRateLimitedWarning("calibration rear", *rejected);
  }
}

void WaterStainNode::front_cam_info_callback(
  const std::shared_ptr<sensor_msgs::msg::CameraInfo> msg)
{
  const auto rejected = calibrateFloorQuadrilateral(
    *tf_buffer_, get_logger(), front_camera_frame_, front_ground_region_, *msg,
    front_region_uv_);
  if (rejected) {
    logRateLimitedWarning("calibration front", *rejected);
  }
}

geometry_msgs::msg::TransformStamped WaterStainNode::lookupRobotPose()
{
  return tf_buffer_->lookupTransform("map", "base_footprint", tf2::TimePointZero);
}

cv::Mat WaterStainNode::undistortFisheye(const cv::Mat & frame) const
{
  return fisheye_undistorter_.undistort(frame);
}

std::vector<cv::Point2f> WaterStainNode::projectFisheyeRegion() const
{
  return velmora_water_stain::projectFisheyeCorners(
    fisheye_ground_region_, fisheye_rvec_, fisheye_tvec_, fisheye_new_K_);
}

void WaterStainNode::fisheyeUndistortTest()
{
  const cv::Mat sample = cv::imread(fisheye_sample_image_, cv::IMREAD_COLOR);
  if (sample.empty()) {
    std::cerr << "Error: Could not load image." << std::endl;
    return;
  }
  velmora_water_stain::writeFisheyeTestImages(
    undistortFisheye(sample), fisheye_ground_region_, fisheye_rvec_, fisheye_tvec_,
    fisheye_new_K_, image_dir_ + "/fisheye_test");
}
