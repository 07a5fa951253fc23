#ifndef SIM__ROUTE_HPP_
#define SIM__ROUTE_HPP_

#include <cstdint>
#include <string>
#include <vector>

#include "sim/world.hpp"

namespace velmora_sim
{

// What the task centre reports on "/fsm_status".
struct FsmStatus
{
  int32_t state{0};
  int32_t sub_state{0};
};

constexpr FsmStatus kIdleStatus{1, 0};
constexpr FsmStatus kCleaningStatus{2, 4};
constexpr FsmStatus kPausedStatus{2, 7};

bool isWorking(const FsmStatus & status);

enum class Motion
{
  still,  // standing: idle, stopped over a stain or paused
  drive,  // straight ahead at `rate` m/s
  turn,   // on the spot at `rate` rad/s, positive to the left
};

struct Segment
{
  Motion motion{Motion::still};
  double duration_s{0.0};
  double rate{0.0};
  FsmStatus status{kCleaningStatus};
  std::string label;
};

// A robot's run as a sequence of segments from a start pose; after the last segment the robot
// stands where it ended, with the last status.
class Route
{
public:
  Route(const Pose2D & start, std::vector<Segment> segments);

  Pose2D poseAt(double t) const;
  FsmStatus statusAt(double t) const;
  double duration() const {return ends_.empty() ? 0.0 : ends_.back();}
  const std::vector<Segment> & segments() const {return segments_;}

private:
  std::size_t segmentIndex(double t) const;

  std::vector<Segment> segments_;
  std::vector<Pose2D> starts_;
  std::vector<double> begins_;
  std::vector<double> ends_;
};

// A passing cloud or a lamp switched on: the light changes by `gain` between `begin_s` and
// `end_s`, ramping in and out over `ramp_s`.
struct LightChange
{
  double begin_s{0.0};
  double end_s{0.0};
  double ramp_s{1.0};
  double gain{0.0};
};

// How the light over the whole room changes with time, as the cameras' exposure sees it.
struct LightingOverTime
{
  double drift_amplitude{0.05};
  double drift_period_s{23.0};
  std::vector<LightChange> changes;

  // The exposure of a camera whose own exposure differs by `offset`.
  double exposure(double offset, double t) const;
};

// The cleaning run: lanes of a boustrophedon with a stop over a stain on each lane and a pause
// in work on every other U-turn, and the stains planted where the cameras will pass.
struct Scenario
{
  Route route;
  std::vector<StainDesign> stains;
  LightingOverTime lighting;
};

// The route is long enough for `duration_s`; stains and their kinds follow from `seed`.
Scenario buildScenario(uint64_t seed, double duration_s, const WorldConfig & world);

}  // namespace velmora_sim

#endif  // SIM__ROUTE_HPP_
