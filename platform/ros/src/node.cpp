#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "graph.hpp"
#include "rclcpp/exceptions.hpp"
#include "rclcpp/executors/single_threaded_executor.hpp"
#include "rclcpp/node.hpp"
#include "rclcpp/node_options.hpp"
#include "rosgraph_msgs/msg/clock.hpp"
#include "rcutils/logging.h"
#include "ros_arguments.hpp"

namespace rclcpp
{
namespace detail
{

// Follows /clock while use_sim_time is true; served by its own thread unless the node's options
// ask for the clock subscription to run on the node's default callback group.
class TimeSource
{
public:
  TimeSource(
    Node & node, const rclcpp::Clock::SharedPtr & clock, const rclcpp::QoS & qos,
    bool use_clock_thread)
  : clock_(clock)
  {
    clock_->setRosTimeOverride(true, 0);
    rclcpp::SubscriptionOptions options;
    if (use_clock_thread) {
      group_ = node.create_callback_group(rclcpp::CallbackGroupType::MutuallyExclusive, false);
      options.callback_group = group_;
    }
    subscription_ = node.create_subscription<rosgraph_msgs::msg::Clock>(
      "/clock", qos,
      [clock](std::shared_ptr<const rosgraph_msgs::msg::Clock> message) {
        clock->setRosTimeOverride(true, rclcpp::Time(message->clock).nanoseconds());
      },
      options);
    if (use_clock_thread) {
      executor_ = std::make_shared<rclcpp::executors::SingleThreadedExecutor>();
      executor_->add_callback_group(group_, node.get_node_base_interface());
      thread_ = std::thread([this] {executor_->spin();});
    }
  }

  ~TimeSource()
  {
    if (executor_) {
      executor_->cancel();
      thread_.join();
    }
    clock_->setRosTimeOverride(false, 0);
  }

