#ifndef GEOMETRY_MSGS__MSG__POINT_STAMPED_HPP_
#define GEOMETRY_MSGS__MSG__POINT_STAMPED_HPP_

#include "geometry_msgs/msg/point.hpp"
#include "rosidl_runtime_cpp/traits.hpp"
#include "std_msgs/msg/header.hpp"

namespace geometry_msgs
{
namespace msg
{

struct PointStamped
{
  std_msgs::msg::Header header;
  geometry_msgs::msg::Point point;

  bool operator==(const PointStamped & other) const
  {
    return header == other.header && point == other.point;
  }
  ROSIDL_STAND_IN_MESSAGE_POINTERS(PointStamped)
};

}  // namespace msg
}  // namespace geometry_msgs

ROSIDL_STAND_IN_MESSAGE_TRAITS(geometry_msgs, PointStamped)

#endif  // GEOMETRY_MSGS__MSG__POINT_STAMPED_HPP_
