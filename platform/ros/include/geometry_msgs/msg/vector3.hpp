#ifndef GEOMETRY_MSGS__MSG__VECTOR3_HPP_
#define GEOMETRY_MSGS__MSG__VECTOR3_HPP_

#include "rosidl_runtime_cpp/traits.hpp"

namespace geometry_msgs
{
namespace msg
{

struct Vector3
{
  double x{0.0};
  double y{0.0};
  double z{0.0};

  bool operator==(const Vector3 & other) const
  {
    return x == other.x && y == other.y && z == other.z;
  }
  ROSIDL_STAND_IN_MESSAGE_POINTERS(Vector3)
};

}  // namespace msg
}  // namespace geometry_msgs

ROSIDL_STAND_IN_MESSAGE_TRAITS(geometry_msgs, Vector3)

#endif  // GEOMETRY_MSGS__MSG__VECTOR3_HPP_
