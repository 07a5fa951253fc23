#ifndef SIM__STAIN_SCORING_HPP_
#define SIM__STAIN_SCORING_HPP_

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

// Scores a run per stain rather than per frame: a cleaning robot needs every stain found once
// and no phantom stains. Works on plain per-frame records carrying stain identities, so that
// anything with labelled stains (the simulator, a replay of labelled recordings) can use it.
namespace velmora_sim
{

// How much of one stain a judged floor region holds.
struct StainInView
{
  int stain_id{0};
  double area_m2{0.0};
  double patch_share{0.0};  // of the region's area, 0..1
};

struct ScoredFrame
{
  std::string camera;
  double time_s{0.0};
  bool judged{false};
  bool flagged{false};  // judged dirty or stubborn
  std::vector<StainInView> stains;  // every stain with any part in the region
  bool vlm_judged{false};  // its own judgement was the VLM's answer, the classifier being unsure
};

struct StainLabel
{
  int id{0};
  std::string kind;  // "dirt", "water", "stubborn"
};

// When a frame counts as showing a stain.
enum class TruthRule
{
  area,     // the stain covers at least kMinStainArea of the region
  visible,  // the stain covers at least kMinPatchShare of the region
};

// A few square centimetres, so that a crumb or the rim of a puddle at the region's edge does
// not count.
constexpr double kMinStainArea = 4e-4;
// A share of the patch the classifier can be expected to notice: a corner of a few pixels is not
// a miss.
constexpr double kMinPatchShare = 0.01;

std::string truthRuleName(TruthRule rule);
bool shows(const StainInView & stain, TruthRule rule);

struct StainOutcome
{
  int id{0};
  std::string kind;
  bool seen{false};   // some judged frame showed it
  bool found{false};  // some frame that showed it was flagged
  std::optional<double> first_seen_s;
  std::optional<double> first_found_s;
  // Judged frames showing it before the first flagged one (0: flagged at first sight, or never).
  std::size_t frames_to_detection{0};
};

// Each stain's outcome over the frames of `cameras` (all cameras when empty), frames in any
// order.
std::vector<StainOutcome> scoreStains(
  const std::vector<StainLabel> & stains, const std::vector<ScoredFrame> & frames,
  TruthRule rule, const std::vector<std::string> & cameras = {});

struct StainTally
{
  std::size_t stains{0};
  std::size_t seen{0};
  std::size_t found{0};
  std::optional<double> recall;  // found of seen
  // Over the found stains: median and worst judged frames and seconds from sight to detection.
  std::optional<double> frames_to_detection_median;
  std::size_t frames_to_detection_max{0};
  std::optional<double> seconds_to_detection_median;
  double seconds_to_detection_max{0.0};
};

// Tallies the outcomes of one kind (all kinds when empty).
StainTally tallyStains(const std::vector<StainOutcome> & outcomes, const std::string & kind = {});

// Flagged frames whose region holds no stain at all, as a share of such judged frames.
struct FalseAlarms
{
  std::size_t stain_free_judged{0};
  std::size_t alarms{0};
  std::optional<double> rate;
  // Of the alarms, those on frames the VLM judged: tells the classifier's share from the VLM's.
  std::size_t judged_by_vlm{0};
};

FalseAlarms countFalseAlarms(
  const std::vector<ScoredFrame> & frames, const std::vector<std::string> & cameras = {});

struct StainScore
{
  TruthRule rule{TruthRule::area};
  std::vector<StainOutcome> stains;  // over all cameras
  StainTally overall;
  std::map<std::string, StainTally> by_kind;
  std::map<std::string, StainTally> by_camera;
};

// The whole stain-level score under one truth rule; `kinds` and `cameras` name the rows.
StainScore scoreRun(
  const std::vector<StainLabel> & stains, const std::vector<ScoredFrame> & frames,
  TruthRule rule, const std::vector<std::string> & kinds,
  const std::vector<std::string> & cameras);

}  // namespace velmora_sim

#endif  // SIM__STAIN_SCORING_HPP_
