#ifndef LOG_CAPTURE_HPP_
#define LOG_CAPTURE_HPP_

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "rcutils/logging.h"

namespace test_support
{

struct LogLine
{
  int severity;
  std::string logger;
  std::string text;
};

// Records every ROS log line (severity, logger name, formatted text) instead of printing it,
// for as long as the object lives; the previous output handler comes back afterwards.
// Captures nest: the newest records, and the one before resumes when it ends.
class LogCapture
{
public:
  LogCapture()
  {
    // Initialising later would replace our handler with the console one.
    if (rcutils_logging_initialize() != RCUTILS_RET_OK) {
      throw std::runtime_error("could not initialise rcutils logging");
    }
    std::lock_guard<std::mutex> lock(mutex());
    previous_ = rcutils_logging_get_output_handler();
    previous_active_ = active();
    active() = this;
    rcutils_logging_set_output_handler(&LogCapture::record);
  }

  ~LogCapture()
  {
    std::lock_guard<std::mutex> lock(mutex());
    rcutils_logging_set_output_handler(previous_);
    active() = previous_active_;
  }

  LogCapture(const LogCapture &) = delete;
  LogCapture & operator=(const LogCapture &) = delete;

  std::vector<LogLine> lines() const
  {
    std::lock_guard<std::mutex> lock(mutex());
    return lines_;
  }

  std::vector<std::string> messages() const
  {
    std::vector<std::string> texts;
    for (const auto & line : lines()) {
      texts.push_back(line.text);
    }
    return texts;
  }

  bool contains(const std::string & text) const {return count(text) > 0;}

  bool containsAt(int severity, const std::string & text) const
  {
    for (const auto & line : lines()) {
      if (line.severity == severity && line.text.find(text) != std::string::npos) {
        return true;
      }
    }
    return false;
  }

  // Number of lines whose text contains `text`.
  size_t count(const std::string & text) const
  {
    size_t matches = 0;
    for (const auto & line : lines()) {
      matches += line.text.find(text) != std::string::npos ? 1 : 0;
    }
    return matches;
  }

  void clear()
  {
    std::lock_guard<std::mutex> lock(mutex());
    lines_.clear();
  }

private:
  static std::mutex & mutex()
  {
    static std::mutex lines_mutex;
    return lines_mutex;
  }

  static LogCapture *& active()
  {
    static LogCapture * capture = nullptr;
    return capture;
  }

  static void record(
    const rcutils_log_location_t *, int severity, const char * name,
    rcutils_time_point_value_t, const char * format, va_list * args)
  {
    va_list copy;
    va_copy(copy, *args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) {
      va_copy(copy, *args);
      std::vsnprintf(text.data(), text.size() + 1, format, copy);
      va_end(copy);
    }
    std::lock_guard<std::mutex> lock(mutex());
    if (active() != nullptr) {
      active()->lines_.push_back(LogLine{severity, name != nullptr ? name : "", text});
    }
  }

  rcutils_logging_output_handler_t previous_{nullptr};
  LogCapture * previous_active_{nullptr};
  std::vector<LogLine> lines_;
};

}  // namespace test_support

#endif  // LOG_CAPTURE_HPP_
