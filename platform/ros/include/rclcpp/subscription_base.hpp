#ifndef RCLCPP__SUBSCRIPTION_BASE_HPP_
#define RCLCPP__SUBSCRIPTION_BASE_HPP_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#include "rclcpp/callback_group.hpp"
#include "rclcpp/detail/endpoint_info.hpp"
#include "rclcpp/macros.hpp"
#include "rclcpp/qos.hpp"

namespace rclcpp
{

class SubscriptionBase : public std::enable_shared_from_this<SubscriptionBase>
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS_NOT_COPYABLE(SubscriptionBase)

  SubscriptionBase(const SubscriptionBase &) = delete;
  SubscriptionBase & operator=(const SubscriptionBase &) = delete;
  virtual ~SubscriptionBase();

  const char * get_topic_name() const;
  rclcpp::QoS get_actual_qos() const;
  size_t get_publisher_count() const;

  // Stand-in extension, not in rclcpp: how many messages this subscription's keep-last queue
  // discarded because newer ones arrived while it was full.
  size_t dropped_count() const;

  // Stand-in internals used by the in-process graph and the executors.
  const detail::EndpointInfo & endpointInfo() const;
  void enqueue(std::shared_ptr<void> message);
  // Global arrival number of the oldest waiting message; false when none waits.
  bool oldestSequence(uint64_t & sequence) const;
  // Hands the oldest waiting message to the callback; false when none waits.
  bool executeOldest();

protected:
  SubscriptionBase(detail::EndpointInfo info, const CallbackGroup::SharedPtr & callback_group);

  virtual void dispatch(std::shared_ptr<void> message) = 0;

private:
  detail::EndpointInfo info_;
  std::weak_ptr<CallbackGroup> callback_group_;
  // Zero means unbounded (keep-all history).
  size_t capacity_;
  mutable std::mutex mutex_;
  std::deque<std::pair<uint64_t, std::shared_ptr<void>>> queue_;
  size_t dropped_{0};
};

}  // namespace rclcpp

#endif  // RCLCPP__SUBSCRIPTION_BASE_HPP_
