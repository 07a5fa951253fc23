#ifndef RCLCPP__NODE_HPP_
#define RCLCPP__NODE_HPP_

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "rcl_interfaces/msg/parameter_descriptor.hpp"
#include "rcl_interfaces/msg/set_parameters_result.hpp"
#include "rclcpp/callback_group.hpp"
#include "rclcpp/clock.hpp"
#include "rclcpp/exceptions.hpp"
#include "rclcpp/logger.hpp"
#include "rclcpp/macros.hpp"
#include "rclcpp/node_interfaces/node_base_interface.hpp"
#include "rclcpp/node_options.hpp"
#include "rclcpp/parameter.hpp"
#include "rclcpp/publisher.hpp"
#include "rclcpp/qos.hpp"
#include "rclcpp/subscription.hpp"
#include "rclcpp/time.hpp"
#include "rclcpp/timer.hpp"
#include "rosidl_runtime_cpp/traits.hpp"

namespace rclcpp
{
namespace detail
{
class TimeSource;
}  // namespace detail

class Node : public std::enable_shared_from_this<Node>
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(Node)

  explicit Node(const std::string & node_name, const NodeOptions & options = NodeOptions());
  Node(
    const std::string & node_name, const std::string & namespace_,
    const NodeOptions & options = NodeOptions());
  Node(const Node &) = delete;
  Node & operator=(const Node &) = delete;
  virtual ~Node();

  const char * get_name() const;
  const char * get_namespace() const;
  const char * get_fully_qualified_name() const;
  rclcpp::Logger get_logger() const;
  const rclcpp::NodeOptions & get_node_options() const;

  rclcpp::CallbackGroup::SharedPtr create_callback_group(
    rclcpp::CallbackGroupType group_type, bool automatically_add_to_executor_with_node = true);

  template<
    typename MessageT, typename AllocatorT = std::allocator<void>,
    typename PublisherT = rclcpp::Publisher<MessageT, AllocatorT>>
  std::shared_ptr<PublisherT> create_publisher(
    const std::string & topic_name, const rclcpp::QoS & qos,
    const PublisherOptionsWithAllocator<AllocatorT> & options =
    PublisherOptionsWithAllocator<AllocatorT>())
  {
    (void)options;
    auto publisher = std::make_shared<PublisherT>(
      makeEndpointInfo(topic_name, rosidl_generator_traits::name<MessageT>(), qos, false));
    addPublisher(publisher);
    return publisher;
  }

  template<
    typename MessageT, typename CallbackT, typename AllocatorT = std::allocator<void>,
    typename SubscriptionT = rclcpp::Subscription<MessageT, AllocatorT>>
  std::shared_ptr<SubscriptionT> create_subscription(
    const std::string & topic_name, const rclcpp::QoS & qos, CallbackT && callback,
    const SubscriptionOptionsWithAllocator<AllocatorT> & options =
    SubscriptionOptionsWithAllocator<AllocatorT>())
  {
    auto group = callbackGroupOrDefault(options.callback_group);
    auto subscription = std::make_shared<SubscriptionT>(
      makeEndpointInfo(
        topic_name, rosidl_generator_traits::name<MessageT>(), qos,
        options.ignore_local_publications),
      group, detail::adaptSubscriptionCallback<MessageT>(std::forward<CallbackT>(callback)));
    addSubscription(subscription, group);
    return subscription;
  }

