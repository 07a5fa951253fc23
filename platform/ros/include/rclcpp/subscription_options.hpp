#ifndef RCLCPP__SUBSCRIPTION_OPTIONS_HPP_
#define RCLCPP__SUBSCRIPTION_OPTIONS_HPP_

#include <memory>

#include "rclcpp/callback_group.hpp"
#include "rclcpp/intra_process_setting.hpp"

namespace rclcpp
{

struct SubscriptionOptionsBase
{
  bool ignore_local_publications = false;
  bool use_default_callbacks = true;
  rclcpp::CallbackGroup::SharedPtr callback_group = nullptr;
  IntraProcessSetting use_intra_process_comm = IntraProcessSetting::NodeDefault;
};

template<typename Allocator>
struct SubscriptionOptionsWithAllocator : public SubscriptionOptionsBase
{
  std::shared_ptr<Allocator> allocator = nullptr;
};

using SubscriptionOptions = SubscriptionOptionsWithAllocator<std::allocator<void>>;

}  // namespace rclcpp

#endif  // RCLCPP__SUBSCRIPTION_OPTIONS_HPP_
