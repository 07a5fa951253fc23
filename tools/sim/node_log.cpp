#include "sim/node_log.hpp"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace velmora_sim
{

namespace
{

std::atomic<NodeLogCapture *> g_capture{nullptr};
thread_local FrameLogFacts * t_frame = nullptr;

bool startsWith(const std::string & text, const char * prefix)
{
  return text.rfind(prefix, 0) == 0;
}

std::string formatted(const char * format, va_list * args)
{
  va_list copy;
  va_copy(copy, *args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length < 0) {
    return format;
  }
  std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
  va_copy(copy, *args);
  std::vsnprintf(buffer.data(), buffer.size(), format, copy);
  va_end(copy);
  return std::string(buffer.data(), static_cast<std::size_t>(length));
}

void captureHandler(
  const rcutils_log_location_t *, int severity, const char * name, rcutils_time_point_value_t,
  const char * format, va_list * args)
{
  NodeLogCapture * capture = g_capture.load();
  if (capture != nullptr) {
    capture->record(severity, name, formatted(format, args));
  }
}

const char * severityName(int severity)
{
  switch (severity) {
    case RCUTILS_LOG_SEVERITY_DEBUG: return "DEBUG";
    case RCUTILS_LOG_SEVERITY_INFO: return "INFO";
    case RCUTILS_LOG_SEVERITY_WARN: return "WARN";
    case RCUTILS_LOG_SEVERITY_ERROR: return "ERROR";
    case RCUTILS_LOG_SEVERITY_FATAL: return "FATAL";
    default: return "UNSET";
  }
}

}  // namespace

void applyLogLine(const std::string & text, FrameLogFacts & facts)
{
  ++facts.lines;
  int answer = 0;
  double first = 0.0;
  double second = 0.0;
  double third = 0.0;
  if (text == "working status wrong or no intrinsic") {
    facts.gated = true;
  } else if (startsWith(text, "Could not transform 'map' to 'base_footprint'")) {
    facts.no_pose = true;
  } else if (startsWith(text, "cv_bridge exception")) {
    facts.conversion_failed = true;
  } else if (
    std::sscanf(text.c_str(), "result: %d, internvl takes: %lf ms", &answer, &first) == 2 ||
    std::sscanf(text.c_str(), "fish internvl result: %d, internvl takes: %lf ms", &answer,
    &first) == 2)
  {
    facts.vlm_answer = answer;
    facts.internvl_ms = first;
  } else if (std::sscanf(text.c_str(), "mobilenet takes: %lf ms", &first) == 1) {
    facts.mobilenet_ms = first;
  } else if (
    std::sscanf(text.c_str(), "softmax_output: %lf, %lf, %lf", &first, &second, &third) == 3)
  {
    facts.scores = std::array<double, 3>{first, second, third};
  } else if (startsWith(text, "dirty iou: ") && text.find(", all ones, ") != std::string::npos) {
    facts.same_floor_dirty = true;
  }
}

NodeLogCapture::NodeLogCapture(const std::string & log_path)
{
  if (!log_path.empty()) {
    file_.open(log_path, std::ios::out | std::ios::trunc);
    if (!file_) {
      throw std::runtime_error("cannot write the node's log to " + log_path);
    }
  }
  NodeLogCapture * expected = nullptr;
  if (!g_capture.compare_exchange_strong(expected, this)) {
    throw std::logic_error("the node's log is already being captured");
  }
  // Initialise first: a later automatic initialisation would put the console handler back.
  if (rcutils_logging_initialize() != RCUTILS_RET_OK) {
    rcutils_reset_error();
  }
  previous_handler_ = rcutils_logging_get_output_handler();
  rcutils_logging_set_output_handler(&captureHandler);
}

NodeLogCapture::~NodeLogCapture()
{
  rcutils_logging_set_output_handler(previous_handler_);
  g_capture.store(nullptr);
}

void NodeLogCapture::beginFrame(FrameLogFacts * facts)
{
  t_frame = facts;
}

void NodeLogCapture::endFrame()
{
  t_frame = nullptr;
}

void NodeLogCapture::record(int severity, const char * name, const std::string & text)
{
  if (t_frame != nullptr) {
    applyLogLine(text, *t_frame);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  ++lines_;
  if (severity >= RCUTILS_LOG_SEVERITY_WARN) {
    ++warnings_;
  }
  if (file_.is_open()) {
    file_ << '[' << severityName(severity) << "] [" << (name != nullptr ? name : "") << "]: " <<
      text << '\n';
  }
}

std::size_t NodeLogCapture::warningCount() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return warnings_;
}

std::size_t NodeLogCapture::lineCount() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

}  // namespace velmora_sim
