#ifndef RCLCPP__TIMER_HPP_
#define RCLCPP__TIMER_HPP_

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

#include "rclcpp/callback_group.hpp"
#include "rclcpp/macros.hpp"

namespace rclcpp
{

// Timers here run on the steady clock (wall timers).
class TimerBase
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS_NOT_COPYABLE(TimerBase)

  TimerBase(const TimerBase &) = delete;
  TimerBase & operator=(const TimerBase &) = delete;
  virtual ~TimerBase() = default;

  void cancel();
  bool is_canceled();
  void reset();
  bool is_steady() const;
  std::chrono::nanoseconds time_until_trigger();
  bool is_ready();

  // Stand-in internals used by the executors.
  std::chrono::steady_clock::time_point nextCallTime() const;
  // Advances the schedule and runs the callback when the timer is due; false otherwise.
  bool executeIfReady();

protected:
  TimerBase(std::chrono::nanoseconds period, const CallbackGroup::SharedPtr & callback_group);

  virtual void call() = 0;

private:
  const std::chrono::nanoseconds period_;
  std::weak_ptr<CallbackGroup> callback_group_;
  mutable std::mutex mutex_;
  std::chrono::steady_clock::time_point next_call_;
  bool canceled_{false};
};

template<typename FunctorT>
class WallTimer : public TimerBase
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(WallTimer)

  WallTimer(
    std::chrono::nanoseconds period, FunctorT && callback,
    const CallbackGroup::SharedPtr & callback_group)
  : TimerBase(period, callback_group), callback_(std::forward<FunctorT>(callback)) {}

protected:
  void call() override
  {
    if constexpr (std::is_invocable_v<FunctorT &, TimerBase &>) {
      callback_(*this);
    } else {
      callback_();
    }
  }

private:
  FunctorT callback_;
};

}  // namespace rclcpp

#endif  // RCLCPP__TIMER_HPP_
