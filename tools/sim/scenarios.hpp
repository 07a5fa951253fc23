#ifndef SIM__SCENARIOS_HPP_
#define SIM__SCENARIOS_HPP_

#include <cstdint>
#include <optional>
#include <string>

#include "sim/route.hpp"
#include "sim/world.hpp"

namespace velmora_sim
{

// The named runs: `quick` is the short demo (a lane and a turn past a few large stains on light
// floors); `realistic` covers a whole room with many stains, mostly small, on light and dark
// floors under changing light and glare; `hard` is that room with dark floors only and mostly
// small, translucent stains.
enum class ScenarioKind
{
  quick,
  realistic,
  hard,
};

std::string scenarioName(ScenarioKind kind);  // "default", "realistic", "hard"
std::optional<ScenarioKind> scenarioFromName(const std::string & name);

// The room of a scenario; `quick` keeps `quick_world`.
WorldConfig scenarioWorld(ScenarioKind kind, const WorldConfig & quick_world = {});

// Route, stains and light of a scenario in `world` (from scenarioWorld); stains and light follow
// from `seed`. The quick run's route is as long as `duration_s`; the room runs have a fixed
// route covering the room, after which the robot stands.
Scenario buildScenario(
  ScenarioKind kind, uint64_t seed, double duration_s, const WorldConfig & world);

// Simulated seconds a run of the scenario takes unless told otherwise: the room runs' route,
// `quick_duration_s` for the quick run.
double scenarioDuration(ScenarioKind kind, double quick_duration_s);

}  // namespace velmora_sim

#endif  // SIM__SCENARIOS_HPP_
