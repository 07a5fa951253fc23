// Bags written by the ecosystem's own implementations (npm's @mcap/core and
// @foxglove/rosmsg2-serialization, installed by scripts/setup into test/mcap_js) are read back
// field for field and judged like the same frames written by our own writer.
#include <gtest/gtest.h>

#include <json/json.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "bag/bag.hpp"
#include "bag/mcap_bag.hpp"
#include "recorded_run.hpp"
#include "replay/replay.hpp"

namespace
{

namespace fs = std::filesystem;
const velmora_test::ScratchCleanup kCleanup;
using velmora_test::RecordedMessage;

const fs::path kWriterDir = fs::path(VELMORA_SOURCE_DIR) / "test" / "mcap_js";

const char kSeparator[] =
  "================================================================================\n";

std::string withDependencies(const std::string & fields, const std::vector<std::string> & types)
{
  static const std::map<std::string, std::string> dependencies{
    {"std_msgs/Header", "builtin_interfaces/Time stamp\nstring frame_id\n"},
    {"builtin_interfaces/Time", "int32 sec\nuint32 nanosec\n"},
    {"sensor_msgs/RegionOfInterest",
      "uint32 x_offset\nuint32 y_offset\nuint32 height\nuint32 width\nbool do_rectify\n"},
    {"geometry_msgs/TransformStamped",
      "std_msgs/Header header\nstring child_frame_id\nTransform transform\n"},
    {"geometry_msgs/Transform", "Vector3 translation\nQuaternion rotation\n"},
    {"geometry_msgs/Vector3", "float64 x\nfloat64 y\nfloat64 z\n"},
    {"geometry_msgs/Quaternion", "float64 x 0\nfloat64 y 0\nfloat64 z 0\nfloat64 w 1\n"},
  };
  std::string text = fields;
  for (const std::string & type : types) {
    text += kSeparator + std::string("MSG: ") + type + "\n" + dependencies.at(type);
  }
  return text;
}

Json::Value definitions()
{
  Json::Value json;
  json["sensor_msgs/msg/Image"] = withDependencies(
    "std_msgs/Header header\nuint32 height\nuint32 width\nstring encoding\nuint8 is_bigendian\n"
    "uint32 step\nuint8[] data\n", {"std_msgs/Header", "builtin_interfaces/Time"});
  json["sensor_msgs/msg/CompressedImage"] = withDependencies(
    "std_msgs/Header header\nstring format\nuint8[] data\n",
    {"std_msgs/Header", "builtin_interfaces/Time"});
  json["sensor_msgs/msg/CameraInfo"] = withDependencies(
    "std_msgs/Header header\nuint32 height\nuint32 width\nstring distortion_model\n"
    "float64[] d\nfloat64[9] k\nfloat64[9] r\nfloat64[12] p\nuint32 binning_x\n"
    "uint32 binning_y\nRegionOfInterest roi\n",
    {"std_msgs/Header", "builtin_interfaces/Time", "sensor_msgs/RegionOfInterest"});
  json["tf2_msgs/msg/TFMessage"] = withDependencies(
    "geometry_msgs/TransformStamped[] transforms\n",
    {"geometry_msgs/TransformStamped", "std_msgs/Header", "builtin_interfaces/Time",
      "geometry_msgs/Transform", "geometry_msgs/Vector3", "geometry_msgs/Quaternion"});
  json["velmora_protocol/msg/TaskCenterFsmStatus"] = withDependencies(
    velmora_bag::kStatusDefinition, {"std_msgs/Header", "builtin_interfaces/Time"});
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

}  // namespace
