#ifndef RCLCPP__NODE_INTERFACES__NODE_BASE_INTERFACE_HPP_
#define RCLCPP__NODE_INTERFACES__NODE_BASE_INTERFACE_HPP_

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rclcpp/callback_group.hpp"
#include "rclcpp/context.hpp"
#include "rclcpp/detail/wake_signal.hpp"
#include "rclcpp/macros.hpp"

namespace rclcpp
{
namespace node_interfaces
{

// A node's identity and callback groups; what executors attach to. Concrete here, where rclcpp
// has an interface and a NodeBase implementation.
class NodeBaseInterface
{
public:
  RCLCPP_SMART_PTR_ALIASES_ONLY(NodeBaseInterface)

  NodeBaseInterface(
    const std::string & node_name, const std::string & namespace_,
    rclcpp::Context::SharedPtr context);
  NodeBaseInterface(const NodeBaseInterface &) = delete;
  NodeBaseInterface & operator=(const NodeBaseInterface &) = delete;

  const char * get_name() const;
  const char * get_namespace() const;
  const char * get_fully_qualified_name() const;
  rclcpp::Context::SharedPtr get_context();

  rclcpp::CallbackGroup::SharedPtr create_callback_group(
    rclcpp::CallbackGroupType group_type, bool automatically_add_to_executor_with_node = true);
  rclcpp::CallbackGroup::SharedPtr get_default_callback_group();
  bool callback_group_in_node(rclcpp::CallbackGroup::SharedPtr group);
  void for_each_callback_group(const std::function<void(rclcpp::CallbackGroup::SharedPtr)> & func);
  std::atomic_bool & get_associated_with_executor_atomic();

  // Stand-in internals: the executor that took this node hears about new groups and entities.
  void setWakeSignal(std::shared_ptr<detail::WakeSignal> wake_signal);
  void notify() const;

private:
  std::string name_;
  std::string namespace_;
  std::string fully_qualified_name_;
  rclcpp::Context::SharedPtr context_;
  rclcpp::CallbackGroup::SharedPtr default_callback_group_;
  std::atomic_bool associated_with_executor_{false};
  mutable std::mutex mutex_;
  std::vector<std::weak_ptr<rclcpp::CallbackGroup>> callback_groups_;
  std::shared_ptr<detail::WakeSignal> wake_signal_;
};

}  // namespace node_interfaces
}  // namespace rclcpp

#endif  // RCLCPP__NODE_INTERFACES__NODE_BASE_INTERFACE_HPP_
