#include "graph.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "rclcpp/callback_group.hpp"
#include "rclcpp/detail/wake_signal.hpp"
#include "rclcpp/logging.hpp"
#include "rclcpp/publisher_base.hpp"
#include "rclcpp/subscription_base.hpp"
#include "rclcpp/utilities.hpp"

namespace rclcpp
{
namespace detail
{
namespace
{

std::atomic<uint64_t> g_sequence{0};

bool isReliable(rmw_qos_reliability_policy_t policy)
{
  return policy != RMW_QOS_POLICY_RELIABILITY_BEST_EFFORT;
}

bool isTransientLocal(rmw_qos_durability_policy_t policy)
{
  return policy == RMW_QOS_POLICY_DURABILITY_TRANSIENT_LOCAL;
}

bool sameTopic(const EndpointInfo & publisher, const EndpointInfo & subscription)
{
  return publisher.topic_name == subscription.topic_name &&
         publisher.type_name == subscription.type_name;
}

bool delivers(const EndpointInfo & publisher, const EndpointInfo & subscription)
{
  if (!sameTopic(publisher, subscription)) {
    return false;
  }
  if (subscription.ignore_local_publications &&
    subscription.node_identity == publisher.node_identity)
  {
    return false;
  }
  return incompatiblePolicy(publisher.qos, subscription.qos) == nullptr;
}

void warnIncompatible(const EndpointInfo & publisher, const EndpointInfo & subscription)
{
  const char * policy = incompatiblePolicy(publisher.qos, subscription.qos);
  RCLCPP_WARN(
    rclcpp::get_logger(subscription.node_logger_name),
    "New publisher discovered on topic '%s', offering incompatible QoS. "
    "No messages will be sent to it. Last incompatible policy: %s",
    subscription.topic_name.c_str(), policy);
  RCLCPP_WARN(
    rclcpp::get_logger(publisher.node_logger_name),
    "New subscription discovered on topic '%s', requesting incompatible QoS. "
    "No messages will be sent to it. Last incompatible policy: %s",
    publisher.topic_name.c_str(), policy);
}

}  // namespace

uint64_t nextSequence()
{
  return ++g_sequence;
}

uint64_t lastSequence()
{
  return g_sequence.load();
}

const char * incompatiblePolicy(const rclcpp::QoS & offered, const rclcpp::QoS & requested)
{
  const auto & offer = offered.get_rmw_qos_profile();
  const auto & request = requested.get_rmw_qos_profile();
  if (isTransientLocal(request.durability) && !isTransientLocal(offer.durability)) {
    return "DURABILITY_QOS_POLICY";
  }
  if (isReliable(request.reliability) && !isReliable(offer.reliability)) {
    return "RELIABILITY_QOS_POLICY";
  }
  return nullptr;
}

size_t historyCapacity(const rclcpp::QoS & qos)
{
  const auto & profile = qos.get_rmw_qos_profile();
  if (profile.history == RMW_QOS_POLICY_HISTORY_KEEP_ALL) {
    return 0;
  }
  return std::max<size_t>(profile.depth, 1);
}

Graph & Graph::instance()
{
  // Never destroyed: endpoints held by static objects unregister during exit.
  static Graph * graph = new Graph();
  return *graph;
}

void Graph::addNode(const void * identity, const std::string & fully_qualified_name)
{
  std::lock_guard<std::mutex> lock(mutex_);
  nodes_.emplace_back(identity, fully_qualified_name);
}

void Graph::removeNode(const void * identity)
{
  std::lock_guard<std::mutex> lock(mutex_);
  nodes_.erase(
    std::remove_if(
      nodes_.begin(), nodes_.end(),
      [identity](const auto & node) {return node.first == identity;}),
    nodes_.end());
}

std::vector<std::string> Graph::nodeNames() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> names;
  for (const auto & node : nodes_) {
    names.push_back(node.second);
  }
  return names;
}

void Graph::addPublisher(const std::shared_ptr<PublisherBase> & publisher)
{
  std::lock_guard<std::mutex> lock(mutex_);
  publishers_[publisher.get()].publisher = publisher;
  for (const auto & entry : subscriptions_) {
    const auto & subscription = entry.first->endpointInfo();
    if (sameTopic(publisher->endpointInfo(), subscription) &&
      incompatiblePolicy(publisher->endpointInfo().qos, subscription.qos) != nullptr)
    {
      warnIncompatible(publisher->endpointInfo(), subscription);
    }
  }
}

void Graph::removePublisher(const PublisherBase * publisher)
{
  std::lock_guard<std::mutex> lock(mutex_);
  publishers_.erase(publisher);
}

void Graph::addSubscription(const std::shared_ptr<SubscriptionBase> & subscription)
{
  std::lock_guard<std::mutex> lock(mutex_);
  subscriptions_[subscription.get()] = subscription;
  const auto & info = subscription->endpointInfo();
  for (const auto & entry : publishers_) {
    const auto & publisher = entry.first->endpointInfo();
    if (!sameTopic(publisher, info)) {
      continue;
    }
    if (incompatiblePolicy(publisher.qos, info.qos) != nullptr) {
      warnIncompatible(publisher, info);
      continue;
    }
    if (!delivers(publisher, info) ||
      !isTransientLocal(info.qos.get_rmw_qos_profile().durability))
    {
      continue;
    }
    for (const auto & message : entry.second.history) {
      subscription->enqueue(entry.first->copyMessage(message.get()));
    }
  }
}

void Graph::removeSubscription(const SubscriptionBase * subscription)
{
  std::lock_guard<std::mutex> lock(mutex_);
  subscriptions_.erase(subscription);
}

void Graph::publish(
  const PublisherBase & publisher, const void * message, std::shared_ptr<void> owned)
{
  std::vector<std::shared_ptr<SubscriptionBase>> receivers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto & info = publisher.endpointInfo();
    if (isTransientLocal(info.qos.get_rmw_qos_profile().durability)) {
      auto record = publishers_.find(&publisher);
      if (record == publishers_.end()) {
        return;
      }
      auto & history = record->second.history;
      history.push_back(publisher.copyMessage(message));
      const size_t capacity = historyCapacity(info.qos);
      if (capacity > 0 && history.size() > capacity) {
        history.pop_front();
      }
    }
    for (const auto & entry : subscriptions_) {
      if (delivers(info, entry.first->endpointInfo())) {
        if (auto subscription = entry.second.lock()) {
          receivers.push_back(std::move(subscription));
        }
      }
    }
  }
  for (size_t i = 0; i < receivers.size(); ++i) {
    const bool last = i + 1 == receivers.size();
    receivers[i]->enqueue(
      last && owned ? std::move(owned) : publisher.copyMessage(message));
  }
}

