#ifndef VELMORA_PROTOCOL__MSG__TASK_CENTER_FSM_STATUS_HPP_
#define VELMORA_PROTOCOL__MSG__TASK_CENTER_FSM_STATUS_HPP_

#include <cstdint>
#include <string>

#include "rosidl_runtime_cpp/traits.hpp"
#include "std_msgs/msg/header.hpp"

namespace velmora_protocol
{
namespace msg
{

// Task centre state-machine status. `state` and `sub_state` sit side by side right after the
// 40-byte header, as in the robot's generated type.
struct TaskCenterFsmStatus
{
  std_msgs::msg::Header header;
  int32_t state{0};
  int32_t sub_state{0};
  std::string state_name;
  std::string sub_state_name;

  bool operator==(const TaskCenterFsmStatus & other) const
  {
    return header == other.header && state == other.state && sub_state == other.sub_state &&
      state_name == other.state_name && sub_state_name == other.sub_state_name;
  }
  ROSIDL_STAND_IN_MESSAGE_POINTERS(TaskCenterFsmStatus)
};

}  // namespace msg
}  // namespace velmora_protocol

ROSIDL_STAND_IN_MESSAGE_TRAITS(velmora_protocol, TaskCenterFsmStatus)

#endif  // VELMORA_PROTOCOL__MSG__TASK_CENTER_FSM_STATUS_HPP_
