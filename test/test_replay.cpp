#include <gtest/gtest.h>

#include <json/json.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "bag/mcap_bag.hpp"
#include "bag/msg_definition.hpp"
#include "rclcpp/rclcpp.hpp"
#include "replay/replay.hpp"
#include "replay/replay_command_line.hpp"
#include "replay/replay_report.hpp"
#include "sim/camera_rig.hpp"
#include "sim/simulator.hpp"
#include "sim/world.hpp"
#include "real_bags.hpp"
#include "recorded_run.hpp"

namespace
{

namespace fs = std::filesystem;
const velmora_test::ScratchCleanup kCleanup;
using velmora_replay::ReplayError;
using velmora_replay::ReplayOptions;
using velmora_replay::ReplayOutcome;
using velmora_sim::CameraId;

const fs::path kBags = real_bags::kDir;
const std::string kEngine = std::string(VELMORA_SOURCE_DIR) + "/models/floor_mobilenet.onnx";
using velmora_test::kFrames;
using velmora_test::kRecordedStartNs;
using velmora_test::RearStorage;
using velmora_test::writeRun;

fs::path scratch(const std::string & name)
{
  return velmora_test::scratch(name);
}

ReplayOptions optionsFor(const fs::path & bag, const std::string & out)
{
  ReplayOptions options;
  options.bag = bag.string();
  options.out_dir = scratch(out).string();
  options.engine_path = kEngine;
  return options;
}

std::vector<std::string> verdicts(const ReplayOutcome & outcome)
{
  std::vector<std::string> seen;
  for (const auto & frame : outcome.frames) {
    seen.push_back(frame.record.verdict ?
      std::to_string(static_cast<int>(*frame.record.verdict)) : "-");
  }
  return seen;
}

class RecordedRun : public ::testing::Test
{
protected:
  static void SetUpTestSuite()
  {
    writeRun(scratch("raw.mcap"), RearStorage::raw, true);
    writeRun(scratch("png.mcap"), RearStorage::png, true);
    writeRun(scratch("jpeg.mcap"), RearStorage::jpeg, true);
    writeRun(scratch("no_definition.mcap"), RearStorage::raw, false);
  }
};

TEST_F(RecordedRun, JudgedThroughTheGateAndRepeatedExactly)
{
  const ReplayOutcome first = velmora_replay::runReplay(optionsFor(scratch("raw.mcap"), "first"));
  ASSERT_EQ(first.frames.size(), 2u * kFrames);
  EXPECT_TRUE(first.skipped.empty());
  EXPECT_FALSE(first.report.info.interrupted);
  const auto & rear = first.report.cameras[0];
  const auto & fisheye = first.report.cameras[2];
  EXPECT_EQ(rear.published, static_cast<std::size_t>(kFrames));
  // The rear camera is judged while working (the first half), the fisheye always.
  EXPECT_EQ(rear.judged, static_cast<std::size_t>(kFrames / 2));
  EXPECT_EQ(rear.gated, static_cast<std::size_t>(kFrames / 2));
  EXPECT_EQ(fisheye.judged, static_cast<std::size_t>(kFrames));
  EXPECT_EQ(first.report.overall.dropped, 0u);
  EXPECT_EQ(first.tf_waits_timed_out, 0u);
  // The archive is named by header stamp (simulation time), not by recording time.
  const fs::path archive = fs::path(first.report_path).parent_path() / "images";
  std::size_t archived = 0;
  for (const auto & entry : fs::recursive_directory_iterator(archive)) {
    if (entry.is_regular_file()) {
      EXPECT_EQ(entry.path().filename().string().rfind("1700000000.", 0), 0u) << entry.path();
      ++archived;
    }
  }
  EXPECT_GE(archived, static_cast<std::size_t>(kFrames + kFrames / 2));

  const ReplayOutcome second = velmora_replay::runReplay(optionsFor(scratch("raw.mcap"), "second"));
  EXPECT_EQ(verdicts(first), verdicts(second));

  std::ifstream report(first.report_path);
  Json::Value json;
  report >> json;
  EXPECT_EQ(json["bag"]["storage"].asString(), "mcap");
  EXPECT_EQ(json["frames"].size(), 2u * kFrames);
  EXPECT_EQ(json["frames"][1]["stamp"].asString(), "1700000000.0");
  EXPECT_EQ(json["frames"][1]["bag_time_ns"].asInt64(), kRecordedStartNs + 1004);
  EXPECT_TRUE(fs::exists(first.map_path));
  EXPECT_TRUE(fs::exists(first.log_path));
}

TEST_F(RecordedRun, CompressedFramesJudgedLikeRawOnes)
{
  const ReplayOutcome raw = velmora_replay::runReplay(optionsFor(scratch("raw.mcap"), "raw"));
  const ReplayOutcome png = velmora_replay::runReplay(optionsFor(scratch("png.mcap"), "png"));
  // PNG is lossless: the node sees the same pixels and decides the same.
  EXPECT_EQ(verdicts(raw), verdicts(png));
  const ReplayOutcome jpeg = velmora_replay::runReplay(optionsFor(scratch("jpeg.mcap"), "jpeg"));
  EXPECT_EQ(jpeg.report.cameras[0].judged, static_cast<std::size_t>(kFrames / 2));
}

TEST_F(RecordedRun, SplitBagsJudgedLikeOneMcapFile)
{
  const ReplayOutcome mcap = velmora_replay::runReplay(optionsFor(scratch("raw.mcap"), "mcap"));
  const fs::path split_mcap = scratch("split_mcap");
  velmora_test::writeRunSplitMcap(split_mcap, RearStorage::raw);
  const ReplayOutcome from_split_mcap = velmora_replay::runReplay(optionsFor(split_mcap, "split"));
  EXPECT_EQ(from_split_mcap.storage, "mcap");
  EXPECT_TRUE(from_split_mcap.skipped.empty());
  EXPECT_EQ(verdicts(from_split_mcap), verdicts(mcap));
  // A recording stopped just after a split leaves the next file empty: named, and nothing else.
  std::ofstream(split_mcap / "run_2.mcap");
  const ReplayOutcome with_empty_tail = velmora_replay::runReplay(optionsFor(split_mcap, "tail"));
  ASSERT_EQ(with_empty_tail.skipped.size(), 1u);
  EXPECT_EQ(with_empty_tail.skipped[0].location, "run_2.mcap");
  EXPECT_EQ(verdicts(with_empty_tail), verdicts(mcap));

  const fs::path later = scratch("sqlite3_with_definitions");
  velmora_test::writeRunSqlite3(later, RearStorage::raw, true);
  const ReplayOutcome with_definitions = velmora_replay::runReplay(optionsFor(later, "later"));
  EXPECT_EQ(with_definitions.storage, "sqlite3");
  EXPECT_EQ(verdicts(with_definitions), verdicts(mcap));

  // Humble's layout carries no definitions: the status type must come from the command line.
  const fs::path humble = scratch("sqlite3_humble");
  velmora_test::writeRunSqlite3(humble, RearStorage::raw, false);
  ReplayOptions options = optionsFor(humble, "humble");
  EXPECT_THROW(velmora_replay::runReplay(options), ReplayError);
  const fs::path msg = scratch("status.msg");
  std::ofstream(msg) << velmora_bag::kStatusDefinition;
  options.status_definition_file = msg.string();
  EXPECT_EQ(verdicts(velmora_replay::runReplay(options)), verdicts(mcap));
}

TEST_F(RecordedRun, MessagesShorterThanTheirTypeAreSkippedAndNamed)
{
  // The recorded run with every fifth message cut in half.
  const fs::path path = scratch("cut_messages.mcap");
  {
    velmora_bag::McapWriter writer(path.string(), {});
    std::map<std::string, uint16_t> channels;
    std::size_t index = 0;
    for (const auto & entry : velmora_test::recordedRun(RearStorage::raw)) {
      if (channels.count(entry.topic) == 0) {
        channels[entry.topic] = writer.addChannel(
          writer.addSchema(entry.type, velmora_bag::kStatusDefinition), entry.topic);
      }
      std::vector<uint8_t> bytes = velmora_test::encodeAny(entry.message);
      if (++index % 5 == 0) {
        bytes.resize(bytes.size() / 2);
      }
      writer.write(channels[entry.topic], entry.log_time, bytes);
    }
  }
  const ReplayOutcome outcome = velmora_replay::runReplay(optionsFor(path, "cut_messages"));
  const std::size_t messages = 1 + 5 * static_cast<std::size_t>(kFrames);
  ASSERT_EQ(outcome.skipped.size(), messages / 5);
  for (const auto & skipped : outcome.skipped) {
    EXPECT_FALSE(skipped.topic.empty());
    EXPECT_NE(skipped.location.find("cut_messages.mcap chunk at offset"), std::string::npos);
    EXPECT_NE(skipped.reason.find("shorter than its type"), std::string::npos) << skipped.reason;
  }
  std::size_t delivered = 0;
  for (const auto & topic : outcome.topics) {
    delivered += topic.delivered;
  }
  EXPECT_EQ(delivered, messages - messages / 5);
  EXPECT_GT(outcome.report.overall.judged, 0u);
}

TEST_F(RecordedRun, StatusDefinitionFromTheCommandLineOrRefused)
{
  ReplayOptions options = optionsFor(scratch("no_definition.mcap"), "no_definition");
  try {
    velmora_replay::runReplay(options);
    FAIL() << "replayed without a status definition";
  } catch (const ReplayError & error) {
    EXPECT_NE(std::string(error.what()).find("--status-msg"), std::string::npos);
  }
  EXPECT_FALSE(fs::exists(fs::path(options.out_dir) / "report.json"));

  const fs::path msg = scratch("TaskCenterFsmStatus.msg");
  std::ofstream(msg) << "# the robot's status\n" << velmora_bag::kStatusDefinition;
  options.status_definition_file = msg.string();
  EXPECT_EQ(velmora_replay::runReplay(options).report.cameras[0].judged,
    static_cast<std::size_t>(kFrames / 2));

  options.status_definition_file.clear();
  options.always_working = true;
  EXPECT_EQ(velmora_replay::runReplay(options).report.cameras[0].judged,
    static_cast<std::size_t>(kFrames));
}

TEST_F(RecordedRun, WindowCamerasAndLabels)
{
  ReplayOptions options = optionsFor(scratch("raw.mcap"), "window");
  options.cameras = {CameraId::fisheye};
  options.start_s = 0.25;
  options.duration_s = 0.3;
  const fs::path labels = scratch("labels.csv");
  std::ofstream(labels) << "camera,from,to,class\nfisheye,1700000000.0,1700000001.0,stubborn\n";
  options.labels_file = labels.string();
  const ReplayOutcome outcome = velmora_replay::runReplay(options);
  // Frames at 0.3, 0.4 and 0.5 s of the recording.
  EXPECT_EQ(outcome.report.cameras[0].published, 3u);
  EXPECT_EQ(outcome.frames.size(), 3u);
  ASSERT_TRUE(outcome.labelled);
  std::size_t scored = 0;
  for (const auto & row : outcome.report.overall.confusion) {
    for (std::size_t count : row) {
      scored += count;
    }
  }
  EXPECT_EQ(scored, 3u);
  EXPECT_TRUE(outcome.report.overall.recall.has_value());
}

TEST_F(RecordedRun, RealTimePacingAccountsForEveryFrame)
{
  ReplayOptions options = optionsFor(scratch("raw.mcap"), "realtime");
  options.realtime = true;
  const ReplayOutcome outcome = velmora_replay::runReplay(options);
  const auto & overall = outcome.report.overall;
  EXPECT_EQ(overall.published, 2u * kFrames);
  // Each frame is either handled by the node or dropped by its queue, never lost unseen.
  EXPECT_EQ(overall.received + overall.dropped, overall.published);
  EXPECT_GT(overall.judged, 0u);
}

TEST_F(RecordedRun, AnInterruptedReplaySaysSoInItsReport)
{
  for (const bool realtime : {false, true}) {
    ReplayOptions options = optionsFor(scratch("raw.mcap"), realtime ? "stop_rt" : "stop");
    options.realtime = realtime;
    // What the signal handler does on Ctrl-C, at a known point of the replay.
    const ReplayOutcome outcome = velmora_replay::runReplay(
      options, [](const velmora_replay::ReplayProgress & progress) {
        if (progress.bag_time_s >= 0.3 && rclcpp::ok()) {
          rclcpp::shutdown();
        }
      });
    EXPECT_TRUE(outcome.report.info.interrupted) << realtime;
    EXPECT_LT(outcome.report.overall.published, 2u * kFrames) << realtime;
    std::ifstream report_file(outcome.report_path);
    Json::Value report;
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), report_file, &report, nullptr));
    EXPECT_TRUE(report["run"]["interrupted"].asBool()) << realtime;
  }
}

