#ifndef SIM__INSTRUMENTED_NODE_HPP_
#define SIM__INSTRUMENTED_NODE_HPP_

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "sensor_msgs/msg/image.hpp"
#include "sim/camera_rig.hpp"
#include "tf2/time.h"
#include "water_stain_node_access.hpp"

namespace velmora_sim
{

// What one callback took: wall time, and the CPU time of the executor's thread, which does not
// grow while other work on a shared machine holds the core.
struct CallbackTime
{
  double wall_ms{0.0};
  double cpu_ms{0.0};
};

// CPU time the calling thread has used so far.
double threadCpuMilliseconds();

// Told around every image callback of the node, on the executor's thread.
class FrameObserver
{
public:
  virtual ~FrameObserver() = default;
  virtual void frameStarted(CameraId camera, const builtin_interfaces::msg::Time & stamp) = 0;
  virtual void frameFinished(
    CameraId camera, const builtin_interfaces::msg::Time & stamp, CallbackTime took) = 0;
};

// The node as built, with its three image subscriptions re-created (same topics, same QoS) so
// that each delivered image is timed around the node's own callback and the observer learns
// which frame the node's log lines belong to.
class InstrumentedNode : public node_access::WaterStainNodeAccess
{
public:
  InstrumentedNode(const rclcpp::NodeOptions & options, FrameObserver & observer);

  // Waits (bounded) until the node's tf buffer, filled by its own listener thread, can carry
  // `source` into `target` at `time` (the latest data for tf2::TimePointZero).
  bool waitForTransform(
    const std::string & target, const std::string & source, tf2::TimePoint time,
    std::chrono::milliseconds timeout) const;

  // Images the camera's subscription queue discarded because newer ones arrived.
  std::size_t droppedCount(CameraId camera) const;

private:
  void timeImages(
    CameraId camera, void (WaterStainNode::* callback)(std::shared_ptr<sensor_msgs::msg::Image>));

  FrameObserver & observer_;
};

}  // namespace velmora_sim

#endif  // SIM__INSTRUMENTED_NODE_HPP_
