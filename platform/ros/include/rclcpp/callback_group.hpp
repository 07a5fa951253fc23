#ifndef RCLCPP__CALLBACK_GROUP_HPP_
#define RCLCPP__CALLBACK_GROUP_HPP_

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "rclcpp/detail/wake_signal.hpp"
#include "rclcpp/macros.hpp"

namespace rclcpp
{

class SubscriptionBase;
class TimerBase;

enum class CallbackGroupType
{
  MutuallyExclusive,
  Reentrant
};

class CallbackGroup
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(CallbackGroup)

  explicit CallbackGroup(
    CallbackGroupType group_type, bool automatically_add_to_executor_with_node = true);

  CallbackGroupType type() const;
  bool automatically_add_to_executor_with_node() const;
  std::atomic_bool & get_associated_with_executor_atomic();

  // Stand-in internals: the group's entities and the executor that serves it.
  void addSubscription(const std::shared_ptr<SubscriptionBase> & subscription);
  void addTimer(const std::shared_ptr<TimerBase> & timer);
  void collectEntities(
    std::vector<std::shared_ptr<SubscriptionBase>> & subscriptions,
    std::vector<std::shared_ptr<TimerBase>> & timers);
  void setWakeSignal(std::shared_ptr<detail::WakeSignal> wake_signal);
  std::shared_ptr<detail::WakeSignal> wakeSignal() const;
  // Tells the serving executor, if any, that this group has work or changed.
  void notify() const;

private:
  CallbackGroupType type_;
  bool automatically_add_to_executor_with_node_;
  std::atomic_bool associated_with_executor_{false};
  mutable std::mutex mutex_;
  std::vector<std::weak_ptr<SubscriptionBase>> subscriptions_;
  std::vector<std::weak_ptr<TimerBase>> timers_;
  std::shared_ptr<detail::WakeSignal> wake_signal_;
};

}  // namespace rclcpp

#endif  // RCLCPP__CALLBACK_GROUP_HPP_
