// Bags written by the ecosystem's own implementations (npm's @mcap/core and
// @foxglove/rosmsg2-serialization, installed by scripts/setup into test/mcap_js) are read back
// field for field and judged like the same frames written by our own writer; and the simulator's
// recordings are read by the same implementations.
#include <gtest/gtest.h>

#include <json/json.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "bag/bag.hpp"
#include "bag/mcap_bag.hpp"
#include "bag/ros_messages.hpp"
#include "recorded_run.hpp"
#include "replay/replay.hpp"
#include "sim/simulator.hpp"

namespace
{

namespace fs = std::filesystem;
const velmora_test::ScratchCleanup kCleanup;
using velmora_test::RecordedMessage;

const fs::path kWriterDir = fs::path(VELMORA_SOURCE_DIR) / "test" / "mcap_js";

Json::Value definitions()
{
  Json::Value json;
  for (const char * type : {"sensor_msgs/msg/Image", "sensor_msgs/msg/CompressedImage",
      "sensor_msgs/msg/CameraInfo", "tf2_msgs/msg/TFMessage",
      "velmora_protocol/msg/TaskCenterFsmStatus"})
  {
    json[type] = velmora_bag::messageDefinition(type);
  }
  return json;
}

Json::Value bytesJson(const std::vector<uint8_t> & bytes)
{
  static const char alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const uint32_t chunk = (static_cast<uint32_t>(bytes[i]) << 16) |
      (i + 1 < bytes.size() ? static_cast<uint32_t>(bytes[i + 1]) << 8 : 0) |
      (i + 2 < bytes.size() ? bytes[i + 2] : 0);
    text += alphabet[(chunk >> 18) & 63];
    text += alphabet[(chunk >> 12) & 63];
    text += i + 1 < bytes.size() ? alphabet[(chunk >> 6) & 63] : '=';
    text += i + 2 < bytes.size() ? alphabet[chunk & 63] : '=';
  }
  Json::Value json;
  json["$base64"] = text;
  return json;
}

Json::Value headerJson(const std_msgs::msg::Header & header)
{
  Json::Value json;
  json["stamp"]["sec"] = header.stamp.sec;
  json["stamp"]["nanosec"] = header.stamp.nanosec;
  json["frame_id"] = header.frame_id;
  return json;
}

template<typename Array>
Json::Value numbers(const Array & values)
{
  Json::Value json(Json::arrayValue);
  for (double value : values) {
    json.append(value);
  }
  return json;
}

struct ToJson
{
  Json::Value operator()(const tf2_msgs::msg::TFMessage & message) const
  {
    Json::Value json;
    json["transforms"] = Json::Value(Json::arrayValue);
    for (const auto & transform : message.transforms) {
      Json::Value entry;
      entry["header"] = headerJson(transform.header);
      entry["child_frame_id"] = transform.child_frame_id;
      const auto & t = transform.transform;
      entry["transform"]["translation"]["x"] = t.translation.x;
      entry["transform"]["translation"]["y"] = t.translation.y;
      entry["transform"]["translation"]["z"] = t.translation.z;
      entry["transform"]["rotation"]["x"] = t.rotation.x;
      entry["transform"]["rotation"]["y"] = t.rotation.y;
      entry["transform"]["rotation"]["z"] = t.rotation.z;
      entry["transform"]["rotation"]["w"] = t.rotation.w;
      json["transforms"].append(entry);
    }
    return json;
  }
  Json::Value operator()(const sensor_msgs::msg::CameraInfo & info) const
  {
    Json::Value json;
    json["header"] = headerJson(info.header);
    json["height"] = info.height;
    json["width"] = info.width;
    json["distortion_model"] = info.distortion_model;
    json["d"] = numbers(info.d);
    json["k"] = numbers(info.k);
    json["r"] = numbers(info.r);
    json["p"] = numbers(info.p);
    json["binning_x"] = info.binning_x;
    json["binning_y"] = info.binning_y;
    json["roi"]["x_offset"] = info.roi.x_offset;
    json["roi"]["y_offset"] = info.roi.y_offset;
    json["roi"]["height"] = info.roi.height;
    json["roi"]["width"] = info.roi.width;
    json["roi"]["do_rectify"] = info.roi.do_rectify;
    return json;
  }
  Json::Value operator()(const sensor_msgs::msg::Image & image) const
  {
    Json::Value json;
    json["header"] = headerJson(image.header);
    json["height"] = image.height;
    json["width"] = image.width;
    json["encoding"] = image.encoding;
    json["is_bigendian"] = image.is_bigendian;
    json["step"] = image.step;
    json["data"] = bytesJson(image.data);
    return json;
  }
  Json::Value operator()(const velmora_bag::CompressedImage & image) const
  {
    Json::Value json;
    json["header"] = headerJson(image.header);
    json["format"] = image.format;
    json["data"] = bytesJson(image.data);
    return json;
  }
  Json::Value operator()(const velmora_protocol::msg::TaskCenterFsmStatus & status) const
  {
    Json::Value json;
    json["header"] = headerJson(status.header);
    json["state"] = status.state;
    json["sub_state"] = status.sub_state;
    json["state_name"] = status.state_name;
    json["sub_state_name"] = status.sub_state_name;
    return json;
  }
};

