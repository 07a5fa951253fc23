#ifndef RCLCPP__CLOCK_HPP_
#define RCLCPP__CLOCK_HPP_

#include <atomic>
#include <memory>

#include "rcl/time.h"
#include "rclcpp/duration.hpp"
#include "rclcpp/macros.hpp"
#include "rclcpp/time.hpp"

namespace rclcpp
{

class Clock
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(Clock)

  explicit Clock(rcl_clock_type_t clock_type = RCL_SYSTEM_TIME);

  // ROS time follows the /clock topic while simulated time is active, system time otherwise.
  Time now() const;

  // Sleeps on this clock; false when ROS shut down first.
  bool sleep_until(Time until);
  bool sleep_for(Duration rel_time);

  bool ros_time_is_active() const;
  rcl_clock_type_t get_clock_type() const;

  // Stand-in extension driven by the node's time source (the real one lives in rcl).
  void setRosTimeOverride(bool active, rcl_time_point_value_t nanoseconds);

private:
  rcl_clock_type_t clock_type_;
  std::atomic<bool> ros_time_active_{false};
  std::atomic<rcl_time_point_value_t> ros_time_override_{0};
};

}  // namespace rclcpp

#endif  // RCLCPP__CLOCK_HPP_
