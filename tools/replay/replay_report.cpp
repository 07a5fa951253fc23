#include "replay/replay_report.hpp"

#include <json/json.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace velmora_replay
{

namespace
{

using velmora_sim::CameraId;
using velmora_sim::CameraReport;

constexpr std::array<const char *, 3> kClassNames{"clean", "dirty", "stubborn"};
constexpr int kMapSize = 900;

const char * roleName(TopicRole role)
{
  switch (role) {
    case TopicRole::image: return "image";
    case TopicRole::compressed_image: return "compressed image";
    case TopicRole::camera_info: return "camera info";
    case TopicRole::tf: return "tf";
    case TopicRole::tf_static: return "tf static";
    case TopicRole::status: return "status";
    case TopicRole::ignored: break;
  }
  return "ignored";
}

Json::Value latencyJson(const velmora_sim::LatencyStats & stats)
{
  Json::Value json;
  json["count"] = static_cast<Json::UInt64>(stats.count);
  json["median_ms"] = stats.median_ms;
  json["p95_ms"] = stats.p95_ms;
  return json;
}

Json::Value cameraJson(const CameraReport & camera, bool labelled)
{
  Json::Value json;
  json["camera"] = camera.name;
  json["frames_delivered"] = static_cast<Json::UInt64>(camera.published);
  json["frames_received"] = static_cast<Json::UInt64>(camera.received);
  json["frames_judged"] = static_cast<Json::UInt64>(camera.judged);
  json["frames_dropped"] = static_cast<Json::UInt64>(camera.dropped);
  json["frames_gated"] = static_cast<Json::UInt64>(camera.gated);
  for (std::size_t i = 0; i < 3; ++i) {
    json["verdicts"][kClassNames[i]] = static_cast<Json::UInt64>(camera.verdicts[i]);
  }
  json["vlm"]["calls"] = static_cast<Json::UInt64>(camera.vlm_calls);
  json["vlm"]["yes"] = static_cast<Json::UInt64>(camera.vlm_yes);
  json["vlm"]["failed"] = static_cast<Json::UInt64>(camera.vlm_failed);
  json["same_floor_dirty"] = static_cast<Json::UInt64>(camera.same_floor_dirty);
  json["callback"] = latencyJson(camera.callback);
  json["judged_callback"] = latencyJson(camera.judged_callback);
  json["mobilenet"] = latencyJson(camera.mobilenet);
  json["internvl"] = latencyJson(camera.internvl);
  if (labelled) {
    for (std::size_t truth = 0; truth < 3; ++truth) {
      for (std::size_t verdict = 0; verdict < 3; ++verdict) {
        json["confusion"][std::string("label_") + kClassNames[truth]][kClassNames[verdict]] =
          static_cast<Json::UInt64>(camera.confusion[truth][verdict]);
      }
    }
    json["precision"] = camera.precision ? Json::Value(*camera.precision) : Json::Value();
    json["recall"] = camera.recall ? Json::Value(*camera.recall) : Json::Value();
  }
  return json;
}

Json::Value frameJson(const ReplayFrame & frame)
{
  const velmora_sim::FrameRecord & record = frame.record;
  Json::Value json;
  json["camera"] = velmora_sim::cameraDesign(record.camera).name;
  json["topic"] = frame.topic;
  json["bag_time_ns"] = static_cast<Json::Int64>(frame.bag_time_ns);
  json["stamp"] = std::to_string(record.stamp_sec) + "." + std::to_string(record.stamp_nanosec);
  json["received"] = record.received;
  json["callback_ms"] = record.callback_ms;
  json["verdict"] = record.verdict ?
    Json::Value(kClassNames[static_cast<std::size_t>(*record.verdict)]) : Json::Value();
  if (record.log.gated) {
    json["not_judged"] = "not working or not calibrated";
  } else if (record.log.no_pose) {
    json["not_judged"] = "no robot pose on tf";
  } else if (record.log.conversion_failed) {
    json["not_judged"] = "image conversion failed";
  }
  if (record.log.vlm_answer) {
    json["vlm_answer"] = *record.log.vlm_answer;
  }
  if (record.log.scores) {
    for (double score : *record.log.scores) {
      json["scores"].append(score);
    }
  }
  if (frame.label) {
    json["label"] = kClassNames[static_cast<std::size_t>(*frame.label)];
  }
  return json;
}

// The frames that can be scored: those of the recording's ground truth as they are, labelled
// ones with the label as their truth.
std::vector<velmora_sim::FrameRecord> labelledRecords(const ReplayOutcome & outcome)
{
  std::vector<velmora_sim::FrameRecord> records;
  for (const ReplayFrame & frame : outcome.frames) {
    if (frame.has_truth) {
      records.push_back(frame.record);
    } else if (frame.label) {
      records.push_back(frame.record);
      records.back().truth.floor_class = *frame.label;
    }
  }
  return records;
}

CameraReport tally(
  const std::string & name, const ReplayOutcome & outcome, const std::vector<CameraId> & cameras,
  std::size_t dropped)
{
  std::vector<velmora_sim::FrameRecord> records;
  for (const ReplayFrame & frame : outcome.frames) {
    records.push_back(frame.record);
  }
  CameraReport report = velmora_sim::tallyFrames(name, records, cameras, dropped);
  const CameraReport scored =
    velmora_sim::tallyFrames(name, labelledRecords(outcome), cameras, 0);
  report.confusion = scored.confusion;
  report.precision = outcome.labelled ? scored.precision : std::nullopt;
  report.recall = outcome.labelled ? scored.recall : std::nullopt;
  if (!outcome.truth_path.empty()) {
    report.confusion_visible = scored.confusion_visible;
    report.precision_visible = scored.precision_visible;
    report.recall_visible = scored.recall_visible;
  }
  return report;
}

std::string percent(const std::optional<double> & share)
{
  if (!share) {
    return "-";
  }
  std::ostringstream text;
  text << std::fixed << std::setprecision(1) << *share * 100.0 << '%';
  return text.str();
}

cv::Scalar verdictColour(const std::optional<velmora_water_stain::FloorClass> & verdict)
{
  if (!verdict) {
    return {160, 160, 160};
  }
  switch (*verdict) {
    case velmora_water_stain::FloorClass::clean: return {60, 170, 60};
    case velmora_water_stain::FloorClass::dirty: return {0, 140, 255};
    case velmora_water_stain::FloorClass::stubborn: return {30, 30, 200};
  }
  return {160, 160, 160};
}

bool isFinite(const cv::Point2d & point)
{
  return std::isfinite(point.x) && std::isfinite(point.y);
}

// cv::imwrite tells of a failed write only by its result.
void writeImage(const std::string & path, const cv::Mat & image)
{
  if (!cv::imwrite(path, image)) {
    throw std::runtime_error(path + ": could not be written");
  }
}

}  // namespace

velmora_sim::SimReport buildReport(
  const ReplayOutcome & outcome, const velmora_sim::RunInfo & info, const ReplayOptions & options,
  const std::string & image_dir)
{
  velmora_sim::SimReport report;
  report.info = info;
  report.info.realtime = options.realtime;
  report.info.engine_path = options.engine_path;
  report.info.duration_s = outcome.window_s;
  std::size_t dropped_total = 0;
  for (CameraId camera : options.cameras) {
    const auto dropped = outcome.dropped.find(camera);
    const std::size_t count = dropped == outcome.dropped.end() ? 0 : dropped->second;
    report.info.cameras.push_back(velmora_sim::cameraDesign(camera).name);
    report.cameras.push_back(tally(velmora_sim::cameraDesign(camera).name, outcome, {camera}, count));
    dropped_total += count;
  }
  report.overall = tally("all", outcome, {}, dropped_total);
  report.archive = velmora_sim::countArchive(image_dir);
  if (!outcome.truth_path.empty()) {
    std::vector<velmora_sim::FrameRecord> records;
    for (const ReplayFrame & frame : outcome.frames) {
      records.push_back(frame.record);
    }
    velmora_sim::scoreStainLevel(outcome.truth_stains, records, report);
  }
  return report;
}

void writeReplayJson(
  const std::string & path, const ReplayOutcome & outcome, const ReplayOptions & options)
{
  Json::Value root;
  root["bag"]["path"] = options.bag;
  root["bag"]["storage"] = outcome.storage;
  for (const TopicPlan & plan : outcome.topics) {
    Json::Value topic;
    topic["topic"] = plan.bag_topic;
    topic["type"] = plan.type;
    topic["fed_to"] = plan.role == TopicRole::ignored ? Json::Value() : Json::Value(plan.node_topic);
    topic["role"] = roleName(plan.role);
    topic["messages_in_bag"] = static_cast<Json::UInt64>(plan.in_bag);
    topic["delivered"] = static_cast<Json::UInt64>(plan.delivered);
    topic["not_delivered"] = static_cast<Json::UInt64>(plan.skipped);
    root["bag"]["topics"].append(topic);
  }
  root["bag"]["skipped"] = Json::Value(Json::arrayValue);
  for (const SkippedMessage & skipped : outcome.skipped) {
    Json::Value entry;
    entry["topic"] = skipped.topic;
    entry["location"] = skipped.location;
    entry["reason"] = skipped.reason;
    root["bag"]["skipped"].append(entry);
  }
  const velmora_sim::RunInfo & info = outcome.report.info;
  root["run"]["window_s"] = outcome.window_s;
  root["run"]["interrupted"] = info.interrupted;
  root["run"]["start_s"] = options.start_s;
  root["run"]["realtime"] = options.realtime;
  root["run"]["always_working"] = options.always_working;
  root["run"]["engine_path"] = options.engine_path;
  root["run"]["vlm_url"] = info.vlm_url;
  root["run"]["vlm_stand_in"] = info.vlm_stub;
  root["run"]["vlm_requests_seen_by_stand_in"] = static_cast<Json::UInt64>(info.vlm_stub_requests);
  root["run"]["wall_time_s"] = info.wall_time_s;
  root["run"]["node_log_lines"] = static_cast<Json::UInt64>(info.log_lines);
  root["run"]["node_log_warnings"] = static_cast<Json::UInt64>(info.log_warnings);
  root["run"]["tf_waits_timed_out"] = static_cast<Json::UInt64>(outcome.tf_waits_timed_out);
  for (const rclcpp::Parameter & parameter : options.parameters) {
    root["run"]["parameters"][parameter.get_name()] = parameter.value_to_string();
  }
  for (const CameraReport & camera : outcome.report.cameras) {
    root["cameras"].append(cameraJson(camera, outcome.labelled));
  }
  root["overall"] = cameraJson(outcome.report.overall, outcome.labelled);
  for (const auto & [category, count] : outcome.report.archive) {
    root["archive"][category] = static_cast<Json::UInt64>(count);
  }
  if (!outcome.truth_path.empty()) {
    root["ground_truth"] = outcome.truth_path;
    velmora_sim::addStainLevelJson(root, outcome.report);
  }
  root["notes"] = Json::Value(Json::arrayValue);
  for (const std::string & note : outcome.notes) {
    root["notes"].append(note);
  }
  root["frames"] = Json::Value(Json::arrayValue);
  for (const ReplayFrame & frame : outcome.frames) {
    root["frames"].append(frameJson(frame));
  }
  Json::StreamWriterBuilder builder;
  builder["indentation"] = " ";
  std::ofstream out(path);
  out << Json::writeString(builder, root) << '\n';
  out.close();
  if (!out) {
    throw std::runtime_error(path + ": could not be written completely (disk full?)");
  }
}

void writeReplayMap(
  const std::string & path, const ReplayOutcome & outcome,
  const std::vector<cv::Point2d> & recorded_path)
{
  // A recorded pose of infinite or NaN coordinates has no place on the map.
  std::vector<cv::Point2d> path_points;
  std::copy_if(
    recorded_path.begin(), recorded_path.end(), std::back_inserter(path_points), isFinite);
  std::vector<const ReplayFrame *> placed;
  for (const ReplayFrame & frame : outcome.frames) {
    const auto & region = frame.record.region;
    if (std::all_of(region.begin(), region.end(), isFinite)) {
      placed.push_back(&frame);
    }
  }
  std::vector<cv::Point2d> all(path_points);
  for (const ReplayFrame * frame : placed) {
    all.insert(all.end(), frame->record.region.begin(), frame->record.region.end());
  }
  cv::Mat map(kMapSize, kMapSize, CV_8UC3, cv::Scalar(250, 250, 250));
  if (all.empty()) {
    cv::putText(map, "no map <- base_footprint pose on tf", {40, kMapSize / 2},
      cv::FONT_HERSHEY_SIMPLEX, 0.9, {0, 0, 0}, 2);
    writeImage(path, map);
    return;
  }
  cv::Point2d low = all.front();
  cv::Point2d high = all.front();
  for (const cv::Point2d & point : all) {
    low = {std::min(low.x, point.x), std::min(low.y, point.y)};
    high = {std::max(high.x, point.x), std::max(high.y, point.y)};
  }
  const double span = std::max({high.x - low.x, high.y - low.y, 1.0});
  const double scale = (kMapSize - 60) / span;
  const auto pixel = [&](const cv::Point2d & point) {
      // Map x to the right, map y up.
      return cv::Point(
        static_cast<int>(30 + (point.x - low.x) * scale),
        static_cast<int>(kMapSize - 30 - (point.y - low.y) * scale));
    };
  for (const ReplayFrame * frame : placed) {
    if (frame->record.region.size() != 4 || !frame->record.judged()) {
      continue;
    }
    std::vector<cv::Point> corners;
    for (const cv::Point2d & corner : frame->record.region) {
      corners.push_back(pixel(corner));
    }
    cv::polylines(map, corners, true, verdictColour(frame->record.verdict), 1, cv::LINE_AA);
  }
  for (std::size_t i = 1; i < path_points.size(); ++i) {
    cv::line(map, pixel(path_points[i - 1]), pixel(path_points[i]), {0, 0, 0}, 1, cv::LINE_AA);
  }
  cv::putText(map, "green clean, orange dirty, red stubborn; black: robot path", {20, 20},
    cv::FONT_HERSHEY_SIMPLEX, 0.5, {0, 0, 0}, 1);
  writeImage(path, map);
}

std::string replaySummary(const ReplayOutcome & outcome)
{
  std::ostringstream out;
  const auto row = [&out](const std::vector<std::string> & cells) {
      const std::array<int, 11> widths{8, 8, 8, 6, 7, 7, 10, 6, 8, 8, 18};
      for (std::size_t i = 0; i < cells.size(); ++i) {
        out << std::setw(widths[i]) << cells[i];
      }
      out << '\n';
    };
  const auto ms = [](const velmora_sim::LatencyStats & stats) {
      std::ostringstream text;
      text << std::fixed << std::setprecision(1) << stats.median_ms << '/' << stats.p95_ms;
      return text.str();
    };
  row({"camera", "frames", "judged", "drop", "clean", "dirty", "stubborn", "vlm", "prec",
      "recall", "callback p50/p95"});
  std::vector<CameraReport> rows = outcome.report.cameras;
  rows.push_back(outcome.report.overall);
  for (const CameraReport & camera : rows) {
    row({camera.name, std::to_string(camera.published), std::to_string(camera.judged),
        std::to_string(camera.dropped), std::to_string(camera.verdicts[0]),
        std::to_string(camera.verdicts[1]), std::to_string(camera.verdicts[2]),
        std::to_string(camera.vlm_calls), percent(camera.precision), percent(camera.recall),
        ms(camera.callback)});
  }
  out << "(frames: images delivered to the node; prec and recall over labelled frames)\n";
  if (!outcome.truth_path.empty()) {
    out << "scored against the recording's ground truth " << outcome.truth_path << '\n' <<
      velmora_sim::stainLevelTable(outcome.report);
  }
  std::size_t bad = outcome.skipped.size();
  out << "bag: " << outcome.storage << ", " << outcome.topics.size() << " topics, " << bad <<
    " bad messages or damaged parts skipped";
  for (std::size_t i = 0; i < std::min<std::size_t>(bad, 5); ++i) {
    out << "\n  " << (outcome.skipped[i].topic.empty() ? "" : outcome.skipped[i].topic + " ") <<
      "at " << outcome.skipped[i].location << ": " << outcome.skipped[i].reason;
  }
  if (bad > 5) {
    out << "\n  ... (all in report.json)";
  }
  out << '\n';
  for (const std::string & note : outcome.notes) {
    out << "note: " << note << '\n';
  }
  return out.str();
}

}  // namespace velmora_replay
