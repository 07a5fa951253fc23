#ifndef GEOMETRY_MSGS__MSG__TRANSFORM_STAMPED_HPP_
#define GEOMETRY_MSGS__MSG__TRANSFORM_STAMPED_HPP_

#include <string>

#include "geometry_msgs/msg/transform.hpp"
#include "rosidl_runtime_cpp/traits.hpp"
#include "std_msgs/msg/header.hpp"

namespace geometry_msgs
{
namespace msg
{

struct TransformStamped
{
  std_msgs::msg::Header header;
  std::string child_frame_id;
  geometry_msgs::msg::Transform transform;

  bool operator==(const TransformStamped & other) const
  {
    return header == other.header && child_frame_id == other.child_frame_id &&
      transform == other.transform;
  }
  ROSIDL_STAND_IN_MESSAGE_POINTERS(TransformStamped)
};

}  // namespace msg
}  // namespace geometry_msgs

ROSIDL_STAND_IN_MESSAGE_TRAITS(geometry_msgs, TransformStamped)

#endif  // GEOMETRY_MSGS__MSG__TRANSFORM_STAMPED_HPP_
