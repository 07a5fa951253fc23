#ifndef TF2_ROS__QOS_HPP_
#define TF2_ROS__QOS_HPP_

#include <cstddef>

#include "rclcpp/qos.hpp"

namespace tf2_ros
{

class DynamicListenerQoS : public rclcpp::QoS
{
public:
  explicit DynamicListenerQoS(size_t depth = 100)
  : rclcpp::QoS(depth) {}
};

class DynamicBroadcasterQoS : public rclcpp::QoS
{
public:
  explicit DynamicBroadcasterQoS(size_t depth = 100)
  : rclcpp::QoS(depth) {}
};

// Static transforms are published once and kept for late joiners.
class StaticListenerQoS : public rclcpp::QoS
{
public:
  explicit StaticListenerQoS(size_t depth = 100)
  : rclcpp::QoS(depth)
  {
    transient_local();
  }
};

class StaticBroadcasterQoS : public rclcpp::QoS
{
public:
  explicit StaticBroadcasterQoS(size_t depth = 1)
  : rclcpp::QoS(depth)
  {
    transient_local();
  }
};

}  // namespace tf2_ros

#endif  // TF2_ROS__QOS_HPP_
