#ifndef RCLCPP__UTILITIES_HPP_
#define RCLCPP__UTILITIES_HPP_

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "rclcpp/context.hpp"
#include "rclcpp/init_options.hpp"

namespace rclcpp
{

enum class SignalHandlerOptions
{
  All,
  SigInt,
  SigTerm,
  None,
};

// Parses the ROS arguments (`--ros-args -p name:=value -r from:=to ... --`), initialises logging
// and installs the requested signal handlers, which shut the context down.
void init(
  int argc, char const * const argv[], const InitOptions & init_options = InitOptions(),
  SignalHandlerOptions signal_handler_options = SignalHandlerOptions::All);

bool install_signal_handlers(
  SignalHandlerOptions signal_handler_options = SignalHandlerOptions::All);
bool signal_handlers_installed();
SignalHandlerOptions get_current_signal_handler_options();
bool uninstall_signal_handlers();

std::vector<std::string> init_and_remove_ros_arguments(
  int argc, char const * const argv[], const InitOptions & init_options = InitOptions());
std::vector<std::string> remove_ros_arguments(int argc, char const * const argv[]);

bool ok(rclcpp::Context::SharedPtr context = nullptr);
bool shutdown(
  rclcpp::Context::SharedPtr context = nullptr,
  const std::string & reason = "user called rclcpp::shutdown()");
void on_shutdown(std::function<void()> callback, rclcpp::Context::SharedPtr context = nullptr);
bool sleep_for(
  const std::chrono::nanoseconds & nanoseconds, rclcpp::Context::SharedPtr context = nullptr);

}  // namespace rclcpp

#endif  // RCLCPP__UTILITIES_HPP_
