#ifndef RCLCPP__FUTURE_RETURN_CODE_HPP_
#define RCLCPP__FUTURE_RETURN_CODE_HPP_

namespace rclcpp
{

enum class FutureReturnCode { SUCCESS, INTERRUPTED, TIMEOUT };

}  // namespace rclcpp

#endif  // RCLCPP__FUTURE_RETURN_CODE_HPP_
