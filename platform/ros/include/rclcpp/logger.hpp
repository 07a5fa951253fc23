#ifndef RCLCPP__LOGGER_HPP_
#define RCLCPP__LOGGER_HPP_

#include <memory>
#include <string>

#include "rcutils/logging.h"

namespace rclcpp
{

class Logger;

Logger get_logger(const std::string & name);

class Logger
{
public:
  enum class Level
  {
    Unset = RCUTILS_LOG_SEVERITY_UNSET,
    Debug = RCUTILS_LOG_SEVERITY_DEBUG,
    Info = RCUTILS_LOG_SEVERITY_INFO,
    Warn = RCUTILS_LOG_SEVERITY_WARN,
    Error = RCUTILS_LOG_SEVERITY_ERROR,
    Fatal = RCUTILS_LOG_SEVERITY_FATAL,
  };

  Logger(const Logger &) = default;
  Logger & operator=(const Logger &) = default;

  const char * get_name() const;
  Logger get_child(const std::string & suffix) const;
  void set_level(Level level);

private:
  friend Logger rclcpp::get_logger(const std::string & name);

  explicit Logger(const std::string & name);

  std::shared_ptr<const std::string> name_;
};

}  // namespace rclcpp

#endif  // RCLCPP__LOGGER_HPP_
