#ifndef BUILTIN_INTERFACES__MSG__DURATION_HPP_
#define BUILTIN_INTERFACES__MSG__DURATION_HPP_

#include <cstdint>

#include "rosidl_runtime_cpp/traits.hpp"

namespace builtin_interfaces
{
namespace msg
{

struct Duration
{
  int32_t sec{0};
  uint32_t nanosec{0};

  bool operator==(const Duration & other) const
  {
    return sec == other.sec && nanosec == other.nanosec;
  }
  ROSIDL_STAND_IN_MESSAGE_POINTERS(Duration)
};

}  // namespace msg
}  // namespace builtin_interfaces

ROSIDL_STAND_IN_MESSAGE_TRAITS(builtin_interfaces, Duration)

#endif  // BUILTIN_INTERFACES__MSG__DURATION_HPP_
