#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "rclcpp/exceptions.hpp"
#include "rcutils/logging.h"
#include "ros_arguments.hpp"

namespace rclcpp
{
namespace detail
{
namespace
{

const char kRosArgsFlag[] = "--ros-args";
const char kRosArgsEnd[] = "--";

std::string trim(const std::string & text)
{
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) {
    return "";
  }
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

bool isQuoted(const std::string & text)
{
  return text.size() >= 2 && (text.front() == '\'' || text.front() == '"') &&
         text.back() == text.front();
}

bool parseBool(const std::string & text, bool & value)
{
  static const std::vector<std::string> truths{
    "y", "Y", "yes", "Yes", "YES", "true", "True", "TRUE", "on", "On", "ON"};
  static const std::vector<std::string> falsehoods{
    "n", "N", "no", "No", "NO", "false", "False", "FALSE", "off", "Off", "OFF"};
  for (const auto & truth : truths) {
    if (text == truth) {
      value = true;
      return true;
    }
  }
  for (const auto & falsehood : falsehoods) {
    if (text == falsehood) {
      value = false;
      return true;
    }
  }
  return false;
}

bool parseInteger(const std::string & text, int64_t & value)
{
  if (text.empty()) {
    return false;
  }
  char * end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);  // NOLINT(runtime/int)
  if (errno != 0 || *end != '\0') {
    return false;
  }
  value = parsed;
  return true;
}

bool parseDouble(const std::string & text, double & value)
{
  if (text.empty()) {
    return false;
  }
  char * end = nullptr;
  errno = 0;
  const double parsed = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0') {
    return false;
  }
  value = parsed;
  return true;
}

std::string unquote(const std::string & text)
{
  return isQuoted(text) ? text.substr(1, text.size() - 2) : text;
}

std::vector<std::string> splitList(const std::string & inner)
{
  std::vector<std::string> items;
  if (trim(inner).empty()) {
    return items;
  }
  std::string::size_type start = 0;
  while (true) {
    const auto comma = inner.find(',', start);
    items.push_back(trim(inner.substr(start, comma - start)));
    if (comma == std::string::npos) {
      return items;
    }
    start = comma + 1;
  }
}

rclcpp::ParameterValue parseList(const std::vector<std::string> & items)
{
  std::vector<bool> bools;
  std::vector<int64_t> integers;
  std::vector<double> doubles;
  std::vector<std::string> strings;
  for (const auto & item : items) {
    bool flag = false;
    int64_t integer = 0;
    double real = 0.0;
    if (!isQuoted(item) && parseBool(item, flag)) {
      bools.push_back(flag);
    }
    if (!isQuoted(item) && parseInteger(item, integer)) {
      integers.push_back(integer);
    }
    if (!isQuoted(item) && parseDouble(item, real)) {
      doubles.push_back(real);
    }
    strings.push_back(unquote(item));
  }
  if (!items.empty() && bools.size() == items.size()) {
    return rclcpp::ParameterValue(bools);
  }
  if (!items.empty() && integers.size() == items.size()) {
    return rclcpp::ParameterValue(integers);
  }
  if (!items.empty() && doubles.size() == items.size()) {
    return rclcpp::ParameterValue(doubles);
  }
  return rclcpp::ParameterValue(strings);
}

// Splits "lhs:=rhs"; false when the rule has no ":=".
bool splitRule(const std::string & rule, std::string & lhs, std::string & rhs)
{
  const auto separator = rule.find(":=");
  if (separator == std::string::npos || separator == 0) {
    return false;
  }
  lhs = rule.substr(0, separator);
  rhs = rule.substr(separator + 2);
  return true;
}

RemapRule parseRemap(const std::string & rule)
{
  RemapRule remap;
  if (!splitRule(rule, remap.from, remap.to) || remap.to.empty()) {
    throw exceptions::RCLError(1, "Couldn't parse remap rule: '-r " + rule + "'");
  }
  const auto node_separator = remap.from.find(':');
  if (node_separator != std::string::npos) {
    remap.node_name = remap.from.substr(0, node_separator);
    remap.from = remap.from.substr(node_separator + 1);
  }
  return remap;
}

rclcpp::Parameter parseParameterRule(const std::string & rule)
{
  std::string name;
  std::string value;
  if (!splitRule(rule, name, value)) {
    throw exceptions::RCLError(1, "Couldn't parse parameter override rule: '-p " + rule + "'");
  }
  return rclcpp::Parameter(name, parseParameterValue(value));
}

void applyLogLevel(const std::string & rule)
{
  std::string name;
  std::string level_text = rule;
  if (splitRule(rule, name, level_text) && name.empty()) {
    level_text = rule;
  }
  int level = 0;
  if (rcutils_logging_severity_level_from_string(
      level_text.c_str(), rcutils_get_default_allocator(), &level) != RCUTILS_RET_OK)
  {
    throw exceptions::RCLError(1, "Argument to '--log-level' is not a valid level: " + rule);
  }
  if (name.empty()) {
    rcutils_logging_set_default_logger_level(level);
  } else if (rcutils_logging_set_logger_level(name.c_str(), level) != RCUTILS_RET_OK) {
    throw exceptions::RCLError(1, "could not set the level of logger '" + name + "'");
  }
}

bool isFlagWithoutValue(const std::string & argument)
{
  return argument == "--enable-rosout-logs" || argument == "--disable-rosout-logs" ||
         argument == "--enable-stdout-logs" || argument == "--disable-stdout-logs" ||
         argument == "--enable-external-lib-logs" || argument == "--disable-external-lib-logs";
}

bool isFlagWithIgnoredValue(const std::string & argument)
{
  return argument == "--params-file" || argument == "-e" || argument == "--enclave" ||
         argument == "--log-config-file" || argument == "--log-file-name";
}

}  // namespace

