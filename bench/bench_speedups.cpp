// Where the node deviates from the plain way of doing a step, both ways run in the same loop on
// the same input, so that their ratio holds under whatever load the machine carries. Each pair
// first checks that both ways give the same bits; the counters are CPU time per call, on one
// OpenCV thread as in the node.
#include <benchmark/benchmark.h>

#include <array>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include "bench_scene.hpp"
#include "cv_bridge/cv_bridge.h"
#include "reference_pipeline.hpp"
#include "sensor_msgs/image_encodings.hpp"
#include "tf2_ros/buffer.h"
#include "velmora_water_stain/archive.hpp"
#include "velmora_water_stain/classifier.hpp"
#include "velmora_water_stain/fisheye.hpp"
#include "velmora_water_stain/geometry.hpp"

namespace vws = velmora_water_stain;
using velmora_sim::CameraId;

namespace
{

const bench_scene::Scene & scene()
{
  static const bench_scene::Scene scene;
  return scene;
}

const reference_pipeline::FisheyeCalibration & calibration()
{
  static const auto calibration = reference_pipeline::compiledInFisheye();
  return calibration;
}

vws::FisheyeUndistorter undistorter()
{
  return vws::FisheyeUndistorter(
    calibration().K, calibration().D, calibration().new_K, vws::kFisheyeUndistortedSize);
}

std::vector<cv::Point2f> fisheyeQuadrilateral()
{
  return vws::projectFisheyeCorners(
    calibration().floor_corners, calibration().rvec, calibration().tvec, calibration().new_K);
}

bool sameBits(const cv::Mat & a, const cv::Mat & b)
{
  return a.dims == b.dims && a.size == b.size && a.type() == b.type() && a.isContinuous() &&
         b.isContinuous() && std::memcmp(a.data, b.data, a.total() * a.elemSize()) == 0;
}

// Times `plain` and `ours` alternately on every iteration; skips when they disagree.
void sideBySide(
  benchmark::State & state, const std::function<cv::Mat()> & plain,
  const std::function<cv::Mat()> & ours)
{
  if (!sameBits(plain(), ours())) {
    state.SkipWithError("the two ways give different results");
    return;
  }
  double plain_us = 0.0;
  double ours_us = 0.0;
  for (auto _ : state) {
    double start = bench_scene::threadCpuMicroseconds();
    benchmark::DoNotOptimize(plain());
    plain_us += bench_scene::threadCpuMicroseconds() - start;
    start = bench_scene::threadCpuMicroseconds();
    benchmark::DoNotOptimize(ours());
    ours_us += bench_scene::threadCpuMicroseconds() - start;
  }
  const double calls = static_cast<double>(state.iterations());
  state.counters["plain_us"] = plain_us / calls;
  state.counters["ours_us"] = ours_us / calls;
  state.counters["speedup"] = plain_us / ours_us;
}

void fisheyeMapsOnce(benchmark::State & state)
{
  const cv::Mat & frame = scene().frame(CameraId::fisheye);
  const vws::FisheyeUndistorter cached = undistorter();
  sideBySide(
    state, [&]() {
      cv::Mat undistorted;
      cv::fisheye::undistortImage(
        frame, undistorted, calibration().K, calibration().D, calibration().new_K,
        vws::kFisheyeUndistortedSize);
      return undistorted;
    },
    [&]() {return cached.undistort(frame);});
}

void fisheyeCropAsDescribed(benchmark::State & state)
{
  const cv::Mat & frame = scene().frame(CameraId::fisheye);
  vws::FisheyeFloorCrop crop(undistorter(), fisheyeQuadrilateral());
  sideBySide(
    state, [&]() {return reference_pipeline::fisheyeCrop(frame, calibration());},
    [&]() {return crop.crop(frame);});
}

void fisheyeCropWindowOnly(benchmark::State & state)
{
  const cv::Mat & frame = scene().frame(CameraId::fisheye);
  const vws::FisheyeUndistorter whole = undistorter();
  vws::FisheyeFloorCrop crop(undistorter(), fisheyeQuadrilateral());
  sideBySide(
    state, [&]() {
      return reference_pipeline::rectify(whole.undistort(frame), fisheyeQuadrilateral());
    },
    [&]() {return crop.crop(frame);});
}

void preprocessOnePass(benchmark::State & state)
{
  vws::FisheyeFloorCrop crop(undistorter(), fisheyeQuadrilateral());
  const cv::Mat patch = crop.crop(scene().frame(CameraId::fisheye));
  sideBySide(
    state, [&]() {
      return reference_pipeline::preprocess(patch, {224, 224}, bench_scene::kMean,
      bench_scene::kStd);
    },
    [&]() {
      return vws::preprocessForClassifier(patch, {224, 224}, bench_scene::kMean,
      bench_scene::kStd);
    });
}

// The colour cameras' floor quadrilaterals as the node calibrates them in the simulator.
const std::vector<cv::Point2f> & colourQuadrilateral(CameraId camera)
{
  static const auto quadrilaterals = []() {
      bench_scene::ScratchDirectory scratch;
      const auto node = bench_scene::judgingNode(
        scratch.path() + "/missing.engine", scratch.path() + "/images", "http://127.0.0.1:9");
      return std::array<std::vector<cv::Point2f>, 2>{
        node->floorQuadrilateral(node_access::Camera::rear),
        node->floorQuadrilateral(node_access::Camera::front)};
    }();
  return quadrilaterals[camera == CameraId::rear ? 0 : 1];
}

void colourWarpMapsOnce(benchmark::State & state, CameraId camera)
{
  const cv::Mat & frame = scene().frame(camera);
  const auto & quadrilateral = colourQuadrilateral(camera);
  const vws::FloorPatchMaps maps = vws::floorPatchMaps(vws::floorPatchWarp(quadrilateral));
  sideBySide(
    state, [&]() {return reference_pipeline::rectify(frame, quadrilateral);},
    [&]() {return vws::rectifyFloorPatch(frame, maps);});
}

// The fisheye crop before the warp's maps: window undistorted, then warpPerspective.
cv::Mat fisheyeCropByWarp(
  const cv::Mat & frame, const vws::FisheyeUndistorter & undistorter, const cv::Rect & window,
  cv::Mat & undistorted)
{
  if (undistorted.empty()) {
    undistorted = cv::Mat::zeros(undistorter.size(), frame.type());
  }
  undistorter.undistortWindow(frame, window, undistorted);
  return vws::rectifyFloorPatch(undistorted, fisheyeQuadrilateral());
}

void fisheyeWarpMapsOnce(benchmark::State & state)
{
  const cv::Mat & frame = scene().frame(CameraId::fisheye);
  const vws::FisheyeUndistorter whole = undistorter();
  vws::FisheyeFloorCrop crop(undistorter(), fisheyeQuadrilateral());
  cv::Mat undistorted;
  sideBySide(
    state, [&]() {return fisheyeCropByWarp(frame, whole, crop.window(), undistorted);},
    [&]() {return crop.crop(frame);});
}

// Both with the warp's maps: the window around the quadrilateral undistorted, or only the spans
// of its rows that the warp reads.
void fisheyeSpansOnly(benchmark::State & state)
{
  const cv::Mat & frame = scene().frame(CameraId::fisheye);
  const vws::FisheyeUndistorter whole = undistorter();
  vws::FisheyeFloorCrop crop(undistorter(), fisheyeQuadrilateral());
  const vws::FloorPatchMaps maps =
    vws::floorPatchMaps(vws::floorPatchWarp(fisheyeQuadrilateral()));
  cv::Mat undistorted = cv::Mat::zeros(whole.size(), frame.type());
  sideBySide(
    state, [&]() {
      whole.undistortWindow(frame, crop.window(), undistorted);
      return vws::rectifyFloorPatch(undistorted, maps);
    },
    [&]() {return crop.crop(frame);});
}

// Everything a judged frame costs the robot's CPU but inference and the VLM: conversion, pose,
// floor patch, preprocessing, scores, history, overlap and verdict, archive write. Returns the
// blob the engine would get.
cv::Mat robotPath(
  const std::shared_ptr<sensor_msgs::msg::Image> & msg, const tf2_ros::Buffer & tf,
  const std::function<cv::Mat(const cv::Mat &)> & cut,
  const std::function<void(const std::string &, const cv::Mat &)> & archive,
  const std::vector<cv::Point3f> & ground, const std::string & archive_path)
{
  const cv::Mat image = cv_bridge::toCvCopy(msg, sensor_msgs::image_encodings::BGR8)->image;
  const auto pose = tf.lookupTransform("map", "base_footprint", tf2::TimePointZero);
  const cv::Mat patch = cut(image);
  cv::Mat blob = vws::preprocessForClassifier(
    patch, {224, 224}, bench_scene::kMean, bench_scene::kStd);
  const auto result = vws::scoreOutputs({0.3f, 2.1f, -0.7f});
  std::deque<int32_t> history{1, 1};
  vws::trimHistory(history, vws::kRearHistoryCapacity);
  history.push_back(result.class_index);
  const auto region = vws::transformRegion(pose, ground);
  benchmark::DoNotOptimize(vws::finalVerdict(history, vws::computeRegionIoU(region, region), 0.8f));
  archive(archive_path, patch);
  return blob;
}

const std::vector<cv::Point3f> kRearGround{
  {-1.4f, 0.3f, 0.0f}, {-1.4f, -0.3f, 0.0f}, {-0.4f, -0.3f, 0.0f}, {-0.4f, 0.3f, 0.0f}};

void archiveBefore(const std::string & path, const cv::Mat & patch)
{
  benchmark::DoNotOptimize(reference_pipeline::archiveWrite(path, patch));
}

void archiveOurs(const std::string & path, const cv::Mat & patch)
{
  benchmark::DoNotOptimize(vws::writeJpegAtomically(path, patch));
}

// The robot's path before this work (warpPerspective on every frame, cv::imencode and stdio for
// the archive) and now, each frame archived under a name of its own as on the robot.
void robotPathPair(
  benchmark::State & state, const std::function<cv::Mat(const cv::Mat &)> & cut_before,
  const std::function<cv::Mat(const cv::Mat &)> & cut_ours, CameraId camera)
{
  bench_scene::ScratchDirectory scratch;
  tf2_ros::Buffer tf(std::make_shared<rclcpp::Clock>());
  bench_scene::fillPoseHistory(tf);
  const auto msg = scene().message(camera);
  uint32_t frame = 0;
  const auto next_path = [&]() {
      return scratch.path() + "/20." + std::to_string(++frame) + ".jpg";
    };
  sideBySide(
    state, [&]() {
      return robotPath(msg, tf, cut_before, archiveBefore, kRearGround, next_path());
    },
    [&]() {return robotPath(msg, tf, cut_ours, archiveOurs, kRearGround, next_path());});
}

void colourRobotPath(benchmark::State & state, CameraId camera)
{
  const auto & quadrilateral = colourQuadrilateral(camera);
  vws::FloorPatchCutter cutter;
  robotPathPair(
    state, [&](const cv::Mat & image) {return vws::rectifyFloorPatch(image, quadrilateral);},
    [&](const cv::Mat & image) {return cutter.cut(image, quadrilateral);}, camera);
}

void fisheyeRobotPath(benchmark::State & state)
{
  const vws::FisheyeUndistorter whole = undistorter();
  vws::FisheyeFloorCrop crop(undistorter(), fisheyeQuadrilateral());
  cv::Mat undistorted;
  robotPathPair(
    state, [&](const cv::Mat & image) {
      return fisheyeCropByWarp(image, whole, crop.window(), undistorted);
    },
    [&](const cv::Mat & image) {return crop.crop(image);}, CameraId::fisheye);
}

// The archive's JPEG: libjpeg reading BGR itself against cv::imencode; the bytes as a row.
void jpegOwnEncoding(benchmark::State & state, CameraId camera)
{
  const cv::Mat patch = camera == CameraId::fisheye ?
    vws::FisheyeFloorCrop(undistorter(), fisheyeQuadrilateral()).crop(scene().frame(camera)) :
    vws::rectifyFloorPatch(scene().frame(camera), colourQuadrilateral(camera));
  const auto bytes = [](const std::vector<uchar> & jpeg) {return cv::Mat(jpeg, true);};
  sideBySide(
    state, [&]() {
      std::vector<uchar> jpeg;
      cv::imencode(".jpg", patch, jpeg);
      return bytes(jpeg);
    },
    [&]() {return bytes(*vws::encodeJpeg(patch));});
}

}  // namespace