  template<typename DurationRepT = int64_t, typename DurationT = std::milli, typename CallbackT>
  typename rclcpp::WallTimer<CallbackT>::SharedPtr create_wall_timer(
    std::chrono::duration<DurationRepT, DurationT> period, CallbackT callback,
    rclcpp::CallbackGroup::SharedPtr group = nullptr)
  {
    auto callback_group = callbackGroupOrDefault(group);
    auto timer = std::make_shared<rclcpp::WallTimer<CallbackT>>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(period), std::move(callback),
      callback_group);
    addTimer(timer, callback_group);
    return timer;
  }

  const rclcpp::ParameterValue & declare_parameter(
    const std::string & name, const rclcpp::ParameterValue & default_value,
    const rcl_interfaces::msg::ParameterDescriptor & parameter_descriptor =
    rcl_interfaces::msg::ParameterDescriptor(),
    bool ignore_override = false);

  // Declares a parameter of a type without a default; without an override it stays
  // uninitialized, and reading it throws.
  const rclcpp::ParameterValue & declare_parameter(
    const std::string & name, rclcpp::ParameterType type,
    const rcl_interfaces::msg::ParameterDescriptor & parameter_descriptor =
    rcl_interfaces::msg::ParameterDescriptor(),
    bool ignore_override = false);

  template<typename ParameterT>
  auto declare_parameter(
    const std::string & name, const ParameterT & default_value,
    const rcl_interfaces::msg::ParameterDescriptor & parameter_descriptor =
    rcl_interfaces::msg::ParameterDescriptor(),
    bool ignore_override = false)
  {
    using Value = std::decay_t<decltype(rclcpp::ParameterValue().get<ParameterT>())>;
    try {
      return Value(
        declare_parameter(
          name, rclcpp::ParameterValue(default_value), parameter_descriptor,
          ignore_override).get<ParameterT>());
    } catch (const ParameterTypeException & error) {
      throw exceptions::InvalidParameterTypeException(name, error.what());
    }
  }

  template<typename ParameterT>
  auto declare_parameter(
    const std::string & name,
    const rcl_interfaces::msg::ParameterDescriptor & parameter_descriptor =
    rcl_interfaces::msg::ParameterDescriptor(),
    bool ignore_override = false)
  {
    using Value = std::decay_t<decltype(rclcpp::ParameterValue().get<ParameterT>())>;
    const auto type = rclcpp::ParameterValue(ParameterT{}).get_type();
    try {
      return Value(
        declare_parameter(name, type, parameter_descriptor, ignore_override).get<ParameterT>());
    } catch (const ParameterTypeException &) {
      throw exceptions::UninitializedStaticallyTypedParameterException(name);
    }
  }

  void undeclare_parameter(const std::string & name);
  bool has_parameter(const std::string & name) const;

  rclcpp::Parameter get_parameter(const std::string & name) const;
  bool get_parameter(const std::string & name, rclcpp::Parameter & parameter) const;

  template<typename ParameterT>
  bool get_parameter(const std::string & name, ParameterT & parameter) const
  {
    rclcpp::Parameter found;
    if (!get_parameter(name, found) || found.get_type() == PARAMETER_NOT_SET) {
      return false;
    }
    parameter = static_cast<ParameterT>(found.get_value<ParameterT>());
    return true;
  }

  template<typename ParameterT>
  bool get_parameter_or(
    const std::string & name, ParameterT & parameter, const ParameterT & alternative_value) const
  {
    const bool got = get_parameter(name, parameter);
    if (!got) {
      parameter = alternative_value;
    }
    return got;
  }

  std::vector<rclcpp::Parameter> get_parameters(const std::vector<std::string> & names) const;
  rcl_interfaces::msg::SetParametersResult set_parameter(const rclcpp::Parameter & parameter);
  std::vector<rcl_interfaces::msg::SetParametersResult> set_parameters(
    const std::vector<rclcpp::Parameter> & parameters);

  std::vector<std::string> get_node_names() const;
  std::map<std::string, std::vector<std::string>> get_topic_names_and_types() const;
  size_t count_publishers(const std::string & topic_name) const;
  size_t count_subscribers(const std::string & topic_name) const;

  rclcpp::Clock::SharedPtr get_clock();
  rclcpp::Clock::ConstSharedPtr get_clock() const;
  rclcpp::Time now() const;

  rclcpp::node_interfaces::NodeBaseInterface::SharedPtr get_node_base_interface();

private:
  struct ParameterRecord
  {
    rclcpp::ParameterValue value;
    rcl_interfaces::msg::ParameterDescriptor descriptor;
  };

  detail::EndpointInfo makeEndpointInfo(
    const std::string & topic_name, const std::string & type_name, const rclcpp::QoS & qos,
    bool ignore_local_publications) const;
  rclcpp::CallbackGroup::SharedPtr callbackGroupOrDefault(
    const rclcpp::CallbackGroup::SharedPtr & group) const;
  void addPublisher(const std::shared_ptr<PublisherBase> & publisher);
  void addSubscription(
    const std::shared_ptr<SubscriptionBase> & subscription,
    const rclcpp::CallbackGroup::SharedPtr & group);
  void addTimer(
    const std::shared_ptr<TimerBase> & timer, const rclcpp::CallbackGroup::SharedPtr & group);
  std::string resolveTopicName(const std::string & topic_name) const;
  std::string expandTopicName(const std::string & topic_name) const;
  void collectOverrides();
  // Both declare_parameter overloads: `type` is PARAMETER_NOT_SET when the default gives it.
  const rclcpp::ParameterValue & declareParameter(
    const std::string & name, rclcpp::ParameterType type,
    const rclcpp::ParameterValue & default_value,
    const rcl_interfaces::msg::ParameterDescriptor & parameter_descriptor, bool ignore_override);
  rcl_interfaces::msg::SetParametersResult checkParameterType(
    const std::string & name, const ParameterRecord & record,
    const rclcpp::ParameterValue & value) const;

  rclcpp::NodeOptions options_;
  rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_base_;
  rclcpp::Logger logger_;
  rclcpp::Clock::SharedPtr clock_;
  // Topic remaps from the process and node arguments, as (from, to) in order of precedence.
  std::vector<std::pair<std::string, std::string>> remaps_;
  std::map<std::string, rclcpp::ParameterValue> overrides_;
  mutable std::mutex parameters_mutex_;
  std::map<std::string, ParameterRecord> parameters_;
  std::unique_ptr<detail::TimeSource> time_source_;
};

}  // namespace rclcpp

#endif  // RCLCPP__NODE_HPP_
