#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <json/json.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "log_capture.hpp"
#include "rclcpp/rclcpp.hpp"
#include "sim/command_line.hpp"
#include "sim/ground_truth.hpp"
#include "sim/node_log.hpp"
#include "sim/report.hpp"
#include "sim/route.hpp"
#include "sim/simulator.hpp"
#include "sim/world.hpp"
#include "test_support.hpp"
#include "tf2/buffer_core.h"
#include "velmora_water_stain/geometry.hpp"
#include "velmora_water_stain/water_stain_node.hpp"

namespace
{

using velmora_sim::CameraId;
using velmora_sim::Pose2D;
using velmora_water_stain::FloorClass;

cv::Point2d toBase(const Pose2D & pose, const cv::Point2d & map_point)
{
  const double c = std::cos(pose.yaw);
  const double s = std::sin(pose.yaw);
  const cv::Point2d d = map_point - cv::Point2d(pose.x, pose.y);
  return {c * d.x + s * d.y, -s * d.x + c * d.y};
}

// Where a base_footprint floor point lands in the upright patch of a rectangle: corner 1 is the
// patch's top-left, corner 0 its top-right, corner 2 its bottom-left.
cv::Point2d patchPixel(
  const std::vector<cv::Point3f> & corners, cv::Size patch, const cv::Point2d & point)
{
  const cv::Point2d c0(corners[0].x, corners[0].y);
  const cv::Point2d c1(corners[1].x, corners[1].y);
  const cv::Point2d c2(corners[2].x, corners[2].y);
  const cv::Point2d across = c0 - c1;
  const cv::Point2d down = c2 - c1;
  return {patch.width * (point - c1).dot(across) / across.dot(across),
    patch.height * (point - c1).dot(down) / down.dot(down)};
}

// Centre of the stain's recorded pixels, on the map.
cv::Point2d stainCentroid(const velmora_sim::World & world, int id)
{
  const cv::Moments moments = cv::moments(world.labels() == id, true);
  return world.toMapPoint({moments.m10 / moments.m00, moments.m01 / moments.m00});
}

// Centre of the clearly dark pixels of the patch near `around`.
cv::Point2d darkCentroid(const cv::Mat & patch, const cv::Point2d & around, int reach)
{
  cv::Mat grey;
  cv::cvtColor(patch, grey, cv::COLOR_BGR2GRAY);
  const cv::Rect window = cv::Rect(
    cvRound(around.x) - reach, cvRound(around.y) - reach, 2 * reach, 2 * reach) &
    cv::Rect(0, 0, grey.cols, grey.rows);
  cv::Mat sorted = grey.reshape(1, 1).clone();
  cv::sort(sorted, sorted, cv::SORT_ASCENDING);
  const double median = sorted.at<uint8_t>(0, sorted.cols / 2);
  const cv::Mat dark = grey(window) < 0.55 * median;
  const cv::Moments moments = cv::moments(dark, true);
  if (moments.m00 == 0.0) {
    return {-1.0, -1.0};
  }
  return cv::Point2d(moments.m10 / moments.m00, moments.m01 / moments.m00) +
         cv::Point2d(window.tl());
}

// The colour camera's floor quadrilateral from what the simulator publishes: its CameraInfo and
// its static mount, looked up on tf as the node does.
std::vector<cv::Point2f> pinholeQuadrilateral(CameraId camera)
{
  const auto stamp = velmora_sim::stampFromNanoseconds(velmora_sim::kEpochNs);
  tf2::BufferCore buffer;
  buffer.setTransform(velmora_sim::mountTransform(camera, stamp), "test", true);
  const auto camera_from_base = buffer.lookupTransform(
    velmora_sim::cameraDesign(camera).optical_frame, "base_footprint", tf2::TimePointZero);
  auto info = velmora_sim::cameraInfo(camera, stamp);
  const cv::Mat K(3, 3, CV_64F, info.k.data());
  const auto quadrilateral = velmora_water_stain::projectFloorRectangle(
    K, camera_from_base, velmora_sim::cameraDesign(camera).floor_rectangle);
  EXPECT_TRUE(quadrilateral.ok()) << quadrilateral.error();
  return quadrilateral.ok() ? *quadrilateral : std::vector<cv::Point2f>{};
}

struct StainPlacement
{
  CameraId camera;
  cv::Point2d base_point;
};

TEST(SimulatedCameras, StainAppearsInTheNodesFloorPatchWhereTheGeometrySaysItShould)
{
  test_support::ensureRclcppInit();
  test_support::TemporaryDirectory archive;
  test_support::LogCapture quiet;
  rclcpp::NodeOptions options;
  options.parameter_overrides(
    {rclcpp::Parameter("engine_path", archive / "none.onnx"),
      rclcpp::Parameter("image_dir", archive.path())});
  const auto node = std::make_shared<WaterStainNode>(options);

  const Pose2D pose{2.2, 1.6, 0.5};
  const std::vector<StainPlacement> placements{
    {CameraId::rear, {-0.7, 0.15}},
    {CameraId::rear, {-1.15, -0.12}},
    {CameraId::front, {1.5, 0.25}},
    {CameraId::front, {1.1, -0.3}},
    {CameraId::fisheye, {-1.0, -0.1}},
    {CameraId::fisheye, {-0.8, 0.12}},
  };
  for (const StainPlacement & placement : placements) {
    const auto & design = velmora_sim::cameraDesign(placement.camera);
    SCOPED_TRACE(design.name + " at " + std::to_string(placement.base_point.x) + ", " +
      std::to_string(placement.base_point.y));
    // All ceramic tiles: a light floor on which the dark stain stands out.
    velmora_sim::World world(velmora_sim::floorOfSize(4.4, 4.0), 3);
    const int id = world.addStain(
      {velmora_sim::StainKind::stubborn, velmora_sim::toMap(pose, placement.base_point), 0.05,
        11});
    cv::Mat frame = velmora_sim::FloorCamera::forCamera(placement.camera).render(world, pose, 1.0);
    cv::Mat patch;
    if (placement.camera == CameraId::fisheye) {
      patch = velmora_water_stain::rectifyFloorPatch(
        node->undistortFisheye(frame), node->projectFisheyeRegion());
    } else {
      patch = velmora_water_stain::rectifyFloorPatch(frame, pinholeQuadrilateral(placement.camera));
    }
    const cv::Point2d expected = patchPixel(
      design.floor_rectangle, patch.size(), toBase(pose, stainCentroid(world, id)));
    const cv::Point2d seen = darkCentroid(patch, expected, 70);
    EXPECT_LT(cv::norm(seen - expected), 1.5) << "seen " << seen << ", expected " << expected;
  }
}

TEST(SimulatedCameras, ColourCamerasSeeTheirWholeFloorRectangle)
{
  for (CameraId camera : {CameraId::rear, CameraId::front}) {
    SCOPED_TRACE(velmora_sim::cameraDesign(camera).name);
    for (const cv::Point2f & corner : pinholeQuadrilateral(camera)) {
      EXPECT_TRUE(cv::Rect2f(0.0f, 0.0f, 640.0f, 480.0f).contains(corner)) << corner;
    }
  }
}

TEST(GroundTruth, RegionClassFollowsTheStainAreaItCovers)
{
  velmora_sim::World world(velmora_sim::floorOfSize(3.0, 3.0), 5);
  world.addStain({velmora_sim::StainKind::water, {1.0, 1.0}, 0.15, 1});
  world.addStain({velmora_sim::StainKind::stubborn, {2.2, 1.0}, 0.12, 2});
  // A drop too small to count.
  world.addStain({velmora_sim::StainKind::water, {1.0, 2.3}, 0.006, 3});
  const auto square = [](double x, double y, double half) {
      return std::vector<cv::Point2d>{
        {x + half, y + half}, {x - half, y + half}, {x - half, y - half}, {x + half, y - half}};
    };
  struct Case
  {
    std::vector<cv::Point2d> region;
    FloorClass expected;
  };
  const std::vector<Case> cases{
    {square(1.0, 2.3, 0.4), FloorClass::clean},
    {square(1.0, 1.0, 0.4), FloorClass::dirty},
    {square(2.2, 1.0, 0.4), FloorClass::stubborn},
    // Both stains: stubborn wins.
    {square(1.6, 1.0, 0.8), FloorClass::stubborn},
  };
  for (std::size_t index = 0; index < cases.size(); ++index) {
    SCOPED_TRACE("case " + std::to_string(index));
    EXPECT_EQ(velmora_sim::regionTruth(world, cases[index].region).floor_class,
      cases[index].expected);
  }
  const auto both = velmora_sim::regionTruth(world, square(1.6, 1.0, 0.8));
  EXPECT_EQ(both.stain_ids, (std::vector<int>{1, 2}));
  EXPECT_NEAR(both.water_m2, world.stains()[0].area_m2, 1e-9);
  const auto drop = velmora_sim::regionTruth(world, square(1.0, 2.3, 0.4));
  EXPECT_EQ(drop.stain_ids, (std::vector<int>{3}));
  EXPECT_GT(drop.water_m2, 0.0);
}

TEST(Scenario, RunStopsOverAStainTurnsAndPausesWork)
{
  const velmora_sim::WorldConfig config;
  const auto scenario = velmora_sim::buildScenario(7, velmora_sim::kDefaultDurationS, config);
  const auto & route = scenario.route;
  bool stopped_while_working = false;
  bool turned = false;
  bool paused = false;
  double stop_time = -1.0;
  double t = 0.0;
  for (const velmora_sim::Segment & segment : route.segments()) {
    const bool within_default_run = t < velmora_sim::kDefaultDurationS;
    const double middle = t + segment.duration_s / 2.0;
    if (within_default_run && segment.label == "stop over stain") {
      stopped_while_working = velmora_sim::isWorking(segment.status);
      stop_time = middle;
    }
    turned |= within_default_run && segment.motion == velmora_sim::Motion::turn;
    paused |= within_default_run && segment.status.state == 2 &&
      !velmora_sim::isWorking(segment.status);
    t += segment.duration_s;
  }
  EXPECT_TRUE(stopped_while_working);
  EXPECT_TRUE(turned);
  EXPECT_TRUE(paused);
  EXPECT_TRUE(velmora_sim::isWorking(route.statusAt(velmora_sim::kDefaultDurationS)));

  // At the stop the rear cameras look at a planted stain.
  velmora_sim::World world(config, 7);
  for (const auto & stain : scenario.stains) {
    world.addStain(stain);
  }
  const auto & rear = velmora_sim::cameraDesign(CameraId::rear).floor_rectangle;
  EXPECT_NE(velmora_sim::regionTruth(world, velmora_sim::regionOnMap(route.poseAt(stop_time), rear))
    .floor_class, FloorClass::clean);
  // Standing still means the same pose throughout the stop.
  const Pose2D a = route.poseAt(stop_time - 0.5);
  const Pose2D b = route.poseAt(stop_time + 0.5);
  EXPECT_DOUBLE_EQ(a.x, b.x);
  EXPECT_DOUBLE_EQ(a.y, b.y);
}

TEST(Scenario, RoutePoseFollowsDrivesTurnsAndStops)
{
  using velmora_sim::Motion;
  const velmora_sim::Route route(
    {1.0, 2.0, 0.0},
    {{Motion::drive, 2.0, 0.5, velmora_sim::kCleaningStatus, "drive"},
      {Motion::turn, 1.0, CV_PI / 2.0, velmora_sim::kCleaningStatus, "turn"},
      {Motion::still, 1.0, 0.0, velmora_sim::kPausedStatus, "pause"},
      {Motion::drive, 2.0, 0.25, velmora_sim::kCleaningStatus, "drive"}});
  struct Case
  {
    double t;
    Pose2D expected;
    bool working;
  };
  const std::vector<Case> cases{
    {0.0, {1.0, 2.0, 0.0}, true},
    {1.0, {1.5, 2.0, 0.0}, true},
    {2.5, {2.0, 2.0, CV_PI / 4.0}, true},
    {3.5, {2.0, 2.0, CV_PI / 2.0}, false},
    {5.0, {2.0, 2.25, CV_PI / 2.0}, true},
    // After the last segment the robot stays where it ended.
    {9.0, {2.0, 2.5, CV_PI / 2.0}, true},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE("t = " + std::to_string(c.t));
    const Pose2D pose = route.poseAt(c.t);
    EXPECT_NEAR(pose.x, c.expected.x, 1e-9);
    EXPECT_NEAR(pose.y, c.expected.y, 1e-9);
    EXPECT_NEAR(pose.yaw, c.expected.yaw, 1e-9);
    EXPECT_EQ(velmora_sim::isWorking(route.statusAt(c.t)), c.working);
  }
}

TEST(NodeLog, LinesFoldIntoTheFactsOfTheirFrame)
{
  velmora_sim::FrameLogFacts facts;
  for (const char * line : {
      "softmax_output: 0.100000, 0.200000, 0.700000",
      "mobilenet result not sure: is there any dirt or water stain in the image? answer yes or no.",
      "fish internvl result: 1, internvl takes: 12.500000 ms",
      "mobilenet takes: 7.250000 ms",
      "dirty iou: 0.950000 , all ones, 12.7.jpg"})
  {
    velmora_sim::applyLogLine(line, facts);
  }
  ASSERT_TRUE(facts.scores.has_value());
  EXPECT_DOUBLE_EQ((*facts.scores)[2], 0.7);
  EXPECT_EQ(facts.vlm_answer, 1);
  EXPECT_DOUBLE_EQ(facts.internvl_ms.value_or(0.0), 12.5);
  EXPECT_DOUBLE_EQ(facts.mobilenet_ms.value_or(0.0), 7.25);
  EXPECT_TRUE(facts.same_floor_dirty);
  EXPECT_FALSE(facts.gated);
  EXPECT_EQ(facts.lines, 5u);

  velmora_sim::FrameLogFacts rejected;
  velmora_sim::applyLogLine("result: -1, internvl takes: 4000.100000 ms", rejected);
  velmora_sim::applyLogLine("working status wrong or no intrinsic", rejected);
  velmora_sim::applyLogLine(
    "Could not transform 'map' to 'base_footprint': \"map\" passed to lookupTransform", rejected);
  EXPECT_EQ(rejected.vlm_answer, -1);
  EXPECT_TRUE(rejected.gated);
  EXPECT_TRUE(rejected.no_pose);
}

TEST(NodeLog, CaptureFilesEveryLineAndCreditsTheFrameBeingHandled)
{
  test_support::TemporaryDirectory directory;
  const rclcpp::Logger logger = rclcpp::get_logger("WaterStainNode");
  velmora_sim::FrameLogFacts frame;
  {
    velmora_sim::NodeLogCapture capture(directory / "node.log");
    RCLCPP_WARN(logger, "status: %d, %d", 2, 4);
    capture.beginFrame(&frame);
    RCLCPP_INFO(logger, "result: %d, internvl takes: %f ms", 0, 3.5);
    capture.endFrame();
    RCLCPP_INFO(logger, "working status wrong or no intrinsic");
    EXPECT_EQ(capture.lineCount(), 3u);
    EXPECT_EQ(capture.warningCount(), 1u);
  }
  EXPECT_EQ(frame.lines, 1u);
  EXPECT_EQ(frame.vlm_answer, 0);
  EXPECT_FALSE(frame.gated);
  std::ifstream file(directory / "node.log");
  std::string first;
  std::getline(file, first);
  EXPECT_EQ(first, "[WARN] [WaterStainNode]: status: 2, 4");
}

velmora_sim::FrameRecord judgedFrame(
  CameraId camera, FloorClass truth, std::optional<FloorClass> verdict, double callback_ms)
{
  velmora_sim::FrameRecord frame;
  frame.camera = camera;
  frame.received = true;
  frame.truth.floor_class = truth;
  frame.verdict = verdict;
  frame.verdict_archived = verdict.has_value();
  frame.callback_ms = callback_ms;
  return frame;
}

TEST(Report, TalliesConfusionPrecisionRecallAndLatency)
{
  std::vector<velmora_sim::FrameRecord> frames{
    judgedFrame(CameraId::rear, FloorClass::dirty, FloorClass::dirty, 10.0),
    judgedFrame(CameraId::rear, FloorClass::stubborn, FloorClass::dirty, 20.0),
    judgedFrame(CameraId::rear, FloorClass::clean, FloorClass::stubborn, 30.0),
    judgedFrame(CameraId::rear, FloorClass::dirty, FloorClass::clean, 40.0),
    judgedFrame(CameraId::rear, FloorClass::clean, std::nullopt, 1.0),
    judgedFrame(CameraId::front, FloorClass::clean, FloorClass::clean, 5.0),
  };
  frames[4].log.gated = true;
  frames.push_back(judgedFrame(CameraId::rear, FloorClass::dirty, std::nullopt, 0.0));
  frames.back().received = false;
  for (auto & frame : frames) {
    frame.truth.visible_class = frame.truth.floor_class;
  }
  // The first frame's stain covers enough area but too little of the patch to be visible.
  frames[0].truth.visible_class = FloorClass::clean;

  const auto rear = velmora_sim::tallyFrames("rear", frames, {CameraId::rear}, 1);
  EXPECT_EQ(rear.published, 6u);
  EXPECT_EQ(rear.received, 5u);
  EXPECT_EQ(rear.judged, 4u);
  EXPECT_EQ(rear.gated, 1u);
  EXPECT_EQ(rear.dropped, 1u);
  EXPECT_EQ(rear.confusion[1][1], 1u);
  EXPECT_EQ(rear.confusion[2][1], 1u);
  EXPECT_EQ(rear.confusion[0][2], 1u);
  EXPECT_EQ(rear.confusion[1][0], 1u);
  // Dirty-or-stubborn: 2 of 3 such verdicts right, 2 of 3 stained floors found.
  EXPECT_DOUBLE_EQ(rear.precision.value_or(0.0), 2.0 / 3.0);
  EXPECT_DOUBLE_EQ(rear.recall.value_or(0.0), 2.0 / 3.0);
  EXPECT_EQ(rear.confusion_visible[0][1], 1u);
  EXPECT_EQ(rear.confusion_visible[1][1], 0u);
  EXPECT_DOUBLE_EQ(rear.precision_visible.value_or(0.0), 1.0 / 3.0);
  EXPECT_DOUBLE_EQ(rear.recall_visible.value_or(0.0), 1.0 / 2.0);
  EXPECT_EQ(rear.callback.count, 5u);
  EXPECT_DOUBLE_EQ(rear.callback.median_ms, 20.0);
  EXPECT_DOUBLE_EQ(rear.callback.p95_ms, 40.0);

  const auto all = velmora_sim::tallyFrames("all", frames, {}, 1);
  EXPECT_EQ(all.judged, 5u);
  EXPECT_EQ(all.verdicts[0], 2u);

  const auto front = velmora_sim::tallyFrames("front", frames, {CameraId::front}, 0);
  EXPECT_FALSE(front.precision.has_value());
  EXPECT_FALSE(front.recall.has_value());
}

TEST(Report, VerdictsComeFromTheArchiveAndThrottledCleansAreInferred)
{
  test_support::TemporaryDirectory images;
  const auto frameAt = [](CameraId camera, uint32_t nanosec, bool gated) {
      velmora_sim::FrameRecord frame;
      frame.camera = camera;
      frame.stamp_sec = 12;
      frame.stamp_nanosec = nanosec;
      frame.received = true;
      frame.log.gated = gated;
      return frame;
    };
  std::vector<velmora_sim::FrameRecord> frames{
    frameAt(CameraId::front, 7, false), frameAt(CameraId::fisheye, 7, false),
    frameAt(CameraId::rear, 8, false), frameAt(CameraId::rear, 9, true)};
  for (const char * file : {"dirty_front/12.7.jpg", "internvl_front/12.7.jpg",
      "stubborn_fish/12.7.jpg"})
  {
    const std::filesystem::path path = std::filesystem::path(images.path()) / file;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << "jpeg";
  }
  velmora_sim::readVerdicts(images.path(), false, frames);
  EXPECT_EQ(frames[0].verdict, FloorClass::dirty);
  EXPECT_TRUE(frames[0].vlm_archived);
  EXPECT_EQ(frames[1].verdict, FloorClass::stubborn);
  EXPECT_FALSE(frames[1].vlm_archived);
  EXPECT_FALSE(frames[2].verdict.has_value());
  // With the clean throttle on, a frame past the gates without a file was judged clean.
  velmora_sim::readVerdicts(images.path(), true, frames);
  EXPECT_EQ(frames[2].verdict, FloorClass::clean);
  EXPECT_FALSE(frames[2].verdict_archived);
  EXPECT_FALSE(frames[3].verdict.has_value());
  const auto counts = velmora_sim::countArchive(images.path());
  EXPECT_EQ(counts.size(), 12u);
  EXPECT_EQ(counts.at("dirty_front"), 1u);
  EXPECT_EQ(counts.at("clean"), 0u);
}

TEST(CommandLine, ParsesOptionsAndRefusesWhatCannotWork)
{
  using velmora_sim::parseCommandLine;
  const auto command = parseCommandLine(
    {"--seed", "3", "--frames=60", "--out", "/tmp/x", "--cameras", "front,rear", "--realtime",
      "--vlm-url", "http://127.0.0.1:8080", "--clean-interval", "3"},
    "model.onnx");
  EXPECT_EQ(command.options.seed, 3u);
  EXPECT_DOUBLE_EQ(command.options.duration_s, 2.0);
  EXPECT_EQ(command.options.out_dir, "/tmp/x");
  EXPECT_EQ(command.options.cameras, (std::vector<CameraId>{CameraId::front, CameraId::rear}));
  EXPECT_TRUE(command.options.realtime);
  EXPECT_EQ(command.options.engine_path, "model.onnx");
  EXPECT_EQ(command.options.clean_interval_s, 3);
  EXPECT_EQ(command.options.scenario, velmora_sim::ScenarioKind::quick);

  // A room scenario runs its whole route unless told otherwise.
  const auto room = parseCommandLine({"--scenario", "hard"}, "model.onnx");
  EXPECT_EQ(room.options.scenario, velmora_sim::ScenarioKind::hard);
  EXPECT_DOUBLE_EQ(
    room.options.duration_s,
    velmora_sim::scenarioDuration(velmora_sim::ScenarioKind::hard, velmora_sim::kDefaultDurationS));
  EXPECT_DOUBLE_EQ(
    parseCommandLine({"--scenario=realistic", "--frames", "30"}, "").options.duration_s, 1.0);
  EXPECT_DOUBLE_EQ(parseCommandLine({}, "").options.duration_s, velmora_sim::kDefaultDurationS);
  EXPECT_EQ(parseCommandLine({}, "").options.vlm_answers, velmora_sim::VlmAnswers::rule);
  EXPECT_EQ(
    parseCommandLine({"--vlm-answers", "truth"}, "").options.vlm_answers,
    velmora_sim::VlmAnswers::truth);
  EXPECT_DOUBLE_EQ(
    parseCommandLine({"--vlm-answers", "truth", "--vlm-false-yes", "0.1"}, "").options
    .vlm_false_yes, 0.1);

  for (const std::vector<std::string> & wrong : std::vector<std::vector<std::string>>{
      {"--vlm-url", "http://vlm.example.invalid:32771"},
      {"--vlm-url", "http://127.0.0.1.example.com:80"},
      {"--cameras", "left"},
      {"--frames", "0"},
      {"--duration", "-1"},
      {"--frames", "30", "--duration", "2"},
      {"--seed"},
      {"--scenario", "easy"},
      {"--vlm-answers", "maybe"},
      {"--vlm-answers", "no", "--vlm-url", "http://127.0.0.1:8080"},
      // Only the truth-answering stand-in can be fooled, and only on a share of the floor.
      {"--vlm-false-yes", "0.1"},
      {"--vlm-answers", "no", "--vlm-false-yes", "0.1"},
      {"--vlm-answers", "truth", "--vlm-false-yes", "1.5"},
      {"--vlm-answers", "truth", "--vlm-false-yes", "-0.1"},
      {"--vlm-answers", "truth", "--vlm-false-yes", "nan"},
      // Past the range of an int: must not wrap round to 0 (a division by it) or to 30, -1.
      {"--camera-rate", "4294967296"},
      {"--camera-rate", "4294967326"},
      {"--clean-interval", "4294967295"},
      // Runs that could not finish: planning their route alone fills memory.
      {"--duration", "1e18"},
      {"--frames", "9223372036854775807"},
      {"--colour"}})
  {
    EXPECT_THROW(parseCommandLine(wrong, "model.onnx"), std::invalid_argument) << wrong[0];
  }

  struct UrlCase
  {
    const char * url;
    bool loopback;
  };
  for (const UrlCase & url : std::vector<UrlCase>{
      {"http://127.0.0.1:32771", true}, {"http://localhost:8000/v1", true},
      {"http://[::1]:9", true}, {"http://127.255.0.9", true}, {"http://127.0.0.256:1", false},
      {"http://vlm.example.invalid:32771", false}, {"ftp://127.0.0.1", false},
      {"http://localhost.evil:1", false}})
  {
    EXPECT_EQ(velmora_sim::isLoopbackUrl(url.url), url.loopback) << url.url;
  }
}

TEST(SimulatedRun, NodeJudgesEveryCameraAndTheReportAgreesWithTheArchive)
{
  test_support::TemporaryDirectory out;
  velmora_sim::SimOptions options;
  options.duration_s = 1.0;
  options.out_dir = out.path();
  // A tiny model keeps the run short; it is unsure of grey floors, so the VLM is asked too.
  options.engine_path = std::string(VELMORA_SOURCE_DIR) + "/test/models/floor_colour.onnx";
  const velmora_sim::SimOutcome outcome = velmora_sim::runSimulation(options);

  const auto archive = velmora_sim::countArchive(out / "images");
  ASSERT_EQ(outcome.report.cameras.size(), 3u);
  for (const auto & camera : outcome.report.cameras) {
    SCOPED_TRACE(camera.name);
    const std::string suffix = camera.name == "rear" ? "" :
      (camera.name == "front" ? "_front" : "_fish");
    EXPECT_EQ(camera.published, 30u);
    EXPECT_EQ(camera.received, camera.published);
    EXPECT_EQ(camera.dropped, 0u);
    EXPECT_GT(camera.judged, 0u);
    EXPECT_EQ(archive.at("clean" + suffix), camera.verdicts[0]);
    EXPECT_EQ(archive.at("dirty" + suffix), camera.verdicts[1]);
    EXPECT_EQ(archive.at("stubborn" + suffix), camera.verdicts[2]);
    EXPECT_EQ(archive.at("internvl" + suffix), camera.vlm_calls);
    EXPECT_EQ(camera.verdicts[0] + camera.verdicts[1] + camera.verdicts[2], camera.judged);
    EXPECT_GT(archive.at("clean" + suffix), 0u);
  }
  // The robot idles before work starts: only the fisheye judges regardless of the task state.
  EXPECT_GT(outcome.report.cameras[0].gated, 0u);
  EXPECT_EQ(outcome.report.cameras[2].judged, outcome.report.cameras[2].published);
  EXPECT_GT(outcome.report.overall.vlm_calls, 0u);
  EXPECT_EQ(outcome.report.info.vlm_stub_requests, outcome.report.overall.vlm_calls);

  std::ifstream report_file(outcome.report_path);
  Json::Value report;
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), report_file, &report, nullptr));
  EXPECT_EQ(report["overall"]["judged"].asUInt64(), outcome.report.overall.judged);
  EXPECT_EQ(report["frames"].size(), outcome.frames.size());
  EXPECT_EQ(report["run"]["scenario"].asString(), "default");
  EXPECT_FALSE(report["run"]["interrupted"].asBool());
  EXPECT_EQ(report["stain_level"]["area"]["stains"].size(), report["stains"].size());
  EXPECT_TRUE(report["false_alarms"].isMember("all"));
  const cv::Mat map = cv::imread(outcome.map_path);
  EXPECT_FALSE(map.empty());
}

