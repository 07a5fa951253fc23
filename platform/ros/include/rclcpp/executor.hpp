#ifndef RCLCPP__EXECUTOR_HPP_
#define RCLCPP__EXECUTOR_HPP_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "rclcpp/callback_group.hpp"
#include "rclcpp/context.hpp"
#include "rclcpp/detail/wake_signal.hpp"
#include "rclcpp/executor_options.hpp"
#include "rclcpp/future_return_code.hpp"
#include "rclcpp/macros.hpp"
#include "rclcpp/node.hpp"
#include "rclcpp/node_interfaces/node_base_interface.hpp"
#include "rclcpp/utilities.hpp"

namespace rclcpp
{

// Runs the callbacks of the callback groups it serves, one at a time. Waiting messages are
// taken in global arrival order; due timers go first.
class Executor
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS_NOT_COPYABLE(Executor)

  explicit Executor(const rclcpp::ExecutorOptions & options = rclcpp::ExecutorOptions());
  Executor(const Executor &) = delete;
  Executor & operator=(const Executor &) = delete;
  virtual ~Executor();

  virtual void spin() = 0;

  virtual void add_callback_group(
    rclcpp::CallbackGroup::SharedPtr group_ptr,
    rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr, bool notify = true);
  virtual void remove_callback_group(
    rclcpp::CallbackGroup::SharedPtr group_ptr, bool notify = true);
  virtual void add_node(
    rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr, bool notify = true);
  virtual void add_node(std::shared_ptr<rclcpp::Node> node_ptr, bool notify = true);
  virtual void remove_node(
    rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr, bool notify = true);
  virtual void remove_node(std::shared_ptr<rclcpp::Node> node_ptr, bool notify = true);

  // Runs the work that is ready now (messages that arrive meanwhile wait for the next call).
  virtual void spin_some(std::chrono::nanoseconds max_duration = std::chrono::nanoseconds(0));
  // Runs work until none is left or `max_duration` has passed.
  virtual void spin_all(std::chrono::nanoseconds max_duration);
  // Waits up to `timeout` (negative: forever) for one piece of work and runs it.
  virtual void spin_once(std::chrono::nanoseconds timeout = std::chrono::nanoseconds(-1));

  template<typename FutureT, typename TimeRepT = int64_t, typename TimeT = std::milli>
  FutureReturnCode spin_until_future_complete(
    const FutureT & future,
    std::chrono::duration<TimeRepT, TimeT> timeout = std::chrono::duration<TimeRepT, TimeT>(-1))
  {
    const auto timeout_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(timeout);
    const auto deadline = std::chrono::steady_clock::now() + timeout_ns;
    const auto poll = std::chrono::milliseconds(10);
    while (rclcpp::ok(context_) && !takeCancelRequest()) {
      if (future.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
        return FutureReturnCode::SUCCESS;
      }
      auto wait = poll;
      if (timeout_ns >= std::chrono::nanoseconds(0)) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds(0)) {
          return FutureReturnCode::TIMEOUT;
        }
        wait = std::min(poll, std::chrono::duration_cast<std::chrono::milliseconds>(left));
      }
      spin_once(wait);
    }
    return FutureReturnCode::INTERRUPTED;
  }

  // Makes a running spin return. A cancel that comes before spin() makes that spin() return at
  // once, so a thread that has not started spinning yet can still be stopped.
  void cancel();
  bool is_spinning();

protected:
  struct Work
  {
    std::shared_ptr<SubscriptionBase> subscription;
    std::shared_ptr<TimerBase> timer;
  };

  // Entry to every spin call; `honour_cancel` makes it return false, consuming a cancel() that
  // came while not spinning.
  bool startSpinning(const char * caller, bool honour_cancel);
  // True once after a cancel() that came while not spinning.
  bool takeCancelRequest();
  // Runs one piece of work, waiting until `deadline` for it; messages that arrived after
  // `sequence_limit` and timers due after `timer_limit` are left for later.
  bool runOnce(
    std::chrono::steady_clock::time_point deadline, uint64_t sequence_limit,
    std::chrono::steady_clock::time_point timer_limit);

  rclcpp::Context::SharedPtr context_;
  std::atomic_bool spinning_{false};

private:
  struct GroupEntry
  {
    std::weak_ptr<rclcpp::CallbackGroup> group;
    bool from_node;
  };

  bool takeWork(
    uint64_t sequence_limit, std::chrono::steady_clock::time_point timer_limit, Work & work,
    std::chrono::steady_clock::time_point & next_timer);
  void adoptNewNodeGroups();
  void associateGroup(const rclcpp::CallbackGroup::SharedPtr & group, bool from_node);
  void releaseGroup(rclcpp::CallbackGroup & group);

  std::shared_ptr<detail::WakeSignal> wake_signal_;
  // Makes starting to spin and cancelling one step each, so no cancel falls between them.
  std::mutex spin_state_mutex_;
  std::atomic_bool cancel_latched_{false};
  std::mutex mutex_;
  std::map<const rclcpp::CallbackGroup *, GroupEntry> groups_;
  std::vector<std::weak_ptr<rclcpp::node_interfaces::NodeBaseInterface>> nodes_;
};

}  // namespace rclcpp

#endif  // RCLCPP__EXECUTOR_HPP_
