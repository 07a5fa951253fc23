#include "velmora_water_stain/water_stain_node.hpp"

#include <functional>

#include <opencv2/core/utility.hpp>

#include "rcpputils/filesystem_helper.hpp"
#include "velmora_water_stain/archive.hpp"
#include "velmora_water_stain/fisheye.hpp"
#include "velmora_water_stain/vlm_client.hpp"

namespace
{
// Depth-10 keep-last, reliable, volatile: the same for every endpoint of the node.
const rclcpp::QoS kEndpointQos{10};
}  // namespace

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
  createSubscriptions();
  createPublishers();
  tf_buffer_ = std::make_shared<tf2_ros::Buffer>(get_clock());
  tf_listener_ = std::make_shared<tf2_ros::TransformListener>(*tf_buffer_);
  last_clean_save_time_ = std::chrono::system_clock::now();
  loadEngine();
  createImageDirs();
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
  server_url_ = declare_parameter("server_url", server_url_);
  engine_path_ = declare_parameter("engine_path", engine_path_);
  image_dir_ = declare_parameter("image_dir", image_dir_);
  save_images_ = declare_parameter("save_images", save_images_);
  score_threshold_ = static_cast<float>(
    declare_parameter("score_threshold", static_cast<double>(score_threshold_)));
  iou_threshold_ = static_cast<float>(
    declare_parameter("iou_threshold", static_cast<double>(iou_threshold_)));
  clean_save_interval_s_ = static_cast<int32_t>(
    declare_parameter("clean_save_interval_s", static_cast<int64_t>(clean_save_interval_s_)));
  fisheye_test_mode_ = declare_parameter("fisheye_test_mode", fisheye_test_mode_);
  fisheye_sample_image_ = declare_parameter("fisheye_sample_image", fisheye_sample_image_);
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
  dirty_pub_ = create_publisher<velmora_protocol::msg::DirtyRecognition>(dirty_topic_, kEndpointQos);
  dirty_front_pub_ =
    create_publisher<velmora_protocol::msg::DirtyRecognition>(dirty_front_topic_, kEndpointQos);
}

void WaterStainNode::working_status_callback(
  const std::shared_ptr<velmora_protocol::msg::TaskCenterFsmStatus> msg)
{
  RCLCPP_WARN(get_logger(), "status: %d, %d", msg->state, msg->sub_state);
  is_working_ = msg->state == 2 && msg->sub_state >= 3 && msg->sub_state <= 6;
}

bool WaterStainNode::failureLogDue(
  const std::string & what, std::chrono::steady_clock::duration interval)
{
  const auto now = std::chrono::steady_clock::now();
  const auto last = last_failure_log_.find(what);
  if (last != last_failure_log_.end() && now - last->second < interval) {
    return false;
  }
  last_failure_log_[what] = now;
  return true;
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
    if (!(elapsed_s > static_cast<double>(clean_save_interval_s_))) {
      return;
    }
    last_clean_save_time_ = now;
  }
  const std::string path = image_dir_ + "/" + category + "/" + file_name;
  const auto written = velmora_water_stain::writeJpegAtomically(path, image);
  if (!written && failureLogDue("archive " + category, std::chrono::seconds(1))) {
    RCLCPP_WARN(get_logger(), "Failed to archive %s: %s", path.c_str(), written.error().c_str());
  }
}
