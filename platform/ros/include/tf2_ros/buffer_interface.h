#ifndef TF2_ROS__BUFFER_INTERFACE_H_
#define TF2_ROS__BUFFER_INTERFACE_H_

#include <chrono>
#include <cstdint>
#include <string>

#include "builtin_interfaces/msg/duration.hpp"
#include "builtin_interfaces/msg/time.hpp"
#include "geometry_msgs/msg/transform_stamped.hpp"
#include "rclcpp/rclcpp.hpp"
#include "tf2/buffer_core.h"
#include "tf2/convert.h"
#include "tf2/exceptions.h"
#include "tf2/time.h"

namespace tf2_ros
{

inline builtin_interfaces::msg::Time toMsg(const tf2::TimePoint & t)
{
  const auto since_epoch = t.time_since_epoch();
  builtin_interfaces::msg::Time time_msg;
  time_msg.sec = static_cast<int32_t>(
    std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count());
  time_msg.nanosec = static_cast<uint32_t>(since_epoch.count() % 1000000000LL);
  return time_msg;
}

inline tf2::TimePoint fromMsg(const builtin_interfaces::msg::Time & time_msg)
{
  return tf2::TimePoint(
    std::chrono::seconds(time_msg.sec) + std::chrono::nanoseconds(time_msg.nanosec));
}

inline builtin_interfaces::msg::Duration toMsg(const tf2::Duration & t)
{
  builtin_interfaces::msg::Duration duration_msg;
  duration_msg.sec = static_cast<int32_t>(
    std::chrono::duration_cast<std::chrono::seconds>(t).count());
  duration_msg.nanosec = static_cast<uint32_t>(t.count() % 1000000000LL);
  return duration_msg;
}

inline tf2::Duration fromMsg(const builtin_interfaces::msg::Duration & duration_msg)
{
  return std::chrono::seconds(duration_msg.sec) + std::chrono::nanoseconds(duration_msg.nanosec);
}

inline double timeToSec(const builtin_interfaces::msg::Time & time_msg)
{
  return static_cast<double>(time_msg.sec) + static_cast<double>(time_msg.nanosec) * 1e-9;
}

// tf2 time points are system-clock based; an rclcpp time of another clock is taken as is.
inline tf2::TimePoint fromRclcpp(const rclcpp::Time & time)
{
  return tf2::TimePoint(std::chrono::nanoseconds(time.nanoseconds()));
}

inline rclcpp::Time toRclcpp(const tf2::TimePoint & time)
{
  return rclcpp::Time(std::chrono::nanoseconds(time.time_since_epoch()).count());
}

inline tf2::Duration fromRclcpp(const rclcpp::Duration & duration)
{
  return tf2::Duration(std::chrono::nanoseconds(duration.nanoseconds()));
}

inline rclcpp::Duration toRclcpp(const tf2::Duration & duration)
{
  return rclcpp::Duration(std::chrono::nanoseconds(duration));
}

// A tf2 buffer with ROS semantics: lookups may wait up to a timeout for the data to arrive.
class BufferInterface
{
public:
  virtual ~BufferInterface() = default;

  virtual geometry_msgs::msg::TransformStamped lookupTransform(
    const std::string & target_frame, const std::string & source_frame,
    const tf2::TimePoint & time, const tf2::Duration timeout) const = 0;

  virtual geometry_msgs::msg::TransformStamped lookupTransform(
    const std::string & target_frame, const tf2::TimePoint & target_time,
    const std::string & source_frame, const tf2::TimePoint & source_time,
    const std::string & fixed_frame, const tf2::Duration timeout) const = 0;

  virtual bool canTransform(
    const std::string & target_frame, const std::string & source_frame,
    const tf2::TimePoint & time, const tf2::Duration timeout,
    std::string * errstr = nullptr) const = 0;

  virtual bool canTransform(
    const std::string & target_frame, const tf2::TimePoint & target_time,
    const std::string & source_frame, const tf2::TimePoint & source_time,
    const std::string & fixed_frame, const tf2::Duration timeout,
    std::string * errstr = nullptr) const = 0;

  // `in` carried into `target_frame` at its own stamp; T needs a tf2::doTransform specialisation.
  template<class T>
  T & transform(
    const T & in, T & out, const std::string & target_frame,
    tf2::Duration timeout = tf2::durationFromSec(0.0)) const
  {
    tf2::doTransform(
      in, out,
      lookupTransform(target_frame, tf2::getFrameId(in), tf2::getTimestamp(in), timeout));
    return out;
  }

  template<class T>
  T transform(
    const T & in, const std::string & target_frame,
    tf2::Duration timeout = tf2::durationFromSec(0.0)) const
  {
    T out;
    return transform(in, out, target_frame, timeout);
  }
};

}  // namespace tf2_ros

#endif  // TF2_ROS__BUFFER_INTERFACE_H_
