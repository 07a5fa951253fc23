#include "velmora_water_stain/fisheye.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "velmora_water_stain/geometry.hpp"

namespace velmora_water_stain
{

namespace
{

// c = R^T p + t: a floor corner in the fisheye camera's coordinates.
cv::Mat toFisheyeCamera(const cv::Point3f & corner, const cv::Mat & rvec, const cv::Mat & tvec)
{
  const cv::Mat rotation = eulerToRotation(rvec);
  return rotation.t() * cv::Mat(corner) + tvec;
}

cv::Point2f toUndistortedPixel(const cv::Mat & camera_point, const cv::Mat & new_K)
{
  const cv::Mat normalized = camera_point / camera_point.at<float>(2);
  const cv::Mat pixel = new_K * normalized;
  return {pixel.at<float>(0), pixel.at<float>(1)};
}

// The pixels of an `image_size` image that warping it into `warp`'s patch reads: around the
// source point of every patch pixel, a margin wide enough for the bilinear neighbours and
// rounding; the whole image when a source point lies at infinity.
cv::Rect warpSourceWindow(const FloorPatchWarp & warp, cv::Size image_size)
{
  const cv::Rect image(cv::Point(), image_size);
  const cv::Matx33d patch_to_image(cv::Mat(warp.homography.inv(cv::DECOMP_LU)));
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  double left = kInfinity;
  double top = kInfinity;
  double right = -kInfinity;
  double bottom = -kInfinity;
  for (int y = 0; y < warp.size.height; ++y) {
    for (int x = 0; x < warp.size.width; ++x) {
      const cv::Vec3d source = patch_to_image * cv::Vec3d(x, y, 1.0);
      const double u = source[0] / source[2];
      const double v = source[1] / source[2];
      if (!std::isfinite(u) || !std::isfinite(v)) {
        return image;
      }
      left = std::min(left, u);
      top = std::min(top, v);
      right = std::max(right, u);
      bottom = std::max(bottom, v);
    }
  }
  constexpr double kMargin = 2.0;
  // Clamped before rounding to int; beyond the image it makes no difference.
  const auto column = [&](double u) {
      return static_cast<int>(std::clamp(u, -kMargin, image_size.width + kMargin));
    };
  const auto row = [&](double v) {
      return static_cast<int>(std::clamp(v, -kMargin, image_size.height + kMargin));
    };
  const cv::Point first(column(std::floor(left - kMargin)), row(std::floor(top - kMargin)));
  const cv::Point last(column(std::ceil(right + kMargin)), row(std::ceil(bottom + kMargin)));
  return cv::Rect(first, last + cv::Point(1, 1)) & image;
}

// The test artefacts are best effort: a failed write must not end the pipeline.
void writeQuietly(const std::string & path, const cv::Mat & image)
{
  try {
    cv::imwrite(path, image);
  } catch (const std::exception &) {
  }
}

}  // namespace

cv::Mat eulerToRotation(const cv::Mat & angles)
{
  const float roll = angles.at<float>(0);
  const float pitch = angles.at<float>(1);
  const float yaw = angles.at<float>(2);
  const float cr = std::cos(roll);
  const float sr = std::sin(roll);
  const float cp = std::cos(pitch);
  const float sp = std::sin(pitch);
  const float cy = std::cos(yaw);
  const float sy = std::sin(yaw);
  const cv::Mat rx = (cv::Mat_<float>(3, 3) << 1, 0, 0, 0, cr, -sr, 0, sr, cr);
  const cv::Mat ry = (cv::Mat_<float>(3, 3) << cp, 0, sp, 0, 1, 0, -sp, 0, cp);
  const cv::Mat rz = (cv::Mat_<float>(3, 3) << cy, -sy, 0, sy, cy, 0, 0, 0, 1);
  return rz * ry * rx;
}

std::vector<cv::Point2f> projectFisheyeCorners(
  const std::vector<cv::Point3f> & corners, const cv::Mat & rvec, const cv::Mat & tvec,
  const cv::Mat & new_K)
{
  std::vector<cv::Point2f> pixels;
  pixels.reserve(corners.size());
  for (const cv::Point3f & corner : corners) {
    pixels.push_back(toUndistortedPixel(toFisheyeCamera(corner, rvec, tvec), new_K));
  }
  return pixels;
}

FisheyeUndistorter::FisheyeUndistorter(
  const cv::Mat & K, const cv::Mat & D, const cv::Mat & new_K, cv::Size new_size)
{
  // The same map type and identity rectification as cv::fisheye::undistortImage, so that the
  // remap below reproduces it pixel for pixel.
  cv::fisheye::initUndistortRectifyMap(
    K, D, cv::Matx33d::eye(), new_K, new_size, CV_16SC2, map1_, map2_);
}

cv::Mat FisheyeUndistorter::undistort(const cv::Mat & frame) const
{
  cv::Mat undistorted;
  cv::remap(frame, undistorted, map1_, map2_, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
  return undistorted;
}

void FisheyeUndistorter::undistortWindow(
  const cv::Mat & frame, const cv::Rect & window, cv::Mat & undistorted) const
{
  CV_Assert(undistorted.size() == size() && undistorted.type() == frame.type());
  // Each output pixel depends only on its own map entry, so remapping part of the maps gives
  // exactly those pixels of the whole remap.
  cv::Mat target = undistorted(window);
  cv::remap(frame, target, map1_(window), map2_(window), cv::INTER_LINEAR, cv::BORDER_CONSTANT);
}

FisheyeFloorCrop::FisheyeFloorCrop(
  const FisheyeUndistorter & undistorter, const std::vector<cv::Point2f> & quadrilateral)
: undistorter_(undistorter), quadrilateral_(quadrilateral)
{
  const cv::Size patch = floorPatchSize(quadrilateral);
  if (undistorter.ready() && patch.width > 0 && patch.height > 0) {
    warp_ = floorPatchWarp(quadrilateral);
    window_ = warpSourceWindow(warp_, undistorter.size());
  }
}

cv::Mat FisheyeFloorCrop::crop(const cv::Mat & frame)
{
  // A quadrilateral without extent fails here as it always has; one outside the image reads no
  // pixel of it, and the whole undistortion is as cheap as any.
  if (warp_.homography.empty() || window_.empty()) {
    return rectifyFloorPatch(undistorter_.undistort(frame), quadrilateral_);
  }
  if (undistorted_.type() != frame.type()) {
    undistorted_ = cv::Mat::zeros(undistorter_.size(), frame.type());
  }
  undistorter_.undistortWindow(frame, window_, undistorted_);
  return patch_cutter_.cut(undistorted_, quadrilateral_);
}

void writeFisheyeTestImages(
  const cv::Mat & undistorted, const std::vector<cv::Point3f> & corners, const cv::Mat & rvec,
  const cv::Mat & tvec, const cv::Mat & new_K, const std::string & test_dir)
{
  writeQuietly(test_dir + "/undistort.jpg", undistorted);

  std::vector<cv::Point2f> quadrilateral;
  for (const cv::Point3f & corner : corners) {
    const cv::Mat camera_point = toFisheyeCamera(corner, rvec, tvec);
    std::cout << static_cast<double>(camera_point.at<float>(0)) << "\t" <<
      static_cast<double>(camera_point.at<float>(1)) << "\t " <<
      static_cast<double>(camera_point.at<float>(2)) << "\n";
    quadrilateral.push_back(toUndistortedPixel(camera_point, new_K));
  }
  writeQuietly(test_dir + "/undistort_region.jpg", undistorted);

  const cv::Mat cropped = rectifyFloorPatch(undistorted, quadrilateral);
  writeQuietly(test_dir + "/cropped.jpg", cropped);
}

}  // namespace velmora_water_stain
