#include "velmora_water_stain/geometry.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "tf2_geometry_msgs/tf2_geometry_msgs.hpp"

namespace velmora_water_stain
{

namespace
{

bool isFinite(const geometry_msgs::msg::TransformStamped & transform)
{
  const auto & r = transform.transform.rotation;
  const auto & t = transform.transform.translation;
  return std::isfinite(r.x) && std::isfinite(r.y) && std::isfinite(r.z) && std::isfinite(r.w) &&
         std::isfinite(t.x) && std::isfinite(t.y) && std::isfinite(t.z);
}


// Beyond this a corner comes from a camera looking almost along the floor, and its patch could
// neither be sized in int nor allocated.
constexpr double kMaxPixelMagnitude = 1e5;

// A floor patch is cut out of one camera image; larger than this it cannot come from a sensible
// calibration, and every frame would allocate it.
constexpr int kMaxPatchSide = 8192;

bool isUsablePixel(double u, double v)
{
  return std::abs(u) <= kMaxPixelMagnitude && std::abs(v) <= kMaxPixelMagnitude;
}

Failure behindCamera(std::size_t corner, double z)
{
  std::ostringstream text;
  text << "floor corner " << corner << " is behind the camera (z = " << z << ")";
  return Failure{text.str()};
}

Failure unusablePixel(std::size_t corner, double u, double v)
{
  std::ostringstream text;
  text << "floor corner " << corner << " projects to an unusable pixel (" << u << ", " << v <<
    ")";
  return Failure{text.str()};
}

// The region's outline on the ground plane: x and y narrowed to single precision, as the regions
// are compared at the precision of the floor rectangles they come from.
std::vector<cv::Point2d> groundPolygon(const std::vector<geometry_msgs::msg::PointStamped> & region)
{
  std::vector<cv::Point2d> polygon;
  polygon.reserve(region.size());
  for (const auto & corner : region) {
    polygon.emplace_back(static_cast<float>(corner.point.x), static_cast<float>(corner.point.y));
  }
  return polygon;
}

bool allFinite(const std::vector<cv::Point2d> & polygon)
{
  return std::all_of(polygon.begin(), polygon.end(), [](const cv::Point2d & p) {
             return std::isfinite(p.x) && std::isfinite(p.y);
           });
}

double signedArea(const std::vector<cv::Point2d> & polygon)
{
  double twice_area = 0.0;
  for (std::size_t i = 0; i < polygon.size(); ++i) {
    twice_area += polygon[i].cross(polygon[(i + 1) % polygon.size()]);
  }
  return twice_area / 2.0;
}

// Which side of the directed line a -> b the point p lies on (positive: left).
double sideOf(const cv::Point2d & a, const cv::Point2d & b, const cv::Point2d & p)
{
  return (b - a).cross(p - a);
}

// The part of the convex polygon `subject` inside the convex polygon `clip` (Sutherland-Hodgman,
// in double precision). OpenCV 4.6's intersectConvexConvex misses the overlap of some identical
// quadrilaterals and can report more than either area, which would make a robot that stands still
// look as if it had moved on.
std::vector<cv::Point2d> clipConvex(
  std::vector<cv::Point2d> subject, const std::vector<cv::Point2d> & clip)
{
  const double orientation = signedArea(clip) >= 0.0 ? 1.0 : -1.0;
  for (std::size_t i = 0; i < clip.size() && !subject.empty(); ++i) {
    const cv::Point2d & a = clip[i];
    const cv::Point2d & b = clip[(i + 1) % clip.size()];
    const std::vector<cv::Point2d> input = std::move(subject);
    subject.clear();
    for (std::size_t j = 0; j < input.size(); ++j) {
      const cv::Point2d & previous = input[(j + input.size() - 1) % input.size()];
      const cv::Point2d & point = input[j];
      const double previous_side = orientation * sideOf(a, b, previous);
      const double point_side = orientation * sideOf(a, b, point);
      if ((previous_side >= 0.0) != (point_side >= 0.0)) {
        const double t = previous_side / (previous_side - point_side);
        subject.push_back(previous + t * (point - previous));
      }
      if (point_side >= 0.0) {
        subject.push_back(point);
      }
    }
  }
  return subject;
}

}  // namespace

std::vector<geometry_msgs::msg::PointStamped> transformRegion(
  const geometry_msgs::msg::TransformStamped & transform, std::vector<cv::Point3f> corners)
{
  std::vector<geometry_msgs::msg::PointStamped> region;
  region.reserve(corners.size());
  for (const cv::Point3f & corner : corners) {
    geometry_msgs::msg::PointStamped in_base;
    in_base.header.frame_id = "base_footprint";
    in_base.point.x = corner.x;
    in_base.point.y = corner.y;
    in_base.point.z = corner.z;
    geometry_msgs::msg::PointStamped moved;
    tf2::doTransform(in_base, moved, transform);
    region.push_back(moved);
  }
  return region;
}

Result<std::vector<cv::Point2f>> projectFloorRectangle(
  const cv::Mat & K, const geometry_msgs::msg::TransformStamped & camera_from_base,
  const std::vector<cv::Point3f> & corners)
{
  if (K.rows != 3 || K.cols != 3 || K.type() != CV_64FC1) {
    return Failure{"the camera matrix is not 3 x 3 double precision"};
  }
  if (!cv::checkRange(K)) {
    return Failure{"the camera matrix has non-finite entries"};
  }
  if (!isFinite(camera_from_base)) {
    return Failure{"the camera transform has non-finite values"};
  }

  const auto camera_points = transformRegion(camera_from_base, corners);
  std::vector<cv::Point2f> quadrilateral;
  for (std::size_t i = 0; i < camera_points.size(); ++i) {
    const auto & p = camera_points[i].point;
    // A corner at or behind the camera has no image point; dividing by its z would mirror it.
    if (!(p.z > 0.0)) {
      return behindCamera(i, p.z);
    }
    cv::Mat column = (cv::Mat_<double>(3, 1) << p.x, p.y, p.z);
    column /= column.at<double>(2);
    const cv::Mat pixel = K * column;
    const double u = pixel.at<double>(0);
    const double v = pixel.at<double>(1);
    if (!isUsablePixel(u, v)) {
      return unusablePixel(i, u, v);
    }
    quadrilateral.emplace_back(static_cast<float>(u), static_cast<float>(v));
  }

  if (quadrilateral.size() == 4) {
    const cv::Size patch = floorPatchSize(quadrilateral);
    // An empty size would make the warp fall back to the whole image's size; a huge one would be
    // allocated for every frame.
    if (patch.width <= 0 || patch.height <= 0 || patch.width > kMaxPatchSide ||
      patch.height > kMaxPatchSide)
    {
      std::ostringstream text;
      text << "the floor rectangle projects to a " << patch.width << " x " << patch.height <<
        " patch";
      return Failure{text.str()};
    }
  }
  return quadrilateral;
}

cv::Size floorPatchSize(const std::vector<cv::Point2f> & quadrilateral)
{
  const cv::Point2f & q0 = quadrilateral.at(0);
  const cv::Point2f & q1 = quadrilateral.at(1);
  const cv::Point2f & q2 = quadrilateral.at(2);
  const cv::Point2f & q3 = quadrilateral.at(3);
  const float width = std::max(std::abs(q3.x - q2.x), std::abs(q0.x - q1.x));
  const float height = std::max(std::abs(q3.y - q0.y), std::abs(q2.y - q1.y));
  return cv::Size(static_cast<int>(width), static_cast<int>(height));
}

cv::Mat rectifyFloorPatch(const cv::Mat & image, const std::vector<cv::Point2f> & quadrilateral)
{
  return rectifyFloorPatch(image, floorPatchWarp(quadrilateral));
}

FloorPatchWarp floorPatchWarp(const std::vector<cv::Point2f> & quadrilateral)
{
  const cv::Size size = floorPatchSize(quadrilateral);
  // warpPerspective reads an empty size as "the source's size" and would judge a meaningless
  // full-frame warp, so a quadrilateral without extent is an error.
  if (size.width <= 0 || size.height <= 0) {
    CV_Error(cv::Error::StsBadSize, "the floor quadrilateral has no extent");
  }
  const float width = static_cast<float>(size.width);
  const float height = static_cast<float>(size.height);
  const std::vector<cv::Point2f> upright{{width, 0.0f}, {0.0f, 0.0f}, {0.0f, height},
    {width, height}};
  return {size, cv::getPerspectiveTransform(quadrilateral, upright, cv::DECOMP_LU)};
}

cv::Mat rectifyFloorPatch(const cv::Mat & image, const FloorPatchWarp & warp)
{
  cv::Mat patch;
  cv::warpPerspective(
    image, patch, warp.homography, warp.size, cv::INTER_LINEAR, cv::BORDER_CONSTANT,
    cv::Scalar::all(0));
  return patch;
}

FloorPatchMaps floorPatchMaps(const FloorPatchWarp & warp)
{
  // cv::warpPerspective inverts the homography in double precision (LU), then works in blocks of
  // at most 32 x 32 / (min(16, H)) columns: each block row starts from the homogeneous
  // coordinates of its first pixel and adds the column offset within the block. The source
  // positions depend on that grouping in their last bit, so it is kept here.
  constexpr int kBlockArea = 32 * 32;
  constexpr int kBlockRows = 16;
  constexpr double kIntMin = INT_MIN;
  constexpr double kIntMax = INT_MAX;
  cv::Mat forward;
  warp.homography.convertTo(forward, CV_64F);
  cv::Mat inverse;
  cv::invert(forward, inverse, cv::DECOMP_LU);
  const double * M = inverse.ptr<double>();
  const cv::Size size = warp.size;
  FloorPatchMaps maps{cv::Mat(size, CV_16SC2), cv::Mat(size, CV_16UC1)};
  const int block_cols = std::min(kBlockArea / std::min(kBlockRows, size.height), size.width);
  for (int y = 0; y < size.height; ++y) {
    short * xy = maps.source_pixels.ptr<short>(y);
    ushort * alpha = maps.weight_indices.ptr<ushort>(y);
    for (int x = 0; x < size.width; x += block_cols) {
      const double X0 = M[0] * x + M[1] * y + M[2];
      const double Y0 = M[3] * x + M[4] * y + M[5];
      const double W0 = M[6] * x + M[7] * y + M[8];
      const int cols = std::min(block_cols, size.width - x);
      for (int x1 = 0; x1 < cols; ++x1) {
        double W = W0 + M[6] * x1;
        W = W != 0.0 ? cv::INTER_TAB_SIZE / W : 0.0;
        // warpPerspective's own clamping, which also turns NaN into INT_MAX.
        const double fX = std::max(kIntMin, std::min(kIntMax, (X0 + M[0] * x1) * W));
        const double fY = std::max(kIntMin, std::min(kIntMax, (Y0 + M[3] * x1) * W));
        const int X = cv::saturate_cast<int>(fX);
        const int Y = cv::saturate_cast<int>(fY);
        xy[2 * (x + x1)] = cv::saturate_cast<short>(X >> cv::INTER_BITS);
        xy[2 * (x + x1) + 1] = cv::saturate_cast<short>(Y >> cv::INTER_BITS);
        alpha[x + x1] = static_cast<ushort>(
          (Y & (cv::INTER_TAB_SIZE - 1)) * cv::INTER_TAB_SIZE + (X & (cv::INTER_TAB_SIZE - 1)));
      }
    }
  }
  return maps;
}

cv::Mat rectifyFloorPatch(const cv::Mat & image, const FloorPatchMaps & maps)
{
  // warpPerspective's own precondition, so that an empty frame fails as it did.
  CV_Assert(image.cols > 0 && image.rows > 0);
  cv::Mat patch;
  cv::remap(
    image, patch, maps.source_pixels, maps.weight_indices, cv::INTER_LINEAR, cv::BORDER_CONSTANT,
    cv::Scalar::all(0));
  return patch;
}

cv::Mat FloorPatchCutter::cut(
  const cv::Mat & image, const std::vector<cv::Point2f> & quadrilateral)
{
  if (!prepared() || quadrilateral != quadrilateral_) {
    // Built aside first: a quadrilateral without extent throws and leaves the old maps in place.
    FloorPatchMaps maps = floorPatchMaps(floorPatchWarp(quadrilateral));
    maps_ = std::move(maps);
    quadrilateral_ = quadrilateral;
  }
  return rectifyFloorPatch(image, maps_);
}

float computeRegionIoU(
  const std::vector<geometry_msgs::msg::PointStamped> & current,
  const std::vector<geometry_msgs::msg::PointStamped> & last)
{
  if (last.empty()) {
    return 0.0f;
  }
  const std::vector<cv::Point2d> a = groundPolygon(current);
  const std::vector<cv::Point2d> b = groundPolygon(last);
  const double area_a = std::abs(signedArea(a));
  const double area_b = std::abs(signedArea(b));
  if (!allFinite(a) || !allFinite(b) || area_a <= 0.0 || area_b <= 0.0) {
    return 0.0f;
  }
  const double intersection = std::abs(signedArea(clipConvex(a, b)));
  const double overlap = intersection / (area_a + area_b - intersection);
  return std::clamp(static_cast<float>(overlap), 0.0f, 1.0f);
}

}  // namespace velmora_water_stain
