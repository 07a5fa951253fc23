#include "sim/scenarios.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <utility>
#include <vector>

namespace velmora_sim
{

namespace
{

constexpr double kRoomWidth = 7.5;
constexpr double kRoomHeight = 5.2;
constexpr double kZoneSplitX1 = 2.5;
constexpr double kZoneSplitX2 = 5.0;
constexpr double kZoneSplitY = 2.6;
// Lanes run along x this far from the side walls, the first and the last this far from the
// bottom and top walls; the spacing is a little less than the front camera's 1 m wide patch.
constexpr double kLaneMarginX = 0.6;
constexpr double kLaneMarginY = 0.7;
constexpr double kLaneSpacing = 0.9;
constexpr double kDriveSpeed = 0.35;       // m/s
constexpr double kTurnRate = CV_PI / 3.0;  // rad/s
constexpr double kStartupIdle = 0.4;       // s
constexpr double kPauseDuration = 2.0;     // s
// Stains keep off the walls: this much bare floor between a wall and a stain's reach.
constexpr double kWallClearance = 0.3;
constexpr int kPlacementTries = 200;

struct Share
{
  double weight;
  double low;   // radius range in metres, or unused for kinds
  double high;
};

// What a room run's stains are like: kind weights (dirt, water, stubborn) and size classes.
struct StainMix
{
  std::array<double, 3> kind_weights;
  std::vector<Share> sizes;
};

// Drops of 3-8 cm, splashes of 8-20 cm, spills of 20-40 cm across.
const StainMix kRealisticMix{{0.35, 0.40, 0.25},
  {{0.55, 0.015, 0.04}, {0.30, 0.04, 0.10}, {0.15, 0.10, 0.20}}};
const StainMix kHardMix{{0.25, 0.60, 0.15},
  {{0.75, 0.015, 0.04}, {0.20, 0.04, 0.10}, {0.05, 0.10, 0.20}}};

std::vector<FloorZone> zoneGrid(const std::array<FloorMaterial, 6> & materials)
{
  const std::array<double, 4> xs{0.0, kZoneSplitX1, kZoneSplitX2, kRoomWidth};
  const std::array<double, 3> ys{0.0, kZoneSplitY, kRoomHeight};
  std::vector<FloorZone> zones;
  for (std::size_t row = 0; row < 2; ++row) {
    for (std::size_t col = 0; col < 3; ++col) {
      zones.push_back(
        {materials[row * 3 + col],
          cv::Rect2d(xs[col], ys[row], xs[col + 1] - xs[col], ys[row + 1] - ys[row])});
    }
  }
  return zones;
}

Segment drive(double metres, const std::string & label, FsmStatus status = kCleaningStatus)
{
  return {Motion::drive, metres / kDriveSpeed, kDriveSpeed, status, label};
}

Segment turn(double radians)
{
  return {Motion::turn, std::abs(radians) / kTurnRate, std::copysign(kTurnRate, radians),
    kCleaningStatus, "turn"};
}

// Lanes along x up the whole room, a U-turn of two quarter turns between lanes, work paused on
// every other one.
Route coverageRoute(const WorldConfig & world)
{
  const double lane_length = world.width_m - 2.0 * kLaneMarginX;
  const int lanes = 1 + static_cast<int>(
    std::floor((world.height_m - 2.0 * kLaneMarginY) / kLaneSpacing + 1e-9));
  std::vector<Segment> segments{{Motion::still, kStartupIdle, 0.0, kIdleStatus,
      "waiting for work"}};
  for (int lane = 0; lane < lanes; ++lane) {
    segments.push_back(drive(lane_length, "lane " + std::to_string(lane + 1)));
    if (lane + 1 == lanes) {
      break;
    }
    // Rightward lanes turn left into the next, leftward ones right.
    const double quarter = lane % 2 == 0 ? CV_PI / 2.0 : -CV_PI / 2.0;
    segments.push_back(turn(quarter));
    segments.push_back(drive(kLaneSpacing / 2.0, "cross over"));
    if (lane % 2 == 0) {
      segments.push_back({Motion::still, kPauseDuration, 0.0, kPausedStatus, "pause"});
    }
    segments.push_back(drive(kLaneSpacing / 2.0, "cross over"));
    segments.push_back(turn(quarter));
  }
  return Route({kLaneMarginX, kLaneMarginY, 0.0}, std::move(segments));
}

template<typename Weights>
std::size_t pick(std::mt19937_64 & rng, const Weights & weights)
{
  std::discrete_distribution<std::size_t> choose(weights.begin(), weights.end());
  return choose(rng);
}

StainDesign drawStain(std::mt19937_64 & rng, const StainMix & mix)
{
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  StainDesign design;
  design.kind = static_cast<StainKind>(pick(rng, mix.kind_weights));
  std::vector<double> size_weights;
  for (const Share & size : mix.sizes) {
    size_weights.push_back(size.weight);
  }
  const Share & size = mix.sizes[pick(rng, size_weights)];
  design.radius = size.low + (size.high - size.low) * unit(rng);
  design.shape_seed = rng();
  return design;
}

// A stain's paint reaches about 1.6 radii (a smear's satellite drops).
double reach(const StainDesign & design)
{
  return 1.6 * design.radius;
}

// Somewhere on the floor, off the walls and clear of the stains already placed.
cv::Point2d placeStain(
  std::mt19937_64 & rng, const StainDesign & design, const WorldConfig & world,
  const std::vector<StainDesign> & placed)
{
  const double margin = kWallClearance + reach(design);
  std::uniform_real_distribution<double> along_x(margin, world.width_m - margin);
  std::uniform_real_distribution<double> along_y(margin, world.height_m - margin);
  cv::Point2d where;
  for (int attempt = 0; attempt < kPlacementTries; ++attempt) {
    where.x = along_x(rng);
    where.y = along_y(rng);
    const bool clear = std::none_of(
      placed.begin(), placed.end(), [&](const StainDesign & other) {
        return cv::norm(other.center - where) < reach(other) + reach(design) + 0.05;
      });
    if (clear) {
      break;
    }
  }
  return where;
}

std::vector<StainDesign> roomStains(
  std::mt19937_64 & rng, const StainMix & mix, const WorldConfig & world)
{
  std::uniform_int_distribution<int> count(30, 40);
  const int stains = count(rng);
  std::vector<StainDesign> designs;
  for (int index = 0; index < stains; ++index) {
    StainDesign design = drawStain(rng, mix);
    design.center = placeStain(rng, design, world, designs);
    designs.push_back(design);
  }
  return designs;
}

// Clouds dimming the sunlight and a lamp switched on for a while.
LightingOverTime changingLight(std::mt19937_64 & rng, double duration_s)
{
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  LightingOverTime lighting;
  lighting.drift_amplitude = 0.08;
  lighting.drift_period_s = 19.0;
  for (int change = 0; change < 3; ++change) {
    LightChange light;
    light.begin_s = 3.0 + (duration_s - 11.0) * unit(rng);
    light.end_s = light.begin_s + 3.0 + 6.0 * unit(rng);
    light.ramp_s = 0.5 + 1.5 * unit(rng);
    const bool cloud = unit(rng) < 0.6;
    const double strength = unit(rng);
    light.gain = cloud ? -(0.15 + 0.15 * strength) : 0.1 + 0.1 * strength;
    lighting.changes.push_back(light);
  }
  return lighting;
}

}  // namespace

std::string scenarioName(ScenarioKind kind)
{
  switch (kind) {
    case ScenarioKind::quick: return "default";
    case ScenarioKind::realistic: return "realistic";
    case ScenarioKind::hard: return "hard";
  }
  return "unknown";
}

std::optional<ScenarioKind> scenarioFromName(const std::string & name)
{
  for (ScenarioKind kind : {ScenarioKind::quick, ScenarioKind::realistic, ScenarioKind::hard}) {
    if (scenarioName(kind) == name) {
      return kind;
    }
  }
  return std::nullopt;
}

WorldConfig scenarioWorld(ScenarioKind kind, const WorldConfig & quick_world)
{
  if (kind == ScenarioKind::quick) {
    return quick_world;
  }
  WorldConfig world;
  world.width_m = kRoomWidth;
  world.height_m = kRoomHeight;
  world.varied_lighting = true;
  using M = FloorMaterial;
  world.zones = kind == ScenarioKind::realistic ?
    zoneGrid({M::tiles, M::dark_wood, M::concrete, M::dark_tiles, M::wood, M::dark_concrete}) :
    zoneGrid({M::dark_tiles, M::dark_wood, M::dark_concrete, M::dark_concrete, M::dark_tiles,
        M::dark_wood});
  return world;
}

Scenario buildScenario(
  ScenarioKind kind, uint64_t seed, double duration_s, const WorldConfig & world)
{
  if (kind == ScenarioKind::quick) {
    return buildScenario(seed, duration_s, world);
  }
  std::mt19937_64 rng(seed);
  Route route = coverageRoute(world);
  std::vector<StainDesign> stains =
    roomStains(rng, kind == ScenarioKind::realistic ? kRealisticMix : kHardMix, world);
  LightingOverTime lighting = changingLight(rng, route.duration());
  return {std::move(route), std::move(stains), std::move(lighting)};
}

double scenarioDuration(ScenarioKind kind, double quick_duration_s)
{
  if (kind == ScenarioKind::quick) {
    return quick_duration_s;
  }
  return coverageRoute(scenarioWorld(kind)).duration();
}

}  // namespace velmora_sim
