#include <memory>
#include <string>

#include "rclcpp/exceptions.hpp"
#include "rclcpp/logger.hpp"
#include "rcutils/logging.h"

namespace rclcpp
{

Logger get_logger(const std::string & name)
{
  return Logger(name);
}

Logger::Logger(const std::string & name)
: name_(std::make_shared<const std::string>(name)) {}

const char * Logger::get_name() const
{
  return name_ ? name_->c_str() : nullptr;
}

Logger Logger::get_child(const std::string & suffix) const
{
  return name_ ? Logger(*name_ + "." + suffix) : *this;
}

void Logger::set_level(Level level)
{
  if (!name_) {
    return;
  }
  RCUTILS_LOGGING_AUTOINIT;
  if (rcutils_logging_set_logger_level(name_->c_str(), static_cast<int>(level)) != RCUTILS_RET_OK) {
    throw exceptions::RCLError(1, "could not set the logger level of '" + *name_ + "'");
  }
}

}  // namespace rclcpp
