#include <chrono>
#include <cmath>
#include <exception>
#include <string>

#include <opencv2/core.hpp>

#include "cv_bridge/cv_bridge.h"
#include "sensor_msgs/image_encodings.hpp"
#include "tf2/exceptions.h"
#include "velmora_water_stain/archive.hpp"
#include "velmora_water_stain/geometry.hpp"
#include "velmora_water_stain/image_layout.hpp"
#include "velmora_water_stain/water_stain_node.hpp"

using velmora_water_stain::ClassifierResult;

namespace
{

double millisecondsSince(std::chrono::system_clock::time_point start)
{
  const auto elapsed = std::chrono::system_clock::now() - start;
  return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 1000000.0;
}

}  // namespace

WaterStainNode::PipelineCamera WaterStainNode::rearCamera()
{
  return {"rear", result_history_, velmora_water_stain::kRearHistoryCapacity, last_region_,
    ground_region_, dirt_prompt_, "", false, false};
}

WaterStainNode::PipelineCamera WaterStainNode::frontCamera()
{
  return {"front", front_result_history_, velmora_water_stain::kFrontHistoryCapacity,
    front_last_region_, front_ground_region_, stain_prompt_, "_front", true, false};
}

WaterStainNode::PipelineCamera WaterStainNode::fisheyeCamera()
{
  return {"fisheye", fisheye_result_history_, velmora_water_stain::kFisheyeHistoryCapacity,
    fisheye_last_region_, fisheye_ground_region_, dirt_prompt_, "_fish", true, true};
}

void WaterStainNode::imageCallback(const std::shared_ptr<sensor_msgs::msg::Image> msg)
{
  cv::Mat image;
  geometry_msgs::msg::TransformStamped pose;
  if (!convertToBgr(msg, image) || !lookupRobotPoseOrWarn(pose) || !workGateOpen(region_uv_)) {
    return;
  }
  const std::string file_name = velmora_water_stain::stampFileName(msg->header.stamp);
  runGuarded("rear", [&]() {
      const cv::Mat patch = velmora_water_stain::rectifyFloorPatch(image, region_uv_);
      const auto classification = classifyPatch(patch);
      if (classification) {
        judgeFloorPatch(rearCamera(), patch, *classification, pose, file_name);
      }
    });
}

void WaterStainNode::front_imageCallback(const std::shared_ptr<sensor_msgs::msg::Image> msg)
{
  cv::Mat image;
  geometry_msgs::msg::TransformStamped pose;
  if (!convertToBgr(msg, image) || !lookupRobotPoseOrWarn(pose) ||
    !workGateOpen(front_region_uv_))
  {
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
  runGuarded("front", [&]() {
      const cv::Mat patch = velmora_water_stain::rectifyFloorPatch(image, front_region_uv_);
      const auto classification = classifyPatch(patch);
      if (classification) {
        judgeFloorPatch(frontCamera(), patch, *classification, pose, file_name);
      }
    });
}

void WaterStainNode::fisheyeimageCallback(const std::shared_ptr<sensor_msgs::msg::Image> msg)
{
  cv::Mat image;
  geometry_msgs::msg::TransformStamped pose;
  if (!convertToBgr(msg, image) || !lookupRobotPoseOrWarn(pose)) {
    return;
  }
  if (fisheye_test_mode_) {
    runGuarded("fisheye", [this]() {fisheyeUndistortTest();});
    return;
  }
  const auto started = std::chrono::system_clock::now();
  const std::string file_name = velmora_water_stain::stampFileName(msg->header.stamp);
  runGuarded("fisheye", [&]() {
      const cv::Mat patch = fisheye_floor_crop_.crop(image);
      const auto classification = classifyPatch(patch);
      if (!classification) {
        return;
      }
      RCLCPP_INFO(get_logger(), "mobilenet takes: %f ms", millisecondsSince(started));
      judgeFloorPatch(fisheyeCamera(), patch, *classification, pose, file_name);
    });
}

bool WaterStainNode::convertToBgr(
  const std::shared_ptr<sensor_msgs::msg::Image> & msg, cv::Mat & image)
{
  // cv_bridge's own checks let through layouts it then reads past, so ours come first.
  auto fault = velmora_water_stain::imageLayoutFault(
    {msg->encoding, msg->width, msg->height, msg->step, msg->data.size()});
  try {
    if (!fault) {
      image = cv_bridge::toCvCopy(msg, sensor_msgs::image_encodings::BGR8)->image;
    }
  } catch (const std::exception & error) {
    fault = error.what();
  }
  if (!fault && !image.empty() && image.type() != CV_8UC3) {
    fault = "bgr8 conversion gave a " + cv::typeToString(image.type()) + " image";
  }
  if (fault) {
    RCLCPP_ERROR(get_logger(), "cv_bridge exception: %s", fault->c_str());
  }
  return !fault;
}

bool WaterStainNode::lookupRobotPoseOrWarn(geometry_msgs::msg::TransformStamped & pose)
{
  try {
    pose = lookupRobotPose();
    return true;
  } catch (const tf2::TransformException & error) {
    RCLCPP_WARN(get_logger(), "Could not transform 'map' to 'base_footprint': %s", error.what());
    return false;
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
    RCLCPP_INFO(get_logger(), "fish internvl result: %d, internvl takes: %f ms", answer, elapsed_ms);
  } else {
    RCLCPP_INFO(get_logger(), "result: %d, internvl takes: %f ms", answer, elapsed_ms);
  }
  saveImage(patch, "internvl" + camera.category_suffix, file_name);
  return answer;
}
