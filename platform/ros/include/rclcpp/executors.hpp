#ifndef RCLCPP__EXECUTORS_HPP_
#define RCLCPP__EXECUTORS_HPP_

#include <chrono>
#include <future>
#include <memory>

#include "rclcpp/executor.hpp"
#include "rclcpp/executors/single_threaded_executor.hpp"
#include "rclcpp/node.hpp"
#include "rclcpp/utilities.hpp"

namespace rclcpp
{

void spin_some(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr);
void spin_some(rclcpp::Node::SharedPtr node_ptr);
void spin(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr);
void spin(rclcpp::Node::SharedPtr node_ptr);

template<typename FutureT, typename TimeRepT = int64_t, typename TimeT = std::milli>
rclcpp::FutureReturnCode spin_until_future_complete(
  rclcpp::Node::SharedPtr node_ptr, const FutureT & future,
  std::chrono::duration<TimeRepT, TimeT> timeout = std::chrono::duration<TimeRepT, TimeT>(-1))
{
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node_ptr);
  const auto result = executor.spin_until_future_complete(future, timeout);
  executor.remove_node(node_ptr);
  return result;
}

}  // namespace rclcpp

#endif  // RCLCPP__EXECUTORS_HPP_