TEST_F(RecordedRun, ReportThatCannotBeWrittenFailsTheRun)
{
  // report.json taken by a directory: the run fails with exit status 1 and says why.
  const fs::path out = scratch("unwritable");
  fs::create_directories(out / "report.json");
  std::vector<std::string> arguments{"water_stain_replay", scratch("raw.mcap").string(), "--out",
    out.string(), "--engine", kEngine};
  std::vector<char *> argv;
  for (std::string & argument : arguments) {
    argv.push_back(argument.data());
  }
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(velmora_replay::runCommandLine(static_cast<int>(argv.size()), argv.data()), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout().find("report:"), std::string::npos);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("report.json"), std::string::npos);
}

TEST_F(RecordedRun, LogTimesAtTheEndOfInt64AreReplayedWithoutOverflow)
{
  // The recorded run moved to end two seconds before the last log time an int64 holds.
  const fs::path late = scratch("late.mcap");
  {
    auto bag = velmora_bag::openBag(scratch("raw.mcap").string());
    velmora_bag::McapWriter writer(late.string(), {});
    std::vector<uint16_t> channels;
    for (const auto & topic : bag->topics()) {
      const uint16_t schema = writer.addSchema(topic.type, topic.definition);
      channels.push_back(writer.addChannel(schema, topic.name));
    }
    const int64_t shift = INT64_MAX - 2000000000 - bag->timeSpan()->second;
    velmora_bag::BagMessage message;
    while (bag->next(message)) {
      writer.write(channels[message.topic], static_cast<uint64_t>(message.log_time_ns + shift),
        message.data);
    }
  }
  ReplayOptions options = optionsFor(late, "late");
  options.duration_s = 10.0;
  const ReplayOutcome outcome = velmora_replay::runReplay(options);
  EXPECT_EQ(outcome.frames.size(), 2u * kFrames);
  EXPECT_GT(outcome.window_s, 0.0);
  EXPECT_LT(outcome.window_s, 10.0);
}

