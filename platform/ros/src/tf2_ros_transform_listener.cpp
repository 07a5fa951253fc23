#include <cstddef>
#include <cstdio>
#include <string>

#include "rclcpp/rclcpp.hpp"
#include "tf2/exceptions.h"
#include "tf2_ros/transform_listener.h"

namespace tf2_ros
{

TransformListener::TransformListener(tf2::BufferCore & buffer, bool spin_thread)
: buffer_(buffer)
{
  // A name unique per listener, given as a remap so that a node rename on the command line does
  // not apply to it.
  char node_name[42];
  std::snprintf(
    node_name, sizeof(node_name), "transform_listener_impl_%zx",
    reinterpret_cast<size_t>(this));
  rclcpp::NodeOptions options;
  options.arguments({"--ros-args", "-r", "__node:=" + std::string(node_name)});
  options.start_parameter_event_publisher(false);
  options.start_parameter_services(false);
  optional_default_node_ = rclcpp::Node::make_shared("_", options);
  init(
    optional_default_node_, spin_thread, DynamicListenerQoS(), StaticListenerQoS(),
    rclcpp::SubscriptionOptions(), rclcpp::SubscriptionOptions());
}

TransformListener::~TransformListener()
{
  if (spin_thread_) {
    executor_->cancel();
    dedicated_listener_thread_->join();
  }
}

void TransformListener::subscription_callback(
  tf2_msgs::msg::TFMessage::ConstSharedPtr msg, bool is_static)
{
  // Publishers are not known through the middleware here, as in tf2_ros.
  const std::string authority = "Authority undetectable";
  for (const auto & transform : msg->transforms) {
    try {
      buffer_.setTransform(transform, authority, is_static);
    } catch (const tf2::TransformException & ex) {
      RCLCPP_ERROR(
        *logger_, "Failure to set received transform from %s to %s with error: %s\n",
        transform.child_frame_id.c_str(), transform.header.frame_id.c_str(), ex.what());
    }
  }
}

}  // namespace tf2_ros
