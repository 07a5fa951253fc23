#include "sim/truth_sidecar.hpp"

#include <json/json.h>

#include <array>
#include <fstream>

#include "bag/ros_messages.hpp"

namespace velmora_sim
{

namespace
{

using velmora_water_stain::FloorClass;

constexpr char kFormat[] = "velmora simulated ground truth";
constexpr int kVersion = 1;
constexpr std::array<const char *, 3> kClassNames{"clean", "dirty", "stubborn"};

Json::Value pointsJson(const std::vector<cv::Point2d> & points)
{
  Json::Value json(Json::arrayValue);
  for (const cv::Point2d & point : points) {
    Json::Value pair(Json::arrayValue);
    pair.append(point.x);
    pair.append(point.y);
    json.append(pair);
  }
  return json;
}

std::vector<cv::Point2d> pointsFrom(const Json::Value & json)
{
  std::vector<cv::Point2d> points;
  for (const Json::Value & pair : json) {
    points.emplace_back(pair[0].asDouble(), pair[1].asDouble());
  }
  return points;
}

FloorClass classFrom(const std::string & name)
{
  for (std::size_t i = 0; i < kClassNames.size(); ++i) {
    if (name == kClassNames[i]) {
      return static_cast<FloorClass>(i);
    }
  }
  throw TruthError("unknown floor class '" + name + "'");
}

CameraId cameraFrom(const std::string & name)
{
  for (CameraId camera : kAllCameras) {
    if (cameraDesign(camera).name == name) {
      return camera;
    }
  }
  throw TruthError("unknown camera '" + name + "'");
}

Json::Value frameJson(const FrameRecord & frame)
{
  const RegionTruth & truth = frame.truth;
  Json::Value json;
  json["camera"] = cameraDesign(frame.camera).name;
  json["stamp_ns"] = std::to_string(stampNanoseconds(frame.stamp_sec, frame.stamp_nanosec));
  json["time_s"] = frame.sim_time;
  json["region"] = pointsJson(frame.region);
  json["region_m2"] = truth.region_m2;
  json["class"] = kClassNames[static_cast<std::size_t>(truth.floor_class)];
  json["visible_class"] = kClassNames[static_cast<std::size_t>(truth.visible_class)];
  json["dirt_m2"] = truth.dirt_m2;
  json["water_m2"] = truth.water_m2;
  json["stubborn_m2"] = truth.stubborn_m2;
  json["stains"] = Json::Value(Json::arrayValue);
  for (const StainInView & stain : truth.stains) {
    Json::Value entry;
    entry["id"] = stain.stain_id;
    entry["area_m2"] = stain.area_m2;
    entry["patch_share"] = stain.patch_share;
    json["stains"].append(entry);
  }
  return json;
}

std::pair<std::pair<CameraId, int64_t>, FrameTruth> frameFrom(const Json::Value & json)
{
  FrameTruth frame;
  frame.time_s = json["time_s"].asDouble();
  frame.region = pointsFrom(json["region"]);
  RegionTruth & truth = frame.truth;
  truth.region_m2 = json["region_m2"].asDouble();
  truth.floor_class = classFrom(json["class"].asString());
  truth.visible_class = classFrom(json["visible_class"].asString());
  truth.dirt_m2 = json["dirt_m2"].asDouble();
  truth.water_m2 = json["water_m2"].asDouble();
  truth.stubborn_m2 = json["stubborn_m2"].asDouble();
  for (const Json::Value & entry : json["stains"]) {
    const StainInView stain{
      entry["id"].asInt(), entry["area_m2"].asDouble(), entry["patch_share"].asDouble()};
    truth.stain_ids.push_back(stain.stain_id);
    truth.stains.push_back(stain);
  }
  const int64_t stamp = std::stoll(json["stamp_ns"].asString());
  return {{cameraFrom(json["camera"].asString()), stamp}, frame};
}

// Checked by type first: jsoncpp throws its own exceptions on a field of another type.
bool isTruthFile(const Json::Value & root)
{
  return root.isObject() && root["format"].isString() && root["format"].asString() == kFormat &&
         root["version"].isInt() && root["version"].asInt() == kVersion;
}

}  // namespace

int64_t stampNanoseconds(int32_t sec, uint32_t nanosec)
{
  return static_cast<int64_t>(sec) * 1000000000LL + nanosec;
}

void writeTruthSidecar(
  const std::string & path, const World & world, const RunInfo & info,
  const std::vector<FrameRecord> & frames)
{
  Json::Value root;
  root["format"] = kFormat;
  root["version"] = kVersion;
  root["run"]["seed"] = static_cast<Json::UInt64>(info.seed);
  root["run"]["scenario"] = info.scenario;
  root["truth_min_stain_area_m2"] = kMinStainArea;
  root["truth_visible_min_patch_share"] = kMinPatchShare;
  const std::string status_type = "velmora_protocol/msg/TaskCenterFsmStatus";
  root["message_definitions"][status_type] = velmora_bag::messageDefinition(status_type);
  root["stains"] = Json::Value(Json::arrayValue);
  for (const Stain & stain : world.stains()) {
    Json::Value json;
    json["id"] = stain.id;
    json["kind"] = stainKindName(stain.design.kind);
    json["area_m2"] = stain.area_m2;
    json["outlines"] = Json::Value(Json::arrayValue);
    for (const std::vector<cv::Point2d> & outline : stainOutlines(world, stain)) {
      json["outlines"].append(pointsJson(outline));
    }
    root["stains"].append(json);
  }
  root["frames"] = Json::Value(Json::arrayValue);
  for (const FrameRecord & frame : frames) {
    root["frames"].append(frameJson(frame));
  }
  std::ofstream out(path, std::ios::trunc);
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  out << Json::writeString(builder, root) << '\n';
  out.close();
  if (!out) {
    throw TruthError(path + ": cannot be written");
  }
}

RecordedTruth readTruthSidecar(const std::string & path)
{
  std::ifstream in(path);
  if (!in) {
    throw TruthError(path + ": cannot be read");
  }
  Json::Value root;
  Json::CharReaderBuilder builder;
  std::string errors;
  if (!Json::parseFromStream(builder, in, &root, &errors)) {
    throw TruthError(path + ": not JSON: " + errors);
  }
  if (!isTruthFile(root)) {
    throw TruthError(path + ": not a ground-truth file of version " + std::to_string(kVersion));
  }
  RecordedTruth truth;
  try {
    truth.seed = root["run"]["seed"].asUInt64();
    truth.scenario = root["run"]["scenario"].asString();
    for (const Json::Value & stain : root["stains"]) {
      truth.stains.push_back({stain["id"].asInt(), stain["kind"].asString()});
    }
    for (const Json::Value & frame : root["frames"]) {
      truth.frames.insert(frameFrom(frame));
    }
    for (const std::string & type : root["message_definitions"].getMemberNames()) {
      truth.message_definitions[type] = root["message_definitions"][type].asString();
    }
  } catch (const Json::Exception & error) {
    throw TruthError(path + ": malformed: " + error.what());
  } catch (const std::logic_error & error) {
    throw TruthError(path + ": malformed: " + error.what());
  } catch (const TruthError & error) {
    throw TruthError(path + ": " + error.what());
  }
  return truth;
}

}  // namespace velmora_sim
