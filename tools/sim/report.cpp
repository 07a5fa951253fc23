#include "sim/report.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <stdexcept>

#include <json/json.h>
#include <opencv2/imgproc.hpp>

namespace velmora_sim
{

namespace
{

namespace fs = std::filesystem;
using velmora_water_stain::FloorClass;

const std::array<const char *, 3> kVerdictNames{"clean", "dirty", "stubborn"};
constexpr double kMapPixelsPerMetre = 100.0;
constexpr double kMapMargin = 2.2;

std::size_t classIndex(FloorClass floor_class)
{
  return static_cast<std::size_t>(floor_class);
}

bool wanted(const std::vector<CameraId> & cameras, CameraId camera)
{
  return cameras.empty() || std::find(cameras.begin(), cameras.end(), camera) != cameras.end();
}

using Confusion = std::array<std::array<std::size_t, 3>, 3>;

// Of dirty-or-stubborn verdicts against dirty-or-stubborn truth.
void setPrecisionAndRecall(
  const Confusion & confusion, std::optional<double> & precision, std::optional<double> & recall)
{
  std::size_t true_positive = 0;
  std::size_t said_positive = 0;
  std::size_t truly_positive = 0;
  for (std::size_t truth = 0; truth < 3; ++truth) {
    for (std::size_t verdict = 0; verdict < 3; ++verdict) {
      const std::size_t count = confusion[truth][verdict];
      true_positive += truth > 0 && verdict > 0 ? count : 0;
      said_positive += verdict > 0 ? count : 0;
      truly_positive += truth > 0 ? count : 0;
    }
  }
  if (said_positive > 0) {
    precision = static_cast<double>(true_positive) / said_positive;
  }
  if (truly_positive > 0) {
    recall = static_cast<double>(true_positive) / truly_positive;
  }
}

Json::Value optionalNumber(const std::optional<double> & value)
{
  return value ? Json::Value(*value) : Json::Value(Json::nullValue);
}

Json::Value latencyJson(const LatencyStats & stats)
{
  Json::Value json;
  json["count"] = static_cast<Json::UInt64>(stats.count);
  json["median_ms"] = stats.median_ms;
  json["p95_ms"] = stats.p95_ms;
  return json;
}

Json::Value confusionJson(const Confusion & confusion)
{
  Json::Value json;
  for (std::size_t truth = 0; truth < 3; ++truth) {
    for (std::size_t verdict = 0; verdict < 3; ++verdict) {
      json["truth_" + std::string(kVerdictNames[truth])][kVerdictNames[verdict]] =
        static_cast<Json::UInt64>(confusion[truth][verdict]);
    }
  }
  return json;
}

Json::Value stainTallyJson(const StainTally & tally)
{
  Json::Value json;
  json["stains"] = static_cast<Json::UInt64>(tally.stains);
  json["seen"] = static_cast<Json::UInt64>(tally.seen);
  json["found"] = static_cast<Json::UInt64>(tally.found);
  json["recall"] = optionalNumber(tally.recall);
  json["frames_to_detection_median"] = optionalNumber(tally.frames_to_detection_median);
  json["frames_to_detection_max"] = static_cast<Json::UInt64>(tally.frames_to_detection_max);
  json["seconds_to_detection_median"] = optionalNumber(tally.seconds_to_detection_median);
  json["seconds_to_detection_max"] = tally.seconds_to_detection_max;
  return json;
}

Json::Value stainScoreJson(const StainScore & score)
{
  Json::Value json;
  json["overall"] = stainTallyJson(score.overall);
  for (const auto & [kind, tally] : score.by_kind) {
    json["by_kind"][kind] = stainTallyJson(tally);
  }
  for (const auto & [camera, tally] : score.by_camera) {
    json["by_camera"][camera] = stainTallyJson(tally);
  }
  json["stains"] = Json::Value(Json::arrayValue);
  for (const StainOutcome & outcome : score.stains) {
    Json::Value stain;
    stain["id"] = outcome.id;
    stain["seen"] = outcome.seen;
    stain["found"] = outcome.found;
    stain["first_seen_s"] = optionalNumber(outcome.first_seen_s);
    stain["first_found_s"] = optionalNumber(outcome.first_found_s);
    stain["frames_to_detection"] = static_cast<Json::UInt64>(outcome.frames_to_detection);
    json["stains"].append(stain);
  }
  return json;
}

Json::Value falseAlarmsJson(const FalseAlarms & alarms)
{
  Json::Value json;
  json["stain_free_judged"] = static_cast<Json::UInt64>(alarms.stain_free_judged);
  json["alarms"] = static_cast<Json::UInt64>(alarms.alarms);
  json["rate"] = optionalNumber(alarms.rate);
  json["judged_by_vlm"] = static_cast<Json::UInt64>(alarms.judged_by_vlm);
  return json;
}

Json::Value cameraJson(const CameraReport & report)
{
  Json::Value json;
  json["published"] = static_cast<Json::UInt64>(report.published);
  json["received"] = static_cast<Json::UInt64>(report.received);
  json["judged"] = static_cast<Json::UInt64>(report.judged);
  json["dropped"] = static_cast<Json::UInt64>(report.dropped);
  json["not_working_or_uncalibrated"] = static_cast<Json::UInt64>(report.gated);
  for (std::size_t verdict = 0; verdict < 3; ++verdict) {
    json["verdicts"][kVerdictNames[verdict]] = static_cast<Json::UInt64>(report.verdicts[verdict]);
  }
  json["clean_not_archived"] = static_cast<Json::UInt64>(report.clean_not_archived);
  json["vlm_calls"] = static_cast<Json::UInt64>(report.vlm_calls);
  json["vlm_yes"] = static_cast<Json::UInt64>(report.vlm_yes);
  json["vlm_failed"] = static_cast<Json::UInt64>(report.vlm_failed);
  json["same_floor_dirty_confirmations"] = static_cast<Json::UInt64>(report.same_floor_dirty);
  json["confusion"] = confusionJson(report.confusion);
  json["precision_dirty_or_stubborn"] = optionalNumber(report.precision);
  json["recall_dirty_or_stubborn"] = optionalNumber(report.recall);
  json["confusion_visible"] = confusionJson(report.confusion_visible);
  json["precision_dirty_or_stubborn_visible"] = optionalNumber(report.precision_visible);
  json["recall_dirty_or_stubborn_visible"] = optionalNumber(report.recall_visible);
  json["latency"]["callback"] = latencyJson(report.callback);
  json["latency"]["judged_callback"] = latencyJson(report.judged_callback);
  json["latency"]["callback_cpu"] = latencyJson(report.callback_cpu);
  json["latency"]["judged_callback_cpu"] = latencyJson(report.judged_callback_cpu);
  json["latency"]["mobilenet"] = latencyJson(report.mobilenet);
  json["latency"]["internvl"] = latencyJson(report.internvl);
  return json;
}

Json::Value frameJson(const FrameRecord & frame)
{
  Json::Value json;
  json["camera"] = cameraDesign(frame.camera).name;
  json["file"] = frame.fileName();
  json["sim_time_s"] = frame.sim_time;
  json["pose"].append(frame.pose.x);
  json["pose"].append(frame.pose.y);
  json["pose"].append(frame.pose.yaw);
  json["truth"] = kVerdictNames[classIndex(frame.truth.floor_class)];
  json["truth_visible"] = kVerdictNames[classIndex(frame.truth.visible_class)];
  for (int id : frame.truth.stain_ids) {
    json["stains"].append(id);
  }
  for (const StainInView & stain : frame.truth.stains) {
    Json::Value cover;
    cover["id"] = stain.stain_id;
    cover["area_m2"] = stain.area_m2;
    cover["patch_share"] = stain.patch_share;
    json["stain_cover"].append(cover);
  }
  json["received"] = frame.received;
  json["callback_ms"] = frame.callback_ms;
  json["callback_cpu_ms"] = frame.callback_cpu_ms;
  json["verdict"] = frame.verdict ? Json::Value(kVerdictNames[classIndex(*frame.verdict)]) :
    Json::Value(Json::nullValue);
  if (frame.log.vlm_answer) {
    json["vlm_answer"] = *frame.log.vlm_answer;
  }
  if (frame.log.scores) {
    for (double score : *frame.log.scores) {
      json["scores"].append(score);
    }
  }
  return json;
}

std::string percent(const std::optional<double> & value)
{
  if (!value) {
    return "-";
  }
  std::ostringstream text;
  text << std::fixed << std::setprecision(1) << 100.0 * *value << '%';
  return text.str();
}

std::string milliseconds(const LatencyStats & stats)
{
  if (stats.count == 0) {
    return "-";
  }
  std::ostringstream text;
  text << std::fixed << std::setprecision(1) << stats.median_ms << '/' << stats.p95_ms;
  return text.str();
}

cv::Scalar verdictColour(FloorClass verdict)
{
  switch (verdict) {
    case FloorClass::clean: return {80, 200, 60};
    case FloorClass::dirty: return {0, 165, 255};
    case FloorClass::stubborn: return {40, 40, 230};
  }
  return {255, 255, 255};
}

cv::Scalar stainColour(StainKind kind)
{
  switch (kind) {
    case StainKind::dirt: return {0, 220, 255};
    case StainKind::water: return {255, 140, 0};
    case StainKind::stubborn: return {220, 0, 220};
  }
  return {255, 255, 255};
}

// The map picture: the part of the room the path covers, x to the right and y up.
class MapCanvas
{
public:
  MapCanvas(const World & world, const cv::Rect2d & area)
  : area_(area)
  {
    const cv::Point2d low = world.toRaster({area.x, area.y});
    const cv::Point2d high = world.toRaster({area.x + area.width, area.y + area.height});
    const cv::Rect window = cv::Rect(
      cv::Point(cvFloor(low.x), cvFloor(low.y)), cv::Point(cvCeil(high.x), cvCeil(high.y))) &
      cv::Rect(0, 0, world.texture().cols, world.texture().rows);
    const cv::Size size(
      static_cast<int>(area.width * kMapPixelsPerMetre),
      static_cast<int>(area.height * kMapPixelsPerMetre));
    cv::resize(world.texture()(window), image_, size, 0, 0, cv::INTER_AREA);
    cv::flip(image_, image_, 0);
  }

