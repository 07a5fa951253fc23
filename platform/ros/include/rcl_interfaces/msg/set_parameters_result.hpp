#ifndef RCL_INTERFACES__MSG__SET_PARAMETERS_RESULT_HPP_
#define RCL_INTERFACES__MSG__SET_PARAMETERS_RESULT_HPP_

#include <string>

#include "rosidl_runtime_cpp/traits.hpp"

namespace rcl_interfaces
{
namespace msg
{

struct SetParametersResult
{
  bool successful{false};
  std::string reason;

  bool operator==(const SetParametersResult & other) const
  {
    return successful == other.successful && reason == other.reason;
  }
  ROSIDL_STAND_IN_MESSAGE_POINTERS(SetParametersResult)
};

}  // namespace msg
}  // namespace rcl_interfaces

ROSIDL_STAND_IN_MESSAGE_TRAITS(rcl_interfaces, SetParametersResult)

#endif  // RCL_INTERFACES__MSG__SET_PARAMETERS_RESULT_HPP_
