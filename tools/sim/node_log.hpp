#ifndef SIM__NODE_LOG_HPP_
#define SIM__NODE_LOG_HPP_

#include <array>
#include <cstddef>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>

#include "rcutils/logging.h"

namespace velmora_sim
{

// What the node's log lines tell about one frame it was handed.
struct FrameLogFacts
{
  bool gated{false};              // not working or not calibrated
  bool no_pose{false};            // the robot pose lookup failed
  bool conversion_failed{false};  // the image could not be converted
  std::optional<int> vlm_answer;  // 1, 0 or -1 when the VLM was asked
  std::optional<double> internvl_ms;
  std::optional<double> mobilenet_ms;
  std::optional<std::array<double, 3>> scores;
  bool same_floor_dirty{false};   // "dirty iou: ..., all ones"
  std::size_t lines{0};
};

// Folds one formatted log line of the node into the facts of the frame it belongs to.
void applyLogLine(const std::string & text, FrameLogFacts & facts);

// Captures everything logged through rcutils while it lives: every line goes to `log_path`
// (when given) instead of the terminal, and lines logged on the thread that runs a frame's
// callback, between beginFrame and endFrame, are folded into that frame's facts.
class NodeLogCapture
{
public:
  explicit NodeLogCapture(const std::string & log_path);
  ~NodeLogCapture();

  NodeLogCapture(const NodeLogCapture &) = delete;
  NodeLogCapture & operator=(const NodeLogCapture &) = delete;

  void beginFrame(FrameLogFacts * facts);
  void endFrame();

  // Lines seen at warning level or above.
  std::size_t warningCount() const;
  std::size_t lineCount() const;

  // Called by the rcutils output handler.
  void record(int severity, const char * name, const std::string & text);

private:
  mutable std::mutex mutex_;
  std::ofstream file_;
  std::size_t lines_{0};
  std::size_t warnings_{0};
  rcutils_logging_output_handler_t previous_handler_{nullptr};
};

}  // namespace velmora_sim

#endif  // SIM__NODE_LOG_HPP_
