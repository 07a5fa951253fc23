#ifndef VELMORA_WATER_STAIN__GEOMETRY_HPP_
#define VELMORA_WATER_STAIN__GEOMETRY_HPP_

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "geometry_msgs/msg/point_stamped.hpp"
#include "geometry_msgs/msg/transform_stamped.hpp"
#include "velmora_water_stain/result.hpp"

namespace velmora_water_stain
{

// Corners of a floor rectangle in "base_footprint" carried through `transform`; the points take
// the transform's stamp and parent frame.
std::vector<geometry_msgs::msg::PointStamped> transformRegion(
  const geometry_msgs::msg::TransformStamped & transform, std::vector<cv::Point3f> corners);

// Pinhole projection of floor corners with the camera intrinsics `K` (3 x 3 CV_64F) and the
// transform that carries "base_footprint" points into the optical frame. Corners at or behind
// the camera and non-finite inputs are rejected, with why the calibration cannot be used.
Result<std::vector<cv::Point2f>> projectFloorRectangle(
  const cv::Mat & K, const geometry_msgs::msg::TransformStamped & camera_from_base,
  const std::vector<cv::Point3f> & corners);

// W x H of the upright patch of a quadrilateral ordered top-right, top-left, bottom-left,
// bottom-right (extents truncated toward zero).
cv::Size floorPatchSize(const std::vector<cv::Point2f> & quadrilateral);

// The quadrilateral warped into an upright W x H patch, black outside the image.
cv::Mat rectifyFloorPatch(const cv::Mat & image, const std::vector<cv::Point2f> & quadrilateral);

// What rectifyFloorPatch derives from the quadrilateral alone: worth keeping when the
// quadrilateral is fixed over many frames.
struct FloorPatchWarp
{
  cv::Size size;
  cv::Mat homography;  // quadrilateral to upright patch
};

// Throws cv::Exception when the quadrilateral has no extent.
FloorPatchWarp floorPatchWarp(const std::vector<cv::Point2f> & quadrilateral);

cv::Mat rectifyFloorPatch(const cv::Mat & image, const FloorPatchWarp & warp);

// What cv::warpPerspective computes per patch pixel before it samples the image, computed once:
// the integer source pixel (CV_16SC2) and the index of its bilinear weights (CV_16UC1).
struct FloorPatchMaps
{
  cv::Mat source_pixels;
  cv::Mat weight_indices;
};

FloorPatchMaps floorPatchMaps(const FloorPatchWarp & warp);

// Pixel-identical to rectifyFloorPatch with the warp the maps were built from, for any image.
cv::Mat rectifyFloorPatch(const cv::Mat & image, const FloorPatchMaps & maps);

// Cuts the patch of a quadrilateral that stays the same over many frames (a calibrated camera's):
// the maps are built on the first frame of each quadrilateral, later frames are only sampled.
class FloorPatchCutter
{
public:
  // rectifyFloorPatch(image, quadrilateral), pixel for pixel; throws as it does.
  cv::Mat cut(const cv::Mat & image, const std::vector<cv::Point2f> & quadrilateral);
  // True once a patch has been cut, i.e. the maps exist.
  bool prepared() const {return !maps_.source_pixels.empty();}

private:
  std::vector<cv::Point2f> quadrilateral_;
  FloorPatchMaps maps_;
};

// Intersection over union of two map-frame quadrilaterals on the ground plane; 0 when `last`
// is empty or the two do not overlap.
float computeRegionIoU(
  const std::vector<geometry_msgs::msg::PointStamped> & current,
  const std::vector<geometry_msgs::msg::PointStamped> & last);

}  // namespace velmora_water_stain

#endif  // VELMORA_WATER_STAIN__GEOMETRY_HPP_