size_t Graph::matchedSubscriptionCount(const PublisherBase & publisher) const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<size_t>(
    std::count_if(
      subscriptions_.begin(), subscriptions_.end(), [&publisher](const auto & entry) {
        return delivers(publisher.endpointInfo(), entry.first->endpointInfo());
      }));
}

size_t Graph::matchedPublisherCount(const SubscriptionBase & subscription) const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<size_t>(
    std::count_if(
      publishers_.begin(), publishers_.end(), [&subscription](const auto & entry) {
        return delivers(entry.first->endpointInfo(), subscription.endpointInfo());
      }));
}

size_t Graph::publisherCount(const std::string & topic_name) const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<size_t>(
    std::count_if(
      publishers_.begin(), publishers_.end(), [&topic_name](const auto & entry) {
        return entry.first->endpointInfo().topic_name == topic_name;
      }));
}

size_t Graph::subscriptionCount(const std::string & topic_name) const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<size_t>(
    std::count_if(
      subscriptions_.begin(), subscriptions_.end(), [&topic_name](const auto & entry) {
        return entry.first->endpointInfo().topic_name == topic_name;
      }));
}

std::map<std::string, std::vector<std::string>> Graph::topicNamesAndTypes() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  std::map<std::string, std::set<std::string>> collected;
  for (const auto & entry : publishers_) {
    const auto & info = entry.first->endpointInfo();
    collected[info.topic_name].insert(info.type_name);
  }
  for (const auto & entry : subscriptions_) {
    const auto & info = entry.first->endpointInfo();
    collected[info.topic_name].insert(info.type_name);
  }
  std::map<std::string, std::vector<std::string>> result;
  for (const auto & topic : collected) {
    result[topic.first].assign(topic.second.begin(), topic.second.end());
  }
  return result;
}

uint64_t WakeSignal::generation() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return generation_;
}

void WakeSignal::notify()
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++generation_;
  }
  changed_.notify_all();
}

void WakeSignal::waitUntil(
  uint64_t seen_generation, std::chrono::steady_clock::time_point deadline)
{
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_until(lock, deadline, [&] {return generation_ != seen_generation;});
}

}  // namespace detail

CallbackGroup::CallbackGroup(
  CallbackGroupType group_type, bool automatically_add_to_executor_with_node)
: type_(group_type),
  automatically_add_to_executor_with_node_(automatically_add_to_executor_with_node) {}

