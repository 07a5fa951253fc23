// What each stage of a judged frame costs, and a whole judged frame per camera, with the node's
// own OpenCV setting (one thread) and, where OpenCV parallelises, with two threads. Real time is
// the figure that counts against the 11 ms a frame may take (three cameras at 30 Hz on one
// executor thread); the CPU column is the whole process's CPU time, so it shows what a second
// thread costs. Every verdict is archived (no clean throttle): the costliest case.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "bench_scene.hpp"
#include "cv_bridge/cv_bridge.h"
#include "rclcpp/rclcpp.hpp"
#include "sensor_msgs/image_encodings.hpp"
#include "tf2_ros/buffer.h"
#include "velmora_water_stain/archive.hpp"
#include "velmora_water_stain/classifier.hpp"
#include "velmora_water_stain/fisheye.hpp"
#include "velmora_water_stain/geometry.hpp"
#include "velmora_water_stain/image_layout.hpp"
#include "velmora_water_stain/vlm_client.hpp"
#include "vlm_stub_server.hpp"

namespace vws = velmora_water_stain;
using node_access::Camera;
using velmora_sim::CameraId;

namespace
{

long minorPageFaults()
{
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

// Sets OpenCV's thread count for one benchmark and restores it afterwards.
class OpenCvThreads
{
public:
  explicit OpenCvThreads(int threads)
  : previous_(cv::getNumThreads()) {cv::setNumThreads(threads);}
  ~OpenCvThreads() {cv::setNumThreads(previous_);}

private:
  int previous_;
};

struct Models
{
  std::string judging_name;  // the model the whole-frame benchmarks judge with
  std::string judging_path;
  std::vector<std::pair<std::string, std::string>> all;  // name, path
};

Models & models()
{
  static Models models;
  return models;
}

const bench_scene::Scene & scene()
{
  static const bench_scene::Scene scene;
  return scene;
}

// One node for all benchmarks that need one: built once, as the robot builds it once.
struct JudgingSetup
{
  bench_scene::ScratchDirectory scratch;
  vlm_stub::VlmStubServer vlm;
  std::shared_ptr<bench_scene::BenchNode> node;

  JudgingSetup()
  {
    if (!vlm.start(0)) {
      throw std::runtime_error("the VLM stub could not bind 127.0.0.1");
    }
    node = bench_scene::judgingNode(models().judging_path, scratch.path() + "/images", vlm.url());
  }
};

std::unique_ptr<JudgingSetup> & judgingSlot()
{
  static std::unique_ptr<JudgingSetup> setup;
  return setup;
}

JudgingSetup & judging()
{
  auto & setup = judgingSlot();
  if (!setup) {
    setup = std::make_unique<JudgingSetup>();
  }
  return *setup;
}

cv::Mat colourPatch(CameraId camera)
{
  const auto & node = *judging().node;
  const auto & quadrilateral =
    node.floorQuadrilateral(camera == CameraId::rear ? Camera::rear : Camera::front);
  return vws::rectifyFloorPatch(scene().frame(camera), quadrilateral);
}

cv::Mat fisheyePatch()
{
  return judging().node->fisheyeFloorCrop().crop(scene().frame(CameraId::fisheye));
}

cv::Mat patchOf(CameraId camera)
{
  return camera == CameraId::fisheye ? fisheyePatch() : colourPatch(camera);
}

void convertImage(benchmark::State & state, const std::string & encoding, cv::Size size)
{
  cv::Mat frame;
  cv::resize(scene().frame(CameraId::rear), frame, size);
  const auto msg = bench_scene::Scene::imageMessage(frame, encoding);
  for (auto _ : state) {
    benchmark::DoNotOptimize(cv_bridge::toCvCopy(msg, sensor_msgs::image_encodings::BGR8));
  }
}

void poseLookup(benchmark::State & state)
{
  tf2_ros::Buffer buffer(std::make_shared<rclcpp::Clock>());
  bench_scene::fillPoseHistory(buffer);
  for (auto _ : state) {
    benchmark::DoNotOptimize(buffer.lookupTransform("map", "base_footprint", tf2::TimePointZero));
  }
}

void floorPatchCut(benchmark::State & state, CameraId camera)
{
  const auto & node = *judging().node;
  const OpenCvThreads threads(static_cast<int>(state.range(0)));
  const auto & quadrilateral =
    node.floorQuadrilateral(camera == CameraId::rear ? Camera::rear : Camera::front);
  const vws::FloorPatchMaps maps = vws::floorPatchMaps(vws::floorPatchWarp(quadrilateral));
  const cv::Mat & frame = scene().frame(camera);
  for (auto _ : state) {
    benchmark::DoNotOptimize(vws::rectifyFloorPatch(frame, maps));
  }
  const cv::Size patch = colourPatch(camera).size();
  state.SetLabel(std::to_string(patch.width) + "x" + std::to_string(patch.height) + " patch");
}

void fisheyeCrop(benchmark::State & state)
{
  auto & crop = judging().node->fisheyeFloorCrop();
  const OpenCvThreads threads(static_cast<int>(state.range(0)));
  const cv::Mat & frame = scene().frame(CameraId::fisheye);
  for (auto _ : state) {
    benchmark::DoNotOptimize(crop.crop(frame));
  }
}

void preprocess(benchmark::State & state, CameraId camera)
{
  const cv::Mat patch = patchOf(camera);
  for (auto _ : state) {
    benchmark::DoNotOptimize(vws::preprocessForClassifier(patch, {224, 224}, bench_scene::kMean,
      bench_scene::kStd));
  }
  state.SetLabel(std::to_string(patch.cols) + "x" + std::to_string(patch.rows) + " patch");
}

void inference(benchmark::State & state, const std::string & engine_path)
{
  bench_scene::ScratchDirectory scratch;
  const auto node = std::make_shared<bench_scene::BenchNode>(
    rclcpp::NodeOptions().parameter_overrides({
        {"engine_path", engine_path}, {"image_dir", scratch.path() + "/images"}}));
  // After the node: it chooses its own thread count when it starts.
  const OpenCvThreads threads(static_cast<int>(state.range(0)));
  if (!node->engineLoaded()) {
    state.SkipWithError("engine not loaded");
    return;
  }
  cv::Mat blob = node->preprocessImage(patchOf(CameraId::rear));
  for (auto _ : state) {
    benchmark::DoNotOptimize(node->doInference(blob));
  }
}

void scoreAndDecide(benchmark::State & state)
{
  auto & node = *judging().node;
  const std::vector<float> logits{0.3f, 2.1f, -0.7f};
  const auto pose = node.tfBuffer().lookupTransform("map", "base_footprint", tf2::TimePointZero);
  const auto last = vws::transformRegion(pose, node.groundRegion(Camera::rear));
  std::deque<int32_t> history{1, 1};
  for (auto _ : state) {
    const auto result = vws::scoreOutputs(logits);
    vws::trimHistory(history, vws::kRearHistoryCapacity);
    history.push_back(result.class_index);
    const auto region = vws::transformRegion(pose, node.groundRegion(Camera::rear));
    const float overlap = vws::computeRegionIoU(region, last);
    benchmark::DoNotOptimize(vws::finalVerdict(history, overlap, 0.8f));
  }
}

void jpegEncode(benchmark::State & state, CameraId camera)
{
  const cv::Mat patch = patchOf(camera);
  std::vector<uchar> jpeg;
  for (auto _ : state) {
    cv::imencode(".jpg", patch, jpeg);
    benchmark::DoNotOptimize(jpeg.data());
  }
}

void archiveWrite(benchmark::State & state, CameraId camera)
{
  bench_scene::ScratchDirectory scratch;
  const cv::Mat patch = patchOf(camera);
  const std::string path = scratch.path() + "/20.0.jpg";
  for (auto _ : state) {
    benchmark::DoNotOptimize(vws::writeJpegAtomically(path, patch));
  }
}

void vlmRequest(benchmark::State & state)
{
  vlm_stub::VlmStubServer vlm;
  if (!vlm.start(0)) {
    state.SkipWithError("the VLM stub could not bind 127.0.0.1");
    return;
  }
  const cv::Mat patch = patchOf(CameraId::rear);
  for (auto _ : state) {
    benchmark::DoNotOptimize(vws::queryVlm(patch, vlm.url(), "is there any dirt?"));
  }
}

// A confident classifier takes the short way; an unsure one asks the VLM and archives twice.
// The threshold decides which, whatever the model makes of the frame.
void judgedFrame(benchmark::State & state, CameraId camera, bool unsure)
{
  auto & setup = judging();
  const OpenCvThreads threads(static_cast<int>(state.range(0)));
  auto & node = *setup.node;
  const float threshold = node.scoreThreshold();
  node.setScoreThreshold(unsure ? 1.5f : 0.0f);
  const auto msg = scene().message(camera);
  const std::size_t vlm_before = setup.vlm.requestCount();
  const long faults_before = minorPageFaults();
  for (auto _ : state) {
    switch (camera) {
      case CameraId::rear: node.imageCallback(msg); break;
      case CameraId::front: node.front_imageCallback(msg); break;
      case CameraId::fisheye: node.fisheyeimageCallback(msg); break;
    }
  }
  const double frames = static_cast<double>(state.iterations());
  state.counters["page_faults"] = static_cast<double>(minorPageFaults() - faults_before) / frames;
  state.counters["vlm_share"] =
    static_cast<double>(setup.vlm.requestCount() - vlm_before) / frames;
  state.SetLabel(models().judging_name);
  node.setScoreThreshold(threshold);
}

// A frame no engine can judge: conversion, pose, gate and the rate-limited error remain.
void unjudgedFrame(benchmark::State & state, CameraId camera)
{
  bench_scene::ScratchDirectory scratch;
  const auto node = bench_scene::judgingNode(
    scratch.path() + "/missing.engine", scratch.path() + "/images", "http://127.0.0.1:9");
  const auto msg = scene().message(camera);
  for (auto _ : state) {
    switch (camera) {
      case CameraId::rear: node->imageCallback(msg); break;
      case CameraId::front: node->front_imageCallback(msg); break;
      case CameraId::fisheye: node->fisheyeimageCallback(msg); break;
    }
  }
}

// CPU time per frame of each stage of a robot's judged frame but inference and the VLM.
class StageClock
{
public:
  StageClock() : last_(bench_scene::threadCpuMicroseconds()) {}

  // Charges the time since the last mark (or the start) to `stage`.
  void mark(const std::string & stage)
  {
    const double now = bench_scene::threadCpuMicroseconds();
    totals_[stage] += now - last_;
    last_ = now;
  }
  // Restarts the clock without charging anyone: for work that is not the frame's.
  void skip() {last_ = bench_scene::threadCpuMicroseconds();}

  void report(benchmark::State & state) const
  {
    const double frames = static_cast<double>(state.iterations());
    double path = 0.0;
    for (const auto & [stage, total] : totals_) {
      state.counters[stage + "_us"] = total / frames;
      path += stage.rfind("check_", 0) == 0 ? 0.0 : total;
    }
    state.counters["path_us"] = path / frames;
  }

private:
  double last_;
  std::map<std::string, double> totals_;
};

std::function<cv::Mat(const cv::Mat &)> patchCutter(CameraId camera)
{
  if (camera == CameraId::fisheye) {
    return [](const cv::Mat & image) {return judging().node->fisheyeFloorCrop().crop(image);};
  }
  const auto & quadrilateral = judging().node->floorQuadrilateral(
    camera == CameraId::rear ? Camera::rear : Camera::front);
  auto cutter = std::make_shared<vws::FloorPatchCutter>();
  return [cutter, quadrilateral](const cv::Mat & image) {
           return cutter->cut(image, quadrilateral);
         };
}

// Each stage as the node runs it, every frame archived under a name of its own as on the robot
// (a rename over an existing file would also cost the old file's removal). `after_inference`
// runs the judging model between frames, uncounted, as the node does on the CPU back end: what
// the stages cost once inference has pushed their data and code out of the caches.
void robotPathStages(benchmark::State & state, CameraId camera, bool after_inference)
{
  const OpenCvThreads threads(1);
  bench_scene::ScratchDirectory scratch;
  const auto cut = patchCutter(camera);
  const auto & ground = judging().node->groundRegion(
    camera == CameraId::rear ? Camera::rear : camera == CameraId::front ? Camera::front :
    Camera::fisheye);
  auto & tf = judging().node->tfBuffer();
  const auto msg = scene().message(camera);
  cv::Mat blob = judging().node->preprocessImage(patchOf(camera));
  std::deque<int32_t> history{1, 1};
  std::vector<geometry_msgs::msg::PointStamped> last_region;
  uint32_t frame = 0;
  StageClock clock;
  for (auto _ : state) {
    msg->header.stamp.nanosec = ++frame;
    clock.skip();
    vws::checkImageLayout({msg->encoding, msg->width, msg->height, msg->step, msg->data.size()});
    const cv::Mat image = cv_bridge::toCvCopy(msg, sensor_msgs::image_encodings::BGR8)->image;
    clock.mark("convert");
    const auto pose = tf.lookupTransform("map", "base_footprint", tf2::TimePointZero);
    const std::string file_name = vws::stampFileName(msg->header.stamp);
    clock.mark("pose_and_name");
    const cv::Mat patch = cut(image);
    clock.mark("floor_patch");
    benchmark::DoNotOptimize(
      vws::preprocessForClassifier(patch, {224, 224}, bench_scene::kMean, bench_scene::kStd));
    clock.mark("preprocess");
    const auto result = vws::scoreOutputs({0.3f, 2.1f, -0.7f});
    vws::trimHistory(history, vws::kRearHistoryCapacity);
    history.push_back(result.class_index);
    auto region = vws::transformRegion(pose, ground);
    benchmark::DoNotOptimize(
      vws::finalVerdict(history, vws::computeRegionIoU(region, last_region), 0.8f));
    last_region = std::move(region);
    clock.mark("decide");
    benchmark::DoNotOptimize(vws::writeJpegAtomically(scratch.path() + "/" + file_name, patch));
    clock.mark("archive_write");
    if (after_inference) {
      benchmark::DoNotOptimize(judging().node->doInference(blob));
    }
  }
  clock.report(state);
}

// The node's own callback judging with the small test model, less that model's inference, in
// one loop: a check that the stages above miss nothing of the callback (log lines, state).
void robotPathCheck(benchmark::State & state, CameraId camera)
{
  const OpenCvThreads threads(1);
  bench_scene::ScratchDirectory scratch;
  const auto node = bench_scene::judgingNode(
    VELMORA_SOURCE_DIR "/test/models/floor_colour.onnx", scratch.path() + "/images",
    "http://127.0.0.1:9");
  node->setScoreThreshold(0.0f);
  const auto msg = scene().message(camera);
  cv::Mat blob = node->preprocessImage(patchOf(camera));
  uint32_t frame = 0;
  StageClock clock;
  for (auto _ : state) {
    msg->header.stamp.nanosec = ++frame;
    clock.skip();
    switch (camera) {
      case CameraId::rear: node->imageCallback(msg); break;
      case CameraId::front: node->front_imageCallback(msg); break;
      case CameraId::fisheye: node->fisheyeimageCallback(msg); break;
    }
    clock.mark("callback");
    benchmark::DoNotOptimize(node->doInference(blob));
    clock.mark("check_inference");
  }
  clock.report(state);
}

// Not the node's cost: what the simulator spends on the same cores per published frame.
void simulatorRender(benchmark::State & state, CameraId camera)
{
  for (auto _ : state) {
    benchmark::DoNotOptimize(scene().render(camera));
  }
}

void chooseModels(int argc, char ** argv)
{
  const std::string source_dir = VELMORA_SOURCE_DIR;
  std::string shipped = source_dir + "/models/floor_mobilenet.onnx";
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.rfind("--engine=", 0) == 0) {
      shipped = argument.substr(9);
    }
  }
  auto & chosen = models();
  chosen.all.emplace_back("test_model", source_dir + "/test/models/floor_colour.onnx");
  chosen.judging_name = "test_model";
  chosen.judging_path = chosen.all.back().second;
  if (std::filesystem::exists(shipped)) {
    chosen.all.emplace_back("shipped_mobilenet", shipped);
    chosen.judging_name = "shipped_mobilenet";
    chosen.judging_path = shipped;
  }
}

