#include "replay/replay_node.hpp"

namespace velmora_replay
{

ReplayNode::ReplayNode(const rclcpp::NodeOptions & options, velmora_sim::FrameObserver & observer)
: node_(std::make_shared<velmora_sim::InstrumentedNode>(options, observer))
{
}

bool ReplayNode::waitForTransform(
  const std::string & parent, const std::string & child, int64_t stamp_ns,
  std::chrono::milliseconds timeout) const
{
  return node_->waitForTransform(
    parent, child, tf2::TimePoint(std::chrono::nanoseconds(stamp_ns)), timeout);
}

std::size_t ReplayNode::droppedCount(velmora_sim::CameraId camera) const
{
  return node_->droppedCount(camera);
}

}  // namespace velmora_replay
