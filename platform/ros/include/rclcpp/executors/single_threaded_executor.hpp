#ifndef RCLCPP__EXECUTORS__SINGLE_THREADED_EXECUTOR_HPP_
#define RCLCPP__EXECUTORS__SINGLE_THREADED_EXECUTOR_HPP_

#include "rclcpp/executor.hpp"
#include "rclcpp/executor_options.hpp"
#include "rclcpp/macros.hpp"

namespace rclcpp
{
namespace executors
{

class SingleThreadedExecutor : public rclcpp::Executor
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(SingleThreadedExecutor)

  explicit SingleThreadedExecutor(
    const rclcpp::ExecutorOptions & options = rclcpp::ExecutorOptions());
  ~SingleThreadedExecutor() override;

  // Blocks until rclcpp shuts down or cancel() is called.
  void spin() override;
};

}  // namespace executors
}  // namespace rclcpp

#endif  // RCLCPP__EXECUTORS__SINGLE_THREADED_EXECUTOR_HPP_
