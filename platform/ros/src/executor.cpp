#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "graph.hpp"
#include "rclcpp/executor.hpp"
#include "rclcpp/executors.hpp"
#include "rclcpp/executors/single_threaded_executor.hpp"

namespace rclcpp
{
namespace
{

using SteadyTime = std::chrono::steady_clock::time_point;

constexpr uint64_t kAnySequence = std::numeric_limits<uint64_t>::max();

SteadyTime deadlineAfter(std::chrono::nanoseconds timeout)
{
  if (timeout < std::chrono::nanoseconds(0)) {
    return SteadyTime::max();
  }
  return std::chrono::steady_clock::now() + timeout;
}

class SpinningGuard
{
public:
  explicit SpinningGuard(std::atomic_bool & spinning)
  : spinning_(spinning) {}
  ~SpinningGuard() {spinning_ = false;}
  SpinningGuard(const SpinningGuard &) = delete;
  SpinningGuard & operator=(const SpinningGuard &) = delete;

private:
  std::atomic_bool & spinning_;
};

}  // namespace

Executor::Executor(const rclcpp::ExecutorOptions & options)
: context_(options.context ? options.context : contexts::get_global_default_context()),
  wake_signal_(std::make_shared<detail::WakeSignal>())
{
  context_->addWakeSignal(wake_signal_);
}

Executor::~Executor()
{
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto & entry : groups_) {
    if (auto group = entry.second.group.lock()) {
      releaseGroup(*group);
    }
  }
  for (auto & weak_node : nodes_) {
    if (auto node = weak_node.lock()) {
      node->setWakeSignal(nullptr);
      node->get_associated_with_executor_atomic() = false;
    }
  }
  context_->removeWakeSignal(wake_signal_);
}

void Executor::add_callback_group(
  rclcpp::CallbackGroup::SharedPtr group_ptr,
  rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr, bool notify)
{
  (void)node_ptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (group_ptr->get_associated_with_executor_atomic().exchange(true)) {
      throw std::runtime_error("Callback group has already been added to an executor.");
    }
    associateGroup(group_ptr, false);
  }
  if (notify) {
    wake_signal_->notify();
  }
}

void Executor::remove_callback_group(rclcpp::CallbackGroup::SharedPtr group_ptr, bool notify)
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (groups_.erase(group_ptr.get()) == 0) {
      throw std::runtime_error("Callback group needs to be associated with this executor.");
    }
    releaseGroup(*group_ptr);
  }
  if (notify) {
    wake_signal_->notify();
  }
}

void Executor::add_node(
  rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr, bool notify)
{
  if (node_ptr->get_associated_with_executor_atomic().exchange(true)) {
    throw std::runtime_error(
      std::string("Node '") + node_ptr->get_fully_qualified_name() +
      "' has already been added to an executor.");
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    nodes_.push_back(node_ptr);
    node_ptr->setWakeSignal(wake_signal_);
    adoptNewNodeGroups();
  }
  if (notify) {
    wake_signal_->notify();
  }
}

void Executor::add_node(std::shared_ptr<rclcpp::Node> node_ptr, bool notify)
{
  add_node(node_ptr->get_node_base_interface(), notify);
}

void Executor::remove_node(
  rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr, bool notify)
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = std::find_if(
      nodes_.begin(), nodes_.end(),
      [&node_ptr](const auto & weak_node) {return weak_node.lock() == node_ptr;});
    if (found == nodes_.end()) {
      throw std::runtime_error("Node needs to be associated with this executor.");
    }
    nodes_.erase(found);
    for (auto entry = groups_.begin(); entry != groups_.end(); ) {
      auto group = entry->second.group.lock();
      if (entry->second.from_node && group && node_ptr->callback_group_in_node(group)) {
        releaseGroup(*group);
        entry = groups_.erase(entry);
      } else {
        ++entry;
      }
    }
    node_ptr->setWakeSignal(nullptr);
    node_ptr->get_associated_with_executor_atomic() = false;
  }
  if (notify) {
    wake_signal_->notify();
  }
}

void Executor::remove_node(std::shared_ptr<rclcpp::Node> node_ptr, bool notify)
{
  remove_node(node_ptr->get_node_base_interface(), notify);
}

void Executor::spin_some(std::chrono::nanoseconds max_duration)
{
  startSpinning("spin_some()", false);
  SpinningGuard guard(spinning_);
  const auto start = std::chrono::steady_clock::now();
  const uint64_t ready_before = detail::lastSequence();
  while (spinning_ && rclcpp::ok(context_)) {
    if (max_duration > std::chrono::nanoseconds(0) &&
      std::chrono::steady_clock::now() - start >= max_duration)
    {
      return;
    }
    if (!runOnce(SteadyTime::min(), ready_before, start)) {
      return;
    }
  }
}

void Executor::spin_all(std::chrono::nanoseconds max_duration)
{
  if (max_duration < std::chrono::nanoseconds(0)) {
    throw std::invalid_argument("max_duration must be greater than or equal to 0");
  }
  startSpinning("spin_all()", false);
  SpinningGuard guard(spinning_);
  const auto start = std::chrono::steady_clock::now();
  while (spinning_ && rclcpp::ok(context_)) {
    if (max_duration > std::chrono::nanoseconds(0) &&
      std::chrono::steady_clock::now() - start >= max_duration)
    {
      return;
    }
    if (!runOnce(SteadyTime::min(), kAnySequence, SteadyTime::max())) {
      return;
    }
  }
}

