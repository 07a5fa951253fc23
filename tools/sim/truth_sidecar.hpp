#ifndef SIM__TRUTH_SIDECAR_HPP_
#define SIM__TRUTH_SIDECAR_HPP_

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "sim/camera_rig.hpp"
#include "sim/ground_truth.hpp"
#include "sim/report.hpp"
#include "sim/stain_scoring.hpp"
#include "sim/world.hpp"

// The ground truth of a recorded simulated run, in a JSON file beside the bag: the stains with
// their kinds and outlines, and for every camera frame the floor region it showed and what that
// region held. A replay of the recording is scored with it exactly as the run was. It also
// carries the status type's definition, which Humble's sqlite3 storage has no place for.
namespace velmora_sim
{

class TruthError : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

struct FrameTruth
{
  double time_s{0.0};  // simulated seconds since the run's start
  std::vector<cv::Point2d> region;
  RegionTruth truth;
};

struct RecordedTruth
{
  uint64_t seed{0};
  std::string scenario;
  std::vector<StainLabel> stains;
  std::map<std::pair<CameraId, int64_t>, FrameTruth> frames;  // by camera and header stamp (ns)
  // ros2msg text of the recorded types a Humble sqlite3 bag cannot carry itself (the status).
  std::map<std::string, std::string> message_definitions;
};

// Throws TruthError when the file cannot be written.
void writeTruthSidecar(
  const std::string & path, const World & world, const RunInfo & info,
  const std::vector<FrameRecord> & frames);

// Throws TruthError naming the file and what is wrong.
RecordedTruth readTruthSidecar(const std::string & path);

int64_t stampNanoseconds(int32_t sec, uint32_t nanosec);

}  // namespace velmora_sim

#endif  // SIM__TRUTH_SIDECAR_HPP_
