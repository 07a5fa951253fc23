#ifndef GEOMETRY_MSGS__MSG__TRANSFORM_HPP_
#define GEOMETRY_MSGS__MSG__TRANSFORM_HPP_

#include "geometry_msgs/msg/quaternion.hpp"
#include "geometry_msgs/msg/vector3.hpp"
#include "rosidl_runtime_cpp/traits.hpp"

namespace geometry_msgs
{
namespace msg
{

struct Transform
{
  geometry_msgs::msg::Vector3 translation;
  geometry_msgs::msg::Quaternion rotation;

  bool operator==(const Transform & other) const
  {
    return translation == other.translation && rotation == other.rotation;
  }
  ROSIDL_STAND_IN_MESSAGE_POINTERS(Transform)
};

}  // namespace msg
}  // namespace geometry_msgs

ROSIDL_STAND_IN_MESSAGE_TRAITS(geometry_msgs, Transform)

#endif  // GEOMETRY_MSGS__MSG__TRANSFORM_HPP_