TEST(SimulatedRun, AnInterruptedRunSaysSoInItsReport)
{
  test_support::TemporaryDirectory out;
  velmora_sim::SimOptions options;
  options.duration_s = 1.0;
  options.out_dir = out.path();
  options.cameras = {CameraId::fisheye};
  options.engine_path = std::string(VELMORA_SOURCE_DIR) + "/test/models/floor_colour.onnx";
  // What the signal handler does on Ctrl-C, at a known point of the run.
  const auto outcome = velmora_sim::runSimulation(
    options, [](const velmora_sim::SimProgress & progress) {
      if (progress.sim_time_s >= 0.3 && rclcpp::ok()) {
        rclcpp::shutdown();
      }
    });

  std::ifstream report_file(outcome.report_path);
  Json::Value report;
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), report_file, &report, nullptr));
  EXPECT_TRUE(report["run"]["interrupted"].asBool());
  EXPECT_LT(report["run"]["simulated_s"].asDouble(), options.duration_s);
}

TEST(SimulatedRun, RefusesADurationItCannotRun)
{
  for (double duration_s : {std::nan(""), 1e18}) {
    test_support::TemporaryDirectory out;
    velmora_sim::SimOptions options;
    options.duration_s = duration_s;
    options.out_dir = out.path();
    options.engine_path = std::string(VELMORA_SOURCE_DIR) + "/test/models/floor_colour.onnx";
    EXPECT_THROW(velmora_sim::runSimulation(options), std::invalid_argument) << duration_s;
  }
}

