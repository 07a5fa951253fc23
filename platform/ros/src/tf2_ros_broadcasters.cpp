#include <algorithm>
#include <vector>

#include "tf2_ros/static_transform_broadcaster.h"
#include "tf2_ros/transform_broadcaster.h"

namespace tf2_ros
{

void TransformBroadcaster::sendTransform(const geometry_msgs::msg::TransformStamped & transform)
{
  sendTransform(std::vector<geometry_msgs::msg::TransformStamped>{transform});
}

void TransformBroadcaster::sendTransform(
  const std::vector<geometry_msgs::msg::TransformStamped> & transforms)
{
  tf2_msgs::msg::TFMessage message;
  message.transforms = transforms;
  publisher_->publish(message);
}

void StaticTransformBroadcaster::sendTransform(
  const geometry_msgs::msg::TransformStamped & transform)
{
  sendTransform(std::vector<geometry_msgs::msg::TransformStamped>{transform});
}

void StaticTransformBroadcaster::sendTransform(
  const std::vector<geometry_msgs::msg::TransformStamped> & transforms)
{
  for (const auto & transform : transforms) {
    const auto same_child = std::find_if(
      net_message_.transforms.begin(), net_message_.transforms.end(),
      [&transform](const geometry_msgs::msg::TransformStamped & known) {
        return known.child_frame_id == transform.child_frame_id;
      });
    if (same_child != net_message_.transforms.end()) {
      *same_child = transform;
    } else {
      net_message_.transforms.push_back(transform);
    }
  }
  publisher_->publish(net_message_);
}

}  // namespace tf2_ros
