#ifndef TF2_ROS__BUFFER_H_
#define TF2_ROS__BUFFER_H_

#include <memory>
#include <string>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "rclcpp/rclcpp.hpp"
#include "tf2/buffer_core.h"
#include "tf2/time.h"
#include "tf2_ros/buffer_interface.h"

namespace tf2_ros
{

// A tf2::BufferCore whose lookups can wait for data, on the given clock; waiting only makes
// sense while another thread (a TransformListener's) fills the buffer.
class Buffer : public BufferInterface, public tf2::BufferCore
{
public:
  using tf2::BufferCore::lookupTransform;
  using tf2::BufferCore::canTransform;
  using SharedPtr = std::shared_ptr<tf2_ros::Buffer>;

  Buffer(
    rclcpp::Clock::SharedPtr clock,
    tf2::Duration cache_time = tf2::Duration(tf2::BUFFER_CORE_DEFAULT_CACHE_TIME),
    rclcpp::Node::SharedPtr node = rclcpp::Node::SharedPtr());

  geometry_msgs::msg::TransformStamped lookupTransform(
    const std::string & target_frame, const std::string & source_frame,
    const tf2::TimePoint & time, const tf2::Duration timeout) const override;

  geometry_msgs::msg::TransformStamped lookupTransform(
    const std::string & target_frame, const std::string & source_frame,
    const rclcpp::Time & time,
    const rclcpp::Duration timeout = rclcpp::Duration::from_nanoseconds(0)) const
  {
    return lookupTransform(target_frame, source_frame, fromRclcpp(time), fromRclcpp(timeout));
  }

  geometry_msgs::msg::TransformStamped lookupTransform(
    const std::string & target_frame, const tf2::TimePoint & target_time,
    const std::string & source_frame, const tf2::TimePoint & source_time,
    const std::string & fixed_frame, const tf2::Duration timeout) const override;

  geometry_msgs::msg::TransformStamped lookupTransform(
    const std::string & target_frame, const rclcpp::Time & target_time,
    const std::string & source_frame, const rclcpp::Time & source_time,
    const std::string & fixed_frame,
    const rclcpp::Duration timeout = rclcpp::Duration::from_nanoseconds(0)) const
  {
    return lookupTransform(
      target_frame, fromRclcpp(target_time), source_frame, fromRclcpp(source_time),
      fixed_frame, fromRclcpp(timeout));
  }

  bool canTransform(
    const std::string & target_frame, const std::string & source_frame,
    const tf2::TimePoint & target_time, const tf2::Duration timeout,
    std::string * errstr = nullptr) const override;

  bool canTransform(
    const std::string & target_frame, const std::string & source_frame,
    const rclcpp::Time & time,
    const rclcpp::Duration timeout = rclcpp::Duration::from_nanoseconds(0),
    std::string * errstr = nullptr) const
  {
    return canTransform(target_frame, source_frame, fromRclcpp(time), fromRclcpp(timeout), errstr);
  }

  bool canTransform(
    const std::string & target_frame, const tf2::TimePoint & target_time,
    const std::string & source_frame, const tf2::TimePoint & source_time,
    const std::string & fixed_frame, const tf2::Duration timeout,
    std::string * errstr = nullptr) const override;

  bool canTransform(
    const std::string & target_frame, const rclcpp::Time & target_time,
    const std::string & source_frame, const rclcpp::Time & source_time,
    const std::string & fixed_frame,
    const rclcpp::Duration timeout = rclcpp::Duration::from_nanoseconds(0),
    std::string * errstr = nullptr) const
  {
    return canTransform(
      target_frame, fromRclcpp(target_time), source_frame, fromRclcpp(source_time),
      fixed_frame, fromRclcpp(timeout), errstr);
  }

private:
  // False, with the reason logged and stored, when a timeout could never be met.
  bool checkAndErrorDedicatedThreadPresent(std::string * errstr) const;

  rclcpp::Logger getLogger() const;

  rclcpp::Clock::SharedPtr clock_;
  rclcpp::Node::SharedPtr node_;
};

static const char threading_error[] =
  "Do not call canTransform or lookupTransform with a timeout unless you are using another "
  "thread for populating data. Without a dedicated thread it will always timeout.  If you have "
  "a separate thread servicing tf messages, call setUsingDedicatedThread(true) on your Buffer "
  "instance.";

}  // namespace tf2_ros

#endif  // TF2_ROS__BUFFER_H_
