#ifndef RCLCPP__LOGGING_HPP_
#define RCLCPP__LOGGING_HPP_

#include <sstream>
#include <type_traits>

#include "rclcpp/logger.hpp"
#include "rcutils/logging_macros.h"

// The same macros as rclcpp's generated logging header, forwarding to the real rcutils macros
// under the logger's name, so output format, levels and output handlers are the real ones.

#define RCLCPP_LOGGER_TYPE_CHECK(logger) \
  static_assert( \
    ::std::is_same<typename std::remove_cv_t<typename std::remove_reference_t<decltype(logger)>>, \
    typename ::rclcpp::Logger>::value, \
    "First argument to logging macros must be an rclcpp::Logger")

// Reads a clock for the throttled macros in the form rcutils expects.
#define RCLCPP_LOGGING_CLOCK_READER(clock) \
  [&c = clock](rcutils_time_point_value_t * time_point) -> rcutils_ret_t { \
    try { \
      *time_point = c.now().nanoseconds(); \
    } catch (...) { \
      RCUTILS_SAFE_FWRITE_TO_STDERR( \
        "[rclcpp|logging.hpp] RCLCPP_..._THROTTLE could not get current time stamp\n"); \
      return RCUTILS_RET_ERROR; \
    } \
    return RCUTILS_RET_OK; \
  }

