#ifndef RCLCPP__INTRA_PROCESS_SETTING_HPP_
#define RCLCPP__INTRA_PROCESS_SETTING_HPP_

namespace rclcpp
{

enum class IntraProcessSetting
{
  Enable,
  Disable,
  NodeDefault
};

}  // namespace rclcpp

#endif  // RCLCPP__INTRA_PROCESS_SETTING_HPP_
