#ifndef SIM__REPORT_HPP_
#define SIM__REPORT_HPP_

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <json/json.h>
#include <opencv2/core.hpp>

#include "sim/camera_rig.hpp"
#include "sim/ground_truth.hpp"
#include "sim/node_log.hpp"
#include "sim/route.hpp"
#include "sim/stain_scoring.hpp"
#include "sim/world.hpp"

namespace velmora_sim
{

// One camera frame handed to the node, what the floor under it held and what the node made
// of it.
struct FrameRecord
{
  CameraId camera{CameraId::rear};
  int32_t stamp_sec{0};
  uint32_t stamp_nanosec{0};
  double sim_time{0.0};
  Pose2D pose;
  std::vector<cv::Point2d> region;  // the camera's floor rectangle on the map
  RegionTruth truth;
  bool received{false};
  double callback_ms{0.0};
  double callback_cpu_ms{0.0};  // the executor thread's CPU time in the callback
  FrameLogFacts log;
  std::optional<velmora_water_stain::FloorClass> verdict;
  bool verdict_archived{false};  // false: a clean verdict the clean throttle held back
  bool vlm_archived{false};

  // The archive's file name for this frame: "<sec>.<nanosec>.jpg".
  std::string fileName() const;
  bool judged() const {return verdict.has_value();}
};

// Reads each frame's verdict back from the archive under `image_dir`. With `clean_throttled`, a
// frame that passed the node's gates without leaving a verdict file is taken as a clean verdict
// whose file the throttle held back.
void readVerdicts(
  const std::string & image_dir, bool clean_throttled, std::vector<FrameRecord> & frames);

// Files per archive category under `image_dir` (all twelve categories, zero when missing).
std::map<std::string, std::size_t> countArchive(const std::string & image_dir);

struct LatencyStats
{
  std::size_t count{0};
  double median_ms{0.0};
  double p95_ms{0.0};
};

LatencyStats latencyStats(std::vector<double> samples_ms);

struct CameraReport
{
  std::string name;
  std::size_t published{0};
  std::size_t received{0};
  std::size_t judged{0};
  std::size_t dropped{0};
  std::size_t gated{0};
  std::array<std::size_t, 3> verdicts{};       // clean, dirty, stubborn
  std::size_t clean_not_archived{0};
  std::size_t vlm_calls{0};
  std::size_t vlm_yes{0};
  std::size_t vlm_failed{0};
  std::size_t same_floor_dirty{0};
  std::array<std::array<std::size_t, 3>, 3> confusion{};  // [truth][verdict]
  std::optional<double> precision;  // of dirty-or-stubborn verdicts
  std::optional<double> recall;
  // The same under the visibility truth (stains covering at least kMinPatchShare of the region).
  std::array<std::array<std::size_t, 3>, 3> confusion_visible{};
  std::optional<double> precision_visible;
  std::optional<double> recall_visible;
  LatencyStats callback;         // every delivered message
  LatencyStats judged_callback;  // messages that were judged
  LatencyStats callback_cpu;     // the same two in CPU time of the executor's thread
  LatencyStats judged_callback_cpu;
  LatencyStats mobilenet;        // the node's "mobilenet takes"
  LatencyStats internvl;         // the node's "internvl takes"
};

// Tallies the frames of the cameras in `cameras` (all of them for an empty filter) into one
// report; `dropped` is the number of messages the subscriptions discarded.
CameraReport tallyFrames(
  const std::string & name, const std::vector<FrameRecord> & frames,
  const std::vector<CameraId> & cameras, std::size_t dropped);

struct RunInfo
{
  uint64_t seed{0};
  double duration_s{0.0};
  std::vector<std::string> cameras;
  bool realtime{false};
  std::string vlm_url;
  bool vlm_stub{true};
  std::string vlm_answers;  // how the in-process stand-in answered (vlmAnswersName)
  double vlm_false_yes{0.0};  // with truth answers: the share of the floor it was fooled on
  std::string engine_path;
  std::string scenario;
  int clean_interval_s{0};
  double wall_time_s{0.0};
  // A signal stopped the run before its end: the report covers only what ran.
  bool interrupted{false};
  std::size_t log_lines{0};
  std::size_t log_warnings{0};
  std::size_t vlm_stub_requests{0};
  // The node's own resident memory: what constructing it added to the process, and what the
  // process gave back once it was destroyed at the end of the run.
  double node_resident_at_start_mb{0.0};
  double node_resident_at_end_mb{0.0};
  double process_peak_resident_mb{0.0};
  // CPU seconds over a real-time run: the node's executor thread, and the whole process (the
  // simulator's rendering and publishing, the tf listener and the VLM stand-in as well).
  double node_thread_cpu_s{0.0};
  double process_cpu_s{0.0};
  // The machine's load average (1 min) when the run started and ended: other work shares the cores.
  double load_average_at_start{0.0};
  double load_average_at_end{0.0};
};

struct SimReport
{
  RunInfo info;
  std::vector<CameraReport> cameras;
  CameraReport overall;
  std::map<std::string, std::size_t> archive;
  std::vector<StainScore> stain_scores;  // one per truth rule: area, visible
  std::map<std::string, FalseAlarms> false_alarms;  // per camera name and "all"
};

// The frames and stains as the stain-level scoring takes them.
std::vector<ScoredFrame> scoredFrames(const std::vector<FrameRecord> & frames);
std::vector<StainLabel> stainLabels(const World & world);

// Fills the report's stain-level scores (both truth rules, by kind and by the cameras of
// report.info) and false alarms.
void scoreStainLevel(
  const World & world, const std::vector<FrameRecord> & frames, SimReport & report);
// The same with the stains given by their labels (a recording's ground truth).
void scoreStainLevel(
  const std::vector<StainLabel> & labels, const std::vector<FrameRecord> & frames,
  SimReport & report);
// The stain-level scores and false alarms under "stain_level" and "false_alarms" of `root`.
void addStainLevelJson(Json::Value & root, const SimReport & report);
// The stain-level table of the printed summary.
std::string stainLevelTable(const SimReport & report);

void writeReportJson(
  const std::string & path, const SimReport & report, const World & world,
  const std::vector<FrameRecord> & frames);

// The floor with the stains outlined by kind, each judged floor region outlined in its
// verdict's colour and the robot's path.
cv::Mat drawMap(
  const World & world, const Route & route, double duration_s,
  const std::vector<FrameRecord> & frames);

std::string summaryTable(const SimReport & report);

}  // namespace velmora_sim

#endif  // SIM__REPORT_HPP_
