#ifndef REPLAY__REPLAY_NODE_HPP_
#define REPLAY__REPLAY_NODE_HPP_

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "rclcpp/rclcpp.hpp"
#include "sim/camera_rig.hpp"
#include "sim/instrumented_node.hpp"

namespace velmora_replay
{

// The one place where the replay reaches past the node's topics: the node as the simulator
// instruments it (timed image callbacks, tf buffer, queue drops).
class ReplayNode
{
public:
  ReplayNode(const rclcpp::NodeOptions & options, velmora_sim::FrameObserver & observer);

  rclcpp::Node::SharedPtr node() const {return node_;}
  // Waits (bounded) until the node's own tf buffer holds `child` in `parent` at `stamp_ns`.
  bool waitForTransform(
    const std::string & parent, const std::string & child, int64_t stamp_ns,
    std::chrono::milliseconds timeout) const;
  std::size_t droppedCount(velmora_sim::CameraId camera) const;

private:
  std::shared_ptr<velmora_sim::InstrumentedNode> node_;
};

}  // namespace velmora_replay

#endif  // REPLAY__REPLAY_NODE_HPP_