#define RCLCPP_DEBUG(logger, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    RCUTILS_LOG_DEBUG_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_DEBUG_ONCE(logger, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    RCUTILS_LOG_DEBUG_ONCE_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_DEBUG_EXPRESSION(logger, expression, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    RCUTILS_LOG_DEBUG_EXPRESSION_NAMED(expression, (logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_DEBUG_SKIPFIRST(logger, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    RCUTILS_LOG_DEBUG_SKIPFIRST_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_DEBUG_THROTTLE(logger, clock, duration, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    auto get_time_point = RCLCPP_LOGGING_CLOCK_READER(clock); \
    RCUTILS_LOG_DEBUG_THROTTLE_NAMED(get_time_point, duration, (logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_DEBUG_SKIPFIRST_THROTTLE(logger, clock, duration, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    auto get_time_point = RCLCPP_LOGGING_CLOCK_READER(clock); \
    RCUTILS_LOG_DEBUG_SKIPFIRST_THROTTLE_NAMED( \
      get_time_point, duration, (logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_DEBUG_STREAM(logger, stream_arg) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    std::stringstream rclcpp_stream_ss_; \
    rclcpp_stream_ss_ << stream_arg; \
    RCUTILS_LOG_DEBUG_NAMED((logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)

#define RCLCPP_DEBUG_STREAM_ONCE(logger, stream_arg) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    std::stringstream rclcpp_stream_ss_; \
    rclcpp_stream_ss_ << stream_arg; \
    RCUTILS_LOG_DEBUG_ONCE_NAMED((logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)

#define RCLCPP_DEBUG_STREAM_THROTTLE(logger, clock, duration, stream_arg) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    auto get_time_point = RCLCPP_LOGGING_CLOCK_READER(clock); \
    std::stringstream rclcpp_stream_ss_; \
    rclcpp_stream_ss_ << stream_arg; \
    RCUTILS_LOG_DEBUG_THROTTLE_NAMED( \
      get_time_point, duration, (logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)

#define RCLCPP_INFO(logger, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    RCUTILS_LOG_INFO_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_INFO_ONCE(logger, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    RCUTILS_LOG_INFO_ONCE_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_INFO_EXPRESSION(logger, expression, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    RCUTILS_LOG_INFO_EXPRESSION_NAMED(expression, (logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_INFO_SKIPFIRST(logger, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    RCUTILS_LOG_INFO_SKIPFIRST_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_INFO_THROTTLE(logger, clock, duration, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    auto get_time_point = RCLCPP_LOGGING_CLOCK_READER(clock); \
    RCUTILS_LOG_INFO_THROTTLE_NAMED(get_time_point, duration, (logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_INFO_SKIPFIRST_THROTTLE(logger, clock, duration, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    auto get_time_point = RCLCPP_LOGGING_CLOCK_READER(clock); \
    RCUTILS_LOG_INFO_SKIPFIRST_THROTTLE_NAMED( \
      get_time_point, duration, (logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_INFO_STREAM(logger, stream_arg) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    std::stringstream rclcpp_stream_ss_; \
    rclcpp_stream_ss_ << stream_arg; \
    RCUTILS_LOG_INFO_NAMED((logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)

#define RCLCPP_INFO_STREAM_ONCE(logger, stream_arg) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    std::stringstream rclcpp_stream_ss_; \
    rclcpp_stream_ss_ << stream_arg; \
    RCUTILS_LOG_INFO_ONCE_NAMED((logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)

#define RCLCPP_INFO_STREAM_THROTTLE(logger, clock, duration, stream_arg) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    auto get_time_point = RCLCPP_LOGGING_CLOCK_READER(clock); \
    std::stringstream rclcpp_stream_ss_; \
    rclcpp_stream_ss_ << stream_arg; \
    RCUTILS_LOG_INFO_THROTTLE_NAMED( \
      get_time_point, duration, (logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)

#define RCLCPP_WARN(logger, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    RCUTILS_LOG_WARN_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_WARN_ONCE(logger, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    RCUTILS_LOG_WARN_ONCE_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_WARN_EXPRESSION(logger, expression, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    RCUTILS_LOG_WARN_EXPRESSION_NAMED(expression, (logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_WARN_SKIPFIRST(logger, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    RCUTILS_LOG_WARN_SKIPFIRST_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_WARN_THROTTLE(logger, clock, duration, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    auto get_time_point = RCLCPP_LOGGING_CLOCK_READER(clock); \
    RCUTILS_LOG_WARN_THROTTLE_NAMED(get_time_point, duration, (logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_WARN_SKIPFIRST_THROTTLE(logger, clock, duration, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    auto get_time_point = RCLCPP_LOGGING_CLOCK_READER(clock); \
    RCUTILS_LOG_WARN_SKIPFIRST_THROTTLE_NAMED( \
      get_time_point, duration, (logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_WARN_STREAM(logger, stream_arg) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    std::stringstream rclcpp_stream_ss_; \
    rclcpp_stream_ss_ << stream_arg; \
    RCUTILS_LOG_WARN_NAMED((logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)

#define RCLCPP_WARN_STREAM_ONCE(logger, stream_arg) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    std::stringstream rclcpp_stream_ss_; \
    rclcpp_stream_ss_ << stream_arg; \
    RCUTILS_LOG_WARN_ONCE_NAMED((logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)

#define RCLCPP_WARN_STREAM_THROTTLE(logger, clock, duration, stream_arg) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    auto get_time_point = RCLCPP_LOGGING_CLOCK_READER(clock); \
    std::stringstream rclcpp_stream_ss_; \
    rclcpp_stream_ss_ << stream_arg; \
    RCUTILS_LOG_WARN_THROTTLE_NAMED( \
      get_time_point, duration, (logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)

#define RCLCPP_ERROR(logger, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    RCUTILS_LOG_ERROR_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_ERROR_ONCE(logger, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    RCUTILS_LOG_ERROR_ONCE_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_ERROR_EXPRESSION(logger, expression, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    RCUTILS_LOG_ERROR_EXPRESSION_NAMED(expression, (logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_ERROR_SKIPFIRST(logger, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    RCUTILS_LOG_ERROR_SKIPFIRST_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_ERROR_THROTTLE(logger, clock, duration, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    auto get_time_point = RCLCPP_LOGGING_CLOCK_READER(clock); \
    RCUTILS_LOG_ERROR_THROTTLE_NAMED(get_time_point, duration, (logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_ERROR_SKIPFIRST_THROTTLE(logger, clock, duration, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    auto get_time_point = RCLCPP_LOGGING_CLOCK_READER(clock); \
    RCUTILS_LOG_ERROR_SKIPFIRST_THROTTLE_NAMED( \
      get_time_point, duration, (logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_ERROR_STREAM(logger, stream_arg) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    std::stringstream rclcpp_stream_ss_; \
    rclcpp_stream_ss_ << stream_arg; \
    RCUTILS_LOG_ERROR_NAMED((logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)

#define RCLCPP_ERROR_STREAM_ONCE(logger, stream_arg) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    std::stringstream rclcpp_stream_ss_; \
    rclcpp_stream_ss_ << stream_arg; \
    RCUTILS_LOG_ERROR_ONCE_NAMED((logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)

#define RCLCPP_ERROR_STREAM_THROTTLE(logger, clock, duration, stream_arg) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    auto get_time_point = RCLCPP_LOGGING_CLOCK_READER(clock); \
    std::stringstream rclcpp_stream_ss_; \
    rclcpp_stream_ss_ << stream_arg; \
    RCUTILS_LOG_ERROR_THROTTLE_NAMED( \
      get_time_point, duration, (logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)

#define RCLCPP_FATAL(logger, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    RCUTILS_LOG_FATAL_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_FATAL_ONCE(logger, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    RCUTILS_LOG_FATAL_ONCE_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_FATAL_EXPRESSION(logger, expression, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    RCUTILS_LOG_FATAL_EXPRESSION_NAMED(expression, (logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_FATAL_SKIPFIRST(logger, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    RCUTILS_LOG_FATAL_SKIPFIRST_NAMED((logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_FATAL_THROTTLE(logger, clock, duration, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    auto get_time_point = RCLCPP_LOGGING_CLOCK_READER(clock); \
    RCUTILS_LOG_FATAL_THROTTLE_NAMED(get_time_point, duration, (logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_FATAL_SKIPFIRST_THROTTLE(logger, clock, duration, ...) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    auto get_time_point = RCLCPP_LOGGING_CLOCK_READER(clock); \
    RCUTILS_LOG_FATAL_SKIPFIRST_THROTTLE_NAMED( \
      get_time_point, duration, (logger).get_name(), __VA_ARGS__); \
  } while (0)

#define RCLCPP_FATAL_STREAM(logger, stream_arg) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    std::stringstream rclcpp_stream_ss_; \
    rclcpp_stream_ss_ << stream_arg; \
    RCUTILS_LOG_FATAL_NAMED((logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)

#define RCLCPP_FATAL_STREAM_ONCE(logger, stream_arg) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    std::stringstream rclcpp_stream_ss_; \
    rclcpp_stream_ss_ << stream_arg; \
    RCUTILS_LOG_FATAL_ONCE_NAMED((logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)

#define RCLCPP_FATAL_STREAM_THROTTLE(logger, clock, duration, stream_arg) \
  do { \
    RCLCPP_LOGGER_TYPE_CHECK(logger); \
    auto get_time_point = RCLCPP_LOGGING_CLOCK_READER(clock); \
    std::stringstream rclcpp_stream_ss_; \
    rclcpp_stream_ss_ << stream_arg; \
    RCUTILS_LOG_FATAL_THROTTLE_NAMED( \
      get_time_point, duration, (logger).get_name(), "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)

#endif  // RCLCPP__LOGGING_HPP_
