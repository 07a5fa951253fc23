// Where the node deviates from the plain way of doing a step, both ways run in the same loop on
// the same input, so that their ratio holds under whatever load the machine carries. Each pair
// first checks that both ways give the same bits; the counters are per call.
#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
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

double secondsSince(std::chrono::steady_clock::time_point start)
{
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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
  double plain_s = 0.0;
  double ours_s = 0.0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(plain());
    plain_s += secondsSince(start);
    start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(ours());
    ours_s += secondsSince(start);
  }
  const double calls = static_cast<double>(state.iterations());
  state.counters["plain_us"] = 1e6 * plain_s / calls;
  state.counters["ours_us"] = 1e6 * ours_s / calls;
  state.counters["speedup"] = plain_s / ours_s;
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
        "", scratch.path() + "/images", "http://127.0.0.1:9");
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

// Everything a judged frame costs the robot's CPU but inference and the VLM: conversion, pose,
// floor patch, preprocessing, scores, history, overlap and verdict, archive write. Returns the
// blob the engine would get.
cv::Mat robotPath(
  const std::shared_ptr<sensor_msgs::msg::Image> & msg, const tf2_ros::Buffer & tf,
  const std::function<cv::Mat(const cv::Mat &)> & cut, const std::vector<cv::Point3f> & ground,
  const std::string & archive_path)
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
  benchmark::DoNotOptimize(vws::writeJpegAtomically(archive_path, patch));
  return blob;
}

const std::vector<cv::Point3f> kRearGround{
  {-1.4f, 0.3f, 0.0f}, {-1.4f, -0.3f, 0.0f}, {-0.4f, -0.3f, 0.0f}, {-0.4f, 0.3f, 0.0f}};

void colourRobotPath(benchmark::State & state, CameraId camera)
{
  bench_scene::ScratchDirectory scratch;
  tf2_ros::Buffer tf(std::make_shared<rclcpp::Clock>());
  bench_scene::fillPoseHistory(tf);
  const auto msg = scene().message(camera);
  const auto & quadrilateral = colourQuadrilateral(camera);
  vws::FloorPatchCutter cutter;
  const std::string path = scratch.path() + "/20.0.jpg";
  sideBySide(
    state, [&]() {
      return robotPath(
        msg, tf, [&](const cv::Mat & image) {
          return vws::rectifyFloorPatch(image, quadrilateral);
        }, kRearGround, path);
    },
    [&]() {
      return robotPath(
        msg, tf, [&](const cv::Mat & image) {return cutter.cut(image, quadrilateral);},
        kRearGround, path);
    });
}

void fisheyeRobotPath(benchmark::State & state)
{
  bench_scene::ScratchDirectory scratch;
  tf2_ros::Buffer tf(std::make_shared<rclcpp::Clock>());
  bench_scene::fillPoseHistory(tf);
  const auto msg = scene().message(CameraId::fisheye);
  const vws::FisheyeUndistorter whole = undistorter();
  vws::FisheyeFloorCrop crop(undistorter(), fisheyeQuadrilateral());
  cv::Mat undistorted;
  const std::string path = scratch.path() + "/20.0.jpg";
  sideBySide(
    state, [&]() {
      return robotPath(
        msg, tf, [&](const cv::Mat & image) {
          return fisheyeCropByWarp(image, whole, crop.window(), undistorted);
        }, kRearGround, path);
    },
    [&]() {
      return robotPath(
        msg, tf, [&](const cv::Mat & image) {return crop.crop(image);}, kRearGround, path);
    });
}

}  // namespace

int main(int argc, char ** argv)
{
  benchmark::Initialize(&argc, argv);
  const auto pair = [](const char * name, void (* function)(benchmark::State &)) {
      benchmark::RegisterBenchmark(name, function)->UseRealTime()->Unit(benchmark::kMillisecond);
    };
  pair("fisheye_undistortion/maps_once_vs_undistortImage", fisheyeMapsOnce);
  pair("fisheye_crop/window_and_warp_once_vs_as_described", fisheyeCropAsDescribed);
  pair("fisheye_crop/window_and_warp_once_vs_maps_once", fisheyeCropWindowOnly);
  pair("preprocess/one_pass_vs_step_by_step", preprocessOnePass);
  const auto camera_pair = [](const char * name, void (* function)(benchmark::State &, CameraId),
      CameraId camera) {
      benchmark::RegisterBenchmark(name, function, camera)->UseRealTime()
      ->Unit(benchmark::kMillisecond);
    };
  camera_pair("floor_patch/rear/maps_once_vs_warpPerspective", colourWarpMapsOnce, CameraId::rear);
  camera_pair(
    "floor_patch/front/maps_once_vs_warpPerspective", colourWarpMapsOnce, CameraId::front);
  pair("fisheye_crop/warp_maps_once_vs_warpPerspective", fisheyeWarpMapsOnce);
  camera_pair("robot_path/rear/ours_vs_before_maps", colourRobotPath, CameraId::rear);
  camera_pair("robot_path/front/ours_vs_before_maps", colourRobotPath, CameraId::front);
  pair("robot_path/fisheye/ours_vs_before_maps", fisheyeRobotPath);
  rclcpp::init(0, nullptr);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  rclcpp::shutdown();
  return 0;
}
