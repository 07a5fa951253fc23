#include "sim/route.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <stdexcept>
#include <utility>

namespace velmora_sim
{

namespace
{

constexpr double kDriveSpeed = 0.35;             // m/s, a cleaning pace
constexpr double kTurnRate = CV_PI / 3.0;        // rad/s
constexpr double kLaneLength = 3.6;              // m
constexpr double kLaneSpacing = 0.9;             // m, a little less than the brush width
constexpr double kStopAlongLane = 2.2;           // m from the lane start
constexpr double kStopDuration = 2.0;            // s
constexpr double kPauseDuration = 2.0;           // s
constexpr double kStartupIdle = 0.4;             // s before work starts
// Where the rear cameras look: a stain this far behind the stop lies in their floor patches.
constexpr double kRearPatchCentre = -0.95;
constexpr double kFirstLaneY = 1.5;
constexpr double kFirstLaneX = 3.0;

Segment driveFor(double metres, const std::string & label, FsmStatus status = kCleaningStatus)
{
  return {Motion::drive, metres / kDriveSpeed, kDriveSpeed, status, label};
}

Segment turnBy(double radians, const std::string & label)
{
  return {Motion::turn, std::abs(radians) / kTurnRate, std::copysign(kTurnRate, radians),
    kCleaningStatus, label};
}

Segment standFor(double seconds, FsmStatus status, const std::string & label)
{
  return {Motion::still, seconds, 0.0, status, label};
}

double normalisedAngle(double angle)
{
  return std::atan2(std::sin(angle), std::cos(angle));
}

// Lanes go up the room and, once at the top, back down: the next lane's y.
double nextLaneY(double y, double & step, const WorldConfig & world)
{
  const double top = world.height_m - 1.0;
  if (y + step > top || y + step < kFirstLaneY) {
    step = -step;
  }
  return y + step;
}

struct LanePlan
{
  Pose2D start;
  double heading{0.0};
  double next_y{0.0};
  bool pause{false};
};

void planLane(const LanePlan & lane, int index, std::vector<Segment> & segments)
{
  const std::string name = "lane " + std::to_string(index + 1);
  segments.push_back(driveFor(kStopAlongLane, name));
  segments.push_back(standFor(kStopDuration, kCleaningStatus, "stop over stain"));
  segments.push_back(driveFor(kLaneLength - kStopAlongLane, name));
  const double towards_next = lane.next_y > lane.start.y ? CV_PI / 2.0 : -CV_PI / 2.0;
  const double first_turn = normalisedAngle(towards_next - lane.heading);
  const double half_step = std::abs(lane.next_y - lane.start.y) / 2.0;
  segments.push_back(turnBy(first_turn, "turn"));
  segments.push_back(driveFor(half_step, "cross over"));
  if (lane.pause) {
    segments.push_back(standFor(kPauseDuration, kPausedStatus, "pause"));
  }
  segments.push_back(driveFor(half_step, "cross over"));
  segments.push_back(turnBy(normalisedAngle(lane.heading + CV_PI - towards_next), "turn"));
}

StainDesign stainAt(std::mt19937_64 & rng, StainKind kind, const cv::Point2d & where)
{
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  StainDesign design;
  design.kind = kind;
  design.center = where;
  switch (kind) {
    case StainKind::dirt: design.radius = 0.3 + 0.15 * unit(rng); break;
    case StainKind::water: design.radius = 0.12 + 0.08 * unit(rng); break;
    case StainKind::stubborn: design.radius = 0.13 + 0.08 * unit(rng); break;
  }
  design.shape_seed = rng();
  return design;
}

void plantLaneStains(
  std::mt19937_64 & rng, const LanePlan & lane, int index, std::vector<StainDesign> & stains)
{
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::array<StainKind, 3> kinds{StainKind::dirt, StainKind::water, StainKind::stubborn};
  std::shuffle(kinds.begin(), kinds.end(), rng);
  const auto along = [&](double distance, double lateral) {
      const Pose2D at{lane.start.x, lane.start.y, lane.heading};
      return toMap(at, {distance, lateral});
    };
  const auto lateral = [&](double reach) {return reach * (2.0 * unit(rng) - 1.0);};
  // Under the rear cameras while the robot stands at the stop.
  stains.push_back(
    stainAt(rng, kinds[0], along(kStopAlongLane + kRearPatchCentre, lateral(0.08))));
  // Ahead of the stop, in the front camera's patch while the robot stands.
  stains.push_back(stainAt(rng, kinds[1], along(kStopAlongLane + 1.35, lateral(0.2))));
  // Off to the side: the wider front patch sees more of it than the rear ones.
  stains.push_back(
    stainAt(rng, kinds[2], along(0.9 + 0.6 * unit(rng), std::copysign(0.5, lateral(1.0)))));
  // Every other lane starts with a stain passed by all three cameras; on the others the rear
  // cameras see clean floor until the stop.
  if (index % 2 == 1) {
    const StainKind kind = kinds[static_cast<std::size_t>(rng() % 3)];
    stains.push_back(stainAt(rng, kind, along(0.3 + 0.2 * unit(rng), lateral(0.15))));
  }
}

}  // namespace

double LightingOverTime::exposure(double offset, double t) const
{
  double change = 0.0;
  for (const LightChange & light : changes) {
    const double ramp = std::max(light.ramp_s, 1e-3);
    const double in = std::clamp((t - light.begin_s) / ramp, 0.0, 1.0);
    const double out = std::clamp((light.end_s - t) / ramp, 0.0, 1.0);
    change += light.gain * std::min(in, out);
  }
  return 1.0 + offset + drift_amplitude * std::sin(2.0 * CV_PI * t / drift_period_s) + change;
}

bool isWorking(const FsmStatus & status)
{
  return status.state == 2 && status.sub_state >= 3 && status.sub_state <= 6;
}

Route::Route(const Pose2D & start, std::vector<Segment> segments)
: segments_(std::move(segments))
{
  Pose2D pose = start;
  double t = 0.0;
  for (const Segment & segment : segments_) {
    if (segment.duration_s < 0.0) {
      throw std::invalid_argument("a route segment cannot last a negative time");
    }
    starts_.push_back(pose);
    begins_.push_back(t);
    t += segment.duration_s;
    ends_.push_back(t);
    if (segment.motion == Motion::drive) {
      const double distance = segment.rate * segment.duration_s;
      pose.x += distance * std::cos(pose.yaw);
      pose.y += distance * std::sin(pose.yaw);
    } else if (segment.motion == Motion::turn) {
      pose.yaw = normalisedAngle(pose.yaw + segment.rate * segment.duration_s);
    }
  }
  starts_.push_back(pose);
}

std::size_t Route::segmentIndex(double t) const
{
  const auto after = std::upper_bound(ends_.begin(), ends_.end(), t);
  return static_cast<std::size_t>(after - ends_.begin());
}

Pose2D Route::poseAt(double t) const
{
  const std::size_t index = segmentIndex(std::max(0.0, t));
  Pose2D pose = starts_[index];
  if (index >= segments_.size()) {
    return pose;
  }
  const Segment & segment = segments_[index];
  const double elapsed = std::max(0.0, t) - begins_[index];
  if (segment.motion == Motion::drive) {
    pose.x += segment.rate * elapsed * std::cos(pose.yaw);
    pose.y += segment.rate * elapsed * std::sin(pose.yaw);
  } else if (segment.motion == Motion::turn) {
    pose.yaw = normalisedAngle(pose.yaw + segment.rate * elapsed);
  }
  return pose;
}

FsmStatus Route::statusAt(double t) const
{
  if (segments_.empty()) {
    return kIdleStatus;
  }
  const std::size_t index = std::min(segmentIndex(std::max(0.0, t)), segments_.size() - 1);
  return segments_[index].status;
}

Scenario buildScenario(uint64_t seed, double duration_s, const WorldConfig & world)
{
  std::mt19937_64 rng(seed);
  std::vector<Segment> segments{standFor(kStartupIdle, kIdleStatus, "waiting for work")};
  std::vector<StainDesign> stains;
  double heading = 0.0;
  Pose2D start{kFirstLaneX, kFirstLaneY, heading};
  double planned = kStartupIdle;
  double step = kLaneSpacing;
  // Planning goes on a lane past the run's end, so that the cameras see stains to the last.
  for (int index = 0; planned <= duration_s + kLaneLength / kDriveSpeed; ++index) {
    LanePlan lane{start, heading, nextLaneY(start.y, step, world), index % 2 == 0};
    const std::size_t first = segments.size();
    planLane(lane, index, segments);
    plantLaneStains(rng, lane, index, stains);
    for (std::size_t i = first; i < segments.size(); ++i) {
      planned += segments[i].duration_s;
    }
    heading = normalisedAngle(heading + CV_PI);
    start = {start.x + kLaneLength * std::cos(lane.heading), lane.next_y, heading};
  }
  return {Route({kFirstLaneX, kFirstLaneY, 0.0}, std::move(segments)), std::move(stains), {}};
}

}  // namespace velmora_sim
