#include "sim/instrumented_node.hpp"

#include <time.h>

#include <thread>
#include <utility>

namespace velmora_sim
{

namespace
{

node_access::Camera nodeCamera(CameraId camera)
{
  switch (camera) {
    case CameraId::rear: return node_access::Camera::rear;
    case CameraId::front: return node_access::Camera::front;
    case CameraId::fisheye: break;
  }
  return node_access::Camera::fisheye;
}

}  // namespace

double threadCpuMilliseconds()
{
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

InstrumentedNode::InstrumentedNode(const rclcpp::NodeOptions & options, FrameObserver & observer)
: WaterStainNodeAccess(options), observer_(observer)
{
  timeImages(CameraId::rear, &WaterStainNode::imageCallback);
  timeImages(CameraId::front, &WaterStainNode::front_imageCallback);
  timeImages(CameraId::fisheye, &WaterStainNode::fisheyeimageCallback);
}

void InstrumentedNode::timeImages(
  CameraId camera, void (WaterStainNode::* callback)(std::shared_ptr<sensor_msgs::msg::Image>))
{
  const auto subscription = create_subscription<sensor_msgs::msg::Image>(
    imageTopic(nodeCamera(camera)), rclcpp::QoS(10),
    [this, camera, callback](std::shared_ptr<sensor_msgs::msg::Image> msg) {
      const builtin_interfaces::msg::Time stamp = msg->header.stamp;
      observer_.frameStarted(camera, stamp);
      const double cpu_start = threadCpuMilliseconds();
      const auto start = std::chrono::steady_clock::now();
      (this->*callback)(std::move(msg));
      const std::chrono::duration<double, std::milli> wall =
      std::chrono::steady_clock::now() - start;
      observer_.frameFinished(camera, stamp, {wall.count(), threadCpuMilliseconds() - cpu_start});
    });
  replaceImageSubscription(nodeCamera(camera), subscription);
}

bool InstrumentedNode::waitForTransform(
  const std::string & target, const std::string & source, tf2::TimePoint time,
  std::chrono::milliseconds timeout) const
{
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!tfBuffer().canTransform(target, source, time)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  return true;
}

std::size_t InstrumentedNode::droppedCount(CameraId camera) const
{
  return imageSubscription(nodeCamera(camera))->dropped_count();
}

}  // namespace velmora_sim
