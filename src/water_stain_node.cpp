#include "velmora_water_stain/water_stain_node.hpp"

#include <cmath>
#include <functional>
#include <string>

#include <opencv2/core/utility.hpp>

#include "rcpputils/filesystem_helper.hpp"
#include "velmora_water_stain/archive.hpp"
#include "velmora_water_stain/fisheye.hpp"
#include "velmora_water_stain/vlm_client.hpp"

namespace
{
// Depth-10 keep-last, reliable, volatile: the same for every endpoint of the node.
const rclcpp::QoS kEndpointQos{10};

constexpr auto kErrorLogInterval = std::chrono::seconds(10);
constexpr int64_t kMaxCleanSaveIntervalS = 86400;

// Read once at start: a run-time change would not reach the members, so it is refused.
rcl_interfaces::msg::ParameterDescriptor readOnly(const std::string & description)
{
  rcl_interfaces::msg::ParameterDescriptor descriptor;
  descriptor.description = description;
  descriptor.read_only = true;
  return descriptor;
}

bool isUnitFraction(double value)
{
  return std::isfinite(value) && value >= 0.0 && value <= 1.0;
}

}  // namespace

namespace velmora_water_stain
{

std::optional<std::size_t> FailureLogThrottle::due(
  const std::string & what, std::chrono::steady_clock::duration interval,
  std::chrono::steady_clock::time_point now)
{
  const auto found = logs_.find(what);
  if (found == logs_.end()) {
    logs_[what].last = now;
    return 0;
  }
  Log & log = found->second;
  if (now - log.last < interval) {
    ++log.held_back;
    return std::nullopt;
  }
  const std::size_t held_back = log.held_back;
  log = Log{now, 0};
  return held_back;
}

}  // namespace velmora_water_stain

WaterStainNode::WaterStainNode(const rclcpp::NodeOptions & options)
: rclcpp::Node("WaterStainNode", options),
  fisheye_undistorter_(
    fisheye_K_, fisheye_D_, fisheye_new_K_, velmora_water_stain::kFisheyeUndistortedSize)
{
  // All of the node's image work runs on its one executor thread, a frame at a time. OpenCV's
  // worker threads shorten a frame only while another core is idle, for up to half again the
  // CPU; with three cameras to keep up with they took a core from the rest of the robot for no
  // more frames judged.
  cv::setNumThreads(1);
  fisheye_floor_crop_ =
    velmora_water_stain::FisheyeFloorCrop(fisheye_undistorter_, projectFisheyeRegion());
  declareParameters();
  validateParameters();
  createSubscriptions();
  createPublishers();
  tf_buffer_ = std::make_shared<tf2_ros::Buffer>(get_clock());
  tf_listener_ = std::make_shared<tf2_ros::TransformListener>(*tf_buffer_);
  last_clean_save_time_ = std::chrono::system_clock::now();
  loadEngine();
  createImageDirs();
  removeStaleArchiveTemporaries();
}

WaterStainNode::~WaterStainNode()
{
  delete context_;
  delete engine_;
  delete runtime_;
}

void WaterStainNode::declareParameters()
{
  // Defaults are the compiled-in settings, so a node started without parameters behaves as built.
  server_url_ = declareReadOnly(
    "server_url", server_url_, "vision-language model server, an http(s) URL");
  engine_path_ = declareReadOnly("engine_path", engine_path_, "classifier engine file, not empty");
  image_dir_ = declareReadOnly("image_dir", image_dir_, "archive root, not empty");
  save_images_ = declareReadOnly("save_images", save_images_, "archive verdict patches");
  score_threshold_ = static_cast<float>(
    declareReadOnly(
      "score_threshold", static_cast<double>(score_threshold_),
      "classifier top probability trusted without the VLM, 0 to 1"));
  iou_threshold_ = static_cast<float>(
    declareReadOnly(
      "iou_threshold", static_cast<double>(iou_threshold_),
      "overlap at which two frames count as the same floor, 0 to 1"));
  clean_save_interval_s_ = static_cast<int32_t>(
    declareReadOnly(
      "clean_save_interval_s", static_cast<int64_t>(clean_save_interval_s_),
      "minimum spacing of clean archive writes in seconds, 0 to 86400"));
  fisheye_test_mode_ = declareReadOnly(
    "fisheye_test_mode", fisheye_test_mode_, "run the fisheye undistortion test");
  fisheye_sample_image_ = declareReadOnly(
    "fisheye_sample_image", fisheye_sample_image_, "sample of the fisheye test");
}

