#ifndef GEOMETRY_MSGS__MSG__POSE_HPP_
#define GEOMETRY_MSGS__MSG__POSE_HPP_

#include "geometry_msgs/msg/point.hpp"
#include "geometry_msgs/msg/quaternion.hpp"
#include "rosidl_runtime_cpp/traits.hpp"

namespace geometry_msgs
{
namespace msg
{

struct Pose
{
  geometry_msgs::msg::Point position;
  geometry_msgs::msg::Quaternion orientation;

  bool operator==(const Pose & other) const
  {
    return position == other.position && orientation == other.orientation;
  }
  ROSIDL_STAND_IN_MESSAGE_POINTERS(Pose)
};

}  // namespace msg
}  // namespace geometry_msgs

ROSIDL_STAND_IN_MESSAGE_TRAITS(geometry_msgs, Pose)

#endif  // GEOMETRY_MSGS__MSG__POSE_HPP_