  TimeSource(const TimeSource &) = delete;
  TimeSource & operator=(const TimeSource &) = delete;

private:
  rclcpp::Clock::SharedPtr clock_;
  rclcpp::CallbackGroup::SharedPtr group_;
  rclcpp::Subscription<rosgraph_msgs::msg::Clock>::SharedPtr subscription_;
  std::shared_ptr<rclcpp::executors::SingleThreadedExecutor> executor_;
  std::thread thread_;
};

}  // namespace detail

namespace
{

const char kUseSimTime[] = "use_sim_time";

bool isNameCharacter(char character)
{
  return std::isalnum(static_cast<unsigned char>(character)) || character == '_';
}

void validateNodeName(const std::string & name)
{
  if (name.empty()) {
    throw exceptions::InvalidNodeNameError(name.c_str(), "node name must not be empty", 0);
  }
  const auto bad = std::find_if_not(name.begin(), name.end(), isNameCharacter);
  if (bad != name.end()) {
    throw exceptions::InvalidNodeNameError(
      name.c_str(), "node name must not contain characters other than alphanumerics or '_'",
      static_cast<size_t>(bad - name.begin()));
  }
  if (std::isdigit(static_cast<unsigned char>(name.front()))) {
    throw exceptions::InvalidNodeNameError(
      name.c_str(), "node name must not start with a number", 0);
  }
}

// Checks an absolute name made of '/'-separated tokens; returns the offending index or npos.
size_t invalidNameIndex(const std::string & name, std::string & reason)
{
  if (name.size() > 1 && name.back() == '/') {
    reason = "must not end with a forward slash";
    return name.size() - 1;
  }
  for (size_t i = 0; i < name.size(); ++i) {
    const char character = name[i];
    if (character == '/') {
      if (i + 1 < name.size() && name[i + 1] == '/') {
        reason = "must not contain repeated forward slashes";
        return i + 1;
      }
      if (i + 1 < name.size() && std::isdigit(static_cast<unsigned char>(name[i + 1]))) {
        reason = "must not have a token that starts with a number";
        return i + 1;
      }
    } else if (!isNameCharacter(character)) {
      reason = "must not contain characters other than alphanumerics, '_', '~', '{', or '}'";
      return i;
    }
  }
  return std::string::npos;
}

std::string normalizedNamespace(const std::string & namespace_)
{
  if (namespace_.empty()) {
    return "/";
  }
  const std::string absolute = namespace_.front() == '/' ? namespace_ : "/" + namespace_;
  std::string reason;
  const size_t bad = invalidNameIndex(absolute, reason);
  if (bad != std::string::npos) {
    throw exceptions::InvalidNamespaceError(
      absolute.c_str(), ("namespace " + reason).c_str(), bad);
  }
  return absolute;
}

std::string joinName(const std::string & namespace_, const std::string & name)
{
  return namespace_ == "/" ? "/" + name : namespace_ + "/" + name;
}

std::string replaceAll(std::string text, const std::string & from, const std::string & to)
{
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::string expandName(
  const std::string & name, const std::string & node_name, const std::string & namespace_)
{
  if (name.empty()) {
    throw exceptions::InvalidTopicNameError(name.c_str(), "topic name must not be empty", 0);
  }
  std::string expanded = replaceAll(name, "{node}", node_name);
  expanded = replaceAll(expanded, "{ns}", namespace_);
  expanded = replaceAll(expanded, "{namespace}", namespace_);
  if (expanded.front() == '~') {
    expanded = joinName(namespace_, node_name) + expanded.substr(1);
  } else if (expanded.front() != '/') {
    expanded = joinName(namespace_, expanded);
  }
  std::string reason;
  const size_t bad = invalidNameIndex(expanded, reason);
  if (bad != std::string::npos || expanded == "/") {
    throw exceptions::InvalidTopicNameError(
      name.c_str(), ("topic name " + (reason.empty() ? "must not be empty" : reason)).c_str(),
      bad == std::string::npos ? 0 : bad);
  }
  return expanded;
}

std::string loggerName(const std::string & namespace_, const std::string & node_name)
{
  if (namespace_ == "/") {
    return node_name;
  }
  return replaceAll(namespace_.substr(1), "/", ".") + "." + node_name;
}

// Node-local arguments first: they take precedence over the process-wide ones.
std::vector<detail::RemapRule> remapRules(const NodeOptions & options)
{
  auto rules = detail::parseRosArguments(options.arguments()).remaps;
  if (options.use_global_arguments()) {
    const auto global = detail::globalRosArguments().remaps;
    rules.insert(rules.end(), global.begin(), global.end());
  }
  return rules;
}

std::string remappedSpecial(
  const NodeOptions & options, const std::string & node_name, const char * key,
  const std::string & fallback)
{
  for (const auto & rule : remapRules(options)) {
    if (rule.from == key && (rule.node_name.empty() || rule.node_name == node_name)) {
      return rule.to;
    }
  }
  return fallback;
}

std::string resolvedNodeName(const std::string & node_name, const NodeOptions & options)
{
  validateNodeName(node_name);
  const std::string name = remappedSpecial(options, node_name, "__node", node_name);
  validateNodeName(name);
  return name;
}

std::string resolvedNamespace(
  const std::string & node_name, const std::string & namespace_, const NodeOptions & options)
{
  return normalizedNamespace(remappedSpecial(options, node_name, "__ns", namespace_));
}

void requireValidContext(const rclcpp::Context::SharedPtr & context)
{
  if (!context || !context->is_valid()) {
    throw exceptions::RCLError(
      1, "the given context is not valid, either rcl_init() was not called or rcl_shutdown() "
      "was called.", "failed to initialize rcl node");
  }
}

}  // namespace

namespace node_interfaces
{

NodeBaseInterface::NodeBaseInterface(
  const std::string & node_name, const std::string & namespace_,
  rclcpp::Context::SharedPtr context)
: name_(node_name),
  namespace_(namespace_),
  fully_qualified_name_(joinName(namespace_, node_name)),
  context_(std::move(context))
{
  requireValidContext(context_);
  default_callback_group_ = create_callback_group(CallbackGroupType::MutuallyExclusive, true);
}

const char * NodeBaseInterface::get_name() const {return name_.c_str();}
const char * NodeBaseInterface::get_namespace() const {return namespace_.c_str();}

const char * NodeBaseInterface::get_fully_qualified_name() const
{
  return fully_qualified_name_.c_str();
}

rclcpp::Context::SharedPtr NodeBaseInterface::get_context() {return context_;}

rclcpp::CallbackGroup::SharedPtr NodeBaseInterface::create_callback_group(
  rclcpp::CallbackGroupType group_type, bool automatically_add_to_executor_with_node)
{
  auto group = std::make_shared<CallbackGroup>(group_type, automatically_add_to_executor_with_node);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    callback_groups_.push_back(group);
  }
  notify();
  return group;
}

rclcpp::CallbackGroup::SharedPtr NodeBaseInterface::get_default_callback_group()
{
  return default_callback_group_;
}

bool NodeBaseInterface::callback_group_in_node(rclcpp::CallbackGroup::SharedPtr group)
{
  std::lock_guard<std::mutex> lock(mutex_);
  return std::any_of(
    callback_groups_.begin(), callback_groups_.end(),
    [&group](const auto & weak_group) {return weak_group.lock() == group;});
}

void NodeBaseInterface::for_each_callback_group(
  const std::function<void(rclcpp::CallbackGroup::SharedPtr)> & func)
{
  std::vector<rclcpp::CallbackGroup::SharedPtr> groups;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto & weak_group : callback_groups_) {
      if (auto group = weak_group.lock()) {
        groups.push_back(std::move(group));
      }
    }
  }
  for (const auto & group : groups) {
    func(group);
  }
}

