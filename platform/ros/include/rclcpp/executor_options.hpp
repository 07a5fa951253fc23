#ifndef RCLCPP__EXECUTOR_OPTIONS_HPP_
#define RCLCPP__EXECUTOR_OPTIONS_HPP_

#include "rclcpp/context.hpp"

namespace rclcpp
{

struct ExecutorOptions
{
  ExecutorOptions()
  : context(rclcpp::contexts::get_global_default_context()) {}

  rclcpp::Context::SharedPtr context;
  size_t max_conditions = 0;
};

}  // namespace rclcpp

#endif  // RCLCPP__EXECUTOR_OPTIONS_HPP_