template<typename ValueT>
ValueT WaterStainNode::declareReadOnly(
  const std::string & name, const ValueT & default_value, const std::string & description)
{
  try {
    return declare_parameter(name, default_value, readOnly(description));
  } catch (const rclcpp::exceptions::InvalidParameterTypeException & error) {
    // A start value of another type ("1" for 1.0) is as unusable as one out of range; left to
    // escape, rclcpp's exception would end the process without naming the parameter.
    const std::string text = "Invalid parameter " + name + ": accepted is a value of type " +
      rclcpp::to_string(rclcpp::ParameterValue(default_value).get_type()) + " (" + error.what() +
      ")";
    RCLCPP_ERROR(get_logger(), "%s", text.c_str());
    throw InvalidParameter(text);
  }
}

void WaterStainNode::validateParameters() const
{
  std::vector<std::pair<std::string, std::string>> refusals;
  const auto refuse_unless = [&refusals](
    bool accepted, const std::string & name, const std::string & what_is_accepted) {
      if (!accepted) {
        refusals.emplace_back(name, what_is_accepted);
      }
    };
  refuse_unless(
    velmora_water_stain::checkVlmUrl(get_parameter("server_url").as_string()).ok(), "server_url",
    "an http:// or https:// URL with a host");
  refuse_unless(!get_parameter("engine_path").as_string().empty(), "engine_path", "a file path");
  refuse_unless(!get_parameter("image_dir").as_string().empty(), "image_dir", "a directory path");
  refuse_unless(
    isUnitFraction(get_parameter("score_threshold").as_double()), "score_threshold",
    "a finite number from 0 to 1");
  refuse_unless(
    isUnitFraction(get_parameter("iou_threshold").as_double()), "iou_threshold",
    "a finite number from 0 to 1");
  const int64_t interval = get_parameter("clean_save_interval_s").as_int();
  refuse_unless(
    interval >= 0 && interval <= kMaxCleanSaveIntervalS, "clean_save_interval_s",
    "whole seconds from 0 to " + std::to_string(kMaxCleanSaveIntervalS));
  if (refusals.empty()) {
    return;
  }
  const auto & [name, what_is_accepted] = refusals.front();
  const std::string value = rclcpp::to_string(get_parameter(name).get_parameter_value());
  const std::string text =
    "Invalid parameter " + name + " = \"" + value + "\": accepted is " + what_is_accepted;
  RCLCPP_ERROR(get_logger(), "%s", text.c_str());
  throw InvalidParameter(text);
}

void WaterStainNode::createSubscriptions()
{
  using std::placeholders::_1;
  image_sub_ = create_subscription<sensor_msgs::msg::Image>(
    image_topic_, kEndpointQos, std::bind(&WaterStainNode::imageCallback, this, _1));
  cam_info_sub_ = create_subscription<sensor_msgs::msg::CameraInfo>(
    cam_info_topic_, kEndpointQos, std::bind(&WaterStainNode::cam_info_callback, this, _1));
  front_image_sub_ = create_subscription<sensor_msgs::msg::Image>(
    front_image_topic_, kEndpointQos, std::bind(&WaterStainNode::front_imageCallback, this, _1));
  front_cam_info_sub_ = create_subscription<sensor_msgs::msg::CameraInfo>(
    front_cam_info_topic_, kEndpointQos,
    std::bind(&WaterStainNode::front_cam_info_callback, this, _1));
  fisheye_image_sub_ = create_subscription<sensor_msgs::msg::Image>(
    fisheye_image_topic_, kEndpointQos,
    std::bind(&WaterStainNode::fisheyeimageCallback, this, _1));
  status_sub_ = create_subscription<velmora_protocol::msg::TaskCenterFsmStatus>(
    status_topic_, kEndpointQos, std::bind(&WaterStainNode::working_status_callback, this, _1));
}

