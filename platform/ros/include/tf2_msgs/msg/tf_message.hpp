#ifndef TF2_MSGS__MSG__TF_MESSAGE_HPP_
#define TF2_MSGS__MSG__TF_MESSAGE_HPP_

#include <vector>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "rosidl_runtime_cpp/traits.hpp"

namespace tf2_msgs
{
namespace msg
{

struct TFMessage
{
  std::vector<geometry_msgs::msg::TransformStamped> transforms;

  bool operator==(const TFMessage & other) const
  {
    return transforms == other.transforms;
  }
  ROSIDL_STAND_IN_MESSAGE_POINTERS(TFMessage)
};

}  // namespace msg
}  // namespace tf2_msgs

ROSIDL_STAND_IN_MESSAGE_TRAITS(tf2_msgs, TFMessage)

#endif  // TF2_MSGS__MSG__TF_MESSAGE_HPP_