  cv::Point toPixel(const cv::Point2d & map_point) const
  {
    return {cvRound((map_point.x - area_.x) * kMapPixelsPerMetre),
      cvRound((area_.y + area_.height - map_point.y) * kMapPixelsPerMetre)};
  }

  cv::Mat & image() {return image_;}

private:
  cv::Rect2d area_;
  cv::Mat image_;
};

cv::Rect2d mapArea(const World & world, const std::vector<Pose2D> & path)
{
  double low_x = world.config().width_m;
  double low_y = world.config().height_m;
  double high_x = 0.0;
  double high_y = 0.0;
  for (const Pose2D & pose : path) {
    low_x = std::min(low_x, pose.x);
    low_y = std::min(low_y, pose.y);
    high_x = std::max(high_x, pose.x);
    high_y = std::max(high_y, pose.y);
  }
  low_x = std::max(0.0, low_x - kMapMargin);
  low_y = std::max(0.0, low_y - kMapMargin);
  high_x = std::min(world.config().width_m, high_x + kMapMargin);
  high_y = std::min(world.config().height_m, high_y + kMapMargin);
  return {low_x, low_y, std::max(0.5, high_x - low_x), std::max(0.5, high_y - low_y)};
}

void drawStains(const World & world, MapCanvas & canvas)
{
  for (const Stain & stain : world.stains()) {
    std::vector<std::vector<cv::Point>> contours;
    for (const std::vector<cv::Point2d> & outline : stainOutlines(world, stain)) {
      std::vector<cv::Point> contour;
      for (const cv::Point2d & point : outline) {
        contour.push_back(canvas.toPixel(point));
      }
      contours.push_back(std::move(contour));
    }
    cv::polylines(canvas.image(), contours, true, stainColour(stain.design.kind), 2, cv::LINE_AA);
    cv::putText(
      canvas.image(), std::to_string(stain.id),
      canvas.toPixel(stain.design.center + cv::Point2d(stain.design.radius, stain.design.radius)),
      cv::FONT_HERSHEY_SIMPLEX, 0.45, stainColour(stain.design.kind), 1, cv::LINE_AA);
  }
}

void drawRegions(const std::vector<FrameRecord> & frames, MapCanvas & canvas)
{
  cv::Mat overlay = canvas.image().clone();
  for (const FrameRecord & frame : frames) {
    if (!frame.verdict) {
      continue;
    }
    std::vector<cv::Point> outline;
    for (const cv::Point2d & corner : frame.region) {
      outline.push_back(canvas.toPixel(corner));
    }
    cv::polylines(overlay, outline, true, verdictColour(*frame.verdict), 1, cv::LINE_AA);
  }
  cv::addWeighted(overlay, 0.55, canvas.image(), 0.45, 0.0, canvas.image());
}

void drawPath(const std::vector<Pose2D> & path, MapCanvas & canvas)
{
  std::vector<cv::Point> line;
  for (const Pose2D & pose : path) {
    line.push_back(canvas.toPixel({pose.x, pose.y}));
  }
  cv::polylines(canvas.image(), line, false, cv::Scalar(20, 20, 20), 3, cv::LINE_AA);
  cv::polylines(canvas.image(), line, false, cv::Scalar(255, 255, 255), 1, cv::LINE_AA);
  if (!path.empty()) {
    cv::circle(canvas.image(), line.front(), 6, cv::Scalar(255, 255, 255), cv::FILLED);
    const Pose2D & end = path.back();
    const cv::Point2d tip(end.x + 0.3 * std::cos(end.yaw), end.y + 0.3 * std::sin(end.yaw));
    cv::arrowedLine(
      canvas.image(), line.back(), canvas.toPixel(tip), cv::Scalar(255, 255, 255), 2,
      cv::LINE_AA, 0, 0.3);
  }
}

void drawLegend(cv::Mat & image)
{
  const std::vector<std::pair<std::string, cv::Scalar>> entries{
    {"verdict clean", verdictColour(FloorClass::clean)},
    {"verdict dirty", verdictColour(FloorClass::dirty)},
    {"verdict stubborn", verdictColour(FloorClass::stubborn)},
    {"stain: dirt", stainColour(StainKind::dirt)},
    {"stain: water", stainColour(StainKind::water)},
    {"stain: stubborn", stainColour(StainKind::stubborn)},
    {"path", cv::Scalar(255, 255, 255)}};
  const int height = 18 * static_cast<int>(entries.size()) + 8;
  cv::rectangle(image, cv::Rect(4, 4, 150, height), cv::Scalar(40, 40, 40), cv::FILLED);
  int y = 20;
  for (const auto & [label, colour] : entries) {
    cv::line(image, {10, y - 4}, {30, y - 4}, colour, 3);
    cv::putText(
      image, label, {36, y}, cv::FONT_HERSHEY_SIMPLEX, 0.42, cv::Scalar(235, 235, 235), 1,
      cv::LINE_AA);
    y += 18;
  }
}

std::string detectionDelay(const StainTally & tally)
{
  if (!tally.frames_to_detection_median) {
    return "-";
  }
  std::ostringstream text;
  text << std::fixed << std::setprecision(0) << *tally.frames_to_detection_median << '/' <<
    tally.frames_to_detection_max << " (" << std::setprecision(1) <<
    *tally.seconds_to_detection_median << '/' << tally.seconds_to_detection_max << " s)";
  return text.str();
}

std::string alarmRate(const FalseAlarms & alarms)
{
  return std::to_string(alarms.alarms) + "/" + std::to_string(alarms.stain_free_judged) + " (" +
         percent(alarms.rate) + ")";
}

// Stain-level rows under both truths side by side, then false alarms per camera.
std::string stainTable(const SimReport & report)
{
  if (report.stain_scores.size() != 2) {
    return {};
  }
  const StainScore & area = report.stain_scores[0];
  const StainScore & visible = report.stain_scores[1];
  std::ostringstream out;
  const auto row = [&out](const std::vector<std::string> & cells) {
      const std::array<int, 9> widths{10, 7, 6, 7, 8, 22, 9, 10, 11};
      for (std::size_t i = 0; i < cells.size(); ++i) {
        out << std::setw(widths[i]) << cells[i];
      }
      out << '\n';
    };
  const auto tallyRow = [&row](
    const std::string & name, const StainTally & by_area, const StainTally & by_share) {
      row({name, std::to_string(by_area.stains), std::to_string(by_area.seen),
          std::to_string(by_area.found), percent(by_area.recall), detectionDelay(by_area),
          std::to_string(by_share.seen), std::to_string(by_share.found),
          percent(by_share.recall)});
    };
  out << "\n";
  row({"stains", "count", "seen", "found", "recall", "to detection", "seen(v)", "found(v)",
      "recall(v)"});
  tallyRow("all", area.overall, visible.overall);
  for (const auto & [kind, tally] : area.by_kind) {
    tallyRow(kind, tally, visible.by_kind.at(kind));
  }
  for (const std::string & camera : report.info.cameras) {
    tallyRow(camera, area.by_camera.at(camera), visible.by_camera.at(camera));
  }
  out << "(seen: a judged region held at least 4 cm2 of the stain, (v): at least 1% of the "
    "region;\n found: such a frame was judged dirty or stubborn; to detection: judged frames "
    "p50/max (s))\n";
  out << "false alarms (dirty/stubborn verdicts of judged stain-free frames):";
  for (const std::string & camera : report.info.cameras) {
    out << ' ' << camera << ' ' << alarmRate(report.false_alarms.at(camera)) << ',';
  }
  const FalseAlarms & all = report.false_alarms.at("all");
  out << " all " << alarmRate(all) << ";\n " << all.judged_by_vlm <<
    " of them on frames the VLM judged (the classifier unsure)\n";
  return out.str();
}

}  // namespace

std::string FrameRecord::fileName() const
{
  return std::to_string(stamp_sec) + "." + std::to_string(stamp_nanosec) + ".jpg";
}

void readVerdicts(
  const std::string & image_dir, bool clean_throttled, std::vector<FrameRecord> & frames)
{
  for (FrameRecord & frame : frames) {
    const std::string & suffix = cameraDesign(frame.camera).category_suffix;
    const std::string file = frame.fileName();
    frame.verdict.reset();
    frame.verdict_archived = false;
    for (std::size_t verdict = 0; verdict < 3; ++verdict) {
      if (fs::exists(fs::path(image_dir) / (kVerdictNames[verdict] + suffix) / file)) {
        frame.verdict = static_cast<FloorClass>(verdict);
        frame.verdict_archived = true;
      }
    }
    frame.vlm_archived = fs::exists(fs::path(image_dir) / ("internvl" + suffix) / file);
    const bool passed_gates = frame.received && !frame.log.gated && !frame.log.no_pose &&
      !frame.log.conversion_failed;
    if (!frame.verdict && clean_throttled && passed_gates) {
      frame.verdict = FloorClass::clean;
    }
  }
}

std::map<std::string, std::size_t> countArchive(const std::string & image_dir)
{
  std::map<std::string, std::size_t> counts;
  for (const char * stem : {"clean", "dirty", "stubborn", "internvl"}) {
    for (const char * suffix : {"", "_front", "_fish"}) {
      const fs::path dir = fs::path(image_dir) / (std::string(stem) + suffix);
      std::size_t count = 0;
      std::error_code error;
      for (fs::directory_iterator entry(dir, error), end; !error && entry != end;
        entry.increment(error))
      {
        count += entry->path().extension() == ".jpg" ? 1 : 0;
      }
      counts[std::string(stem) + suffix] = count;
    }
  }
  return counts;
}

LatencyStats latencyStats(std::vector<double> samples_ms)
{
  LatencyStats stats;
  stats.count = samples_ms.size();
  if (samples_ms.empty()) {
    return stats;
  }
  std::sort(samples_ms.begin(), samples_ms.end());
  const std::size_t n = samples_ms.size();
  stats.median_ms = n % 2 == 1 ? samples_ms[n / 2] :
    0.5 * (samples_ms[n / 2 - 1] + samples_ms[n / 2]);
  // Nearest rank: the smallest sample at or above 95 % of all.
  const std::size_t rank = static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(n)));
  stats.p95_ms = samples_ms[std::max<std::size_t>(rank, 1) - 1];
  return stats;
}

