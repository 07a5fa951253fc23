#ifndef TF2_ROS__TRANSFORM_LISTENER_H_
#define TF2_ROS__TRANSFORM_LISTENER_H_

#include <functional>
#include <memory>
#include <thread>
#include <utility>

#include "rclcpp/rclcpp.hpp"
#include "tf2/buffer_core.h"
#include "tf2/time.h"
#include "tf2_msgs/msg/tf_message.hpp"
#include "tf2_ros/qos.hpp"

namespace tf2_ros
{

// Fills a buffer from "/tf" and "/tf_static". With `spin_thread` the subscriptions live in their
// own callback group, served by a dedicated executor thread until the listener is destroyed.
class TransformListener
{
public:
  // Listens through an internal node of its own.
  explicit TransformListener(tf2::BufferCore & buffer, bool spin_thread = true);

  template<class NodeT, class AllocatorT = std::allocator<void>>
  TransformListener(
    tf2::BufferCore & buffer,
    NodeT && node,
    bool spin_thread = true,
    const rclcpp::QoS & qos = DynamicListenerQoS(),
    const rclcpp::QoS & static_qos = StaticListenerQoS(),
    const rclcpp::SubscriptionOptionsWithAllocator<AllocatorT> & options =
    rclcpp::SubscriptionOptionsWithAllocator<AllocatorT>(),
    const rclcpp::SubscriptionOptionsWithAllocator<AllocatorT> & static_options =
    rclcpp::SubscriptionOptionsWithAllocator<AllocatorT>())
  : buffer_(buffer)
  {
    init(node, spin_thread, qos, static_qos, options, static_options);
  }

  virtual ~TransformListener();

private:
  template<class NodeT, class AllocatorT>
  void init(
    NodeT && node,
    bool spin_thread,
    const rclcpp::QoS & qos,
    const rclcpp::QoS & static_qos,
    const rclcpp::SubscriptionOptionsWithAllocator<AllocatorT> & options,
    const rclcpp::SubscriptionOptionsWithAllocator<AllocatorT> & static_options)
  {
    spin_thread_ = spin_thread;
    node_base_interface_ = node->get_node_base_interface();
    logger_ = std::make_unique<rclcpp::Logger>(node->get_logger());

    using callback_t = std::function<void (tf2_msgs::msg::TFMessage::ConstSharedPtr)>;
    callback_t cb = std::bind(
      &TransformListener::subscription_callback, this, std::placeholders::_1, false);
    callback_t static_cb = std::bind(
      &TransformListener::subscription_callback, this, std::placeholders::_1, true);

    rclcpp::SubscriptionOptionsWithAllocator<AllocatorT> tf_options = options;
    rclcpp::SubscriptionOptionsWithAllocator<AllocatorT> tf_static_options = static_options;
    if (spin_thread_) {
      // A group of its own keeps these callbacks off the executor that spins the node.
      callback_group_ = node->create_callback_group(
        rclcpp::CallbackGroupType::MutuallyExclusive, false);
      tf_options.callback_group = callback_group_;
      tf_static_options.callback_group = callback_group_;
    }
    message_subscription_tf_ = node->template create_subscription<tf2_msgs::msg::TFMessage>(
      "/tf", qos, std::move(cb), tf_options);
    message_subscription_tf_static_ =
      node->template create_subscription<tf2_msgs::msg::TFMessage>(
      "/tf_static", static_qos, std::move(static_cb), tf_static_options);

    if (spin_thread_) {
      executor_ = std::make_shared<rclcpp::executors::SingleThreadedExecutor>();
      executor_->add_callback_group(callback_group_, node_base_interface_);
      dedicated_listener_thread_ = std::make_unique<std::thread>([this]() {executor_->spin();});
      // Timeouts on the buffer are only useful now that another thread fills it.
      buffer_.setUsingDedicatedThread(true);
    }
  }

  void subscription_callback(tf2_msgs::msg::TFMessage::ConstSharedPtr msg, bool is_static);

  bool spin_thread_{false};
  std::unique_ptr<std::thread> dedicated_listener_thread_{nullptr};
  rclcpp::Executor::SharedPtr executor_{nullptr};

  rclcpp::Node::SharedPtr optional_default_node_{nullptr};
  rclcpp::Subscription<tf2_msgs::msg::TFMessage>::SharedPtr message_subscription_tf_{nullptr};
  rclcpp::Subscription<tf2_msgs::msg::TFMessage>::SharedPtr message_subscription_tf_static_{
    nullptr};
  tf2::BufferCore & buffer_;
  tf2::TimePoint last_update_;
  std::unique_ptr<rclcpp::Logger> logger_;
  rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_base_interface_{nullptr};
  rclcpp::CallbackGroup::SharedPtr callback_group_{nullptr};
};

}  // namespace tf2_ros

#endif  // TF2_ROS__TRANSFORM_LISTENER_H_
