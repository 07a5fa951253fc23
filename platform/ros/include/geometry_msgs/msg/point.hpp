#ifndef GEOMETRY_MSGS__MSG__POINT_HPP_
#define GEOMETRY_MSGS__MSG__POINT_HPP_

#include "rosidl_runtime_cpp/traits.hpp"

namespace geometry_msgs
{
namespace msg
{

struct Point
{
  double x{0.0};
  double y{0.0};
  double z{0.0};

  bool operator==(const Point & other) const
  {
    return x == other.x && y == other.y && z == other.z;
  }
  ROSIDL_STAND_IN_MESSAGE_POINTERS(Point)
};

}  // namespace msg
}  // namespace geometry_msgs

ROSIDL_STAND_IN_MESSAGE_TRAITS(geometry_msgs, Point)

#endif  // GEOMETRY_MSGS__MSG__POINT_HPP_