CallbackGroupType CallbackGroup::type() const {return type_;}

bool CallbackGroup::automatically_add_to_executor_with_node() const
{
  return automatically_add_to_executor_with_node_;
}

std::atomic_bool & CallbackGroup::get_associated_with_executor_atomic()
{
  return associated_with_executor_;
}

void CallbackGroup::addSubscription(const std::shared_ptr<SubscriptionBase> & subscription)
{
  std::lock_guard<std::mutex> lock(mutex_);
  subscriptions_.push_back(subscription);
}

void CallbackGroup::addTimer(const std::shared_ptr<TimerBase> & timer)
{
  std::lock_guard<std::mutex> lock(mutex_);
  timers_.push_back(timer);
}

namespace
{

template<typename T>
void lockAll(std::vector<std::weak_ptr<T>> & weak, std::vector<std::shared_ptr<T>> & strong)
{
  auto kept = weak.begin();
  for (auto & entry : weak) {
    if (auto locked = entry.lock()) {
      strong.push_back(std::move(locked));
      *kept++ = entry;
    }
  }
  weak.erase(kept, weak.end());
}

}  // namespace

void CallbackGroup::collectEntities(
  std::vector<std::shared_ptr<SubscriptionBase>> & subscriptions,
  std::vector<std::shared_ptr<TimerBase>> & timers)
{
  std::lock_guard<std::mutex> lock(mutex_);
  lockAll(subscriptions_, subscriptions);
  lockAll(timers_, timers);
}

void CallbackGroup::setWakeSignal(std::shared_ptr<detail::WakeSignal> wake_signal)
{
  std::lock_guard<std::mutex> lock(mutex_);
  wake_signal_ = std::move(wake_signal);
}

std::shared_ptr<detail::WakeSignal> CallbackGroup::wakeSignal() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return wake_signal_;
}

void CallbackGroup::notify() const
{
  if (auto wake_signal = wakeSignal()) {
    wake_signal->notify();
  }
}

SubscriptionBase::SubscriptionBase(
  detail::EndpointInfo info, const CallbackGroup::SharedPtr & callback_group)
: info_(std::move(info)),
  callback_group_(callback_group),
  capacity_(detail::historyCapacity(info_.qos)) {}

SubscriptionBase::~SubscriptionBase()
{
  detail::Graph::instance().removeSubscription(this);
}

const char * SubscriptionBase::get_topic_name() const {return info_.topic_name.c_str();}
rclcpp::QoS SubscriptionBase::get_actual_qos() const {return info_.qos;}

size_t SubscriptionBase::get_publisher_count() const
{
  return detail::Graph::instance().matchedPublisherCount(*this);
}

size_t SubscriptionBase::dropped_count() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

const detail::EndpointInfo & SubscriptionBase::endpointInfo() const {return info_;}

void SubscriptionBase::enqueue(std::shared_ptr<void> message)
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (capacity_ > 0 && queue_.size() >= capacity_) {
      queue_.pop_front();
      ++dropped_;
    }
    queue_.emplace_back(detail::nextSequence(), std::move(message));
  }
  if (auto group = callback_group_.lock()) {
    group->notify();
  }
}

bool SubscriptionBase::oldestSequence(uint64_t & sequence) const
{
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_.empty()) {
    return false;
  }
  sequence = queue_.front().first;
  return true;
}

bool SubscriptionBase::executeOldest()
{
  std::shared_ptr<void> message;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.empty()) {
      return false;
    }
    message = std::move(queue_.front().second);
    queue_.pop_front();
  }
  dispatch(std::move(message));
  return true;
}

PublisherBase::PublisherBase(detail::EndpointInfo info)
: info_(std::move(info)) {}

PublisherBase::~PublisherBase()
{
  detail::Graph::instance().removePublisher(this);
}

const char * PublisherBase::get_topic_name() const {return info_.topic_name.c_str();}

size_t PublisherBase::get_subscription_count() const
{
  return detail::Graph::instance().matchedSubscriptionCount(*this);
}

size_t PublisherBase::get_intra_process_subscription_count() const {return 0;}
rclcpp::QoS PublisherBase::get_actual_qos() const {return info_.qos;}
const detail::EndpointInfo & PublisherBase::endpointInfo() const {return info_;}

void PublisherBase::publishMessage(const void * message, std::shared_ptr<void> owned)
{
  // As in rclcpp, publishing after shutdown is silently dropped.
  if (!rclcpp::ok()) {
    return;
  }
  detail::Graph::instance().publish(*this, message, std::move(owned));
}

}  // namespace rclcpp