std::atomic_bool & NodeBaseInterface::get_associated_with_executor_atomic()
{
  return associated_with_executor_;
}

void NodeBaseInterface::setWakeSignal(std::shared_ptr<detail::WakeSignal> wake_signal)
{
  std::lock_guard<std::mutex> lock(mutex_);
  wake_signal_ = std::move(wake_signal);
}

void NodeBaseInterface::notify() const
{
  std::shared_ptr<detail::WakeSignal> wake_signal;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wake_signal = wake_signal_;
  }
  if (wake_signal) {
    wake_signal->notify();
  }
}

}  // namespace node_interfaces

Node::Node(const std::string & node_name, const NodeOptions & options)
: Node(node_name, "", options) {}

Node::Node(
  const std::string & node_name, const std::string & namespace_, const NodeOptions & options)
: options_(options),
  node_base_(std::make_shared<node_interfaces::NodeBaseInterface>(
      resolvedNodeName(node_name, options), resolvedNamespace(node_name, namespace_, options),
      options.context())),
  logger_(rclcpp::get_logger(loggerName(node_base_->get_namespace(), node_base_->get_name()))),
  clock_(std::make_shared<rclcpp::Clock>(RCL_ROS_TIME))
{
  RCUTILS_LOGGING_AUTOINIT;
  for (const auto & rule : remapRules(options_)) {
    if (rule.node_name.empty() || rule.node_name == node_base_->get_name()) {
      remaps_.emplace_back(rule.from, rule.to);
    }
  }
  collectOverrides();
  detail::Graph::instance().addNode(node_base_.get(), node_base_->get_fully_qualified_name());
  const bool use_sim_time = declare_parameter(kUseSimTime, false);
  if (options_.automatically_declare_parameters_from_overrides()) {
    // Dynamically typed, as rclcpp declares them.
    rcl_interfaces::msg::ParameterDescriptor descriptor;
    descriptor.dynamic_typing = true;
    for (const auto & override_value : overrides_) {
      if (!has_parameter(override_value.first)) {
        declare_parameter(override_value.first, override_value.second, descriptor, true);
      }
    }
  }
  if (use_sim_time) {
    time_source_ = std::make_unique<detail::TimeSource>(
      *this, clock_, options_.clock_qos(), options_.use_clock_thread());
  }
}

Node::~Node()
{
  time_source_.reset();
  detail::Graph::instance().removeNode(node_base_.get());
}

const char * Node::get_name() const {return node_base_->get_name();}
const char * Node::get_namespace() const {return node_base_->get_namespace();}
const char * Node::get_fully_qualified_name() const {return node_base_->get_fully_qualified_name();}
rclcpp::Logger Node::get_logger() const {return logger_;}
const rclcpp::NodeOptions & Node::get_node_options() const {return options_;}

rclcpp::CallbackGroup::SharedPtr Node::create_callback_group(
  rclcpp::CallbackGroupType group_type, bool automatically_add_to_executor_with_node)
{
  return node_base_->create_callback_group(group_type, automatically_add_to_executor_with_node);
}

void Node::collectOverrides()
{
  std::vector<rclcpp::Parameter> ordered;
  if (options_.use_global_arguments()) {
    ordered = detail::globalRosArguments().parameters;
  }
  const auto local = detail::parseRosArguments(options_.arguments()).parameters;
  ordered.insert(ordered.end(), local.begin(), local.end());
  ordered.insert(
    ordered.end(), options_.parameter_overrides().begin(), options_.parameter_overrides().end());
  for (const auto & parameter : ordered) {
    overrides_[parameter.get_name()] = parameter.get_parameter_value();
  }
}

