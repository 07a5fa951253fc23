// Floor regions through the overlap that tells "same floor" from "new floor": the node's own
// rectangles under arbitrary robot poses, and arbitrary quadrilaterals. A finite convex pair
// overlaps by a fraction in [0, 1]; nothing may crash, whatever the points.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "fuzz_support.hpp"
#include "geometry_msgs/msg/point_stamped.hpp"
#include "geometry_msgs/msg/transform_stamped.hpp"
#include "velmora_water_stain/geometry.hpp"

namespace
{

using Region = std::vector<geometry_msgs::msg::PointStamped>;

// The node's three floor rectangles in base_footprint: rear, front, fisheye.
const std::array<std::vector<cv::Point3f>, 3> kFloorRectangles{{
  {{-1.4f, 0.3f, 0.0f}, {-1.4f, -0.3f, 0.0f}, {-0.4f, -0.3f, 0.0f}, {-0.4f, 0.3f, 0.0f}},
  {{1.9f, -0.5f, 0.0f}, {1.9f, 0.5f, 0.0f}, {0.9f, 0.5f, 0.0f}, {0.9f, -0.5f, 0.0f}},
  {{-1.5f, 0.3f, 0.0f}, {-1.5f, -0.3f, 0.0f}, {-0.5f, -0.3f, 0.0f}, {-0.5f, 0.3f, 0.0f}},
}};

// Beyond this single precision no longer resolves a floor rectangle well enough to demand
// an exact overlap of 1 for the same pose.
constexpr double kExactPoseRange = 1e3;

struct Pose
{
  double x, y, yaw;
};

Pose consumePose(FuzzedDataProvider & data)
{
  return {fuzz_support::consumeDouble(data, 1.0), fuzz_support::consumeDouble(data, 1.0),
    fuzz_support::consumeDouble(data, 0.5)};
}

Region placeOnMap(const std::vector<cv::Point3f> & rectangle, const Pose & pose)
{
  geometry_msgs::msg::TransformStamped map_from_base;
  map_from_base.header.frame_id = "map";
  map_from_base.child_frame_id = "base_footprint";
  map_from_base.transform.translation.x = pose.x;
  map_from_base.transform.translation.y = pose.y;
  map_from_base.transform.rotation.z = std::sin(pose.yaw / 2.0);
  map_from_base.transform.rotation.w = std::cos(pose.yaw / 2.0);
  return velmora_water_stain::transformRegion(map_from_base, rectangle);
}

Region consumeQuadrilateral(FuzzedDataProvider & data)
{
  const std::array<cv::Point2d, 4> typical{{{0.0, 0.0}, {1.0, 0.0}, {1.0, 1.0}, {0.0, 1.0}}};
  Region region(typical.size());
  for (std::size_t i = 0; i < typical.size(); ++i) {
    region[i].point.x = fuzz_support::consumeDouble(data, typical[i].x);
    region[i].point.y = fuzz_support::consumeDouble(data, typical[i].y);
  }
  return region;
}

// Finite, convex and with an area in single precision, as the node's regions are.
bool isWellFormed(const Region & region)
{
  std::vector<cv::Point2f> outline;
  for (const auto & corner : region) {
    const float x = static_cast<float>(corner.point.x);
    const float y = static_cast<float>(corner.point.y);
    if (!std::isfinite(x) || !std::isfinite(y) || std::abs(x) > 1e15f || std::abs(y) > 1e15f) {
      return false;
    }
    outline.emplace_back(x, y);
  }
  return cv::isContourConvex(outline) && cv::contourArea(outline) > 1e-6;
}

float overlapOf(const Region & current, const Region & last)
{
  try {
    return velmora_water_stain::computeRegionIoU(current, last);
  } catch (const std::exception & error) {
    fuzz_support::fail("computeRegionIoU threw:", error.what());
  }
}

void checkPosedRectangles(FuzzedDataProvider & data)
{
  const auto & rectangle = data.PickValueInArray(kFloorRectangles);
  const Pose current_pose = consumePose(data);
  const Pose last_pose = data.ConsumeBool() ? current_pose : consumePose(data);
  const Region current = placeOnMap(rectangle, current_pose);
  const Region last = placeOnMap(rectangle, last_pose);
  const float overlap = overlapOf(current, last);
  if (!isWellFormed(current) || !isWellFormed(last)) {
    return;
  }
  if (!(overlap >= 0.0f && overlap <= 1.0f)) {
    fuzz_support::fail("the overlap of two floor rectangles is outside [0, 1]");
  }
  const bool same_pose = current_pose.x == last_pose.x && current_pose.y == last_pose.y &&
    current_pose.yaw == last_pose.yaw;
  if (same_pose && std::abs(current_pose.x) < kExactPoseRange &&
    std::abs(current_pose.y) < kExactPoseRange && std::abs(current_pose.yaw) < kExactPoseRange &&
    !(overlap > 0.999f))
  {
    fuzz_support::fail("a floor rectangle does not fully overlap itself");
  }
}

void checkQuadrilaterals(FuzzedDataProvider & data)
{
  const Region current = consumeQuadrilateral(data);
  const Region last = consumeQuadrilateral(data);
  const float overlap = overlapOf(current, last);
  if (isWellFormed(current) && isWellFormed(last) && !(overlap >= 0.0f && overlap <= 1.0f)) {
    fuzz_support::fail("the overlap of two convex quadrilaterals is outside [0, 1]");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t * bytes, std::size_t size)
{
  FuzzedDataProvider data(bytes, size);
  if (data.ConsumeBool()) {
    checkPosedRectangles(data);
  } else {
    checkQuadrilaterals(data);
  }
  return 0;
}