TEST(ReplayReport, WritesThatFailAreErrors)
{
  const ReplayOutcome outcome;
  const ReplayOptions options;
  EXPECT_THROW(velmora_replay::writeReplayJson("/dev/full", outcome, options), std::runtime_error);
  const std::string missing_dir = scratch("missing").string() + "/";
  EXPECT_THROW(
    velmora_replay::writeReplayJson(missing_dir + "report.json", outcome, options),
    std::runtime_error);
  // Without and with a path to draw.
  EXPECT_THROW(velmora_replay::writeReplayMap(missing_dir + "map.png", outcome, {}),
    std::runtime_error);
  EXPECT_THROW(velmora_replay::writeReplayMap(missing_dir + "map.png", outcome, {{0, 0}, {1, 1}}),
    std::runtime_error);
}

TEST(ReplayReport, PosesOfNonFiniteCoordinatesAreLeftOffTheMap)
{
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const fs::path map_path = scratch("non_finite_map.png");
  velmora_replay::writeReplayMap(
    map_path.string(), ReplayOutcome(), {{nan, 0}, {0, 0}, {1, 1}, {inf, 0}, {2, 2}, {0, -inf}});
  // The finite path, drawn corner to corner, crosses the middle of the map.
  const cv::Mat map = cv::imread(map_path.string(), cv::IMREAD_GRAYSCALE);
  ASSERT_FALSE(map.empty());
  double darkest = 255;
  cv::minMaxLoc(map(cv::Rect(445, 445, 10, 10)), &darkest);
  EXPECT_LT(darkest, 128);
}