rcl_interfaces::msg::SetParametersResult Node::checkParameterType(
  const std::string & name, const ParameterRecord & record,
  const rclcpp::ParameterValue & value) const
{
  rcl_interfaces::msg::SetParametersResult result;
  const auto expected = static_cast<rclcpp::ParameterType>(record.descriptor.type);
  if (!record.descriptor.dynamic_typing && expected != PARAMETER_NOT_SET &&
    value.get_type() != expected)
  {
    result.reason = "Wrong parameter type, parameter {" + name + "} is of type {" +
      rclcpp::to_string(expected) + "}, setting it to {" + rclcpp::to_string(value.get_type()) +
      "} is not allowed.";
    return result;
  }
  result.successful = true;
  return result;
}

const rclcpp::ParameterValue & Node::declare_parameter(
  const std::string & name, const rclcpp::ParameterValue & default_value,
  const rcl_interfaces::msg::ParameterDescriptor & parameter_descriptor, bool ignore_override)
{
  return declareParameter(
    name, PARAMETER_NOT_SET, default_value, parameter_descriptor, ignore_override);
}

const rclcpp::ParameterValue & Node::declare_parameter(
  const std::string & name, rclcpp::ParameterType type,
  const rcl_interfaces::msg::ParameterDescriptor & parameter_descriptor, bool ignore_override)
{
  if (type == PARAMETER_NOT_SET) {
    throw std::invalid_argument(
      "declare_parameter(): the provided parameter type cannot be rclcpp::PARAMETER_NOT_SET");
  }
  if (parameter_descriptor.dynamic_typing) {
    throw std::invalid_argument(
      "declare_parameter(): cannot declare parameter of specific type and pass descriptor"
      "with `dynamic_typing=true`");
  }
  return declareParameter(
    name, type, rclcpp::ParameterValue(), parameter_descriptor, ignore_override);
}

const rclcpp::ParameterValue & Node::declareParameter(
  const std::string & name, rclcpp::ParameterType type,
  const rclcpp::ParameterValue & default_value,
  const rcl_interfaces::msg::ParameterDescriptor & parameter_descriptor, bool ignore_override)
{
  if (name.empty()) {
    throw exceptions::InvalidParametersException("parameter name must not be empty");
  }
  std::lock_guard<std::mutex> lock(parameters_mutex_);
  if (parameters_.count(name) > 0) {
    throw exceptions::ParameterAlreadyDeclaredException(
      "parameter '" + name + "' has already been declared");
  }
  ParameterRecord record{default_value, parameter_descriptor};
  record.descriptor.name = name;
  if (!parameter_descriptor.dynamic_typing) {
    if (type == PARAMETER_NOT_SET) {
      type = default_value.get_type();
    }
    if (type == PARAMETER_NOT_SET) {
      throw exceptions::InvalidParameterTypeException(
        name, "cannot declare a statically typed parameter with an uninitialized value");
    }
    record.descriptor.type = type;
  }
  const auto override_value = overrides_.find(name);
  if (!ignore_override && override_value != overrides_.end()) {
    record.value = override_value->second;
  }
  // As in rclcpp, a statically typed parameter without a start value is kept uninitialized.
  if (record.value.get_type() != PARAMETER_NOT_SET) {
    const auto result = checkParameterType(name, record, record.value);
    if (!result.successful) {
      throw exceptions::InvalidParameterTypeException(name, result.reason);
    }
  }
  return parameters_.emplace(name, record).first->second.value;
}

void Node::undeclare_parameter(const std::string & name)
{
  std::lock_guard<std::mutex> lock(parameters_mutex_);
  const auto found = parameters_.find(name);
  if (found == parameters_.end()) {
    throw exceptions::ParameterNotDeclaredException(
      "cannot undeclare parameter '" + name + "' which has not yet been declared");
  }
  if (found->second.descriptor.read_only) {
    throw exceptions::ParameterImmutableException(
      "cannot undeclare parameter '" + name + "' because it is read-only");
  }
  if (!found->second.descriptor.dynamic_typing) {
    throw exceptions::InvalidParameterTypeException(
      name, "cannot undeclare an statically typed parameter");
  }
  parameters_.erase(found);
}

