#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include <json/json.h>
#include <opencv2/imgproc.hpp>

#include "sim/camera_rig.hpp"
#include "sim/ground_truth.hpp"
#include "sim/scenarios.hpp"
#include "sim/simulator.hpp"
#include "sim/stain_scoring.hpp"
#include "sim/world.hpp"
#include "test_support.hpp"

namespace
{

using velmora_sim::ScenarioKind;
using velmora_sim::ScoredFrame;
using velmora_sim::StainInView;
using velmora_sim::TruthRule;
using velmora_water_stain::FloorClass;

// A stain filling a tenth of a 1 m2 region: shown under both truths.
StainInView plain(int id)
{
  return {id, 0.1, 0.1};
}

ScoredFrame frame(
  const std::string & camera, double t, bool flagged, std::vector<StainInView> stains,
  bool judged = true, bool vlm_judged = false)
{
  return {camera, t, judged, flagged, std::move(stains), vlm_judged};
}

const std::vector<velmora_sim::StainLabel> kStains{
  {1, "water"}, {2, "dirt"}, {3, "stubborn"}, {4, "water"}};

TEST(StainScoring, SeenFoundAndTheDelayFromFirstSightToDetection)
{
  // Out of time order on purpose: the scoring sorts by time.
  const std::vector<ScoredFrame> frames{
    frame("front", 0.3, true, {plain(1)}),
    frame("rear", 0.1, false, {plain(1), plain(2)}),
    frame("front", 0.2, false, {plain(1)}),
    frame("rear", 0.4, false, {plain(2)}),
    frame("front", 0.5, true, {plain(1)}),
    // Stain 3 only in a frame the node never judged (gated): not seen.
    frame("rear", 0.6, false, {plain(3)}, false),
  };
  const auto outcomes = velmora_sim::scoreStains(kStains, frames, TruthRule::area);
  ASSERT_EQ(outcomes.size(), 4u);
  EXPECT_TRUE(outcomes[0].seen);
  EXPECT_TRUE(outcomes[0].found);
  EXPECT_EQ(outcomes[0].frames_to_detection, 2u);
  EXPECT_DOUBLE_EQ(*outcomes[0].first_seen_s, 0.1);
  EXPECT_DOUBLE_EQ(*outcomes[0].first_found_s, 0.3);
  EXPECT_TRUE(outcomes[1].seen);
  EXPECT_FALSE(outcomes[1].found);
  EXPECT_FALSE(outcomes[1].first_found_s.has_value());
  EXPECT_EQ(outcomes[1].frames_to_detection, 0u);  // never detected: no delay in the report
  EXPECT_FALSE(outcomes[2].seen);
  EXPECT_FALSE(outcomes[3].seen);

  const auto all = velmora_sim::tallyStains(outcomes);
  EXPECT_EQ(all.stains, 4u);
  EXPECT_EQ(all.seen, 2u);
  EXPECT_EQ(all.found, 1u);
  EXPECT_DOUBLE_EQ(*all.recall, 0.5);
  EXPECT_DOUBLE_EQ(*all.frames_to_detection_median, 2.0);
  EXPECT_NEAR(all.seconds_to_detection_max, 0.2, 1e-12);
  const auto water = velmora_sim::tallyStains(outcomes, "water");
  EXPECT_EQ(water.stains, 2u);
  EXPECT_EQ(water.found, 1u);
  EXPECT_FALSE(velmora_sim::tallyStains(outcomes, "stubborn").recall.has_value());

  // Per camera: the rear camera saw stain 1 but never flagged it.
  const auto score = velmora_sim::scoreRun(
    kStains, frames, TruthRule::area, {"dirt", "water", "stubborn"}, {"rear", "front"});
  EXPECT_EQ(score.by_camera.at("rear").seen, 2u);
  EXPECT_EQ(score.by_camera.at("rear").found, 0u);
  EXPECT_EQ(score.by_camera.at("front").seen, 1u);
  EXPECT_EQ(score.by_camera.at("front").found, 1u);
  EXPECT_EQ(score.by_camera.at("front").frames_to_detection_max, 1u);
  EXPECT_EQ(score.by_kind.at("dirt").seen, 1u);
}

TEST(StainScoring, TruthRulesDecideWhetherAFrameShowsAStain)
{
  const StainInView small_share{1, 5e-4, 0.005};   // 5 cm2 of a 1 m2 region
  const StainInView corner{1, 1e-4, 0.0002};       // a few pixels
  const StainInView tiny_region{1, 3e-4, 0.02};    // 3 cm2, but of a small region
  EXPECT_TRUE(velmora_sim::shows(small_share, TruthRule::area));
  EXPECT_FALSE(velmora_sim::shows(small_share, TruthRule::visible));
  EXPECT_FALSE(velmora_sim::shows(corner, TruthRule::area));
  EXPECT_FALSE(velmora_sim::shows(corner, TruthRule::visible));
  EXPECT_FALSE(velmora_sim::shows(tiny_region, TruthRule::area));
  EXPECT_TRUE(velmora_sim::shows(tiny_region, TruthRule::visible));
  // The thresholds themselves count, as in the frames' own truth.
  EXPECT_TRUE(velmora_sim::shows({1, velmora_sim::kMinStainArea, 0.0}, TruthRule::area));
  EXPECT_TRUE(velmora_sim::shows({1, 0.0, velmora_sim::kMinPatchShare}, TruthRule::visible));

  // A stain only ever glimpsed at a corner is not a miss under the visibility truth.
  const std::vector<ScoredFrame> frames{
    frame("rear", 0.0, false, {small_share}), frame("rear", 0.1, false, {corner})};
  const std::vector<velmora_sim::StainLabel> one{{1, "water"}};
  EXPECT_TRUE(velmora_sim::scoreStains(one, frames, TruthRule::area)[0].seen);
  EXPECT_FALSE(velmora_sim::scoreStains(one, frames, TruthRule::visible)[0].seen);
}

TEST(StainScoring, FalseAlarmsAreFlagsOnJudgedStainFreeFrames)
{
  const std::vector<ScoredFrame> frames{
    frame("rear", 0.0, true, {}),
    frame("rear", 0.1, false, {}, true, true),
    frame("front", 0.2, true, {}, true, true),
    frame("front", 0.3, false, {}),
    // A flag on a stain's corner is not a false alarm, nor is an unjudged frame counted.
    frame("front", 0.4, true, {{1, 1e-5, 1e-5}}),
    frame("front", 0.5, false, {}, false),
  };
  const auto all = velmora_sim::countFalseAlarms(frames);
  EXPECT_EQ(all.stain_free_judged, 4u);
  EXPECT_EQ(all.alarms, 2u);
  EXPECT_DOUBLE_EQ(*all.rate, 0.5);
  // Only a flag the VLM gave counts as its alarm, not a clean answer it gave.
  EXPECT_EQ(all.judged_by_vlm, 1u);
  EXPECT_DOUBLE_EQ(*velmora_sim::countFalseAlarms(frames, {"rear"}).rate, 0.5);
  EXPECT_EQ(velmora_sim::countFalseAlarms(frames, {"rear"}).judged_by_vlm, 0u);
  EXPECT_DOUBLE_EQ(*velmora_sim::countFalseAlarms(frames, {"front"}).rate, 0.5);
  EXPECT_FALSE(velmora_sim::countFalseAlarms(frames, {"fisheye"}).rate.has_value());
}

std::vector<cv::Point2d> square(double x, double y, double half)
{
  return {{x + half, y + half}, {x - half, y + half}, {x - half, y - half}, {x + half, y - half}};
}

TEST(StainScoring, RegionTruthGivesEachStainsShareOfTheRegion)
{
  velmora_sim::World world(velmora_sim::floorOfSize(3.0, 3.0), 5);
  // About 60 cm2 of water: dirty by area, but under 1 % of a 1 m2 region.
  world.addStain({velmora_sim::StainKind::water, {1.0, 1.0}, 0.045, 1});
  world.addStain({velmora_sim::StainKind::stubborn, {2.2, 2.2}, 0.15, 2});
  const auto puddle = velmora_sim::regionTruth(world, square(1.0, 1.0, 0.5));
  EXPECT_NEAR(puddle.region_m2, 1.0, 1e-9);
  EXPECT_EQ(puddle.floor_class, FloorClass::dirty);
  EXPECT_EQ(puddle.visible_class, FloorClass::clean);
  ASSERT_EQ(puddle.stains.size(), 1u);
  EXPECT_NEAR(puddle.stains[0].patch_share, puddle.stains[0].area_m2, 1e-12);
  // The same puddle fills a small region.
  EXPECT_EQ(velmora_sim::regionTruth(world, square(1.0, 1.0, 0.1)).visible_class, FloorClass::dirty);
  // A sliver two pixels deep into the smear's leftmost column: listed, but no stain under
  // either truth.
  cv::Mat smear_pixels;
  cv::findNonZero(world.labels() == 2, smear_pixels);
  const int leftmost = cv::boundingRect(smear_pixels).x;
  const double sliver_edge = (leftmost + 2) * world.resolution();
  const auto corner = velmora_sim::regionTruth(world, square(sliver_edge - 0.5, 2.2, 0.5));
  ASSERT_EQ(corner.stains.size(), 1u);
  EXPECT_LT(corner.stains[0].area_m2, velmora_sim::kMinStainArea);
  EXPECT_EQ(corner.floor_class, FloorClass::clean);
  EXPECT_EQ(corner.visible_class, FloorClass::clean);
  const auto smear = velmora_sim::regionTruth(world, square(2.2, 2.2, 0.5));
  EXPECT_EQ(smear.visible_class, FloorClass::stubborn);
}

struct Room
{
  velmora_sim::WorldConfig config;
  velmora_sim::Scenario scenario;
};

Room room(ScenarioKind kind, uint64_t seed)
{
  const auto config = velmora_sim::scenarioWorld(kind);
  return {config, velmora_sim::buildScenario(
      kind, seed, velmora_sim::scenarioDuration(kind, 20.0), config)};
}

TEST(Scenarios, RoomRunsPlantManyMostlySmallStainsOnTheFloorAndOffTheWalls)
{
  for (ScenarioKind kind : {ScenarioKind::realistic, ScenarioKind::hard}) {
    std::size_t small = 0;
    std::size_t water = 0;
    std::size_t total = 0;
    for (uint64_t seed = 100; seed < 110; ++seed) {
      SCOPED_TRACE(velmora_sim::scenarioName(kind) + " seed " + std::to_string(seed));
      const Room run = room(kind, seed);
      const auto & stains = run.scenario.stains;
      EXPECT_GE(stains.size(), 30u);
      EXPECT_LE(stains.size(), 40u);
      for (const auto & stain : stains) {
        EXPECT_GE(stain.radius, 0.015);  // 3 cm drops
        EXPECT_LE(stain.radius, 0.2);    // to 40 cm spills
        const double reach = 1.6 * stain.radius + 0.3;
        EXPECT_GE(stain.center.x, reach);
        EXPECT_LE(stain.center.x, run.config.width_m - reach);
        EXPECT_GE(stain.center.y, reach);
        EXPECT_LE(stain.center.y, run.config.height_m - reach);
        small += stain.radius < 0.04 ? 1 : 0;
        water += stain.kind == velmora_sim::StainKind::water ? 1 : 0;
      }
      total += stains.size();
    }
    EXPECT_GT(small, total / 2);
    if (kind == ScenarioKind::hard) {
      EXPECT_GT(water, total / 2);
    }
  }
  // Painted, no stain pixel comes near a wall, and the hard room's floors are all dark.
  for (ScenarioKind kind : {ScenarioKind::realistic, ScenarioKind::hard}) {
    const Room run = room(kind, 101);
    velmora_sim::World world(run.config, 101);
    for (const auto & stain : run.scenario.stains) {
      world.addStain(stain);
      if (kind == ScenarioKind::hard) {
        EXPECT_EQ(world.materialAt(stain.center).rfind("dark", 0), 0u);
      }
    }
    const int band = static_cast<int>(0.25 / world.resolution());
    const cv::Mat & labels = world.labels();
    const cv::Rect inner(band, band, labels.cols - 2 * band, labels.rows - 2 * band);
    cv::Mat near_wall = labels.clone();
    near_wall(inner).setTo(0);
    EXPECT_EQ(cv::countNonZero(near_wall), 0);
    EXPECT_GT(cv::countNonZero(labels(inner)), 0);
  }
}

TEST(Scenarios, RoomRouteCoversTheFloorInLanesWithTurnsAndPauses)
{
  const Room run = room(ScenarioKind::realistic, 100);
  const auto & route = run.scenario.route;
  EXPECT_GT(route.duration(), 100.0);
  EXPECT_LT(route.duration(), 140.0);
  // Everything the cameras' floor rectangles pass over, on a 5 cm grid.
  constexpr double kCell = 0.05;
  cv::Mat covered = cv::Mat::zeros(
    cvCeil(run.config.height_m / kCell), cvCeil(run.config.width_m / kCell), CV_8U);
  int turns = 0;
  int pauses = 0;
  for (const auto & segment : route.segments()) {
    turns += segment.motion == velmora_sim::Motion::turn ? 1 : 0;
    pauses += segment.status.state == 2 && !velmora_sim::isWorking(segment.status) ? 1 : 0;
  }
  for (double t = 0.0; t <= route.duration(); t += 0.2) {
    const auto pose = route.poseAt(t);
    EXPECT_GT(pose.x, 0.3);
    EXPECT_LT(pose.x, run.config.width_m - 0.3);
    EXPECT_GT(pose.y, 0.3);
    EXPECT_LT(pose.y, run.config.height_m - 0.3);
    for (auto camera : velmora_sim::kAllCameras) {
      std::vector<cv::Point> cells;
      for (const auto & corner : velmora_sim::regionOnMap(
          pose, velmora_sim::cameraDesign(camera).floor_rectangle))
      {
        cells.emplace_back(cvRound(corner.x / kCell), cvRound(corner.y / kCell));
      }
      cv::fillConvexPoly(covered, cells, cv::Scalar(255));
    }
  }
  const int margin = cvRound(0.3 / kCell);
  const cv::Mat floor = covered(
    cv::Rect(margin, margin, covered.cols - 2 * margin, covered.rows - 2 * margin));
  EXPECT_GT(cv::countNonZero(floor), 0.97 * static_cast<double>(floor.total()));
  EXPECT_GE(turns, 8);
  EXPECT_GE(pauses, 2);
}

TEST(Scenarios, QuickRunKeepsItsWorldAndNamesParse)
{
  velmora_sim::WorldConfig own;
  own.width_m = 5.0;
  EXPECT_DOUBLE_EQ(velmora_sim::scenarioWorld(ScenarioKind::quick, own).width_m, 5.0);
  EXPECT_TRUE(velmora_sim::scenarioWorld(ScenarioKind::quick).zones.empty());
  const auto quick = velmora_sim::buildScenario(ScenarioKind::quick, 7, 20.0, {});
  const auto today = velmora_sim::buildScenario(7, 20.0, {});
  ASSERT_EQ(quick.stains.size(), today.stains.size());
  EXPECT_EQ(quick.stains.front().shape_seed, today.stains.front().shape_seed);
  EXPECT_TRUE(quick.lighting.changes.empty());
  EXPECT_DOUBLE_EQ(velmora_sim::scenarioDuration(ScenarioKind::quick, 20.0), 20.0);
  for (ScenarioKind kind : {ScenarioKind::quick, ScenarioKind::realistic, ScenarioKind::hard}) {
    EXPECT_EQ(velmora_sim::scenarioFromName(velmora_sim::scenarioName(kind)), kind);
  }
  EXPECT_FALSE(velmora_sim::scenarioFromName("easy").has_value());
  // A passing cloud dims the light between its ramps and leaves it as it was.
  velmora_sim::LightingOverTime light;
  light.drift_amplitude = 0.0;
  light.changes.push_back({10.0, 20.0, 2.0, -0.3});
  EXPECT_DOUBLE_EQ(light.exposure(0.0, 5.0), 1.0);
  EXPECT_DOUBLE_EQ(light.exposure(0.0, 11.0), 0.85);
  EXPECT_DOUBLE_EQ(light.exposure(0.0, 15.0), 0.7);
  EXPECT_DOUBLE_EQ(light.exposure(0.0, 25.0), 1.0);
}

TEST(Scenarios, ShortRunOfEachRoomScenarioScoresEveryStain)
{
  for (ScenarioKind kind : {ScenarioKind::realistic, ScenarioKind::hard}) {
    SCOPED_TRACE(velmora_sim::scenarioName(kind));
    test_support::TemporaryDirectory out;
    velmora_sim::SimOptions options;
    options.scenario = kind;
    options.seed = 100;
    options.duration_s = 0.5;
    options.out_dir = out.path();
    options.engine_path = std::string(VELMORA_SOURCE_DIR) + "/test/models/floor_colour.onnx";
    const auto outcome = velmora_sim::runSimulation(options);
    EXPECT_GT(outcome.report.overall.judged, 0u);
    ASSERT_EQ(outcome.report.stain_scores.size(), 2u);
    const auto & area = outcome.report.stain_scores[0];
    EXPECT_GE(area.overall.stains, 30u);
    EXPECT_EQ(area.by_camera.size(), 3u);
    EXPECT_EQ(outcome.report.false_alarms.count("all"), 1u);

    std::ifstream report_file(outcome.report_path);
    Json::Value report;
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), report_file, &report, nullptr));
    EXPECT_EQ(report["run"]["scenario"].asString(), velmora_sim::scenarioName(kind));
    EXPECT_EQ(report["stain_level"]["area"]["overall"]["stains"].asUInt64(), area.overall.stains);
    EXPECT_EQ(report["stain_level"]["visible"]["stains"].size(), area.stains.size());
    EXPECT_TRUE(report["overall"].isMember("confusion_visible"));
    EXPECT_EQ(report["stains"].size(), area.stains.size());
  }
}

}  // namespace