// Writes the run with the npm libraries through test/mcap_js/write_mcap.mjs.
void writeWithNpm(
  const std::vector<RecordedMessage> & run, const fs::path & out, const std::string & compression)
{
  Json::Value scenario;
  scenario["definitions"] = definitions();
  for (const RecordedMessage & entry : run) {
    Json::Value message;
    message["topic"] = entry.topic;
    message["type"] = entry.type;
    message["log_time"] = std::to_string(entry.log_time);
    message["message"] = std::visit(ToJson{}, entry.message);
    scenario["messages"].append(message);
  }
  const fs::path scenario_path = velmora_test::scratch("scenario.json");
  std::ofstream(scenario_path) << Json::writeString(Json::StreamWriterBuilder(), scenario);
  const std::string command = "node '" + (kWriterDir / "write_mcap.mjs").string() + "' '" +
    scenario_path.string() + "' '" + out.string() + "' " + compression;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

class NpmWrittenBag : public ::testing::TestWithParam<std::string>
{
protected:
  void SetUp() override
  {
    ASSERT_TRUE(fs::exists(kWriterDir / "node_modules" / "@mcap" / "core"))
      << "the npm packages are missing: run scripts/setup";
  }
};

TEST_P(NpmWrittenBag, ReadFieldForFieldAndJudgedLikeOurOwn)
{
  const std::string compression = GetParam();
  const auto run = velmora_test::recordedRun(velmora_test::RearStorage::png);
  const fs::path npm_bag = velmora_test::scratch("npm_" + compression + ".mcap");
  writeWithNpm(run, npm_bag, compression);

  auto bag = velmora_bag::openBag(npm_bag.string());
  EXPECT_TRUE(dynamic_cast<velmora_bag::McapBag &>(*bag).hadSummary());
  velmora_bag::BagMessage message;
  std::size_t index = 0;
  while (bag->next(message)) {
    ASSERT_LT(index, run.size());
    const RecordedMessage & sent = run[index++];
    const velmora_bag::TopicInfo & topic = bag->topics()[message.topic];
    ASSERT_EQ(topic.name, sent.topic);
    EXPECT_EQ(topic.type, sent.type);
    EXPECT_EQ(message.log_time_ns, static_cast<int64_t>(sent.log_time));
    if (const auto * tf = std::get_if<tf2_msgs::msg::TFMessage>(&sent.message)) {
      EXPECT_EQ(velmora_bag::decodeTfMessage(message.data), *tf);
    } else if (const auto * info = std::get_if<sensor_msgs::msg::CameraInfo>(&sent.message)) {
      EXPECT_EQ(velmora_bag::decodeCameraInfo(message.data), *info);
    } else if (const auto * image = std::get_if<sensor_msgs::msg::Image>(&sent.message)) {
      EXPECT_EQ(velmora_bag::decodeImage(message.data), *image);
    } else if (const auto * compressed = std::get_if<velmora_bag::CompressedImage>(&sent.message)) {
      EXPECT_EQ(velmora_bag::decodeCompressedImage(message.data), *compressed);
    } else {
      // The status is read through the definition the npm writer stored as the schema.
      const velmora_bag::StatusDecoder decoder(
        velmora_bag::MessageDefinitions(topic.type, topic.definition));
      EXPECT_EQ(decoder.decode(message.data),
        std::get<velmora_protocol::msg::TaskCenterFsmStatus>(sent.message));
    }
  }
  EXPECT_EQ(index, run.size());
  EXPECT_TRUE(bag->problems().empty());

  const fs::path own_bag = velmora_test::scratch("own.mcap");
  velmora_test::writeRun(own_bag, velmora_test::RearStorage::png, true);
  velmora_replay::ReplayOptions options;
  options.engine_path = std::string(VELMORA_SOURCE_DIR) + "/models/floor_mobilenet.onnx";
  options.bag = npm_bag.string();
  options.out_dir = velmora_test::scratch("npm_replay_" + compression).string();
  const auto from_npm = velmora_replay::runReplay(options);
  options.bag = own_bag.string();
  options.out_dir = velmora_test::scratch("own_replay").string();
  const auto from_own = velmora_replay::runReplay(options);
  ASSERT_EQ(from_npm.frames.size(), from_own.frames.size());
  for (std::size_t i = 0; i < from_npm.frames.size(); ++i) {
    EXPECT_EQ(from_npm.frames[i].record.verdict, from_own.frames[i].record.verdict) << i;
  }
  EXPECT_EQ(from_npm.report.cameras[0].judged, static_cast<std::size_t>(velmora_test::kFrames / 2));
}

INSTANTIATE_TEST_SUITE_P(Chunks, NpmWrittenBag, ::testing::Values("", "lz4"));

// What the simulator records, read back by the readers Foxglove uses: every topic with its type
// and count, the summary's statistics and indexes, the CRCs, and decoded fields.
Json::Value readWithNpm(const fs::path & bag)
{
  const fs::path out = velmora_test::scratch("read_mcap.json");
  const std::string command = "node '" + (kWriterDir / "read_mcap.mjs").string() + "' '" +
    bag.string() + "' > '" + out.string() + "'";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  std::ifstream in(out);
  Json::Value json;
  EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &json, nullptr));
  return json;
}

