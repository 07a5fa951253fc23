#ifndef RCL_INTERFACES__MSG__PARAMETER_DESCRIPTOR_HPP_
#define RCL_INTERFACES__MSG__PARAMETER_DESCRIPTOR_HPP_

#include <cstdint>
#include <string>

#include "rosidl_runtime_cpp/traits.hpp"

namespace rcl_interfaces
{
namespace msg
{

// The range constraints of the generated type are left out: nothing here enforces them.
struct ParameterDescriptor
{
  std::string name;
  uint8_t type{0};
  std::string description;
  std::string additional_constraints;
  bool read_only{false};
  bool dynamic_typing{false};

  bool operator==(const ParameterDescriptor & other) const
  {
    return name == other.name && type == other.type && description == other.description &&
           additional_constraints == other.additional_constraints &&
           read_only == other.read_only && dynamic_typing == other.dynamic_typing;
  }
  ROSIDL_STAND_IN_MESSAGE_POINTERS(ParameterDescriptor)
};

}  // namespace msg
}  // namespace rcl_interfaces

ROSIDL_STAND_IN_MESSAGE_TRAITS(rcl_interfaces, ParameterDescriptor)

#endif  // RCL_INTERFACES__MSG__PARAMETER_DESCRIPTOR_HPP_
