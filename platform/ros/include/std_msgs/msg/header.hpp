#ifndef STD_MSGS__MSG__HEADER_HPP_
#define STD_MSGS__MSG__HEADER_HPP_

#include <string>

#include "builtin_interfaces/msg/time.hpp"
#include "rosidl_runtime_cpp/traits.hpp"

namespace std_msgs
{
namespace msg
{

struct Header
{
  builtin_interfaces::msg::Time stamp;
  std::string frame_id;

  bool operator==(const Header & other) const
  {
    return stamp == other.stamp && frame_id == other.frame_id;
  }
  ROSIDL_STAND_IN_MESSAGE_POINTERS(Header)
};

}  // namespace msg
}  // namespace std_msgs

ROSIDL_STAND_IN_MESSAGE_TRAITS(std_msgs, Header)

#endif  // STD_MSGS__MSG__HEADER_HPP_