bool Node::has_parameter(const std::string & name) const
{
  std::lock_guard<std::mutex> lock(parameters_mutex_);
  return parameters_.count(name) > 0;
}

rclcpp::Parameter Node::get_parameter(const std::string & name) const
{
  std::lock_guard<std::mutex> lock(parameters_mutex_);
  const auto found = parameters_.find(name);
  if (found != parameters_.end()) {
    if (found->second.value.get_type() != PARAMETER_NOT_SET ||
      found->second.descriptor.dynamic_typing)
    {
      return rclcpp::Parameter(name, found->second.value);
    }
    throw exceptions::ParameterUninitializedException(name);
  }
  if (options_.allow_undeclared_parameters()) {
    return rclcpp::Parameter(name);
  }
  throw exceptions::ParameterNotDeclaredException(name);
}

bool Node::get_parameter(const std::string & name, rclcpp::Parameter & parameter) const
{
  std::lock_guard<std::mutex> lock(parameters_mutex_);
  const auto found = parameters_.find(name);
  if (found == parameters_.end() || found->second.value.get_type() == PARAMETER_NOT_SET) {
    return false;
  }
  parameter = rclcpp::Parameter(name, found->second.value);
  return true;
}

std::vector<rclcpp::Parameter> Node::get_parameters(const std::vector<std::string> & names) const
{
  std::vector<rclcpp::Parameter> parameters;
  for (const auto & name : names) {
    parameters.push_back(get_parameter(name));
  }
  return parameters;
}

rcl_interfaces::msg::SetParametersResult Node::set_parameter(const rclcpp::Parameter & parameter)
{
  rcl_interfaces::msg::SetParametersResult result;
  {
    std::lock_guard<std::mutex> lock(parameters_mutex_);
    auto found = parameters_.find(parameter.get_name());
    if (found == parameters_.end()) {
      if (!options_.allow_undeclared_parameters()) {
        throw exceptions::ParameterNotDeclaredException(parameter.get_name());
      }
      ParameterRecord record{
        parameter.get_parameter_value(), rcl_interfaces::msg::ParameterDescriptor()};
      record.descriptor.name = parameter.get_name();
      record.descriptor.dynamic_typing = true;
      parameters_.emplace(parameter.get_name(), record);
      result.successful = true;
      return result;
    }
    if (found->second.descriptor.read_only) {
      result.reason = "parameter '" + parameter.get_name() +
        "' cannot be set because it is read-only";
      return result;
    }
    result = checkParameterType(
      parameter.get_name(), found->second, parameter.get_parameter_value());
    if (!result.successful) {
      return result;
    }
    found->second.value = parameter.get_parameter_value();
  }
  if (parameter.get_name() == kUseSimTime) {
    time_source_.reset();
    if (parameter.as_bool()) {
      time_source_ = std::make_unique<detail::TimeSource>(
        *this, clock_, options_.clock_qos(), options_.use_clock_thread());
    }
  }
  return result;
}

std::vector<rcl_interfaces::msg::SetParametersResult> Node::set_parameters(
  const std::vector<rclcpp::Parameter> & parameters)
{
  std::vector<rcl_interfaces::msg::SetParametersResult> results;
  for (const auto & parameter : parameters) {
    results.push_back(set_parameter(parameter));
  }
  return results;
}

std::vector<std::string> Node::get_node_names() const
{
  return detail::Graph::instance().nodeNames();
}

std::map<std::string, std::vector<std::string>> Node::get_topic_names_and_types() const
{
  return detail::Graph::instance().topicNamesAndTypes();
}

size_t Node::count_publishers(const std::string & topic_name) const
{
  return detail::Graph::instance().publisherCount(expandTopicName(topic_name));
}

size_t Node::count_subscribers(const std::string & topic_name) const
{
  return detail::Graph::instance().subscriptionCount(expandTopicName(topic_name));
}

rclcpp::Clock::SharedPtr Node::get_clock() {return clock_;}
rclcpp::Clock::ConstSharedPtr Node::get_clock() const {return clock_;}
rclcpp::Time Node::now() const {return clock_->now();}

rclcpp::node_interfaces::NodeBaseInterface::SharedPtr Node::get_node_base_interface()
{
  return node_base_;
}

std::string Node::expandTopicName(const std::string & topic_name) const
{
  return expandName(topic_name, node_base_->get_name(), node_base_->get_namespace());
}