CameraReport tallyFrames(
  const std::string & name, const std::vector<FrameRecord> & frames,
  const std::vector<CameraId> & cameras, std::size_t dropped)
{
  CameraReport report;
  report.name = name;
  report.dropped = dropped;
  std::vector<double> callback;
  std::vector<double> judged_callback;
  std::vector<double> callback_cpu;
  std::vector<double> judged_callback_cpu;
  std::vector<double> mobilenet;
  std::vector<double> internvl;
  for (const FrameRecord & frame : frames) {
    if (!wanted(cameras, frame.camera)) {
      continue;
    }
    ++report.published;
    if (!frame.received) {
      continue;
    }
    ++report.received;
    callback.push_back(frame.callback_ms);
    callback_cpu.push_back(frame.callback_cpu_ms);
    report.gated += frame.log.gated ? 1 : 0;
    if (frame.log.vlm_answer) {
      ++report.vlm_calls;
      report.vlm_yes += *frame.log.vlm_answer == 1 ? 1 : 0;
      report.vlm_failed += *frame.log.vlm_answer == -1 ? 1 : 0;
      internvl.push_back(frame.log.internvl_ms.value_or(0.0));
    }
    if (frame.log.mobilenet_ms) {
      mobilenet.push_back(*frame.log.mobilenet_ms);
    }
    report.same_floor_dirty += frame.log.same_floor_dirty ? 1 : 0;
    if (!frame.verdict) {
      continue;
    }
    ++report.judged;
    judged_callback.push_back(frame.callback_ms);
    judged_callback_cpu.push_back(frame.callback_cpu_ms);
    ++report.verdicts[classIndex(*frame.verdict)];
    report.clean_not_archived += frame.verdict_archived ? 0 : 1;
    ++report.confusion[classIndex(frame.truth.floor_class)][classIndex(*frame.verdict)];
    ++report.confusion_visible[classIndex(frame.truth.visible_class)][classIndex(*frame.verdict)];
  }
  setPrecisionAndRecall(report.confusion, report.precision, report.recall);
  setPrecisionAndRecall(report.confusion_visible, report.precision_visible, report.recall_visible);
  report.callback = latencyStats(callback);
  report.judged_callback = latencyStats(judged_callback);
  report.callback_cpu = latencyStats(callback_cpu);
  report.judged_callback_cpu = latencyStats(judged_callback_cpu);
  report.mobilenet = latencyStats(mobilenet);
  report.internvl = latencyStats(internvl);
  return report;
}

