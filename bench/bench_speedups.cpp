// Where the node deviates from the plain way of doing a step, both ways run in the same loop on
// the same input, so that their ratio holds under whatever load the machine carries. Each pair
// first checks that both ways give the same bits; the counters are per call.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include "bench_scene.hpp"
#include "reference_pipeline.hpp"
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

// A typical rear-camera quadrilateral: a trapezoid widening toward the robot.
const std::vector<cv::Point2f> kColourQuadrilateral{
  {420.0f, 250.0f}, {220.0f, 250.0f}, {100.0f, 470.0f}, {540.0f, 470.0f}};

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

// Measured, not adopted for the colour cameras: what keeping their homography would save.
void colourHomographyOnce(benchmark::State & state)
{
  const cv::Mat & frame = scene().frame(CameraId::rear);
  const vws::FloorPatchWarp warp = vws::floorPatchWarp(kColourQuadrilateral);
  sideBySide(
    state, [&]() {return reference_pipeline::rectify(frame, kColourQuadrilateral);},
    [&]() {return vws::rectifyFloorPatch(frame, warp);});
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
  pair("colour_warp/homography_once_vs_per_frame", colourHomographyOnce);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
