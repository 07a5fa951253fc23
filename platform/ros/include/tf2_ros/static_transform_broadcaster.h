#ifndef TF2_ROS__STATIC_TRANSFORM_BROADCASTER_H_
#define TF2_ROS__STATIC_TRANSFORM_BROADCASTER_H_

#include <memory>
#include <vector>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "rclcpp/rclcpp.hpp"
#include "tf2_msgs/msg/tf_message.hpp"
#include "tf2_ros/qos.hpp"

namespace tf2_ros
{

// Publishes static transforms on "/tf_static", latched for late subscribers. Every send
// republishes the whole set given so far, a newer transform replacing one with the same child.
class StaticTransformBroadcaster
{
public:
  template<class NodeT, class AllocatorT = std::allocator<void>>
  StaticTransformBroadcaster(
    NodeT && node,
    const rclcpp::QoS & qos = StaticBroadcasterQoS(),
    const rclcpp::PublisherOptionsWithAllocator<AllocatorT> & options =
    rclcpp::PublisherOptionsWithAllocator<AllocatorT>())
  {
    publisher_ = node->template create_publisher<tf2_msgs::msg::TFMessage>(
      "/tf_static", qos, options);
  }

  void sendTransform(const geometry_msgs::msg::TransformStamped & transform);

  void sendTransform(const std::vector<geometry_msgs::msg::TransformStamped> & transforms);

private:
  rclcpp::Publisher<tf2_msgs::msg::TFMessage>::SharedPtr publisher_;
  tf2_msgs::msg::TFMessage net_message_;
};

}  // namespace tf2_ros

#endif  // TF2_ROS__STATIC_TRANSFORM_BROADCASTER_H_
