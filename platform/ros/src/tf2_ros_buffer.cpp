#include <chrono>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "rclcpp/rclcpp.hpp"
#include "tf2_ros/buffer.h"

namespace tf2_ros
{

namespace
{

constexpr std::chrono::milliseconds kPollPeriod{3};

// Polls `available` until it holds, the timeout passes on `clock` or ROS shuts down. A clock
// that jumped back (a replayed bag restarting) ends the wait as well.
void waitFor(
  const rclcpp::Clock & clock, const rclcpp::Time & start_time, tf2::Duration timeout,
  const std::function<bool()> & available)
{
  const rclcpp::Time deadline = start_time + toRclcpp(timeout);
  const rclcpp::Duration jump_tolerance(3, 0);
  while (clock.now() < deadline && !available() && clock.now() + jump_tolerance >= start_time &&
    rclcpp::ok())
  {
    std::this_thread::sleep_for(kPollPeriod);
  }
}

void appendTimeoutInfo(
  std::string * errstr, const rclcpp::Time & start_time, const rclcpp::Time & end_time,
  tf2::Duration timeout)
{
  if (errstr == nullptr || timeout == tf2::Duration::zero()) {
    return;
  }
  std::ostringstream text;
  text << ". canTransform returned after " << (end_time - start_time).seconds() <<
    " timeout was " << tf2::durationToSec(timeout) << ".";
  *errstr += text.str();
}

}  // namespace

Buffer::Buffer(
  rclcpp::Clock::SharedPtr clock, tf2::Duration cache_time, rclcpp::Node::SharedPtr node)
: BufferCore(cache_time), clock_(clock), node_(node)
{
  if (!clock_) {
    throw std::invalid_argument("clock must be a valid instance");
  }
}

geometry_msgs::msg::TransformStamped Buffer::lookupTransform(
  const std::string & target_frame, const std::string & source_frame,
  const tf2::TimePoint & time, const tf2::Duration timeout) const
{
  // The error string keeps a failed wait off the console; the lookup below throws the reason.
  std::string error;
  canTransform(target_frame, source_frame, time, timeout, &error);
  return lookupTransform(target_frame, source_frame, time);
}

geometry_msgs::msg::TransformStamped Buffer::lookupTransform(
  const std::string & target_frame, const tf2::TimePoint & target_time,
  const std::string & source_frame, const tf2::TimePoint & source_time,
  const std::string & fixed_frame, const tf2::Duration timeout) const
{
  std::string error;
  canTransform(
    target_frame, target_time, source_frame, source_time, fixed_frame, timeout, &error);
  return lookupTransform(target_frame, target_time, source_frame, source_time, fixed_frame);
}

bool Buffer::canTransform(
  const std::string & target_frame, const std::string & source_frame,
  const tf2::TimePoint & target_time, const tf2::Duration timeout, std::string * errstr) const
{
  if (timeout != tf2::Duration::zero() && !checkAndErrorDedicatedThreadPresent(errstr)) {
    return false;
  }
  const rclcpp::Time start_time = clock_->now();
  waitFor(
    *clock_, start_time, timeout, [&]() {
      return canTransform(target_frame, source_frame, target_time);
    });
  const bool available = canTransform(target_frame, source_frame, target_time, errstr);
  if (!available) {
    appendTimeoutInfo(errstr, start_time, clock_->now(), timeout);
  }
  return available;
}

bool Buffer::canTransform(
  const std::string & target_frame, const tf2::TimePoint & target_time,
  const std::string & source_frame, const tf2::TimePoint & source_time,
  const std::string & fixed_frame, const tf2::Duration timeout, std::string * errstr) const
{
  if (timeout != tf2::Duration::zero() && !checkAndErrorDedicatedThreadPresent(errstr)) {
    return false;
  }
  const rclcpp::Time start_time = clock_->now();
  waitFor(
    *clock_, start_time, timeout, [&]() {
      return canTransform(target_frame, target_time, source_frame, source_time, fixed_frame);
    });
  const bool available =
    canTransform(target_frame, target_time, source_frame, source_time, fixed_frame, errstr);
  if (!available) {
    appendTimeoutInfo(errstr, start_time, clock_->now(), timeout);
  }
  return available;
}

bool Buffer::checkAndErrorDedicatedThreadPresent(std::string * errstr) const
{
  if (isUsingDedicatedThread()) {
    return true;
  }
  if (errstr) {
    *errstr = threading_error;
  }
  RCLCPP_ERROR(getLogger(), "%s", threading_error);
  return false;
}

rclcpp::Logger Buffer::getLogger() const
{
  return node_ ? node_->get_logger() : rclcpp::get_logger("tf2_buffer");
}

}  // namespace tf2_ros
