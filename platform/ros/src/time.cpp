#include <chrono>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <thread>

#include "rclcpp/clock.hpp"
#include "rclcpp/duration.hpp"
#include "rclcpp/time.hpp"
#include "rclcpp/utilities.hpp"

namespace rclcpp
{
namespace
{

constexpr int64_t kNanosecondsPerSecond = 1000000000LL;

builtin_interfaces::msg::Time toTimeMessage(int64_t nanoseconds)
{
  builtin_interfaces::msg::Time message;
  const int64_t seconds = nanoseconds / kNanosecondsPerSecond;
  int64_t remainder = nanoseconds % kNanosecondsPerSecond;
  message.sec = static_cast<int32_t>(seconds);
  if (remainder < 0) {
    message.sec -= 1;
    remainder += kNanosecondsPerSecond;
  }
  message.nanosec = static_cast<uint32_t>(remainder);
  return message;
}

void requireSameClock(rcl_clock_type_t left, rcl_clock_type_t right, const char * what)
{
  if (left != right) {
    throw std::runtime_error(what);
  }
}

}  // namespace

Duration::Duration(int32_t seconds, uint32_t nanoseconds)
: nanoseconds_(static_cast<int64_t>(seconds) * kNanosecondsPerSecond + nanoseconds) {}

Duration::Duration(std::chrono::nanoseconds nanoseconds)
: nanoseconds_(nanoseconds.count()) {}

Duration::Duration(const builtin_interfaces::msg::Duration & duration_msg)
: Duration(duration_msg.sec, duration_msg.nanosec) {}

Duration::Duration(const rcl_duration_t & duration)
: nanoseconds_(duration.nanoseconds) {}

Duration & Duration::operator=(const builtin_interfaces::msg::Duration & duration_msg)
{
  *this = Duration(duration_msg);
  return *this;
}

Duration::operator builtin_interfaces::msg::Duration() const
{
  const auto time = toTimeMessage(nanoseconds_);
  builtin_interfaces::msg::Duration message;
  message.sec = time.sec;
  message.nanosec = time.nanosec;
  return message;
}

bool Duration::operator==(const Duration & rhs) const {return nanoseconds_ == rhs.nanoseconds_;}
bool Duration::operator!=(const Duration & rhs) const {return nanoseconds_ != rhs.nanoseconds_;}
bool Duration::operator<(const Duration & rhs) const {return nanoseconds_ < rhs.nanoseconds_;}
bool Duration::operator<=(const Duration & rhs) const {return nanoseconds_ <= rhs.nanoseconds_;}
bool Duration::operator>=(const Duration & rhs) const {return nanoseconds_ >= rhs.nanoseconds_;}
bool Duration::operator>(const Duration & rhs) const {return nanoseconds_ > rhs.nanoseconds_;}

Duration Duration::operator+(const Duration & rhs) const
{
  return from_nanoseconds(nanoseconds_ + rhs.nanoseconds_);
}

Duration & Duration::operator+=(const Duration & rhs)
{
  nanoseconds_ += rhs.nanoseconds_;
  return *this;
}

Duration Duration::operator-(const Duration & rhs) const
{
  return from_nanoseconds(nanoseconds_ - rhs.nanoseconds_);
}

Duration & Duration::operator-=(const Duration & rhs)
{
  nanoseconds_ -= rhs.nanoseconds_;
  return *this;
}

Duration Duration::operator*(double scale) const
{
  if (!std::isfinite(scale)) {
    throw std::runtime_error("abnormal scale in rclcpp::Duration");
  }
  return from_nanoseconds(static_cast<int64_t>(std::llround(nanoseconds_ * scale)));
}

Duration & Duration::operator*=(double scale)
{
  *this = *this * scale;
  return *this;
}

Duration Duration::max()
{
  return Duration(std::numeric_limits<int32_t>::max(), 999999999);
}

Duration Duration::from_seconds(double seconds)
{
  return from_nanoseconds(static_cast<int64_t>(std::llround(seconds * kNanosecondsPerSecond)));
}

Duration Duration::from_nanoseconds(rcl_duration_value_t nanoseconds)
{
  Duration duration;
  duration.nanoseconds_ = nanoseconds;
  return duration;
}

Duration Duration::from_rmw_time(rmw_time_t duration)
{
  return from_nanoseconds(
    static_cast<int64_t>(duration.sec) * kNanosecondsPerSecond +
    static_cast<int64_t>(duration.nsec));
}

rcl_duration_value_t Duration::nanoseconds() const {return nanoseconds_;}

double Duration::seconds() const
{
  return std::chrono::duration<double>(std::chrono::nanoseconds(nanoseconds_)).count();
}

rmw_time_t Duration::to_rmw_time() const
{
  if (nanoseconds_ < 0) {
    throw std::runtime_error("rmw_time_t cannot be negative");
  }
  rmw_time_t result;
  result.sec = static_cast<uint64_t>(nanoseconds_ / kNanosecondsPerSecond);
  result.nsec = static_cast<uint64_t>(nanoseconds_ % kNanosecondsPerSecond);
  return result;
}

Time::Time(int32_t seconds, uint32_t nanoseconds, rcl_clock_type_t clock_type)
: clock_type_(clock_type)
{
  if (seconds < 0) {
    throw std::runtime_error("cannot store a negative time point in rclcpp::Time");
  }
  nanoseconds_ = static_cast<int64_t>(seconds) * kNanosecondsPerSecond + nanoseconds;
}

Time::Time(int64_t nanoseconds, rcl_clock_type_t clock_type)
: nanoseconds_(nanoseconds), clock_type_(clock_type) {}

Time::Time(const builtin_interfaces::msg::Time & time_msg, rcl_clock_type_t clock_type)
: Time(time_msg.sec, time_msg.nanosec, clock_type) {}

Time::Time(const rcl_time_point_t & time_point)
: nanoseconds_(time_point.nanoseconds), clock_type_(time_point.clock_type) {}

Time & Time::operator=(const builtin_interfaces::msg::Time & time_msg)
{
  *this = Time(time_msg);
  return *this;
}

Time::operator builtin_interfaces::msg::Time() const
{
  return toTimeMessage(nanoseconds_);
}

bool Time::operator==(const Time & rhs) const
{
  requireSameClock(clock_type_, rhs.clock_type_, "can't compare times with different time sources");
  return nanoseconds_ == rhs.nanoseconds_;
}

bool Time::operator!=(const Time & rhs) const {return !(*this == rhs);}

bool Time::operator<(const Time & rhs) const
{
  requireSameClock(clock_type_, rhs.clock_type_, "can't compare times with different time sources");
  return nanoseconds_ < rhs.nanoseconds_;
}

bool Time::operator<=(const Time & rhs) const {return !(rhs < *this);}
bool Time::operator>=(const Time & rhs) const {return !(*this < rhs);}
bool Time::operator>(const Time & rhs) const {return rhs < *this;}

Time Time::operator+(const Duration & rhs) const
{
  return Time(nanoseconds_ + rhs.nanoseconds(), clock_type_);
}

Duration Time::operator-(const Time & rhs) const
{
  requireSameClock(
    clock_type_, rhs.clock_type_, "can't subtract times with different time sources");
  return Duration::from_nanoseconds(nanoseconds_ - rhs.nanoseconds_);
}

Time Time::operator-(const Duration & rhs) const
{
  return Time(nanoseconds_ - rhs.nanoseconds(), clock_type_);
}

Time & Time::operator+=(const Duration & rhs)
{
  nanoseconds_ += rhs.nanoseconds();
  return *this;
}

Time & Time::operator-=(const Duration & rhs)
{
  nanoseconds_ -= rhs.nanoseconds();
  return *this;
}

rcl_time_point_value_t Time::nanoseconds() const {return nanoseconds_;}

Time Time::max(rcl_clock_type_t clock_type)
{
  return Time(std::numeric_limits<int32_t>::max(), 999999999, clock_type);
}

double Time::seconds() const
{
  return std::chrono::duration<double>(std::chrono::nanoseconds(nanoseconds_)).count();
}

rcl_clock_type_t Time::get_clock_type() const {return clock_type_;}

Time operator+(const rclcpp::Duration & lhs, const rclcpp::Time & rhs)
{
  return rhs + lhs;
}

Clock::Clock(rcl_clock_type_t clock_type)
: clock_type_(clock_type) {}

Time Clock::now() const
{
  if (clock_type_ == RCL_ROS_TIME && ros_time_active_) {
    return Time(ros_time_override_.load(), clock_type_);
  }
  int64_t nanoseconds = 0;
  if (clock_type_ == RCL_STEADY_TIME) {
    nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now().time_since_epoch()).count();
  } else {
    nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::system_clock::now().time_since_epoch()).count();
  }
  return Time(nanoseconds, clock_type_);
}

bool Clock::sleep_until(Time until)
{
  const auto poll = std::chrono::milliseconds(1);
  while (rclcpp::ok()) {
    const Duration left = until - now();
    if (left.nanoseconds() <= 0) {
      return true;
    }
    if (clock_type_ == RCL_ROS_TIME && ros_time_active_) {
      std::this_thread::sleep_for(poll);
    } else {
      rclcpp::sleep_for(std::chrono::nanoseconds(left.nanoseconds()));
    }
  }
  return false;
}

bool Clock::sleep_for(Duration rel_time)
{
  return sleep_until(now() + rel_time);
}

bool Clock::ros_time_is_active() const
{
  return clock_type_ == RCL_ROS_TIME && ros_time_active_;
}

rcl_clock_type_t Clock::get_clock_type() const {return clock_type_;}

void Clock::setRosTimeOverride(bool active, rcl_time_point_value_t nanoseconds)
{
  ros_time_override_ = nanoseconds;
  ros_time_active_ = active;
}

}  // namespace rclcpp
