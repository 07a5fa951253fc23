#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include "velmora_water_stain/fisheye.hpp"
#include "velmora_water_stain/geometry.hpp"

namespace vws = velmora_water_stain;

namespace
{

const cv::Mat kFisheyeK = (cv::Mat_<float>(3, 3) <<
  339.1646f, -0.048401807f, 412.04343f, 0.0f, 339.4804f, 305.0029f, 0.0f, 0.0f, 1.0f);
const cv::Mat kFisheyeD = (cv::Mat_<float>(4, 1) <<
  -0.20290732f, 0.050523773f, -0.031190876f, 0.009916748f);
const cv::Mat kFisheyeNewK = (cv::Mat_<float>(3, 3) <<
  139.16461f, -0.048401807f, 412.04343f, 0.0f, 139.48041f, 305.0029f, 0.0f, 0.0f, 1.0f);

cv::Mat randomFrame(cv::Size size)
{
  cv::Mat frame(size, CV_8UC3);
  cv::randu(frame, cv::Scalar::all(0), cv::Scalar::all(256));
  return frame;
}

std::vector<geometry_msgs::msg::PointStamped> squareRegion(double x0)
{
  std::vector<geometry_msgs::msg::PointStamped> region(4);
  const double corners[4][2] = {{x0 + 1.0, -0.5}, {x0 + 1.0, 0.5}, {x0, 0.5}, {x0, -0.5}};
  for (int i = 0; i < 4; ++i) {
    region[i].point.x = corners[i][0];
    region[i].point.y = corners[i][1];
  }
  return region;
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

static void BM_FloorPatchWarp640x480(benchmark::State & state)
{
  const cv::Mat frame = randomFrame({640, 480});
  // A typical colour-camera quadrilateral: a trapezoid widening toward the robot.
  const std::vector<cv::Point2f> quadrilateral{
    {420.0f, 250.0f}, {220.0f, 250.0f}, {100.0f, 470.0f}, {540.0f, 470.0f}};
  for (auto _ : state) {
    benchmark::DoNotOptimize(vws::rectifyFloorPatch(frame, quadrilateral));
  }
}
BENCHMARK(BM_FloorPatchWarp640x480)->Unit(benchmark::kMicrosecond);

static void BM_FisheyeUndistortImage(benchmark::State & state)
{
  const cv::Mat frame = randomFrame(vws::kFisheyeUndistortedSize);
  cv::Mat undistorted;
  for (auto _ : state) {
    cv::fisheye::undistortImage(
      frame, undistorted, kFisheyeK, kFisheyeD, kFisheyeNewK, vws::kFisheyeUndistortedSize);
    benchmark::DoNotOptimize(undistorted.data);
  }
}
BENCHMARK(BM_FisheyeUndistortImage)->Unit(benchmark::kMillisecond);

static void BM_FisheyeCachedRemap(benchmark::State & state)
{
  const cv::Mat frame = randomFrame(vws::kFisheyeUndistortedSize);
  const vws::FisheyeUndistorter undistorter(
    kFisheyeK, kFisheyeD, kFisheyeNewK, vws::kFisheyeUndistortedSize);
  for (auto _ : state) {
    benchmark::DoNotOptimize(undistorter.undistort(frame));
  }
}
BENCHMARK(BM_FisheyeCachedRemap)->Unit(benchmark::kMillisecond);

// Both ways in one loop, so the reported speed-up compares them under the same machine load.
static void BM_FisheyeCachedRemapSpeedup(benchmark::State & state)
{
  const cv::Mat frame = randomFrame(vws::kFisheyeUndistortedSize);
  const vws::FisheyeUndistorter undistorter(
    kFisheyeK, kFisheyeD, kFisheyeNewK, vws::kFisheyeUndistortedSize);
  double per_frame_maps_s = 0.0;
  double cached_maps_s = 0.0;
  cv::Mat undistorted;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    cv::fisheye::undistortImage(
      frame, undistorted, kFisheyeK, kFisheyeD, kFisheyeNewK, vws::kFisheyeUndistortedSize);
    per_frame_maps_s += secondsSince(start);
    start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(undistorter.undistort(frame));
    cached_maps_s += secondsSince(start);
  }
  const double frames = static_cast<double>(state.iterations());
  state.counters["undistortImage_ms"] = 1000.0 * per_frame_maps_s / frames;
  state.counters["remap_ms"] = 1000.0 * cached_maps_s / frames;
  state.counters["speedup"] = per_frame_maps_s / cached_maps_s;
}
BENCHMARK(BM_FisheyeCachedRemapSpeedup)->Unit(benchmark::kMillisecond);

static void BM_RegionIoU(benchmark::State & state)
{
  const auto current = squareRegion(0.1);
  const auto last = squareRegion(0.0);
  for (auto _ : state) {
    benchmark::DoNotOptimize(vws::computeRegionIoU(current, last));
  }
}
BENCHMARK(BM_RegionIoU);

BENCHMARK_MAIN();