std::vector<ScoredFrame> scoredFrames(const std::vector<FrameRecord> & frames)
{
  std::vector<ScoredFrame> scored;
  scored.reserve(frames.size());
  for (const FrameRecord & frame : frames) {
    scored.push_back(
      {cameraDesign(frame.camera).name, frame.sim_time, frame.judged(),
        frame.verdict.value_or(FloorClass::clean) != FloorClass::clean, frame.truth.stains,
        frame.log.vlm_answer.has_value()});
  }
  return scored;
}

std::vector<StainLabel> stainLabels(const World & world)
{
  std::vector<StainLabel> labels;
  for (const Stain & stain : world.stains()) {
    labels.push_back({stain.id, stainKindName(stain.design.kind)});
  }
  return labels;
}

void scoreStainLevel(
  const World & world, const std::vector<FrameRecord> & frames, SimReport & report)
{
  scoreStainLevel(stainLabels(world), frames, report);
}

void scoreStainLevel(
  const std::vector<StainLabel> & labels, const std::vector<FrameRecord> & frames,
  SimReport & report)
{
  const std::vector<ScoredFrame> scored = scoredFrames(frames);
  const std::vector<std::string> kinds{"dirt", "water", "stubborn"};
  const std::vector<std::string> & cameras = report.info.cameras;
  report.stain_scores = {scoreRun(labels, scored, TruthRule::area, kinds, cameras),
    scoreRun(labels, scored, TruthRule::visible, kinds, cameras)};
  for (const std::string & camera : cameras) {
    report.false_alarms[camera] = countFalseAlarms(scored, {camera});
  }
  report.false_alarms["all"] = countFalseAlarms(scored);
}

