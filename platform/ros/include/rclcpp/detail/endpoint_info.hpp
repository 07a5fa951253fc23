#ifndef RCLCPP__DETAIL__ENDPOINT_INFO_HPP_
#define RCLCPP__DETAIL__ENDPOINT_INFO_HPP_

#include <string>

#include "rclcpp/qos.hpp"

namespace rclcpp
{
namespace detail
{

// What the in-process graph needs to know to match a publisher with a subscription.
struct EndpointInfo
{
  std::string topic_name;
  std::string type_name;
  rclcpp::QoS qos;
  const void * node_identity;
  std::string node_logger_name;
  bool ignore_local_publications;
};

}  // namespace detail
}  // namespace rclcpp

#endif  // RCLCPP__DETAIL__ENDPOINT_INFO_HPP_
