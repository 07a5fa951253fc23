#ifndef GEOMETRY_MSGS__MSG__QUATERNION_HPP_
#define GEOMETRY_MSGS__MSG__QUATERNION_HPP_

#include "rosidl_runtime_cpp/traits.hpp"

namespace geometry_msgs
{
namespace msg
{

struct Quaternion
{
  double x{0.0};
  double y{0.0};
  double z{0.0};
  double w{1.0};

  bool operator==(const Quaternion & other) const
  {
    return x == other.x && y == other.y && z == other.z && w == other.w;
  }
  ROSIDL_STAND_IN_MESSAGE_POINTERS(Quaternion)
};

}  // namespace msg
}  // namespace geometry_msgs

ROSIDL_STAND_IN_MESSAGE_TRAITS(geometry_msgs, Quaternion)

#endif  // GEOMETRY_MSGS__MSG__QUATERNION_HPP_
