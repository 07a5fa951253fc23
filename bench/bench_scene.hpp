#ifndef BENCH_SCENE_HPP_
#define BENCH_SCENE_HPP_

#include <stdlib.h>
#include <time.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "cv_bridge/cv_bridge.h"
#include "rclcpp/rclcpp.hpp"
#include "sim/camera_rig.hpp"
#include "sim/simulator.hpp"
#include "sim/world.hpp"
#include "water_stain_node_access.hpp"

// What the benchmarks share: a scratch archive, the simulator's floor seen by the three cameras,
// and a node set up as the pipeline tests set it up (calibrated, working, pose on tf).
namespace bench_scene
{

inline const std::array<float, 3> kMean{0.485f, 0.456f, 0.406f};
inline const std::array<float, 3> kStd{0.229f, 0.224f, 0.225f};

// Where the robot stands on the simulated floor while frames are rendered and judged.
inline const velmora_sim::Pose2D kRobotPose{6.0, 4.0, 0.3};

// CPU time the calling thread has used, in microseconds. With OpenCV on one thread (the node's
// setting) all of a frame's work runs on the caller, and other work on a shared machine does not
// count, as it does in wall time.
inline double threadCpuMicroseconds()
{
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

class ScratchDirectory
{
public:
  ScratchDirectory()
  {
    std::string pattern =
      (std::filesystem::temp_directory_path() / "velmora_bench_XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~ScratchDirectory()
  {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDirectory(const ScratchDirectory &) = delete;
  ScratchDirectory & operator=(const ScratchDirectory &) = delete;

  const std::string & path() const {return path_;}

private:
  std::string path_;
};

using BenchNode = node_access::WaterStainNodeAccess;

inline builtin_interfaces::msg::Time stamp(int32_t sec)
{
  builtin_interfaces::msg::Time time;
  time.sec = sec;
  return time;
}

inline geometry_msgs::msg::TransformStamped planarTransform(
  const std::string & parent, const std::string & child, double x, double y, double yaw,
  const builtin_interfaces::msg::Time & time)
{
  geometry_msgs::msg::TransformStamped transform;
  transform.header.stamp = time;
  transform.header.frame_id = parent;
  transform.child_frame_id = child;
  transform.transform.translation.x = x;
  transform.transform.translation.y = y;
  transform.transform.rotation.z = std::sin(yaw / 2.0);
  transform.transform.rotation.w = std::cos(yaw / 2.0);
  return transform;
}

// Localisation's chain map -> odom -> base_footprint at `hz` for `seconds`, as a robot's tf
// buffer holds it; the robot ends at kRobotPose.
inline void fillPoseHistory(tf2_ros::Buffer & buffer, double seconds = 10.0, int hz = 50)
{
  const int samples = static_cast<int>(seconds * hz);
  for (int i = 0; i < samples; ++i) {
    const int64_t ns = 1000000000LL + i * 1000000000LL / hz;
    builtin_interfaces::msg::Time time;
    time.sec = static_cast<int32_t>(ns / 1000000000LL);
    time.nanosec = static_cast<uint32_t>(ns % 1000000000LL);
    const double back = 0.3 * (samples - 1 - i) / hz;
    buffer.setTransform(planarTransform("map", "odom", 0.12, -0.08, 0.0, time), "bench", false);
    buffer.setTransform(
      planarTransform(
        "odom", "base_footprint", kRobotPose.x - 0.12 - back * std::cos(kRobotPose.yaw),
        kRobotPose.y + 0.08 - back * std::sin(kRobotPose.yaw), kRobotPose.yaw, time),
      "bench", false);
  }
}

// The simulator's room and cameras, rendered once per camera at kRobotPose.
class Scene
{
public:
  Scene()
  : world_(velmora_sim::WorldConfig{}, 7)
  {
    for (const auto camera : velmora_sim::kAllCameras) {
      cameras_.push_back(velmora_sim::FloorCamera::forCamera(camera));
      frames_[index(camera)] = render(camera);
    }
  }

  // 8-bit BGR as the camera sees it.
  const cv::Mat & frame(velmora_sim::CameraId camera) const {return frames_[index(camera)];}

  // What the simulator does for every frame it publishes.
  cv::Mat render(velmora_sim::CameraId camera) const
  {
    return cameras_[index(camera)].render(world_, kRobotPose, 1.0);
  }

  // The frame as the camera's driver publishes it (rgb8 colour cameras, bgr8 fisheye).
  std::shared_ptr<sensor_msgs::msg::Image> message(velmora_sim::CameraId camera) const
  {
    return imageMessage(frame(camera), velmora_sim::cameraDesign(camera).encoding);
  }

  static std::shared_ptr<sensor_msgs::msg::Image> imageMessage(
    const cv::Mat & bgr, const std::string & encoding)
  {
    cv::Mat pixels = bgr;
    if (encoding == "rgb8") {
      cv::cvtColor(bgr, pixels, cv::COLOR_BGR2RGB);
    }
    std_msgs::msg::Header header;
    header.stamp = stamp(20);
    header.frame_id = "camera";
    auto msg = std::make_shared<sensor_msgs::msg::Image>();
    cv_bridge::CvImage(header, encoding, pixels).toImageMsg(*msg);
    return msg;
  }

private:
  static std::size_t index(velmora_sim::CameraId camera)
  {
    return static_cast<std::size_t>(camera);
  }

  velmora_sim::World world_;
  std::vector<velmora_sim::FloorCamera> cameras_;
  std::array<cv::Mat, 3> frames_;
};

// A node judging with `engine_path`, archiving into `image_dir` (every verdict, no clean
// throttle: the costliest case), asking the VLM at `vlm_url`; both colour cameras calibrated
// from the simulator's camera info and mounts, the robot working, its pose on tf.
inline std::shared_ptr<BenchNode> judgingNode(
  const std::string & engine_path, const std::string & image_dir, const std::string & vlm_url)
{
  auto node = std::make_shared<BenchNode>(
    rclcpp::NodeOptions().parameter_overrides({
        {"engine_path", engine_path}, {"image_dir", image_dir}, {"server_url", vlm_url},
        {"clean_save_interval_s", 0}}));
  for (const auto camera : {velmora_sim::CameraId::rear, velmora_sim::CameraId::front}) {
    node->mountCamera(velmora_sim::mountTransform(camera, stamp(1)));
  }
  fillPoseHistory(node->tfBuffer());
  node->cam_info_callback(
    std::make_shared<sensor_msgs::msg::CameraInfo>(
      velmora_sim::cameraInfo(velmora_sim::CameraId::rear, stamp(1))));
  node->front_cam_info_callback(
    std::make_shared<sensor_msgs::msg::CameraInfo>(
      velmora_sim::cameraInfo(velmora_sim::CameraId::front, stamp(1))));
  auto status = std::make_shared<velmora_protocol::msg::TaskCenterFsmStatus>();
  status->state = 2;
  status->sub_state = 4;
  node->working_status_callback(status);
  return node;
}

}  // namespace bench_scene

#endif  // BENCH_SCENE_HPP_