int main(int argc, char ** argv)
{
  benchmark::Initialize(&argc, argv);
  // The node's own setting: all of a step's work on the calling thread, where its clock sees it.
  cv::setNumThreads(1);
  const auto pair = [](const char * name, void (* function)(benchmark::State &)) {
      benchmark::RegisterBenchmark(name, function)->UseRealTime()->Unit(benchmark::kMillisecond);
    };
  pair("fisheye_undistortion/maps_once_vs_undistortImage", fisheyeMapsOnce);
  pair("fisheye_crop/ours_vs_as_described", fisheyeCropAsDescribed);
  pair("fisheye_crop/ours_vs_whole_undistortion_by_maps", fisheyeCropWindowOnly);
  pair("preprocess/one_pass_vs_step_by_step", preprocessOnePass);
  const auto camera_pair = [](const char * name, void (* function)(benchmark::State &, CameraId),
      CameraId camera) {
      benchmark::RegisterBenchmark(name, function, camera)->UseRealTime()
      ->Unit(benchmark::kMillisecond);
    };
  camera_pair("floor_patch/rear/maps_once_vs_warpPerspective", colourWarpMapsOnce, CameraId::rear);
  camera_pair(
    "floor_patch/front/maps_once_vs_warpPerspective", colourWarpMapsOnce, CameraId::front);
  pair("fisheye_crop/ours_vs_window_and_warpPerspective", fisheyeWarpMapsOnce);
  pair("fisheye_crop/row_spans_vs_window", fisheyeSpansOnly);
  camera_pair("archive_jpeg/rear/libjpeg_bgr_vs_imencode", jpegOwnEncoding, CameraId::rear);
  camera_pair(
    "archive_jpeg/fisheye/libjpeg_bgr_vs_imencode", jpegOwnEncoding, CameraId::fisheye);
  camera_pair("robot_path/rear/ours_vs_before", colourRobotPath, CameraId::rear);
  camera_pair("robot_path/front/ours_vs_before", colourRobotPath, CameraId::front);
  pair("robot_path/fisheye/ours_vs_before", fisheyeRobotPath);
  rclcpp::init(0, nullptr);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  rclcpp::shutdown();
  return 0;
}
