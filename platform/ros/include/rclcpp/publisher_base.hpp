#ifndef RCLCPP__PUBLISHER_BASE_HPP_
#define RCLCPP__PUBLISHER_BASE_HPP_

#include <cstddef>
#include <memory>

#include "rclcpp/detail/endpoint_info.hpp"
#include "rclcpp/macros.hpp"
#include "rclcpp/qos.hpp"

namespace rclcpp
{

class PublisherBase : public std::enable_shared_from_this<PublisherBase>
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS_NOT_COPYABLE(PublisherBase)

  PublisherBase(const PublisherBase &) = delete;
  PublisherBase & operator=(const PublisherBase &) = delete;
  virtual ~PublisherBase();

  const char * get_topic_name() const;
  size_t get_subscription_count() const;
  size_t get_intra_process_subscription_count() const;
  rclcpp::QoS get_actual_qos() const;

  // Stand-in internals used by the in-process graph.
  const detail::EndpointInfo & endpointInfo() const;
  virtual std::shared_ptr<void> copyMessage(const void * message) const = 0;

protected:
  explicit PublisherBase(detail::EndpointInfo info);

  // Gives every matching subscription its own copy; `owned`, when set, is handed to one of them
  // instead of a copy.
  void publishMessage(const void * message, std::shared_ptr<void> owned);

private:
  detail::EndpointInfo info_;
};

}  // namespace rclcpp

#endif  // RCLCPP__PUBLISHER_BASE_HPP_
