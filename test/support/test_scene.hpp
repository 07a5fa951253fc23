#ifndef TEST_SCENE_HPP_
#define TEST_SCENE_HPP_

#include <cmath>
#include <string>

#include <kdl/frames.hpp>
#include <opencv2/core.hpp>

#include "builtin_interfaces/msg/time.hpp"
#include "geometry_msgs/msg/transform_stamped.hpp"
#include "sensor_msgs/msg/camera_info.hpp"

namespace test_scene
{

inline builtin_interfaces::msg::Time stamp(int32_t sec, uint32_t nanosec = 0)
{
  builtin_interfaces::msg::Time time;
  time.sec = sec;
  time.nanosec = nanosec;
  return time;
}

// Mount of a camera at `position` in `parent` whose optical axis points at `target`
// (optical frame: x right, y down, z along the view).
inline geometry_msgs::msg::TransformStamped cameraMount(
  const std::string & parent, const std::string & optical_frame, const cv::Vec3d & position,
  const cv::Vec3d & target)
{
  const cv::Vec3d forward = cv::normalize(target - position);
  const cv::Vec3d right = cv::normalize(forward.cross(cv::Vec3d(0, 0, 1)));
  const cv::Vec3d down = forward.cross(right);
  const KDL::Rotation rotation(
    right[0], down[0], forward[0], right[1], down[1], forward[1], right[2], down[2], forward[2]);
  geometry_msgs::msg::TransformStamped mount;
  mount.header.frame_id = parent;
  mount.child_frame_id = optical_frame;
  mount.transform.translation.x = position[0];
  mount.transform.translation.y = position[1];
  mount.transform.translation.z = position[2];
  rotation.GetQuaternion(
    mount.transform.rotation.x, mount.transform.rotation.y, mount.transform.rotation.z,
    mount.transform.rotation.w);
  return mount;
}

// Planar robot pose in the map: position (x, y) and heading yaw.
inline geometry_msgs::msg::TransformStamped robotPose(
  double x, double y, double yaw, const builtin_interfaces::msg::Time & time)
{
  geometry_msgs::msg::TransformStamped pose;
  pose.header.stamp = time;
  pose.header.frame_id = "map";
  pose.child_frame_id = "base_footprint";
  pose.transform.translation.x = x;
  pose.transform.translation.y = y;
  pose.transform.rotation.z = std::sin(yaw / 2.0);
  pose.transform.rotation.w = std::cos(yaw / 2.0);
  return pose;
}

inline sensor_msgs::msg::CameraInfo cameraInfo(double focal, int width, int height)
{
  sensor_msgs::msg::CameraInfo info;
  info.width = static_cast<uint32_t>(width);
  info.height = static_cast<uint32_t>(height);
  info.distortion_model = "plumb_bob";
  info.d = {0.0, 0.0, 0.0, 0.0, 0.0};
  info.k = {focal, 0.0, width / 2.0, 0.0, focal, height / 2.0, 0.0, 0.0, 1.0};
  return info;
}

// Mounts under which the colour cameras see their floor rectangles well inside a 640 x 480 image.
inline geometry_msgs::msg::TransformStamped rearCameraMount()
{
  return cameraMount(
    "base_footprint", "camera_05_color_optical_frame", {-0.2, 0.0, 1.0}, {-0.9, 0.0, 0.0});
}

inline geometry_msgs::msg::TransformStamped frontCameraMount()
{
  return cameraMount(
    "base_footprint", "camera_01_color_optical_frame", {0.3, 0.0, 1.0}, {1.4, 0.0, 0.0});
}

}  // namespace test_scene

#endif  // TEST_SCENE_HPP_