void writeReportJson(
  const std::string & path, const SimReport & report, const World & world,
  const std::vector<FrameRecord> & frames)
{
  Json::Value root;
  const RunInfo & info = report.info;
  root["run"]["seed"] = static_cast<Json::UInt64>(info.seed);
  root["run"]["simulated_s"] = info.duration_s;
  root["run"]["wall_time_s"] = info.wall_time_s;
  root["run"]["realtime"] = info.realtime;
  root["run"]["interrupted"] = info.interrupted;
  for (const std::string & camera : info.cameras) {
    root["run"]["cameras"].append(camera);
  }
  root["run"]["vlm_url"] = info.vlm_url;
  root["run"]["vlm_stub_in_process"] = info.vlm_stub;
  root["run"]["vlm_stub_answers"] = info.vlm_answers;
  root["run"]["vlm_stub_false_yes"] = info.vlm_false_yes;
  root["run"]["vlm_stub_requests"] = static_cast<Json::UInt64>(info.vlm_stub_requests);
  root["run"]["engine_path"] = info.engine_path;
  root["run"]["clean_save_interval_s"] = info.clean_interval_s;
  root["run"]["node_log_lines"] = static_cast<Json::UInt64>(info.log_lines);
  root["run"]["node_log_warnings"] = static_cast<Json::UInt64>(info.log_warnings);
  root["run"]["scenario"] = info.scenario;
  root["run"]["node_resident_at_start_mb"] = info.node_resident_at_start_mb;
  root["run"]["node_resident_at_end_mb"] = info.node_resident_at_end_mb;
  root["run"]["process_peak_resident_mb"] = info.process_peak_resident_mb;
  root["run"]["node_thread_cpu_s"] = info.node_thread_cpu_s;
  root["run"]["process_cpu_s"] = info.process_cpu_s;
  root["run"]["load_average_at_start"] = info.load_average_at_start;
  root["run"]["load_average_at_end"] = info.load_average_at_end;
  root["run"]["truth_min_stain_area_m2"] = kMinStainArea;
  root["run"]["truth_visible_min_patch_share"] = kMinPatchShare;
  for (const CameraReport & camera : report.cameras) {
    root["cameras"][camera.name] = cameraJson(camera);
  }
  root["overall"] = cameraJson(report.overall);
  for (const auto & [category, count] : report.archive) {
    root["archive"][category] = static_cast<Json::UInt64>(count);
  }
  addStainLevelJson(root, report);
  for (const Stain & stain : world.stains()) {
    Json::Value json;
    json["id"] = stain.id;
    json["kind"] = stainKindName(stain.design.kind);
    json["x"] = stain.design.center.x;
    json["y"] = stain.design.center.y;
    json["radius_m"] = stain.design.radius;
    json["area_m2"] = stain.area_m2;
    json["floor"] = world.materialAt(stain.design.center);
    root["stains"].append(json);
  }
  root["frames"] = Json::Value(Json::arrayValue);
  for (const FrameRecord & frame : frames) {
    root["frames"].append(frameJson(frame));
  }
  std::ofstream file(path, std::ios::out | std::ios::trunc);
  Json::StreamWriterBuilder builder;
  builder["indentation"] = " ";
  file << Json::writeString(builder, root) << '\n';
  // What is still buffered is written by close(), which can fail too.
  file.close();
  if (!file) {
    throw std::runtime_error("cannot write " + path);
  }
}

