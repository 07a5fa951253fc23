#ifndef TF2_ROS__TRANSFORM_BROADCASTER_H_
#define TF2_ROS__TRANSFORM_BROADCASTER_H_

#include <memory>
#include <vector>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "rclcpp/rclcpp.hpp"
#include "tf2_msgs/msg/tf_message.hpp"
#include "tf2_ros/qos.hpp"

namespace tf2_ros
{

// Publishes transforms on "/tf".
class TransformBroadcaster
{
public:
  template<class NodeT, class AllocatorT = std::allocator<void>>
  TransformBroadcaster(
    NodeT && node,
    const rclcpp::QoS & qos = DynamicBroadcasterQoS(),
    const rclcpp::PublisherOptionsWithAllocator<AllocatorT> & options =
    rclcpp::PublisherOptionsWithAllocator<AllocatorT>())
  {
    publisher_ = node->template create_publisher<tf2_msgs::msg::TFMessage>("/tf", qos, options);
  }

  void sendTransform(const geometry_msgs::msg::TransformStamped & transform);

  // All in one message.
  void sendTransform(const std::vector<geometry_msgs::msg::TransformStamped> & transforms);

private:
  rclcpp::Publisher<tf2_msgs::msg::TFMessage>::SharedPtr publisher_;
};

}  // namespace tf2_ros

#endif  // TF2_ROS__TRANSFORM_BROADCASTER_H_
