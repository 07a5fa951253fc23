#ifndef ROSGRAPH_MSGS__MSG__CLOCK_HPP_
#define ROSGRAPH_MSGS__MSG__CLOCK_HPP_

#include "builtin_interfaces/msg/time.hpp"
#include "rosidl_runtime_cpp/traits.hpp"

namespace rosgraph_msgs
{
namespace msg
{

struct Clock
{
  builtin_interfaces::msg::Time clock;

  bool operator==(const Clock & other) const
  {
    return clock == other.clock;
  }
  ROSIDL_STAND_IN_MESSAGE_POINTERS(Clock)
};

}  // namespace msg
}  // namespace rosgraph_msgs

ROSIDL_STAND_IN_MESSAGE_TRAITS(rosgraph_msgs, Clock)

#endif  // ROSGRAPH_MSGS__MSG__CLOCK_HPP_
