#ifndef RECORDED_RUN_HPP_
#define RECORDED_RUN_HPP_

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <variant>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "bag/mcap_bag.hpp"
#include "bag/msg_definition.hpp"
#include "bag/ros_messages.hpp"
#include "bag/sqlite3_bag.hpp"
#include "cv_bridge/cv_bridge.hpp"
#include "sim/camera_rig.hpp"
#include "sim/simulator.hpp"
#include "sim/world.hpp"

// A short recorded run for replay tests: a floor with a stubborn stain, rear colour and fisheye
// frames, the rear camera's info, the mount on /tf_static, the pose on /tf and the task status
// (working for the first half, paused for the second).
namespace velmora_test
{

constexpr int kFrames = 8;
// Header stamps in simulation time, far from the recording's clock.
constexpr int64_t kStampStartNs = 1700000000LL * 1000000000LL;
constexpr int64_t kRecordedStartNs = 1749315324LL * 1000000000LL;
constexpr int64_t kFramePeriodNs = 100000000;

enum class RearStorage {raw, png, jpeg};

using AnyMessage = std::variant<tf2_msgs::msg::TFMessage, sensor_msgs::msg::CameraInfo,
    sensor_msgs::msg::Image, velmora_bag::CompressedImage,
    velmora_protocol::msg::TaskCenterFsmStatus>;

struct RecordedMessage
{
  std::string topic;
  std::string type;
  uint64_t log_time{0};
  AnyMessage message;
};

inline std::filesystem::path scratch(const std::string & name)
{
  const auto dir = std::filesystem::temp_directory_path() /
    ("velmora_replay_test_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  return dir / name;
}

// Removes this process's scratch directory when the test program ends.
struct ScratchCleanup
{
  ~ScratchCleanup()
  {
    std::error_code ignored;
    std::filesystem::remove_all(scratch("").parent_path(), ignored);
  }
};

inline geometry_msgs::msg::TransformStamped robotPose(double x, int64_t stamp_ns)
{
  geometry_msgs::msg::TransformStamped pose;
  pose.header.stamp = velmora_sim::stampFromNanoseconds(stamp_ns);
  pose.header.frame_id = "map";
  pose.child_frame_id = "base_footprint";
  pose.transform.translation.x = x;
  pose.transform.translation.y = 1.5;
  pose.transform.rotation.w = 1.0;
  return pose;
}

inline std::vector<RecordedMessage> recordedRun(RearStorage rear_storage)
{
  using velmora_sim::CameraId;
  velmora_sim::WorldConfig config;
  config.width_m = 6.0;
  config.height_m = 3.0;
  velmora_sim::World world(config, 3);
  world.addStain({velmora_sim::StainKind::stubborn, {2.2, 1.5}, 0.25, 5});
  const auto rear_camera = velmora_sim::FloorCamera::forCamera(CameraId::rear);
  const auto fisheye_camera = velmora_sim::FloorCamera::forCamera(CameraId::fisheye);

  std::vector<RecordedMessage> run;
  tf2_msgs::msg::TFMessage mounts;
  mounts.transforms.push_back(
    velmora_sim::mountTransform(CameraId::rear, velmora_sim::stampFromNanoseconds(kStampStartNs)));
  run.push_back({"/tf_static", "tf2_msgs/msg/TFMessage", kRecordedStartNs, mounts});
  for (int frame = 0; frame < kFrames; ++frame) {
    const int64_t stamp_ns = kStampStartNs + frame * kFramePeriodNs;
    const uint64_t recorded = static_cast<uint64_t>(kRecordedStartNs + 1000 + frame * kFramePeriodNs);
    const auto stamp = velmora_sim::stampFromNanoseconds(stamp_ns);
    const double x = 3.0 + 0.05 * frame;
    tf2_msgs::msg::TFMessage pose;
    pose.transforms.push_back(robotPose(x, stamp_ns));
    run.push_back({"/tf", "tf2_msgs/msg/TFMessage", recorded, pose});
    velmora_protocol::msg::TaskCenterFsmStatus state;
    state.header.stamp = stamp;
    state.state = 2;
    state.sub_state = frame < kFrames / 2 ? 4 : 7;
    state.state_name = "cleaning_task";
    run.push_back({"/fsm_status", "velmora_protocol/msg/TaskCenterFsmStatus", recorded + 1, state});
    run.push_back({"/camera_05/color/camera_info", "sensor_msgs/msg/CameraInfo", recorded + 2,
        velmora_sim::cameraInfo(CameraId::rear, stamp)});

    const velmora_sim::Pose2D at{x, 1.5, 0.0};
    std_msgs::msg::Header header;
    header.stamp = stamp;
    header.frame_id = "camera_05_color_optical_frame";
    const cv::Mat rear_picture = rear_camera.render(world, at, 1.0, static_cast<std::size_t>(frame));
    if (rear_storage == RearStorage::raw) {
      sensor_msgs::msg::Image image;
      cv_bridge::CvImage(header, "bgr8", rear_picture).toImageMsg(image);
      run.push_back({"/camera_05/color/image_raw", "sensor_msgs/msg/Image", recorded + 3, image});
    } else {
      velmora_bag::CompressedImage image;
      image.header = header;
      image.format = rear_storage == RearStorage::png ? "png" : "jpeg";
      cv::imencode(rear_storage == RearStorage::png ? ".png" : ".jpg", rear_picture, image.data);
      run.push_back({"/camera_05/color/image_raw/compressed", "sensor_msgs/msg/CompressedImage",
          recorded + 3, image});
    }
    header.frame_id = "usb_cam_rear";
    sensor_msgs::msg::Image image;
    cv_bridge::CvImage(header, "bgr8",
      fisheye_camera.render(world, at, 1.0, static_cast<std::size_t>(frame))).toImageMsg(image);
    run.push_back({"/usb_cam_rear/image_raw", "sensor_msgs/msg/Image", recorded + 4, image});
  }
  return run;
}

inline std::vector<uint8_t> encodeAny(const AnyMessage & message)
{
  struct Encoder
  {
    std::vector<uint8_t> operator()(const tf2_msgs::msg::TFMessage & m) const
    {
      return velmora_bag::encodeTfMessage(m);
    }
    std::vector<uint8_t> operator()(const sensor_msgs::msg::CameraInfo & m) const
    {
      return velmora_bag::encodeCameraInfo(m);
    }
    std::vector<uint8_t> operator()(const sensor_msgs::msg::Image & m) const
    {
      return velmora_bag::encodeImage(m);
    }
    std::vector<uint8_t> operator()(const velmora_bag::CompressedImage & m) const
    {
      return velmora_bag::encodeCompressedImage(m);
    }
    std::vector<uint8_t> operator()(const velmora_protocol::msg::TaskCenterFsmStatus & m) const
    {
      return velmora_bag::encodeStatus(m);
    }
  };
  return std::visit(Encoder{}, message);
}

// Writes messages [begin, end) of a run with our own MCAP writer (zstd chunks); without
// `status_definition` the status schema carries no definition, as with a robot package the
// recorder did not know.
inline void writeMcap(
  const std::filesystem::path & path, const std::vector<RecordedMessage> & run,
  std::size_t begin, std::size_t end, bool status_definition)
{
  velmora_bag::McapWriter::Options options;
  options.compression = "zstd";
  velmora_bag::McapWriter writer(path.string(), options);
  std::map<std::string, uint16_t> channels;
  for (std::size_t i = begin; i < end; ++i) {
    const RecordedMessage & entry = run[i];
    if (channels.count(entry.topic) == 0) {
      const bool is_status = entry.type == "velmora_protocol/msg/TaskCenterFsmStatus";
      channels[entry.topic] = writer.addChannel(
        writer.addSchema(entry.type, is_status && status_definition ? velmora_bag::kStatusDefinition : ""),
        entry.topic);
    }
    writer.write(channels[entry.topic], entry.log_time, encodeAny(entry.message));
  }
}

inline void writeRun(
  const std::filesystem::path & path, RearStorage rear_storage, bool status_definition)
{
  const std::vector<RecordedMessage> run = recordedRun(rear_storage);
  writeMcap(path, run, 0, run.size(), status_definition);
}

// Writes the run as an MCAP bag split into two files (no metadata.yaml), as rosbag2 splits a
// recording by size or duration.
inline void writeRunSplitMcap(const std::filesystem::path & directory, RearStorage rear_storage)
{
  std::filesystem::remove_all(directory);
  std::filesystem::create_directories(directory);
  const std::vector<RecordedMessage> run = recordedRun(rear_storage);
  writeMcap(directory / "run_0.mcap", run, 0, run.size() / 2, true);
  writeMcap(directory / "run_1.mcap", run, run.size() / 2, run.size(), true);
}

// Writes the run as a rosbag2 sqlite3 bag split into two files (no metadata.yaml): the later
// layout with message definitions, or Humble's without them.
inline void writeRunSqlite3(
  const std::filesystem::path & directory, RearStorage rear_storage, bool with_definitions)
{
  std::filesystem::remove_all(directory);
  std::filesystem::create_directories(directory);
  const std::vector<RecordedMessage> run = recordedRun(rear_storage);
  for (int part = 0; part < 2; ++part) {
    velmora_bag::Sqlite3Writer writer(
      (directory / ("run_" + std::to_string(part) + ".db3")).string(), with_definitions);
    std::map<std::string, int64_t> topics;
    const std::size_t begin = part == 0 ? 0 : run.size() / 2;
    const std::size_t end = part == 0 ? run.size() / 2 : run.size();
    for (std::size_t i = begin; i < end; ++i) {
      const RecordedMessage & entry = run[i];
      if (topics.count(entry.topic) == 0) {
        const bool is_status = entry.type == "velmora_protocol/msg/TaskCenterFsmStatus";
        topics[entry.topic] =
          writer.addTopic(entry.topic, entry.type, is_status ? velmora_bag::kStatusDefinition : "");
      }
      writer.write(topics[entry.topic], static_cast<int64_t>(entry.log_time), encodeAny(entry.message));
    }
  }
}

}  // namespace velmora_test

#endif  // RECORDED_RUN_HPP_
