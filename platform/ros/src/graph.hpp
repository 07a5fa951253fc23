#ifndef VELMORA_ROS_STAND_IN__GRAPH_HPP_
#define VELMORA_ROS_STAND_IN__GRAPH_HPP_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "rclcpp/publisher_base.hpp"
#include "rclcpp/qos.hpp"
#include "rclcpp/subscription_base.hpp"

namespace rclcpp
{
namespace detail
{

// The process-wide topic graph: which endpoints exist and which of them match, decided by topic
// name, type name and the DDS rules for offered versus requested QoS.
class Graph
{
public:
  static Graph & instance();

  void addNode(const void * identity, const std::string & fully_qualified_name);
  void removeNode(const void * identity);
  std::vector<std::string> nodeNames() const;

  void addPublisher(const std::shared_ptr<PublisherBase> & publisher);
  void removePublisher(const PublisherBase * publisher);
  void addSubscription(const std::shared_ptr<SubscriptionBase> & subscription);
  void removeSubscription(const SubscriptionBase * subscription);

  void publish(const PublisherBase & publisher, const void * message, std::shared_ptr<void> owned);

  size_t matchedSubscriptionCount(const PublisherBase & publisher) const;
  size_t matchedPublisherCount(const SubscriptionBase & subscription) const;
  size_t publisherCount(const std::string & topic_name) const;
  size_t subscriptionCount(const std::string & topic_name) const;
  std::map<std::string, std::vector<std::string>> topicNamesAndTypes() const;

private:
  struct PublisherRecord
  {
    std::weak_ptr<PublisherBase> publisher;
    // Transient-local publishers keep their newest messages for late-joining subscriptions.
    std::deque<std::shared_ptr<void>> history;
  };

  Graph() = default;

  mutable std::mutex mutex_;
  std::map<const PublisherBase *, PublisherRecord> publishers_;
  std::map<const SubscriptionBase *, std::weak_ptr<SubscriptionBase>> subscriptions_;
  std::vector<std::pair<const void *, std::string>> nodes_;
};

// Name of the policy in which the offer falls short of the request, or nullptr when they match.
const char * incompatiblePolicy(const rclcpp::QoS & offered, const rclcpp::QoS & requested);

// Queue length a history policy gives; zero means unbounded.
size_t historyCapacity(const rclcpp::QoS & qos);

// Global arrival number of the next message; orders deliveries across subscriptions.
uint64_t nextSequence();
uint64_t lastSequence();

}  // namespace detail
}  // namespace rclcpp

#endif  // VELMORA_ROS_STAND_IN__GRAPH_HPP_
