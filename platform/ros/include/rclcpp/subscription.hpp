#ifndef RCLCPP__SUBSCRIPTION_HPP_
#define RCLCPP__SUBSCRIPTION_HPP_

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "rclcpp/subscription_base.hpp"
#include "rclcpp/subscription_options.hpp"

namespace rclcpp
{
namespace detail
{

template<typename>
inline constexpr bool always_false_v = false;

// Accepts the callback signatures rclcpp accepts for plain messages: shared pointer to a mutable
// or const message, const reference, or unique pointer.
template<typename MessageT, typename CallbackT>
std::function<void(std::shared_ptr<MessageT>)> adaptSubscriptionCallback(CallbackT && callback)
{
  using Callback = std::decay_t<CallbackT>;
  auto stored = std::make_shared<Callback>(std::forward<CallbackT>(callback));
  if constexpr (std::is_invocable_v<Callback &, std::shared_ptr<MessageT>>) {
    return [stored](std::shared_ptr<MessageT> message) {(*stored)(std::move(message));};
  } else if constexpr (std::is_invocable_v<Callback &, const MessageT &>) {
    return [stored](std::shared_ptr<MessageT> message) {(*stored)(*message);};
  } else if constexpr (std::is_invocable_v<Callback &, std::unique_ptr<MessageT>>) {
    return [stored](std::shared_ptr<MessageT> message) {
             (*stored)(std::make_unique<MessageT>(std::move(*message)));
           };
  } else {
    static_assert(always_false_v<CallbackT>, "unsupported subscription callback signature");
  }
}

}  // namespace detail

template<typename MessageT, typename AllocatorT = std::allocator<void>>
class Subscription : public SubscriptionBase
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(Subscription)

  using MessageSharedPtr = std::shared_ptr<MessageT>;
  using ConstMessageSharedPtr = std::shared_ptr<const MessageT>;
  using MessageUniquePtr = std::unique_ptr<MessageT>;

  Subscription(
    detail::EndpointInfo info, const CallbackGroup::SharedPtr & callback_group,
    std::function<void(std::shared_ptr<MessageT>)> callback)
  : SubscriptionBase(std::move(info), callback_group), callback_(std::move(callback)) {}

protected:
  void dispatch(std::shared_ptr<void> message) override
  {
    callback_(std::static_pointer_cast<MessageT>(std::move(message)));
  }

private:
  std::function<void(std::shared_ptr<MessageT>)> callback_;
};

}  // namespace rclcpp

#endif  // RCLCPP__SUBSCRIPTION_HPP_