template<typename Function, typename ... Arguments>
benchmark::internal::Benchmark * stage(
  const std::string & name, Function function, Arguments ... arguments)
{
  return benchmark::RegisterBenchmark(name.c_str(), function, arguments...)
         ->UseRealTime()->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);
}

void registerStages()
{
  const auto threads = [](benchmark::internal::Benchmark * b) {
      b->ArgName("threads")->Arg(1)->Arg(2);
    };
  stage("convert_rgb8_to_bgr8/640x480", convertImage, std::string("rgb8"), cv::Size(640, 480));
  stage("convert_rgb8_to_bgr8/1280x720", convertImage, std::string("rgb8"), cv::Size(1280, 720));
  stage("convert_bgr8_to_bgr8/800x600", convertImage, std::string("bgr8"), cv::Size(800, 600));
  stage("pose_lookup/map_odom_base_footprint", poseLookup);
  stage("floor_patch_cut/rear", floorPatchCut, CameraId::rear)->Apply(threads);
  stage("floor_patch_cut/front", floorPatchCut, CameraId::front)->Apply(threads);
  stage("fisheye_undistort_and_crop/800x600", fisheyeCrop)->Apply(threads);
  for (const auto & [name, camera] : std::vector<std::pair<std::string, CameraId>>{
      {"rear", CameraId::rear}, {"front", CameraId::front}, {"fisheye", CameraId::fisheye}})
  {
    stage("preprocess/" + name, preprocess, camera);
  }
  for (const auto & [name, path] : models().all) {
    stage("inference/" + name, inference, path)->Apply(threads);
  }
  stage("score_history_overlap_verdict", scoreAndDecide);
  stage("jpeg_encode/rear_patch", jpegEncode, CameraId::rear);
  stage("jpeg_encode/fisheye_patch", jpegEncode, CameraId::fisheye);
  stage("archive_write/rear_patch", archiveWrite, CameraId::rear);
  stage("archive_write/fisheye_patch", archiveWrite, CameraId::fisheye);
  stage("vlm_request/loopback_stub", vlmRequest);
  for (const auto & [name, camera] : std::vector<std::pair<std::string, CameraId>>{
      {"rear", CameraId::rear}, {"front", CameraId::front}, {"fisheye", CameraId::fisheye}})
  {
    stage("judged_frame/" + name + "/confident", judgedFrame, camera, false)->Apply(threads)
    ->Unit(benchmark::kMillisecond);
    stage("judged_frame/" + name + "/unsure", judgedFrame, camera, true)->ArgName("threads")
    ->Arg(1)->Unit(benchmark::kMillisecond);
  }
  for (const auto & [name, camera] : std::vector<std::pair<std::string, CameraId>>{
      {"rear", CameraId::rear}, {"front", CameraId::front}, {"fisheye", CameraId::fisheye}})
  {
    stage("unjudged_frame/" + name + "/no_engine", unjudgedFrame, camera);
  }
  for (const auto & [name, camera] : std::vector<std::pair<std::string, CameraId>>{
      {"rear", CameraId::rear}, {"front", CameraId::front}, {"fisheye", CameraId::fisheye}})
  {
    stage("robot_path/" + name, robotPathStages, camera, false);
    stage("robot_path_after_inference/" + name, robotPathStages, camera, true);
    stage("robot_path_check/" + name, robotPathCheck, camera);
  }
  stage("simulator_render/rear", simulatorRender, CameraId::rear);
  stage("simulator_render/fisheye", simulatorRender, CameraId::fisheye);
}

}  // namespace

int main(int argc, char ** argv)
{
  benchmark::Initialize(&argc, argv);
  rclcpp::init(0, nullptr);
  chooseModels(argc, argv);
  registerStages();
  // Built before any benchmark sets a thread count, since the node sets its own when it starts.
  judging();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  judgingSlot().reset();
  rclcpp::shutdown();
  return 0;
}