TEST(SimulatedRun, AMapThatCannotBeWrittenFailsTheRun)
{
  test_support::TemporaryDirectory out;
  std::filesystem::create_directories(out / "map.png");
  velmora_sim::SimOptions options;
  options.duration_s = 0.1;
  options.out_dir = out.path();
  options.cameras = {CameraId::fisheye};
  options.engine_path = std::string(VELMORA_SOURCE_DIR) + "/test/models/floor_colour.onnx";
  EXPECT_THROW(velmora_sim::runSimulation(options), std::runtime_error);
}

TEST(SimulatedRun, TheStandInCanAnswerByTheTruthOfTheFrameBeingJudgedOrAlwaysNo)
{
  using velmora_sim::VlmAnswers;
  struct Way
  {
    VlmAnswers answers;
    double false_yes;
  };
  for (const Way way : {Way{VlmAnswers::truth, 0.0}, Way{VlmAnswers::no, 0.0},
      Way{VlmAnswers::truth, 1.0}})
  {
    SCOPED_TRACE(velmora_sim::vlmAnswersName(way.answers) + " " + std::to_string(way.false_yes));
    test_support::TemporaryDirectory out;
    velmora_sim::SimOptions options;
    options.duration_s = 1.0;
    options.out_dir = out.path();
    options.engine_path = std::string(VELMORA_SOURCE_DIR) + "/test/models/floor_colour.onnx";
    options.vlm_answers = way.answers;
    options.vlm_false_yes = way.false_yes;
    const velmora_sim::SimOutcome outcome = velmora_sim::runSimulation(options);

    std::array<std::size_t, 2> asked{};  // by visible truth: clean, stained
    for (const velmora_sim::FrameRecord & frame : outcome.frames) {
      if (!frame.log.vlm_answer) {
        continue;
      }
      const bool stained = frame.truth.visible_class != FloorClass::clean;
      ++asked[stained ? 1 : 0];
      const bool yes = way.answers == VlmAnswers::truth && (stained || way.false_yes == 1.0);
      EXPECT_EQ(*frame.log.vlm_answer, yes ? 1 : 0);
    }
    EXPECT_GT(asked[0], 0u);
    EXPECT_GT(asked[1], 0u);
    EXPECT_EQ(outcome.report.info.vlm_answers, velmora_sim::vlmAnswersName(way.answers));
    EXPECT_EQ(outcome.report.info.vlm_false_yes, way.false_yes);
  }
}