void WaterStainNode::createPublishers()
{
  // Advertised for the robot's consumers; verdicts leave the node only through the archive.
  dirty_pub_ =
    create_publisher<velmora_protocol::msg::DirtyRecognition>(dirty_topic_, kEndpointQos);
  dirty_front_pub_ =
    create_publisher<velmora_protocol::msg::DirtyRecognition>(dirty_front_topic_, kEndpointQos);
}

void WaterStainNode::working_status_callback(
  const std::shared_ptr<velmora_protocol::msg::TaskCenterFsmStatus> msg)
{
  RCLCPP_WARN(get_logger(), "status: %d, %d", msg->state, msg->sub_state);
  is_working_ = msg->state == 2 && msg->sub_state >= 3 && msg->sub_state <= 6;
}

void WaterStainNode::logRateLimitedError(const std::string & what, const std::string & text)
{
  if (const auto line = rateLimitedLine(what, text)) {
    RCLCPP_ERROR(get_logger(), "%s", line->c_str());
  }
}

void WaterStainNode::logRateLimitedWarning(const std::string & what, const std::string & text)
{
  if (const auto line = rateLimitedLine(what, text)) {
    RCLCPP_WARN(get_logger(), "%s", line->c_str());
  }
}

std::optional<std::string> WaterStainNode::rateLimitedLine(
  const std::string & what, const std::string & text)
{
  const auto suppressed =
    failure_logs_.due(what, kErrorLogInterval, std::chrono::steady_clock::now());
  if (!suppressed) {
    return std::nullopt;
  }
  if (*suppressed == 0) {
    return text;
  }
  return text + " (" + std::to_string(*suppressed) +
    " more like it suppressed since the last report)";
}

int WaterStainNode::image_http_request(
  const cv::Mat & image, const std::string & server_url, const std::string & prompt)
{
  const auto answer = velmora_water_stain::queryVlm(image, server_url, prompt);
  if (!answer) {
    RCLCPP_INFO(get_logger(), "%s", answer.error().c_str());
  }
  return velmora_water_stain::vlmHistoryEntry(answer);
}

void WaterStainNode::createImageDirs()
{
  for (const auto & dir : velmora_water_stain::archiveCategoryDirs()) {
    rcpputils::fs::create_directories(rcpputils::fs::path(image_dir_ + dir));
  }
}

void WaterStainNode::removeStaleArchiveTemporaries()
{
  for (const auto & path : velmora_water_stain::removeStaleTemporaries(image_dir_)) {
    RCLCPP_INFO(get_logger(), "Removed %s, left by an interrupted archive write", path.c_str());
  }
}

void WaterStainNode::saveImage(
  const cv::Mat & image, const std::string & category, const std::string & file_name)
{
  saveImage(image, category, file_name, std::chrono::system_clock::now());
}

void WaterStainNode::saveImage(
  const cv::Mat & image, const std::string & category, const std::string & file_name,
  std::chrono::system_clock::time_point now)
{
  if (velmora_water_stain::isThrottledCategory(category)) {
    const double elapsed_s = std::chrono::duration<double>(now - last_clean_save_time_).count();
    // A system clock stepped back makes the write due: waiting for the clock to catch up would
    // silence clean archiving for as long as the step.
    const bool clock_stepped_back = elapsed_s < 0.0;
    if (!clock_stepped_back && !(elapsed_s > static_cast<double>(clean_save_interval_s_))) {
      return;
    }
    last_clean_save_time_ = now;
  }
  const std::string path = image_dir_ + "/" + category + "/" + file_name;
  const auto written = velmora_water_stain::writeJpegAtomically(path, image);
  if (written) {
    return;
  }
  const auto failed_at = std::chrono::steady_clock::now();
  if (failure_logs_.due("archive " + category, std::chrono::seconds(1), failed_at).has_value()) {
    RCLCPP_WARN(get_logger(), "Failed to archive %s: %s", path.c_str(), written.error().c_str());
  }
}
