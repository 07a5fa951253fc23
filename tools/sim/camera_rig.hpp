#ifndef SIM__CAMERA_RIG_HPP_
#define SIM__CAMERA_RIG_HPP_

#include <array>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "sim/world.hpp"

namespace velmora_sim
{

enum class CameraId : int
{
  rear = 0,
  front = 1,
  fisheye = 2,
};

constexpr std::array<CameraId, 3> kAllCameras{CameraId::rear, CameraId::front, CameraId::fisheye};

// What the robot's drivers publish for one camera, and the floor rectangle the node cuts out of
// its images (in "base_footprint", in the node's corner order).
struct CameraDesign
{
  CameraId id;
  std::string name;            // "rear", "front", "fisheye"
  std::string image_topic;
  std::string info_topic;      // empty: calibration compiled into the node
  std::string optical_frame;   // empty: no tf frame
  std::string encoding;
  cv::Size size;
  std::vector<cv::Point3f> floor_rectangle;
  std::string category_suffix;  // archive categories: "clean" + suffix, ...
};

const CameraDesign & cameraDesign(CameraId id);

// A rigid transform: a point p of the child frame is parent = rotation * p + translation.
struct RigidTransform
{
  cv::Matx33d rotation{cv::Matx33d::eye()};
  cv::Vec3d translation{0.0, 0.0, 0.0};

  cv::Vec3d apply(const cv::Vec3d & point) const {return rotation * point + translation;}
  RigidTransform inverse() const;
};

// Optical frame (x right, y down, z forward) of a camera at `position` looking at `target`,
// both in "base_footprint", with its image's horizontal axis parallel to the floor.
RigidTransform lookAt(const cv::Vec3d & position, const cv::Vec3d & target);

// The colour cameras' mounts (base_footprint <- optical frame) and intrinsics.
RigidTransform pinholeMount(CameraId id);
cv::Matx33d pinholeIntrinsics(CameraId id);

// The fisheye calibration compiled into the node: raw image model and mounting.
struct FisheyeCalibration
{
  cv::Matx33d K;
  cv::Vec4d D;
  cv::Vec3d rvec;  // roll, pitch, yaw; R = Rz(yaw) Ry(pitch) Rx(roll)
  cv::Vec3d tvec;  // camera point c = R^T p + tvec for a base_footprint point p
};

const FisheyeCalibration & fisheyeCalibration();
cv::Matx33d eulerRotation(const cv::Vec3d & roll_pitch_yaw);

// A camera reduced to what rendering needs: for every pixel the floor point it sees in
// "base_footprint" (or none above the horizon), computed once; a frame is then one remap of the
// floor texture through the robot's pose.
class FloorCamera
{
public:
  // `supersampling` n renders n x n rays per pixel and averages them, against aliasing where
  // the floor is seen at a grazing angle.
  static FloorCamera pinhole(
    cv::Size size, const cv::Matx33d & K, const RigidTransform & mount, int supersampling = 1);
  static FloorCamera fisheye(
    cv::Size size, const FisheyeCalibration & calibration, int supersampling = 1);
  static FloorCamera forCamera(CameraId id);

  // The frame seen at `pose`, 8-bit BGR, its brightness scaled by `exposure`; `frame_number`
  // picks the sensor noise. Safe to call from several threads once world.texture() is built.
  cv::Mat render(
    const World & world, const Pose2D & pose, double exposure, std::size_t frame_number = 0) const;


private:
  FloorCamera(cv::Size size, int supersampling);
  // Where the ray from `origin` along `ray` (base_footprint) meets the floor, for one sample.
  void setFloorPoint(int row, int col, const cv::Vec3d & origin, const cv::Vec3d & ray);
  // Sample centre in output pixel coordinates.
  cv::Point2d samplePixel(int row, int col) const;
  void finish();

  cv::Mat floor_x_;  // CV_32F, metres in base_footprint
  cv::Mat floor_y_;
  cv::Mat no_floor_;  // 8-bit mask of pixels that see no floor
  cv::Mat backdrop_;  // what those pixels show: walls
  cv::Size output_size_;
  int supersampling_{1};
  std::vector<cv::Mat> sensor_noise_;
};

}  // namespace velmora_sim

#endif  // SIM__CAMERA_RIG_HPP_
