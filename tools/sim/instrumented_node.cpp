#include "sim/instrumented_node.hpp"

#include <thread>
#include <utility>

namespace velmora_sim
{

InstrumentedNode::InstrumentedNode(const rclcpp::NodeOptions & options, FrameObserver & observer)
: WaterStainNode(options), observer_(observer)
{
  // Replacing a subscription drops the node's own one, so every image is handled exactly once.
  image_sub_ = timedSubscription(CameraId::rear, image_topic_, &WaterStainNode::imageCallback);
  front_image_sub_ = timedSubscription(
    CameraId::front, front_image_topic_, &WaterStainNode::front_imageCallback);
  fisheye_image_sub_ = timedSubscription(
    CameraId::fisheye, fisheye_image_topic_, &WaterStainNode::fisheyeimageCallback);
}

rclcpp::Subscription<sensor_msgs::msg::Image>::SharedPtr InstrumentedNode::timedSubscription(
  CameraId camera, const std::string & topic,
  void (WaterStainNode::* callback)(std::shared_ptr<sensor_msgs::msg::Image>))
{
  return create_subscription<sensor_msgs::msg::Image>(
    topic, rclcpp::QoS(10),
    [this, camera, callback](std::shared_ptr<sensor_msgs::msg::Image> msg) {
      const builtin_interfaces::msg::Time stamp = msg->header.stamp;
      observer_.frameStarted(camera, stamp);
      const auto start = std::chrono::steady_clock::now();
      (this->*callback)(std::move(msg));
      const std::chrono::duration<double, std::milli> took =
      std::chrono::steady_clock::now() - start;
      observer_.frameFinished(camera, stamp, took.count());
    });
}

bool InstrumentedNode::waitForTransform(
  const std::string & target, const std::string & source, tf2::TimePoint time,
  std::chrono::milliseconds timeout) const
{
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!tf_buffer_->canTransform(target, source, time)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  return true;
}

std::size_t InstrumentedNode::droppedCount(CameraId camera) const
{
  switch (camera) {
    case CameraId::rear: return image_sub_->dropped_count();
    case CameraId::front: return front_image_sub_->dropped_count();
    case CameraId::fisheye: return fisheye_image_sub_->dropped_count();
  }
  return 0;
}

std::vector<cv::Point2f> InstrumentedNode::floorQuadrilateral(CameraId camera) const
{
  switch (camera) {
    case CameraId::rear: return region_uv_;
    case CameraId::front: return front_region_uv_;
    case CameraId::fisheye: break;
  }
  return {};
}

}  // namespace velmora_sim