void addStainLevelJson(Json::Value & root, const SimReport & report)
{
  for (const StainScore & score : report.stain_scores) {
    root["stain_level"][truthRuleName(score.rule)] = stainScoreJson(score);
  }
  for (const auto & [camera, alarms] : report.false_alarms) {
    root["false_alarms"][camera] = falseAlarmsJson(alarms);
  }
}

std::string stainLevelTable(const SimReport & report)
{
  return stainTable(report);
}

cv::Mat drawMap(
  const World & world, const Route & route, double duration_s,
  const std::vector<FrameRecord> & frames)
{
  std::vector<Pose2D> path;
  for (double t = 0.0; t <= duration_s; t += 0.1) {
    path.push_back(route.poseAt(t));
  }
  path.push_back(route.poseAt(duration_s));
  MapCanvas canvas(world, mapArea(world, path));
  drawRegions(frames, canvas);
  drawStains(world, canvas);
  drawPath(path, canvas);
  drawLegend(canvas.image());
  return canvas.image();
}

std::string summaryTable(const SimReport & report)
{
  std::ostringstream out;
  const auto row = [&out](const std::vector<std::string> & cells) {
      const std::array<int, 12> widths{8, 7, 7, 8, 6, 7, 7, 10, 6, 8, 8, 18};
      for (std::size_t i = 0; i < cells.size(); ++i) {
        out << std::setw(widths[i]) << cells[i];
      }
      out << '\n';
    };
  row({"camera", "sent", "recv", "judged", "drop", "clean", "dirty", "stubborn", "vlm", "prec",
      "recall", "callback p50/p95"});
  std::vector<CameraReport> rows = report.cameras;
  rows.push_back(report.overall);
  for (const CameraReport & camera : rows) {
    row({camera.name, std::to_string(camera.published), std::to_string(camera.received),
        std::to_string(camera.judged), std::to_string(camera.dropped),
        std::to_string(camera.verdicts[0]), std::to_string(camera.verdicts[1]),
        std::to_string(camera.verdicts[2]), std::to_string(camera.vlm_calls),
        percent(camera.precision), percent(camera.recall), milliseconds(camera.callback)});
  }
  const CameraReport & overall = report.overall;
  out << "(prec and recall: of dirty-or-stubborn verdicts; callback in ms)\n";
  out << "\nconfusion, all cameras (rows truth, columns verdict)   clean  dirty  stubborn\n";
  for (std::size_t truth = 0; truth < 3; ++truth) {
    out << std::setw(53) << std::left << ("  truth " + std::string(kVerdictNames[truth])) <<
      std::right;
    for (std::size_t verdict = 0; verdict < 3; ++verdict) {
      out << std::setw(verdict == 2 ? 10 : 7) << overall.confusion[truth][verdict];
    }
    out << '\n';
  }
  out << "(truth: stubborn stains of at least 4 cm2 in the region, else dirt or water of at least "
    "4 cm2;\n visible truth: the same with 1% of the region; prec/recall " <<
    percent(overall.precision_visible) << '/' << percent(overall.recall_visible) << ")\n";
  out << stainTable(report);
  out << "\nnode timings ms (median/p95): mobilenet " << milliseconds(overall.mobilenet) <<
    ", internvl " << milliseconds(overall.internvl) << ", judged callback " <<
    milliseconds(overall.judged_callback) << "; CPU time of the node's thread: callback " <<
    milliseconds(overall.callback_cpu) << ", judged callback " <<
    milliseconds(overall.judged_callback_cpu) << '\n';
  out << "same-floor dirty confirmations: " << overall.same_floor_dirty <<
    ", VLM answers yes/no/failed: " << overall.vlm_yes << '/' <<
    overall.vlm_calls - overall.vlm_yes - overall.vlm_failed << '/' << overall.vlm_failed;
  if (report.info.vlm_answers == "truth" && report.info.vlm_false_yes > 0.0) {
    out << " (the stand-in answered by the visible truth, but yes on stain-free floor on " <<
      percent(report.info.vlm_false_yes) << " of the floor)";
  } else if (report.info.vlm_answers == "truth") {
    out << " (the stand-in answered by the visible truth)";
  } else if (report.info.vlm_answers == "no") {
    out << " (the stand-in always answered no)";
  }
  out << '\n';
  return out.str();
}

}  // namespace velmora_sim
