#ifndef PIPELINE_FIXTURE_HPP_
#define PIPELINE_FIXTURE_HPP_

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "cv_bridge/cv_bridge.h"
#include "test_scene.hpp"
#include "test_support.hpp"
#include "vlm_stub_server.hpp"
#include "water_stain_node_access.hpp"

// A node judging through its real topics, with the colour test classifier, a loopback VLM
// stand-in, and both colour cameras mounted on tf.
namespace pipeline_fixture
{

// Colours the test classifier (test/models/floor_colour.onnx) judges by the patch's mean colour.
inline const cv::Scalar kClean(0, 0, 255);
inline const cv::Scalar kDirty(0, 255, 0);
inline const cv::Scalar kStubborn(255, 0, 0);
inline const cv::Scalar kUnsure(128, 128, 128);

using node_access::Camera;
using PipelineNode = node_access::WaterStainNodeAccess;

inline std::deque<int32_t> history(std::initializer_list<int32_t> entries) {return entries;}

class PipelineTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    test_support::ensureRclcppInit();
  }

  static std::string testModel(const std::string & file)
  {
    return std::string(VELMORA_SOURCE_DIR) + "/test/models/" + file;
  }

  // The node under test, its VLM answering `vlm_answer`, its tf holding both camera mounts.
  void startNode(
    const std::string & vlm_answer = "No, the floor looks clean.",
    const std::string & engine_path = testModel("floor_colour.onnx"))
  {
    vlm_stub::VlmStubOptions options;
    options.fixed_answer = vlm_answer;
    options.on_exchange = [this](const vlm_stub::VlmStubExchange & exchange) {
        std::lock_guard<std::mutex> lock(prompts_mutex_);
        prompts_.push_back(exchange.prompt);
      };
    vlm_ = std::make_unique<vlm_stub::VlmStubServer>(options);
    ASSERT_TRUE(vlm_->start(0));
    // Intra-process delivery queues each message at the subscription during publish(), so one
    // spin_some() after it handles the message on any middleware; over DDS it may not yet be there.
    node_ = std::make_shared<PipelineNode>(
      rclcpp::NodeOptions().use_intra_process_comms(true).parameter_overrides({
        {"image_dir", archive_.path()},
        {"engine_path", engine_path},
        {"server_url", vlm_->url()},
        {"clean_save_interval_s", 0}}));
    node_->mountCamera(test_scene::rearCameraMount());
    node_->mountCamera(test_scene::frontCameraMount());
    peer_ = std::make_shared<rclcpp::Node>(
      "camera_drivers", rclcpp::NodeOptions().use_intra_process_comms(true));
    rear_images_ = peer_->create_publisher<sensor_msgs::msg::Image>(
      "/camera_05/color/image_raw", 10);
    front_images_ = peer_->create_publisher<sensor_msgs::msg::Image>(
      "/camera_01/color/image_raw", 10);
    fisheye_images_ = peer_->create_publisher<sensor_msgs::msg::Image>(
      "/usb_cam_rear/image_raw", 10);
    rear_info_ = peer_->create_publisher<sensor_msgs::msg::CameraInfo>(
      "/camera_05/color/camera_info", 10);
    front_info_ = peer_->create_publisher<sensor_msgs::msg::CameraInfo>(
      "/camera_01/color/camera_info", 10);
    status_ = peer_->create_publisher<velmora_protocol::msg::TaskCenterFsmStatus>(
      "/fsm_status", 10);
    executor_.add_node(node_);
  }

  void TearDown() override
  {
    if (node_) {
      executor_.remove_node(node_);
    }
  }

  void calibrateAndWork()
  {
    rear_info_->publish(test_scene::cameraInfo(320.0, 640, 480));
    front_info_->publish(test_scene::cameraInfo(320.0, 640, 480));
    setWorking(true);
  }

  void setWorking(bool working)
  {
    velmora_protocol::msg::TaskCenterFsmStatus status;
    status.state = 2;
    status.sub_state = working ? 4 : 1;
    status_->publish(status);
    executor_.spin_some();
  }

  // The robot at (x, 0) facing +x from `sec` on.
  void poseAt(int32_t sec, double x, double yaw = 0.0)
  {
    node_->placeRobot(test_scene::robotPose(x, 0.0, yaw, test_scene::stamp(sec)));
  }

  static sensor_msgs::msg::Image image(const cv::Scalar & colour, int32_t sec, cv::Size size)
  {
    std_msgs::msg::Header header;
    header.stamp = test_scene::stamp(sec);
    header.frame_id = "camera";
    return *cv_bridge::CvImage(header, "bgr8", cv::Mat(size, CV_8UC3, colour)).toImageMsg();
  }

  // Publishes one frame at robot position x with stamp `sec` and lets the node handle it.
  void rearFrame(const cv::Scalar & colour, int32_t sec, double x)
  {
    poseAt(sec, x);
    rear_images_->publish(image(colour, sec, {640, 480}));
    executor_.spin_some();
  }

  void frontFrame(const cv::Scalar & colour, int32_t sec, double x)
  {
    poseAt(sec, x);
    front_images_->publish(image(colour, sec, {640, 480}));
    executor_.spin_some();
  }

  void fisheyeFrame(const cv::Scalar & colour, int32_t sec, double x)
  {
    poseAt(sec, x);
    fisheye_images_->publish(image(colour, sec, {800, 600}));
    executor_.spin_some();
  }

  // The categories of `suffix` holding the frame stamped `sec`, e.g. {"internvl", "dirty"}.
  std::vector<std::string> filedAs(int32_t sec, const std::string & suffix = "") const
  {
    std::vector<std::string> categories;
    for (const std::string stem : {"internvl", "clean", "dirty", "stubborn"}) {
      const std::string category = stem + suffix;
      if (std::filesystem::exists(archive_ / (category + "/" + std::to_string(sec) + ".0.jpg"))) {
        categories.push_back(category);
      }
    }
    return categories;
  }

  // The prompts the VLM was asked, oldest first.
  std::vector<std::string> prompts() const
  {
    std::lock_guard<std::mutex> lock(prompts_mutex_);
    return prompts_;
  }

  std::vector<std::string> verdicts(
    int32_t first_sec, int32_t last_sec, const std::string & suffix = "") const
  {
    std::vector<std::string> result;
    for (int32_t sec = first_sec; sec <= last_sec; ++sec) {
      const auto categories = filedAs(sec, suffix);
      result.push_back(categories.empty() ? "none" : categories.back());
    }
    return result;
  }

  test_support::TemporaryDirectory archive_;
  mutable std::mutex prompts_mutex_;
  std::vector<std::string> prompts_;
  std::unique_ptr<vlm_stub::VlmStubServer> vlm_;
  std::shared_ptr<PipelineNode> node_;
  std::shared_ptr<rclcpp::Node> peer_;
  rclcpp::Publisher<sensor_msgs::msg::Image>::SharedPtr rear_images_, front_images_,
    fisheye_images_;
  rclcpp::Publisher<sensor_msgs::msg::CameraInfo>::SharedPtr rear_info_, front_info_;
  rclcpp::Publisher<velmora_protocol::msg::TaskCenterFsmStatus>::SharedPtr status_;
  rclcpp::executors::SingleThreadedExecutor executor_;
};

}  // namespace pipeline_fixture

#endif  // PIPELINE_FIXTURE_HPP_
