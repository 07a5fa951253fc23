// A short simulated run recorded as a bag and replayed: the replay must judge every frame as the
// run did and score it against the recorded ground truth exactly as the run was scored.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "bag/bag.hpp"
#include "bag/bag_metadata.hpp"
#include "bag/ros_messages.hpp"
#include "replay/replay.hpp"
#include "sim/recorder.hpp"
#include "sim/simulator.hpp"
#include "sim/truth_sidecar.hpp"
#include "test_support.hpp"

namespace
{

namespace fs = std::filesystem;
using velmora_sim::CameraId;
using velmora_water_stain::FloorClass;
using Verdicts = std::map<std::pair<CameraId, int64_t>, std::optional<FloorClass>>;

// A second of the quick run: the robot idles, then starts work past a stain.
velmora_sim::SimOutcome recordRun(
  const test_support::TemporaryDirectory & dir, const std::string & bag, bool compressed)
{
  velmora_sim::SimOptions options;
  options.duration_s = 1.0;
  options.out_dir = dir / "run";
  // A tiny model keeps the run short; it is unsure of grey floors, so the VLM is asked too.
  options.engine_path = std::string(VELMORA_SOURCE_DIR) + "/test/models/floor_colour.onnx";
  options.record_path = dir / bag;
  options.record_compressed = compressed;
  return velmora_sim::runSimulation(options);
}

velmora_replay::ReplayOutcome replay(
  const test_support::TemporaryDirectory & dir, const std::string & bag)
{
  velmora_replay::ReplayOptions options;
  options.bag = dir / bag;
  options.out_dir = dir / "replay";
  options.engine_path = std::string(VELMORA_SOURCE_DIR) + "/test/models/floor_colour.onnx";
  return velmora_replay::runReplay(options);
}

Verdicts verdictsOf(const std::vector<velmora_sim::FrameRecord> & frames)
{
  Verdicts verdicts;
  for (const velmora_sim::FrameRecord & frame : frames) {
    verdicts[{frame.camera, velmora_sim::stampNanoseconds(frame.stamp_sec, frame.stamp_nanosec)}] =
      frame.verdict;
  }
  return verdicts;
}

Verdicts verdictsOf(const velmora_replay::ReplayOutcome & outcome)
{
  std::vector<velmora_sim::FrameRecord> records;
  for (const velmora_replay::ReplayFrame & frame : outcome.frames) {
    records.push_back(frame.record);
  }
  return verdictsOf(records);
}

// Topic -> messages of a second of the run: 50 Hz odometry, 5 Hz status, 30 Hz cameras.
std::map<std::string, uint64_t> expectedCounts(const std::string & image_suffix)
{
  return {{"/tf_static", 1}, {"/tf", 50}, {"/fsm_status", 5},
    {"/camera_05/color/camera_info", 30}, {"/camera_01/color/camera_info", 30},
    {"/camera_05/color/image_raw" + image_suffix, 30},
    {"/camera_01/color/image_raw" + image_suffix, 30},
    {"/usb_cam_rear/image_raw" + image_suffix, 30}};
}

std::map<std::string, uint64_t> countsInBag(const std::string & path)
{
  std::map<std::string, uint64_t> counts;
  const auto bag = velmora_bag::openBag(path);
  for (const velmora_bag::TopicInfo & topic : bag->topics()) {
    counts[topic.name] = topic.message_count;
  }
  return counts;
}

class RawRecording : public ::testing::TestWithParam<std::string>
{
};

TEST_P(RawRecording, ReplayJudgesAndScoresEveryFrameAsTheRunDid)
{
  test_support::TemporaryDirectory dir;
  const std::string bag = GetParam();
  const velmora_sim::SimOutcome run = recordRun(dir, bag, false);
  ASSERT_TRUE(run.recording.has_value());
  EXPECT_EQ(run.recording->messages, 206u);
  EXPECT_EQ(countsInBag(dir / bag), expectedCounts(""));
  EXPECT_EQ(run.truth_path, velmora_sim::truthSidecarPath(dir / bag));

  const velmora_replay::ReplayOutcome replayed = replay(dir, bag);
  EXPECT_EQ(replayed.truth_path, run.truth_path);
  EXPECT_TRUE(replayed.skipped.empty());
  const Verdicts expected = verdictsOf(run.frames);
  ASSERT_EQ(verdictsOf(replayed), expected);
  EXPECT_GT(run.report.overall.judged, 0u);
  EXPECT_GT(run.report.overall.gated, 0u);

  const velmora_sim::CameraReport & ours = replayed.report.overall;
  const velmora_sim::CameraReport & theirs = run.report.overall;
  EXPECT_EQ(ours.confusion, theirs.confusion);
  EXPECT_EQ(ours.confusion_visible, theirs.confusion_visible);
  EXPECT_EQ(ours.precision, theirs.precision);
  EXPECT_EQ(ours.recall, theirs.recall);
  ASSERT_EQ(replayed.report.stain_scores.size(), run.report.stain_scores.size());
  for (std::size_t rule = 0; rule < run.report.stain_scores.size(); ++rule) {
    const auto & mine = replayed.report.stain_scores[rule];
    const auto & reference = run.report.stain_scores[rule];
    ASSERT_EQ(mine.stains.size(), reference.stains.size());
    for (std::size_t i = 0; i < mine.stains.size(); ++i) {
      SCOPED_TRACE("stain " + std::to_string(reference.stains[i].id));
      EXPECT_EQ(mine.stains[i].kind, reference.stains[i].kind);
      EXPECT_EQ(mine.stains[i].seen, reference.stains[i].seen);
      EXPECT_EQ(mine.stains[i].found, reference.stains[i].found);
      EXPECT_EQ(mine.stains[i].first_found_s, reference.stains[i].first_found_s);
    }
  }
  EXPECT_EQ(
    replayed.report.false_alarms.at("all").alarms, run.report.false_alarms.at("all").alarms);
  EXPECT_EQ(
    replayed.report.false_alarms.at("all").judged_by_vlm,
    run.report.false_alarms.at("all").judged_by_vlm);
}

INSTANTIATE_TEST_SUITE_P(Storages, RawRecording, ::testing::Values("run.mcap", "run_bag"));

// Humble's rosbag2 opens the directory by its metadata.yaml (version 5) and plays /tf_static
// latched only when the recorded QoS says transient local.
TEST(RecordedBagDirectory, LaidOutAsHumbleWritesIt)
{
  test_support::TemporaryDirectory dir;
  recordRun(dir, "humble_bag", false);
  const velmora_bag::BagMetadata metadata =
    velmora_bag::readBagMetadata(dir / "humble_bag/metadata.yaml");
  EXPECT_EQ(metadata.version, 5);
  EXPECT_EQ(metadata.storage_identifier, "sqlite3");
  EXPECT_EQ(metadata.relative_file_paths, std::vector<std::string>{"humble_bag_0.db3"});
  EXPECT_EQ(metadata.compression_format, "");
  EXPECT_EQ(metadata.message_counts, expectedCounts(""));

  sqlite3 * db = nullptr;
  const std::string file = dir / "humble_bag/humble_bag_0.db3";
  ASSERT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  const auto text = [db](const std::string & sql) {
      sqlite3_stmt * statement = nullptr;
      EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sql;
      std::string value;
      if (sqlite3_step(statement) == SQLITE_ROW) {
        value = reinterpret_cast<const char *>(sqlite3_column_text(statement, 0));
      }
      sqlite3_finalize(statement);
      return value;
    };
  EXPECT_EQ(text("SELECT schema_version || ' ' || ros_distro FROM schema"), "3 humble");
  EXPECT_NE(text("SELECT offered_qos_profiles FROM topics WHERE name = '/tf_static'")
    .find("durability: 1"), std::string::npos);
  EXPECT_NE(text("SELECT offered_qos_profiles FROM topics WHERE name = '/tf'")
    .find("durability: 2"), std::string::npos);
  EXPECT_EQ(text("SELECT COUNT(*) FROM messages"), "206");
  sqlite3_close(db);
}

// The recorder shares each rendered picture with the run instead of copying it: encoding must
// leave it as the node gets it, and the JPEG must hold its colours in BGR order.
TEST(CompressedRecording, PicturesLeftAloneAndStoredAsBgrJpeg)
{
  test_support::TemporaryDirectory dir;
  cv::Mat picture(48, 64, CV_8UC3);
  cv::randu(picture, cv::Scalar::all(0), cv::Scalar::all(20));
  picture(cv::Rect(0, 0, 32, 48)) += cv::Scalar(200, 0, 0);  // red on the left in RGB
  const cv::Mat original = picture.clone();
  std_msgs::msg::Header header;
  header.frame_id = "camera_05_color_optical_frame";
  {
    velmora_sim::RunRecorder recorder(dir / "pictures.mcap", true, {CameraId::rear});
    recorder.image(CameraId::rear, header, "rgb8", picture, velmora_sim::kEpochNs);
    recorder.close();
  }
  EXPECT_EQ(cv::norm(picture, original, cv::NORM_INF), 0.0);

  const auto bag = velmora_bag::openBag(dir / "pictures.mcap");
  velmora_bag::BagMessage message;
  ASSERT_TRUE(bag->next(message));
  const velmora_bag::CompressedImage stored = velmora_bag::decodeCompressedImage(message.data);
  EXPECT_EQ(stored.format, "rgb8; jpeg compressed bgr8");
  const cv::Mat decoded = cv::imdecode(stored.data, cv::IMREAD_COLOR);
  cv::Mat expected;
  cv::cvtColor(original, expected, cv::COLOR_RGB2BGR);
  // JPEG moves each pixel a little; swapped channels would move the left half by 400.
  EXPECT_LT(cv::norm(decoded, expected, cv::NORM_L1) / static_cast<double>(expected.total()), 60.0);
}

TEST(CompressedRecording, JudgedMostlyAsTheRunDid)
{
  test_support::TemporaryDirectory dir;
  const velmora_sim::SimOutcome run = recordRun(dir, "run.mcap", true);
  EXPECT_EQ(countsInBag(dir / "run.mcap"), expectedCounts("/compressed"));
  const velmora_replay::ReplayOutcome replayed = replay(dir, "run.mcap");
  const Verdicts expected = verdictsOf(run.frames);
  const Verdicts got = verdictsOf(replayed);
  ASSERT_EQ(got.size(), expected.size());
  std::size_t judged = 0;
  std::size_t agreeing = 0;
  for (const auto & [frame, verdict] : expected) {
    if (verdict) {
      ++judged;
      agreeing += got.at(frame) == verdict ? 1 : 0;
    }
  }
  ASSERT_GT(judged, 0u);
  // JPEG at quality 90 changes pixels a little; a classifier near its threshold may tip.
  const double agreement = static_cast<double>(agreeing) / static_cast<double>(judged);
  RecordProperty("verdict_agreement", std::to_string(agreement));
  std::cout << "compressed recording: " << agreeing << " of " << judged <<
    " judged frames judged alike\n";
  EXPECT_GE(agreement, 0.9);
}

TEST(Recording, RefusesAnExistingPathBeforeTheRunStarts)
{
  test_support::TemporaryDirectory dir;
  fs::create_directories(dir / "taken");
  try {
    recordRun(dir, "taken", false);
    FAIL() << "recorded over an existing bag";
  } catch (const velmora_bag::BagError & error) {
    EXPECT_NE(std::string(error.what()).find("already exists"), std::string::npos);
  }
  EXPECT_FALSE(fs::exists(dir / "run/report.json"));
}

TEST(TruthSidecar, RefusesWhatIsNotAGroundTruthFileNamingIt)
{
  test_support::TemporaryDirectory dir;
  const std::string path = dir / "run.truth.json";
  for (const char * text : {"[]", "3", "\"truth\"",
      R"({"format": "velmora simulated ground truth", "version": "one"})",
      R"({"format": "velmora simulated ground truth", "version": 1e20})",
      R"({"format": ["velmora simulated ground truth"], "version": 1})",
      R"({"format": "velmora simulated ground truth", "version": 1, "frames": [7]})"})
  {
    SCOPED_TRACE(text);
    std::ofstream(path) << text;
    try {
      velmora_sim::readTruthSidecar(path);
      ADD_FAILURE() << "read as ground truth";
    } catch (const velmora_sim::TruthError & error) {
      EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << error.what();
    }
  }
}

}  // namespace