TEST(ReplayLabels, StampsUpToTheLastNanosecondAnInt64Holds)
{
  EXPECT_EQ(velmora_replay::parseStampNs("1700000000.25"), 1700000000250000000LL);
  EXPECT_EQ(velmora_replay::parseStampNs("9223372036.854775807"), INT64_MAX);
  for (const char * later : {"9223372036.854775808", "9999999999.5"}) {
    EXPECT_THROW(velmora_replay::parseStampNs(later), std::invalid_argument) << later;
  }
}

TEST(ReplayRefusals, TopicsOfTheWrongTypeOrNoneAtAll)
{
  ReplayOptions options;
  options.remaps = {{"/info", "/camera_05/color/image_raw"}};
  EXPECT_THROW(velmora_replay::planTopics(
      {{"/info", "sensor_msgs/msg/CameraInfo", "cdr", "", 1}}, options), ReplayError);
  EXPECT_THROW(velmora_replay::planTopics({{"/chatter", "std_msgs/msg/String", "cdr", "", 1}}, {}),
    ReplayError);
  const auto plan = velmora_replay::planTopics(
    {{"/camera_01/color/image_raw/compressed", "sensor_msgs/msg/CompressedImage", "cdr", "", 1}}, {});
  EXPECT_EQ(plan[0].node_topic, "/camera_01/color/image_raw");
  EXPECT_EQ(plan[0].camera, CameraId::front);
}

