#ifndef BUILTIN_INTERFACES__MSG__TIME_HPP_
#define BUILTIN_INTERFACES__MSG__TIME_HPP_

#include <cstdint>

#include "rosidl_runtime_cpp/traits.hpp"

namespace builtin_interfaces
{
namespace msg
{

struct Time
{
  int32_t sec{0};
  uint32_t nanosec{0};

  bool operator==(const Time & other) const
  {
    return sec == other.sec && nanosec == other.nanosec;
  }
  ROSIDL_STAND_IN_MESSAGE_POINTERS(Time)
};

}  // namespace msg
}  // namespace builtin_interfaces

ROSIDL_STAND_IN_MESSAGE_TRAITS(builtin_interfaces, Time)

#endif  // BUILTIN_INTERFACES__MSG__TIME_HPP_