TEST(SimulatedVlm, FooledOnAFixedShareOfTheFloorSquaresOfEachCamera)
{
  using velmora_sim::kVlmPlaceSide;
  using velmora_sim::vlmFooledAt;
  const auto square = [](int column, int row, double offset) {
      const cv::Point2d corner((column + offset) * kVlmPlaceSide, (row + offset) * kVlmPlaceSide);
      return std::vector<cv::Point2d>{
        corner, corner + cv::Point2d(0.1, 0.0), corner + cv::Point2d(0.1, 0.1),
        corner + cv::Point2d(0.0, 0.1)};
    };
  std::size_t fooled = 0;
  std::size_t front_differs = 0;
  std::size_t seed_differs = 0;
  const int side = 100;
  for (int column = -side / 2; column < side / 2; ++column) {
    for (int row = -side / 2; row < side / 2; ++row) {
      const bool rear = vlmFooledAt(7, CameraId::rear, square(column, row, 0.1), 0.1);
      // Anywhere in the same square, the same answer: the mistake stays with the floor.
      EXPECT_EQ(vlmFooledAt(7, CameraId::rear, square(column, row, 0.7), 0.1), rear);
      fooled += rear;
      front_differs += vlmFooledAt(7, CameraId::front, square(column, row, 0.1), 0.1) != rear;
      seed_differs += vlmFooledAt(8, CameraId::rear, square(column, row, 0.1), 0.1) != rear;
      EXPECT_FALSE(vlmFooledAt(7, CameraId::rear, square(column, row, 0.1), 0.0));
      EXPECT_TRUE(vlmFooledAt(7, CameraId::rear, square(column, row, 0.1), 1.0));
    }
  }
  const double share = static_cast<double>(fooled) / (side * side);
  EXPECT_NEAR(share, 0.1, 0.01);
  // Independent draws for other cameras and seeds differ on about 2 * 0.1 * 0.9 of the squares.
  EXPECT_GT(front_differs, side * side / 10);
  EXPECT_GT(seed_differs, side * side / 10);
  EXPECT_FALSE(vlmFooledAt(7, CameraId::rear, {}, 1.0));
}

}  // namespace
