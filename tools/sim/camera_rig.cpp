#include "sim/camera_rig.hpp"

#include <cmath>
#include <stdexcept>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

namespace velmora_sim
{

namespace
{

// Rays meeting the floor farther away than this see a wall: far floor costs much rendering
// time (scattered texture reads) and lies far outside every floor patch.
constexpr double kMaxFloorDistance = 4.5;
constexpr double kSensorNoiseSigma = 2.0;
constexpr int kNoiseFrames = 4;
// A raw fisheye pixel whose ray does not map back onto itself lies outside the lens model.
constexpr double kFisheyeRoundTripTolerance = 0.25;
const cv::Scalar kSkirting(118, 124, 130);

CameraDesign makeDesign(
  CameraId id, const std::string & name, const std::string & image_topic,
  const std::string & info_topic, const std::string & frame, const std::string & encoding,
  cv::Size size, std::vector<cv::Point3f> rectangle, const std::string & suffix)
{
  return {id, name, image_topic, info_topic, frame, encoding, size, std::move(rectangle), suffix};
}

}  // namespace

const CameraDesign & cameraDesign(CameraId id)
{
  static const std::array<CameraDesign, 3> designs{
    makeDesign(
      CameraId::rear, "rear", "/camera_05/color/image_raw", "/camera_05/color/camera_info",
      "camera_05_color_optical_frame", "rgb8", {640, 480},
      {{-1.4f, 0.3f, 0.0f}, {-1.4f, -0.3f, 0.0f}, {-0.4f, -0.3f, 0.0f}, {-0.4f, 0.3f, 0.0f}}, ""),
    makeDesign(
      CameraId::front, "front", "/camera_01/color/image_raw", "/camera_01/color/camera_info",
      "camera_01_color_optical_frame", "rgb8", {640, 480},
      {{1.9f, -0.5f, 0.0f}, {1.9f, 0.5f, 0.0f}, {0.9f, 0.5f, 0.0f}, {0.9f, -0.5f, 0.0f}},
      "_front"),
    makeDesign(
      CameraId::fisheye, "fisheye", "/usb_cam_rear/image_raw", "", "", "bgr8", {800, 600},
      {{-1.5f, 0.3f, 0.0f}, {-1.5f, -0.3f, 0.0f}, {-0.5f, -0.3f, 0.0f}, {-0.5f, 0.3f, 0.0f}},
      "_fish"),
  };
  return designs[static_cast<std::size_t>(id)];
}

RigidTransform RigidTransform::inverse() const
{
  const cv::Matx33d back = rotation.t();
  return {back, -(back * translation)};
}

RigidTransform lookAt(const cv::Vec3d & position, const cv::Vec3d & target)
{
  const cv::Vec3d forward = cv::normalize(target - position);
  const cv::Vec3d right = cv::normalize(forward.cross(cv::Vec3d(0.0, 0.0, 1.0)));
  const cv::Vec3d down = forward.cross(right);
  RigidTransform mount;
  for (int row = 0; row < 3; ++row) {
    mount.rotation(row, 0) = right[row];
    mount.rotation(row, 1) = down[row];
    mount.rotation(row, 2) = forward[row];
  }
  mount.translation = position;
  return mount;
}

RigidTransform pinholeMount(CameraId id)
{
  switch (id) {
    case CameraId::rear: return lookAt({-0.10, 0.0, 0.75}, {-0.78, 0.0, 0.0});
    case CameraId::front: return lookAt({0.32, 0.0, 0.55}, {1.45, 0.0, 0.0});
    case CameraId::fisheye: break;
  }
  throw std::invalid_argument("the fisheye camera has no pinhole mount");
}

cv::Matx33d pinholeIntrinsics(CameraId id)
{
  // About 70 degrees across 640 pixels, principal points a little off centre as calibrated.
  switch (id) {
    case CameraId::rear: return {456.9, 0.0, 319.6, 0.0, 456.4, 240.8, 0.0, 0.0, 1.0};
    case CameraId::front: return {457.4, 0.0, 321.2, 0.0, 457.1, 238.9, 0.0, 0.0, 1.0};
    case CameraId::fisheye: break;
  }
  throw std::invalid_argument("the fisheye camera has no pinhole intrinsics");
}

const FisheyeCalibration & fisheyeCalibration()
{
  static const FisheyeCalibration calibration{
    {339.16461, -0.04840181, 412.04343, 0.0, 339.48041, 305.00290, 0.0, 0.0, 1.0},
    {-0.20290732, 0.050523773, -0.031190876, 0.009916748},
    {-2.000999, -0.014999, 1.57},
    {0.0, 0.7, -0.226}};
  return calibration;
}

cv::Matx33d eulerRotation(const cv::Vec3d & roll_pitch_yaw)
{
  const double cr = std::cos(roll_pitch_yaw[0]);
  const double sr = std::sin(roll_pitch_yaw[0]);
  const double cp = std::cos(roll_pitch_yaw[1]);
  const double sp = std::sin(roll_pitch_yaw[1]);
  const double cy = std::cos(roll_pitch_yaw[2]);
  const double sy = std::sin(roll_pitch_yaw[2]);
  const cv::Matx33d rx(1, 0, 0, 0, cr, -sr, 0, sr, cr);
  const cv::Matx33d ry(cp, 0, sp, 0, 1, 0, -sp, 0, cp);
  const cv::Matx33d rz(cy, -sy, 0, sy, cy, 0, 0, 0, 1);
  return rz * ry * rx;
}

FloorCamera::FloorCamera(cv::Size size, int supersampling)
: output_size_(size), supersampling_(supersampling)
{
  if (supersampling < 1 || size.area() <= 0) {
    throw std::invalid_argument("a camera needs a positive size and supersampling");
  }
  const cv::Size samples(size.width * supersampling, size.height * supersampling);
  floor_x_.create(samples, CV_32F);
  floor_y_.create(samples, CV_32F);
  no_floor_ = cv::Mat::zeros(samples, CV_8U);
}

cv::Point2d FloorCamera::samplePixel(int row, int col) const
{
  const double step = 1.0 / supersampling_;
  return {(col + 0.5) * step - 0.5, (row + 0.5) * step - 0.5};
}

void FloorCamera::setFloorPoint(
  int row, int col, const cv::Vec3d & origin, const cv::Vec3d & ray)
{
  const double reach = ray[2] < 0.0 ? -origin[2] / ray[2] : -1.0;
  if (reach <= 0.0 || reach * cv::norm(ray) > kMaxFloorDistance) {
    no_floor_.at<uint8_t>(row, col) = 255;
    floor_x_.at<float>(row, col) = 0.0f;
    floor_y_.at<float>(row, col) = 0.0f;
    return;
  }
  floor_x_.at<float>(row, col) = static_cast<float>(origin[0] + reach * ray[0]);
  floor_y_.at<float>(row, col) = static_cast<float>(origin[1] + reach * ray[1]);
}

void FloorCamera::finish()
{
  // Walls: lighter towards the ceiling.
  backdrop_.create(floor_x_.size(), CV_8UC3);
  for (int row = 0; row < backdrop_.rows; ++row) {
    const double shade = 1.0 - 0.25 * row / backdrop_.rows;
    backdrop_.row(row).setTo(cv::Scalar(205, 212, 218) * shade);
  }
  cv::RNG rng(static_cast<uint64>(output_size_.area()));
  for (int frame = 0; frame < kNoiseFrames; ++frame) {
    cv::Mat noise(output_size_, CV_16SC3);
    rng.fill(noise, cv::RNG::NORMAL, 0.0, kSensorNoiseSigma);
    sensor_noise_.push_back(noise);
  }
}

FloorCamera FloorCamera::pinhole(
  cv::Size size, const cv::Matx33d & K, const RigidTransform & mount, int supersampling)
{
  FloorCamera camera(size, supersampling);
  const cv::Matx33d K_inv = K.inv();
  for (int row = 0; row < camera.floor_x_.rows; ++row) {
    for (int col = 0; col < camera.floor_x_.cols; ++col) {
      const cv::Point2d pixel = camera.samplePixel(row, col);
      const cv::Vec3d optical_ray = K_inv * cv::Vec3d(pixel.x, pixel.y, 1.0);
      camera.setFloorPoint(row, col, mount.translation, mount.rotation * optical_ray);
    }
  }
  camera.finish();
  return camera;
}

FloorCamera FloorCamera::fisheye(
  cv::Size size, const FisheyeCalibration & calibration, int supersampling)
{
  FloorCamera camera(size, supersampling);
  std::vector<cv::Point2d> raw;
  raw.reserve(camera.floor_x_.total());
  for (int row = 0; row < camera.floor_x_.rows; ++row) {
    for (int col = 0; col < camera.floor_x_.cols; ++col) {
      raw.push_back(camera.samplePixel(row, col));
    }
  }
  std::vector<cv::Point2d> normalised;
  cv::fisheye::undistortPoints(raw, normalised, calibration.K, calibration.D);
  std::vector<cv::Point2d> round_trip;
  cv::fisheye::distortPoints(normalised, round_trip, calibration.K, calibration.D);
  // c = R^T p + t, so the camera sits at p = -R t and a ray n points along R n.
  const cv::Matx33d R = eulerRotation(calibration.rvec);
  const cv::Vec3d origin = -(R * calibration.tvec);
  std::size_t index = 0;
  for (int row = 0; row < camera.floor_x_.rows; ++row) {
    for (int col = 0; col < camera.floor_x_.cols; ++col, ++index) {
      const cv::Point2d n = normalised[index];
      const bool modelled =
        cv::norm(round_trip[index] - raw[index]) < kFisheyeRoundTripTolerance &&
        std::isfinite(n.x) && std::isfinite(n.y);
      const cv::Vec3d ray = modelled ? R * cv::Vec3d(n.x, n.y, 1.0) : cv::Vec3d(0.0, 0.0, 1.0);
      camera.setFloorPoint(row, col, origin, ray);
    }
  }
  camera.finish();
  return camera;
}

FloorCamera FloorCamera::forCamera(CameraId id)
{
  const CameraDesign & design = cameraDesign(id);
  switch (id) {
    case CameraId::rear:
      return pinhole(design.size, pinholeIntrinsics(id), pinholeMount(id), 1);
    case CameraId::front:
      return pinhole(design.size, pinholeIntrinsics(id), pinholeMount(id), 1);
    case CameraId::fisheye:
      return fisheye(design.size, fisheyeCalibration(), 1);
  }
  throw std::invalid_argument("unknown camera");
}

cv::Mat FloorCamera::render(
  const World & world, const Pose2D & pose, double exposure, std::size_t frame_number) const
{
  const double scale = 1.0 / world.resolution();
  const double c = std::cos(pose.yaw) * scale;
  const double s = std::sin(pose.yaw) * scale;
  cv::Mat map_x;
  cv::Mat map_y;
  cv::addWeighted(floor_x_, c, floor_y_, -s, pose.x * scale - 0.5, map_x);
  cv::addWeighted(floor_x_, s, floor_y_, c, pose.y * scale - 0.5, map_y);
  map_x.setTo(-1000.0, no_floor_);
  cv::Mat samples;
  cv::remap(
    world.texture(), samples, map_x, map_y, cv::INTER_LINEAR, cv::BORDER_CONSTANT, kSkirting);
  backdrop_.copyTo(samples, no_floor_);
  cv::Mat frame;
  if (supersampling_ > 1) {
    cv::resize(samples, frame, output_size_, 0, 0, cv::INTER_AREA);
  } else {
    frame = samples;
  }
  frame.convertTo(frame, CV_8UC3, exposure);
  cv::add(
    frame, sensor_noise_[frame_number % sensor_noise_.size()], frame, cv::noArray(), CV_8U);
  return frame;
}

}  // namespace velmora_sim