TEST(ReplayCommandLine, ParsesOptionsAndExitsTwoOnUnreadableBags)
{
  const auto command = velmora_replay::parseReplayCommandLine(
    {"bag", "--remap", "/a:=/tf", "-p", "score_threshold:=0.5", "-p", "save_images:=false",
      "--cameras", "rear,fisheye", "--start=2", "--duration", "3"}, "engine");
  EXPECT_EQ(command.options.remaps.at(0).second, "/tf");
  EXPECT_DOUBLE_EQ(command.options.parameters.at(0).as_double(), 0.5);
  EXPECT_FALSE(command.options.parameters.at(1).as_bool());
  EXPECT_EQ(command.options.cameras.size(), 2u);
  EXPECT_DOUBLE_EQ(*command.options.duration_s, 3.0);
  EXPECT_THROW(
    velmora_replay::parseReplayCommandLine({"bag", "--vlm-url", "http://vlm.example"}, ""),
    std::invalid_argument);
  // Beyond about 9.2e9 s the window's nanoseconds would wrap to a negative time.
  for (const char * seconds : {"1e10", "-1", "nan", "inf"}) {
    EXPECT_THROW(
      velmora_replay::parseReplayCommandLine({"bag", "--duration", seconds}, ""),
      std::invalid_argument) << seconds;
  }
  EXPECT_EQ(velmora_replay::parseReplayCommandLine({"bag", "--remap=/a:=/b"}, "").options.remaps
    .at(0).first, "/a");

  const fs::path params = scratch("params.yaml");
  std::ofstream(params) << "water_stain_node:\n  ros__parameters:\n    iou_threshold: 0.6\n"
    "    clean_save_interval_s: 3\n    save_images: true\n";
  const auto from_file = velmora_replay::readParametersFile(params.string());
  ASSERT_EQ(from_file.size(), 3u);
  EXPECT_DOUBLE_EQ(from_file[0].as_double(), 0.6);
  EXPECT_EQ(from_file[1].as_int(), 3);
  EXPECT_TRUE(from_file[2].as_bool());

  const fs::path garbage = scratch("garbage.db3");
  std::ofstream(garbage) << std::string(5000, 'x');
  std::string program = "water_stain_replay";
  std::string bag = garbage.string();
  std::vector<char *> argv{program.data(), bag.data()};
  testing::internal::CaptureStderr();
  EXPECT_EQ(velmora_replay::runCommandLine(2, argv.data()), 2);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("cannot open the bag"), std::string::npos);
  EXPECT_EQ(said.find('\n'), said.size() - 1);
}

// Every real bag beside the repository is replayed or refused with a reason.
TEST(RealBags, EachReplayedOrRefusedWithAReason)
{
  SKIP_WITHOUT_REAL_BAGS();
  const std::vector<std::pair<std::string, std::string>> rosbags_remaps{
    {"/test/sensor_msgs/image", "/camera_05/color/image_raw"},
    {"/test/sensor_msgs/camera_info", "/camera_05/color/camera_info"},
    {"/test/sensor_msgs/compressed_image", "/usb_cam_rear/image_raw"},
    {"/test/tf2_msgs/tf_message", "/tf"}};
  std::size_t replayed = 0;
  std::size_t refused = 0;
  for (const auto & entry : fs::directory_iterator(kBags)) {
    if (!entry.is_directory()) {
      continue;
    }
    const std::string name = entry.path().filename().string();
    SCOPED_TRACE(name);
    ReplayOptions options = optionsFor(entry.path(), "real_" + name);
    if (name.rfind("rosbags_rs", 0) == 0) {
      options.remaps = rosbags_remaps;
      const ReplayOutcome outcome = velmora_replay::runReplay(options);
      // The malformed image and the 10-byte "JPEG" of these bags: skipped, named, counted.
      ASSERT_EQ(outcome.skipped.size(), 4u);
      for (const auto & skipped : outcome.skipped) {
        EXPECT_FALSE(skipped.topic.empty());
        EXPECT_FALSE(skipped.location.empty());
      }
      EXPECT_NE(outcome.skipped[1].reason.find("promises 921600"), std::string::npos);
      EXPECT_EQ(outcome.frames.size(), 0u);
      ++replayed;
    } else {
      try {
        velmora_replay::runReplay(options);
        ADD_FAILURE() << "replayed a bag with nothing for the node";
      } catch (const ReplayError & error) {
        EXPECT_NE(std::string(error.what()).find("feeds the node"), std::string::npos);
        ++refused;
      }
    }
  }
  EXPECT_EQ(replayed, 2u);
  EXPECT_EQ(refused, 4u);
}

}  // namespace
