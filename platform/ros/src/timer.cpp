#include <chrono>
#include <mutex>

#include "rclcpp/timer.hpp"

namespace rclcpp
{

TimerBase::TimerBase(
  std::chrono::nanoseconds period, const CallbackGroup::SharedPtr & callback_group)
: period_(period),
  callback_group_(callback_group),
  next_call_(std::chrono::steady_clock::now() + period) {}

void TimerBase::cancel()
{
  std::lock_guard<std::mutex> lock(mutex_);
  canceled_ = true;
}

bool TimerBase::is_canceled()
{
  std::lock_guard<std::mutex> lock(mutex_);
  return canceled_;
}

void TimerBase::reset()
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    canceled_ = false;
    next_call_ = std::chrono::steady_clock::now() + period_;
  }
  if (auto group = callback_group_.lock()) {
    group->notify();
  }
}

bool TimerBase::is_steady() const {return true;}

std::chrono::nanoseconds TimerBase::time_until_trigger()
{
  std::lock_guard<std::mutex> lock(mutex_);
  if (canceled_) {
    return std::chrono::nanoseconds::max();
  }
  return next_call_ - std::chrono::steady_clock::now();
}

bool TimerBase::is_ready()
{
  std::lock_guard<std::mutex> lock(mutex_);
  return !canceled_ && std::chrono::steady_clock::now() >= next_call_;
}

std::chrono::steady_clock::time_point TimerBase::nextCallTime() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return canceled_ ? std::chrono::steady_clock::time_point::max() : next_call_;
}

bool TimerBase::executeIfReady()
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (canceled_ || now < next_call_) {
      return false;
    }
    // Missed periods are skipped rather than run in a burst, as rcl timers do.
    const auto periods_behind = period_.count() > 0 ? (now - next_call_) / period_ : 0;
    next_call_ += period_ * (periods_behind + 1);
  }
  call();
  return true;
}

}  // namespace rclcpp