rclcpp::ParameterValue parseParameterValue(const std::string & text)
{
  const std::string value = trim(text);
  if (isQuoted(value)) {
    return rclcpp::ParameterValue(unquote(value));
  }
  if (value.size() >= 2 && value.front() == '[' && value.back() == ']') {
    return parseList(splitList(value.substr(1, value.size() - 2)));
  }
  bool flag = false;
  if (parseBool(value, flag)) {
    return rclcpp::ParameterValue(flag);
  }
  int64_t integer = 0;
  if (parseInteger(value, integer)) {
    return rclcpp::ParameterValue(integer);
  }
  double real = 0.0;
  if (parseDouble(value, real)) {
    return rclcpp::ParameterValue(real);
  }
  return rclcpp::ParameterValue(value);
}

RosArguments parseRosArguments(const std::vector<std::string> & arguments)
{
  RosArguments parsed;
  std::vector<std::string> unknown;
  bool in_ros_args = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string & argument = arguments[i];
    if (argument == kRosArgsFlag) {
      in_ros_args = true;
      continue;
    }
    if (!in_ros_args) {
      continue;
    }
    if (argument == kRosArgsEnd) {
      in_ros_args = false;
      continue;
    }
    const bool has_value = i + 1 < arguments.size();
    if ((argument == "-p" || argument == "--param") && has_value) {
      parsed.parameters.push_back(parseParameterRule(arguments[++i]));
    } else if ((argument == "-r" || argument == "--remap") && has_value) {
      parsed.remaps.push_back(parseRemap(arguments[++i]));
    } else if (argument == "--log-level" && has_value) {
      applyLogLevel(arguments[++i]);
    } else if (isFlagWithIgnoredValue(argument) && has_value) {
      ++i;
    } else if (!isFlagWithoutValue(argument)) {
      unknown.push_back(argument);
    }
  }
  if (!unknown.empty()) {
    throw exceptions::UnknownROSArgsError(std::move(unknown));
  }
  return parsed;
}

std::vector<std::string> stripRosArguments(const std::vector<std::string> & arguments)
{
  std::vector<std::string> remaining;
  bool in_ros_args = false;
  for (const auto & argument : arguments) {
    if (argument == kRosArgsFlag) {
      in_ros_args = true;
    } else if (in_ros_args && argument == kRosArgsEnd) {
      in_ros_args = false;
    } else if (!in_ros_args) {
      remaining.push_back(argument);
    }
  }
  return remaining;
}

}  // namespace detail
}  // namespace rclcpp
