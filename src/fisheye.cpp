#include "velmora_water_stain/fisheye.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <iostream>
#include <limits>
#include <string>
#include <utility>
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
  if (!prepared()) {
    prepareSpans();
  }
  // warpPerspective's own precondition, checked before any pixel is undistorted.
  CV_Assert(frame.cols > 0 && frame.rows > 0);
  // An unallocated matrix reports CV_8UC1, so a first grey frame needs the emptiness test.
  if (undistorted_.empty() || undistorted_.type() != frame.type()) {
    undistorted_ = cv::Mat::zeros(undistorter_.size(), frame.type());
  }
  undistortSpans(frame);
  return rectifyFloorPatch(undistorted_, patch_maps_);
}

void FisheyeFloorCrop::prepareSpans()
{
  FloorPatchMaps patch_maps = floorPatchMaps(warp_);
  // The bilinear warp reads the source pixel of each patch pixel and its right, lower and
  // lower-right neighbours, where they lie inside the image.
  const cv::Size size = undistorter_.size();
  std::vector<int> first(static_cast<std::size_t>(size.height), size.width);
  std::vector<int> last(static_cast<std::size_t>(size.height), -1);
  const cv::Mat & sources = patch_maps.source_pixels;
  for (int y = 0; y < sources.rows; ++y) {
    const cv::Vec2s * source = sources.ptr<cv::Vec2s>(y);
    for (int x = 0; x < sources.cols; ++x) {
      const int column = source[x][0];
      const int row = source[x][1];
      const int left = std::max(column, 0);
      const int right = std::min(column + 1, size.width - 1);
      for (int r = std::max(row, 0); r <= std::min(row + 1, size.height - 1) && left <= right;
        ++r)
      {
        first[static_cast<std::size_t>(r)] = std::min(first[static_cast<std::size_t>(r)], left);
        last[static_cast<std::size_t>(r)] = std::max(last[static_cast<std::size_t>(r)], right);
      }
    }
  }
  std::vector<RowSpan> spans;
  std::size_t total = 0;
  for (int row = 0; row < size.height; ++row) {
    const std::size_t at = static_cast<std::size_t>(row);
    const int count = last[at] - first[at] + 1;
    if (count > 0) {
      spans.push_back({row, first[at], count});
      total += static_cast<std::size_t>(count);
    }
  }
  // remap takes maps narrower than SHRT_MAX; the last row's tail reads pixel (0, 0) and is not
  // used.
  constexpr int kRowLength = 4096;
  const int rows = std::max(1, static_cast<int>((total + kRowLength - 1) / kRowLength));
  cv::Mat source_pixels(rows, kRowLength, CV_16SC2, cv::Scalar::all(0));
  cv::Mat weight_indices(rows, kRowLength, CV_16UC1, cv::Scalar::all(0));
  auto * source_to = source_pixels.ptr<cv::Vec2s>();
  auto * weight_to = weight_indices.ptr<ushort>();
  for (const RowSpan & span : spans) {
    const auto * source_from = undistorter_.sourcePixels().ptr<cv::Vec2s>(span.row) + span.first;
    const auto * weight_from = undistorter_.weightIndices().ptr<ushort>(span.row) + span.first;
    source_to = std::copy(source_from, source_from + span.count, source_to);
    weight_to = std::copy(weight_from, weight_from + span.count, weight_to);
  }
  spans_ = std::move(spans);
  span_source_pixels_ = source_pixels;
  span_weight_indices_ = weight_indices;
  patch_maps_ = std::move(patch_maps);
}

void FisheyeFloorCrop::undistortSpans(const cv::Mat & frame)
{
  // Each undistorted pixel depends only on its own map entries, so undistorting the spans end
  // to end gives exactly those pixels of the whole undistortion.
  cv::remap(
    frame, span_undistorted_, span_source_pixels_, span_weight_indices_, cv::INTER_LINEAR,
    cv::BORDER_CONSTANT);
  const std::size_t pixel_bytes = frame.elemSize();
  const uchar * from = span_undistorted_.ptr();
  for (const RowSpan & span : spans_) {
    const std::size_t bytes = static_cast<std::size_t>(span.count) * pixel_bytes;
    std::memcpy(undistorted_.ptr(span.row) + static_cast<std::size_t>(span.first) * pixel_bytes,
      from, bytes);
    from += bytes;
  }
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
