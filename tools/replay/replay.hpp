#ifndef REPLAY__REPLAY_HPP_
#define REPLAY__REPLAY_HPP_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bag/bag.hpp"
#include "rclcpp/parameter.hpp"
#include "replay/labels.hpp"
#include "sim/camera_rig.hpp"
#include "sim/report.hpp"
#include "sim/truth_sidecar.hpp"

namespace velmora_replay
{

// A replay that must not start: a needed message definition is missing, a topic has the wrong
// type, an option makes no sense. The text is one line.
class ReplayError : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

struct ReplayOptions
{
  std::string bag;
  std::string out_dir{"."};
  std::vector<std::pair<std::string, std::string>> remaps;  // bag topic -> node topic
  std::vector<velmora_sim::CameraId> cameras{
    velmora_sim::kAllCameras.begin(), velmora_sim::kAllCameras.end()};
  double start_s{0.0};                 // window start, seconds after the bag's first message
  std::optional<double> duration_s;    // window length; to the bag's end without it
  bool realtime{false};
  std::vector<rclcpp::Parameter> parameters;  // node parameters, applied last
  std::string vlm_url;                 // empty: the loopback stand-in
  std::string engine_path;
  std::string status_definition_file;  // .msg of the status type when the bag carries none
  bool always_working{false};
  std::string labels_file;
  // A simulated recording's ground truth; empty: the sidecar beside the bag when there is one
  // (velmora_sim::truthSidecarPath) and no labels are given.
  std::string truth_file;
};

// What one bag topic is to the node.
enum class TopicRole {ignored, image, compressed_image, camera_info, tf, tf_static, status};

struct TopicPlan
{
  std::string bag_topic;
  std::string node_topic;  // after remapping
  std::string type;
  TopicRole role{TopicRole::ignored};
  velmora_sim::CameraId camera{velmora_sim::CameraId::rear};
  uint64_t in_bag{0};
  uint64_t delivered{0};
  uint64_t skipped{0};  // bad messages, outside the window or of cameras not judged
};

// A message that could not be given to the node, and why.
struct SkippedMessage
{
  std::string topic;
  std::string location;
  std::string reason;
};

struct ReplayFrame
{
  velmora_sim::FrameRecord record;
  int64_t bag_time_ns{0};
  std::string topic;
  std::optional<velmora_water_stain::FloorClass> label;
  bool has_truth{false};  // record.truth holds the recording's ground truth
};

struct ReplayProgress
{
  double bag_time_s{0.0};  // into the window
  double window_s{0.0};
  std::size_t frames_delivered{0};
  std::size_t frames_handled{0};
};

struct ReplayOutcome
{
  std::string storage;
  std::vector<TopicPlan> topics;
  std::vector<SkippedMessage> skipped;  // bad messages and damaged parts of the bag
  std::vector<ReplayFrame> frames;
  std::map<velmora_sim::CameraId, std::size_t> dropped;
  velmora_sim::SimReport report;
  bool labelled{false};
  std::string truth_path;  // the ground truth scored against, when there was one
  double window_s{0.0};
  std::size_t tf_waits_timed_out{0};
  std::vector<velmora_sim::StainLabel> truth_stains;
  std::vector<std::string> notes;  // why frames were not judged, in a sentence each
  std::string report_path;
  std::string map_path;
  std::string log_path;
};

// Plans which bag topics feed which node topics (after remapping); throws ReplayError for a
// topic whose type does not fit its node topic or a status type without a usable definition.
std::vector<TopicPlan> planTopics(
  const std::vector<velmora_bag::TopicInfo> & topics, const ReplayOptions & options);

// Feeds the bag through the node in-process and writes report.json, map.png, node.log and the
// archive under options.out_dir. Throws velmora_bag::BagError when the bag cannot be opened and
// ReplayError when it must not start.
ReplayOutcome runReplay(
  const ReplayOptions & options, const std::function<void(const ReplayProgress &)> & progress = {});

}  // namespace velmora_replay

#endif  // REPLAY__REPLAY_HPP_