void Executor::spin_once(std::chrono::nanoseconds timeout)
{
  startSpinning("spin_once()", false);
  SpinningGuard guard(spinning_);
  runOnce(deadlineAfter(timeout), kAnySequence, SteadyTime::max());
}

void Executor::cancel()
{
  {
    std::lock_guard<std::mutex> lock(spin_state_mutex_);
    if (!spinning_.exchange(false)) {
      cancel_latched_ = true;
    }
  }
  wake_signal_->notify();
}

bool Executor::is_spinning()
{
  return spinning_;
}

bool Executor::startSpinning(const char * caller, bool honour_cancel)
{
  std::lock_guard<std::mutex> lock(spin_state_mutex_);
  if (honour_cancel && cancel_latched_.exchange(false)) {
    return false;
  }
  if (spinning_.exchange(true)) {
    throw std::runtime_error(std::string(caller) + " called while already spinning");
  }
  return true;
}

bool Executor::takeCancelRequest()
{
  return cancel_latched_.exchange(false);
}

bool Executor::runOnce(SteadyTime deadline, uint64_t sequence_limit, SteadyTime timer_limit)
{
  while (true) {
    // Read before checking the state: a cancel or shutdown after this point changes it.
    const uint64_t seen_generation = wake_signal_->generation();
    if (!spinning_ || !rclcpp::ok(context_)) {
      return false;
    }
    Work work;
    SteadyTime next_timer = SteadyTime::max();
    if (takeWork(sequence_limit, timer_limit, work, next_timer)) {
      if (work.timer) {
        work.timer->executeIfReady();
      } else {
        work.subscription->executeOldest();
      }
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    wake_signal_->waitUntil(seen_generation, std::min(deadline, next_timer));
  }
}

bool Executor::takeWork(
  uint64_t sequence_limit, SteadyTime timer_limit, Work & work, SteadyTime & next_timer)
{
  std::vector<std::shared_ptr<SubscriptionBase>> subscriptions;
  std::vector<std::shared_ptr<TimerBase>> timers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    adoptNewNodeGroups();
    for (auto entry = groups_.begin(); entry != groups_.end(); ) {
      if (auto group = entry->second.group.lock()) {
        group->collectEntities(subscriptions, timers);
        ++entry;
      } else {
        entry = groups_.erase(entry);
      }
    }
  }
  const auto now = std::min(std::chrono::steady_clock::now(), timer_limit);
  for (const auto & timer : timers) {
    const auto due = timer->nextCallTime();
    if (due <= now) {
      work.timer = timer;
      return true;
    }
    next_timer = std::min(next_timer, due);
  }
  uint64_t oldest = kAnySequence;
  for (const auto & subscription : subscriptions) {
    uint64_t sequence = 0;
    if (subscription->oldestSequence(sequence) && sequence <= sequence_limit &&
      sequence < oldest)
    {
      oldest = sequence;
      work.subscription = subscription;
    }
  }
  return work.subscription != nullptr;
}

void Executor::adoptNewNodeGroups()
{
  for (auto weak_node = nodes_.begin(); weak_node != nodes_.end(); ) {
    auto node = weak_node->lock();
    if (!node) {
      weak_node = nodes_.erase(weak_node);
      continue;
    }
    node->for_each_callback_group(
      [this](const rclcpp::CallbackGroup::SharedPtr & group) {
        if (group->automatically_add_to_executor_with_node() &&
        !group->get_associated_with_executor_atomic().exchange(true))
        {
          associateGroup(group, true);
        }
      });
    ++weak_node;
  }
}

void Executor::associateGroup(const rclcpp::CallbackGroup::SharedPtr & group, bool from_node)
{
  groups_[group.get()] = GroupEntry{group, from_node};
  group->setWakeSignal(wake_signal_);
}

void Executor::releaseGroup(rclcpp::CallbackGroup & group)
{
  group.setWakeSignal(nullptr);
  group.get_associated_with_executor_atomic() = false;
}

namespace executors
{

SingleThreadedExecutor::SingleThreadedExecutor(const rclcpp::ExecutorOptions & options)
: rclcpp::Executor(options) {}

SingleThreadedExecutor::~SingleThreadedExecutor() = default;

void SingleThreadedExecutor::spin()
{
  if (!startSpinning("spin()", true)) {
    return;
  }
  SpinningGuard guard(spinning_);
  while (spinning_ && rclcpp::ok(context_)) {
    runOnce(SteadyTime::max(), kAnySequence, SteadyTime::max());
  }
}

}  // namespace executors

void spin_some(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr)
{
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node_ptr, false);
  executor.spin_some();
  executor.remove_node(node_ptr, false);
}

void spin_some(rclcpp::Node::SharedPtr node_ptr)
{
  spin_some(node_ptr->get_node_base_interface());
}

void spin(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr)
{
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node_ptr, false);
  executor.spin();
  executor.remove_node(node_ptr, false);
}

void spin(rclcpp::Node::SharedPtr node_ptr)
{
  spin(node_ptr->get_node_base_interface());
}

}  // namespace rclcpp
