#ifndef GEOMETRY_MSGS__MSG__VECTOR3_STAMPED_HPP_
#define GEOMETRY_MSGS__MSG__VECTOR3_STAMPED_HPP_

#include "geometry_msgs/msg/vector3.hpp"
#include "rosidl_runtime_cpp/traits.hpp"
#include "std_msgs/msg/header.hpp"

namespace geometry_msgs
{
namespace msg
{

struct Vector3Stamped
{
  std_msgs::msg::Header header;
  geometry_msgs::msg::Vector3 vector;

  bool operator==(const Vector3Stamped & other) const
  {
    return header == other.header && vector == other.vector;
  }
  ROSIDL_STAND_IN_MESSAGE_POINTERS(Vector3Stamped)
};

}  // namespace msg
}  // namespace geometry_msgs

ROSIDL_STAND_IN_MESSAGE_TRAITS(geometry_msgs, Vector3Stamped)

#endif  // GEOMETRY_MSGS__MSG__VECTOR3_STAMPED_HPP_