TEST(RecordedSimulation, OpenedByTheEcosystemsReaders)
{
  ASSERT_TRUE(fs::exists(kWriterDir / "node_modules" / "fzstd"))
    << "the npm packages are missing: run scripts/setup";
  velmora_sim::SimOptions options;
  options.duration_s = 1.0;
  options.out_dir = velmora_test::scratch("recorded_run").string();
  options.engine_path = std::string(VELMORA_SOURCE_DIR) + "/test/models/floor_colour.onnx";
  options.record_path = velmora_test::scratch("recorded_run.mcap").string();
  velmora_sim::runSimulation(options);

  const Json::Value read = readWithNpm(options.record_path);
  EXPECT_EQ(read["header"]["profile"].asString(), "ros2");
  EXPECT_TRUE(read["stream_done"].asBool());
  const uint64_t chunks = read["statistics"]["chunkCount"].asUInt64();
  EXPECT_GT(chunks, 0u);
  EXPECT_EQ(read["chunk_indexes"].asUInt64(), chunks);
  EXPECT_EQ(read["records"]["Chunk"].asUInt64(), chunks);
  EXPECT_GE(read["records"]["MessageIndex"].asUInt64(), chunks);
  EXPECT_EQ(read["records"]["Statistics"].asUInt64(), 1u);
  EXPECT_EQ(read["records"]["Metadata"].asUInt64(), 1u);
  EXPECT_EQ(read["records"]["MetadataIndex"].asUInt64(), 1u);
  EXPECT_GT(read["records"]["SummaryOffset"].asUInt64(), 0u);
  EXPECT_EQ(read["statistics"]["messageCount"].asString(), "206");
  uint64_t per_channel = 0;
  for (const Json::Value & count : read["statistics"]["channelMessageCounts"]) {
    per_channel += std::stoull(count.asString());
  }
  EXPECT_EQ(per_channel, 206u);
  const Json::Value & rosbag2 = read["metadata"]["rosbag2"];
  EXPECT_EQ(rosbag2["ros_distro"].asString(), "humble");
  EXPECT_NE(rosbag2["serialized_metadata"].asString().find("storage_identifier: mcap"),
    std::string::npos);

  struct Expected
  {
    const char * topic;
    const char * type;
    unsigned count;
  };
  const std::vector<Expected> expected{
    {"/tf_static", "tf2_msgs/msg/TFMessage", 1}, {"/tf", "tf2_msgs/msg/TFMessage", 50},
    {"/fsm_status", "velmora_protocol/msg/TaskCenterFsmStatus", 5},
    {"/camera_05/color/camera_info", "sensor_msgs/msg/CameraInfo", 30},
    {"/camera_01/color/camera_info", "sensor_msgs/msg/CameraInfo", 30},
    {"/camera_05/color/image_raw", "sensor_msgs/msg/Image", 30},
    {"/camera_01/color/image_raw", "sensor_msgs/msg/Image", 30},
    {"/usb_cam_rear/image_raw", "sensor_msgs/msg/Image", 30}};
  EXPECT_EQ(read["topics"].size(), expected.size());
  for (const Expected & topic : expected) {
    SCOPED_TRACE(topic.topic);
    const Json::Value & found = read["topics"][topic.topic];
    EXPECT_EQ(found["type"].asString(), topic.type);
    EXPECT_EQ(found["schema_encoding"].asString(), "ros2msg");
    EXPECT_EQ(found["message_encoding"].asString(), "cdr");
    EXPECT_EQ(found["count"].asUInt(), topic.count);
    EXPECT_EQ(found["decoded"].asUInt(), topic.count);
    EXPECT_TRUE(found["in_log_time_order"].asBool());
    EXPECT_NE(found["channel_metadata"]["offered_qos_profiles"].asString().find(
        std::string("durability: ") + (topic.topic == std::string("/tf_static") ? "1" : "2")),
      std::string::npos);
  }
  const Json::Value & topics = read["topics"];
  const Json::Value & rear = topics["/camera_05/color/image_raw"]["first"];
  EXPECT_EQ(rear["width"].asUInt(), 640u);
  EXPECT_EQ(rear["height"].asUInt(), 480u);
  EXPECT_EQ(rear["encoding"].asString(), "rgb8");
  EXPECT_EQ(rear["data"]["length"].asUInt(), 640u * 480u * 3u);
  EXPECT_EQ(rear["header"]["frame_id"].asString(), "camera_05_color_optical_frame");
  const Json::Value & fisheye = topics["/usb_cam_rear/image_raw"]["first"];
  EXPECT_EQ(fisheye["width"].asUInt(), 800u);
  EXPECT_EQ(fisheye["encoding"].asString(), "bgr8");
  const auto stamp = velmora_sim::stampFromNanoseconds(velmora_sim::kEpochNs);
  const auto info = velmora_sim::cameraInfo(velmora_sim::CameraId::rear, stamp);
  const Json::Value & k = topics["/camera_05/color/camera_info"]["first"]["k"];
  ASSERT_EQ(k.size(), 9u);
  for (Json::ArrayIndex i = 0; i < 9; ++i) {
    EXPECT_DOUBLE_EQ(k[i].asDouble(), info.k[i]);
  }
  const auto mount = velmora_sim::mountTransform(velmora_sim::CameraId::rear, stamp);
  const Json::Value & statics = topics["/tf_static"]["first"]["transforms"];
  ASSERT_GE(statics.size(), 1u);
  EXPECT_EQ(statics[0]["child_frame_id"].asString(), mount.child_frame_id);
  EXPECT_DOUBLE_EQ(statics[0]["transform"]["translation"]["z"].asDouble(),
    mount.transform.translation.z);
  const Json::Value & odometry = topics["/tf"]["first"]["transforms"][0];
  EXPECT_EQ(odometry["header"]["frame_id"].asString(), "map");
  EXPECT_DOUBLE_EQ(odometry["transform"]["translation"]["x"].asDouble(), 0.12);
  EXPECT_EQ(topics["/fsm_status"]["first"]["state_name"].asString(), "idle");
}

}  // namespace
