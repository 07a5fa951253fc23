#ifndef SIM__SIMULATOR_HPP_
#define SIM__SIMULATOR_HPP_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "builtin_interfaces/msg/time.hpp"
#include "geometry_msgs/msg/transform_stamped.hpp"
#include "sensor_msgs/msg/camera_info.hpp"
#include "sim/camera_rig.hpp"
#include "sim/recorder.hpp"
#include "sim/report.hpp"
#include "sim/scenarios.hpp"
#include "sim/world.hpp"

namespace velmora_sim
{

// A simulated cleaning run long enough for a stop over a stain, a turn and a pause in work.
constexpr double kDefaultDurationS = 20.0;
// A day of cleaning. Far longer runs never end: planning the quick run's lanes alone fills
// memory, and its stains would outgrow the 16-bit label raster.
constexpr double kMaxDurationS = 24.0 * 3600.0;
constexpr int kCameraRateHz = 30;
constexpr int kOdometryRateHz = 50;
constexpr int kStatusRateHz = 5;
// Stamps start here, so archive names look like those of a robot.
constexpr int64_t kEpochNs = 1700000000LL * 1000000000LL;

// How the in-process stand-in VLM answers: by its pixel rule; by what the region of the frame
// being judged holds (yes when a stain covers at least 1 % of it, as a VLM that is always right
// about what is in view would); or always no, so that only the classifier's sure verdicts flag.
enum class VlmAnswers { rule, truth, no };

std::string vlmAnswersName(VlmAnswers answers);  // "rule", "truth", "no"
std::optional<VlmAnswers> vlmAnswersFromName(const std::string & name);

// Side of the floor squares on which the truth-answering stand-in can be fooled.
constexpr double kVlmPlaceSide = 0.5;

// Whether the truth-answering stand-in, set to be fooled on `share` of the floor, takes the
// floor this camera sees in `region` (a map polygon) for a stain. The choice is fixed per run
// seed, camera and kVlmPlaceSide square of the map holding the region's centre, because a model
// fooled by the look of a floor keeps being fooled while it looks at that floor; mistakes drawn
// afresh for every frame would mostly be outvoted by the verdict history.
bool vlmFooledAt(
  uint64_t seed, CameraId camera, const std::vector<cv::Point2d> & region, double share);

struct SimOptions
{
  uint64_t seed{7};
  double duration_s{kDefaultDurationS};
  std::string out_dir{"."};
  std::vector<CameraId> cameras{kAllCameras.begin(), kAllCameras.end()};
  bool realtime{false};
  std::string vlm_url;  // empty: serve the stand-in VLM in-process
  VlmAnswers vlm_answers{VlmAnswers::rule};  // the in-process stand-in's
  // With truth answers: the share of floor places where it says yes on floor without a visible
  // stain (vlmFooledAt), 0 to 1.
  double vlm_false_yes{0.0};
  std::string engine_path;
  int clean_interval_s{0};
  ScenarioKind scenario{ScenarioKind::quick};
  int camera_rate_hz{kCameraRateHz};  // divides 150 and is at most 50
  WorldConfig world;  // the quick run's room; the other scenarios bring their own
  std::string record_path;  // empty: no recording; ".mcap": MCAP, else a sqlite3 bag directory
  bool record_compressed{false};  // cameras recorded as JPEG CompressedImage
};

struct SimProgress
{
  double sim_time_s{0.0};
  double duration_s{0.0};
  std::size_t frames_published{0};
  std::size_t frames_handled{0};  // delivered to the node and returned from its callback
};

struct SimOutcome
{
  SimReport report;
  std::vector<FrameRecord> frames;
  std::string report_path;
  std::string map_path;
  std::string log_path;
  std::size_t stale_archive_files_removed{0};
  std::size_t tf_waits_timed_out{0};
  std::optional<RecordingStats> recording;
  std::string truth_path;  // the recording's ground truth
};

// Builds the world, starts the node as it runs on the robot (engine and VLM given by the
// options), drives it with the robot's topics and writes the report, the map and the node's log
// under options.out_dir, the archive under options.out_dir + "/images".
SimOutcome runSimulation(
  const SimOptions & options, const std::function<void(const SimProgress &)> & progress = {});

// True for http(s) URLs whose host is loopback: localhost, 127.0.0.0/8 or [::1].
bool isLoopbackUrl(const std::string & url);

builtin_interfaces::msg::Time stampFromNanoseconds(int64_t nanoseconds);

// What the colour camera's driver publishes: K, no distortion, the optical frame.
sensor_msgs::msg::CameraInfo cameraInfo(
  CameraId camera, const builtin_interfaces::msg::Time & stamp);
// The static mount "base_footprint" -> optical frame of a colour camera.
geometry_msgs::msg::TransformStamped mountTransform(
  CameraId camera, const builtin_interfaces::msg::Time & stamp);

}  // namespace velmora_sim

#endif  // SIM__SIMULATOR_HPP_