std::string Node::resolveTopicName(const std::string & topic_name) const
{
  const std::string expanded = expandTopicName(topic_name);
  for (const auto & remap : remaps_) {
    if (remap.first.rfind("__", 0) == 0) {
      continue;
    }
    if (expandTopicName(remap.first) == expanded) {
      return expandTopicName(remap.second);
    }
  }
  return expanded;
}

detail::EndpointInfo Node::makeEndpointInfo(
  const std::string & topic_name, const std::string & type_name, const rclcpp::QoS & qos,
  bool ignore_local_publications) const
{
  return detail::EndpointInfo{
    resolveTopicName(topic_name), type_name, qos, node_base_.get(), logger_.get_name(),
    ignore_local_publications};
}

rclcpp::CallbackGroup::SharedPtr Node::callbackGroupOrDefault(
  const rclcpp::CallbackGroup::SharedPtr & group) const
{
  return group ? group : node_base_->get_default_callback_group();
}

void Node::addPublisher(const std::shared_ptr<PublisherBase> & publisher)
{
  detail::Graph::instance().addPublisher(publisher);
}

void Node::addSubscription(
  const std::shared_ptr<SubscriptionBase> & subscription,
  const rclcpp::CallbackGroup::SharedPtr & group)
{
  group->addSubscription(subscription);
  detail::Graph::instance().addSubscription(subscription);
  node_base_->notify();
}

void Node::addTimer(
  const std::shared_ptr<TimerBase> & timer, const rclcpp::CallbackGroup::SharedPtr & group)
{
  group->addTimer(timer);
  group->notify();
  node_base_->notify();
}

NodeOptions & NodeOptions::context(rclcpp::Context::SharedPtr context)
{
  context_ = std::move(context);
  return *this;
}

rclcpp::Context::SharedPtr NodeOptions::context() const {return context_;}
const std::vector<std::string> & NodeOptions::arguments() const {return arguments_;}

NodeOptions & NodeOptions::arguments(const std::vector<std::string> & arguments)
{
  arguments_ = arguments;
  return *this;
}

std::vector<rclcpp::Parameter> & NodeOptions::parameter_overrides() {return parameter_overrides_;}

const std::vector<rclcpp::Parameter> & NodeOptions::parameter_overrides() const
{
  return parameter_overrides_;
}

NodeOptions & NodeOptions::parameter_overrides(
  const std::vector<rclcpp::Parameter> & parameter_overrides)
{
  parameter_overrides_ = parameter_overrides;
  return *this;
}

#define VELMORA_NODE_OPTION(Type, name) \
  Type NodeOptions::name() const {return name ## _;} \
  NodeOptions & NodeOptions::name(Type name) \
  { \
    name ## _ = name; \
    return *this; \
  }

VELMORA_NODE_OPTION(bool, use_global_arguments)
VELMORA_NODE_OPTION(bool, enable_rosout)
VELMORA_NODE_OPTION(bool, use_intra_process_comms)
VELMORA_NODE_OPTION(bool, enable_topic_statistics)
VELMORA_NODE_OPTION(bool, start_parameter_services)
VELMORA_NODE_OPTION(bool, start_parameter_event_publisher)
VELMORA_NODE_OPTION(bool, use_clock_thread)
VELMORA_NODE_OPTION(bool, allow_undeclared_parameters)
VELMORA_NODE_OPTION(bool, automatically_declare_parameters_from_overrides)

#undef VELMORA_NODE_OPTION

const rclcpp::QoS & NodeOptions::clock_qos() const {return clock_qos_;}

NodeOptions & NodeOptions::clock_qos(const rclcpp::QoS & clock_qos)
{
  clock_qos_ = clock_qos;
  return *this;
}

const rclcpp::QoS & NodeOptions::parameter_event_qos() const {return parameter_event_qos_;}

NodeOptions & NodeOptions::parameter_event_qos(const rclcpp::QoS & parameter_event_qos)
{
  parameter_event_qos_ = parameter_event_qos;
  return *this;
}

const rclcpp::QoS & NodeOptions::rosout_qos() const {return rosout_qos_;}

NodeOptions & NodeOptions::rosout_qos(const rclcpp::QoS & rosout_qos)
{
  rosout_qos_ = rosout_qos;
  return *this;
}

}  // namespace rclcpp
