#ifndef VELMORA_ROS_STAND_IN__ROS_ARGUMENTS_HPP_
#define VELMORA_ROS_STAND_IN__ROS_ARGUMENTS_HPP_

#include <string>
#include <vector>

#include "rclcpp/parameter.hpp"

namespace rclcpp
{
namespace detail
{

struct RemapRule
{
  // Empty when the rule applies to every node.
  std::string node_name;
  std::string from;
  std::string to;
};

// What the `--ros-args ... [--]` sections of a command line ask for, in order of appearance.
struct RosArguments
{
  std::vector<rclcpp::Parameter> parameters;
  std::vector<RemapRule> remaps;
};

RosArguments parseRosArguments(const std::vector<std::string> & arguments);
std::vector<std::string> stripRosArguments(const std::vector<std::string> & arguments);
// A command-line value read as YAML would read it: bool, integer, double, string or a list.
rclcpp::ParameterValue parseParameterValue(const std::string & text);
// The arguments given to rclcpp::init.
RosArguments globalRosArguments();

}  // namespace detail
}  // namespace rclcpp

#endif  // VELMORA_ROS_STAND_IN__ROS_ARGUMENTS_HPP_
