#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "test_scene.hpp"
#include "velmora_water_stain/geometry.hpp"

namespace vws = velmora_water_stain;

namespace
{

const std::vector<cv::Point3f> kFrontRectangle{
  {1.9f, -0.5f, 0.0f}, {1.9f, 0.5f, 0.0f}, {0.9f, 0.5f, 0.0f}, {0.9f, -0.5f, 0.0f}};

geometry_msgs::msg::TransformStamped makeTransform(
  double tx, double ty, double tz, double qx, double qy, double qz, double qw,
  const std::string & parent = "map")
{
  geometry_msgs::msg::TransformStamped transform;
  transform.header.frame_id = parent;
  transform.header.stamp.sec = 42;
  transform.header.stamp.nanosec = 7;
  transform.child_frame_id = "base_footprint";
  transform.transform.translation.x = tx;
  transform.transform.translation.y = ty;
  transform.transform.translation.z = tz;
  transform.transform.rotation.x = qx;
  transform.transform.rotation.y = qy;
  transform.transform.rotation.z = qz;
  transform.transform.rotation.w = qw;
  return transform;
}

// Front camera 0.5 m above the floor at the robot's origin, looking along the robot's x axis.
geometry_msgs::msg::TransformStamped frontCameraFromBase()
{
  return makeTransform(0.0, 0.5, 0.0, 0.5, -0.5, 0.5, 0.5, "camera_01_color_optical_frame");
}

cv::Mat frontIntrinsics()
{
  return (cv::Mat_<double>(3, 3) << 400, 0, 640, 0, 400, 360, 0, 0, 1);
}

std::vector<geometry_msgs::msg::PointStamped> mapRegion(
  const std::vector<std::pair<double, double>> & corners)
{
  std::vector<geometry_msgs::msg::PointStamped> region;
  for (const auto & [x, y] : corners) {
    geometry_msgs::msg::PointStamped point;
    point.header.frame_id = "map";
    point.point.x = x;
    point.point.y = y;
    region.push_back(point);
  }
  return region;
}

std::vector<geometry_msgs::msg::PointStamped> frontRegionShiftedBy(double dx)
{
  return vws::transformRegion(makeTransform(dx, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0), kFrontRectangle);
}

}  // namespace

TEST(FloorGeometry, FrontCameraQuadrilateralMatchesWorkedExample)
{
  const auto result =
    vws::projectFloorRectangle(frontIntrinsics(), frontCameraFromBase(), kFrontRectangle);

  ASSERT_TRUE(result.ok()) << result.error();
  const std::vector<cv::Point2f> expected{
    {745.263f, 465.263f}, {534.737f, 465.263f}, {417.778f, 582.222f}, {862.222f, 582.222f}};
  ASSERT_EQ(result->size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_NEAR((*result)[i].x, expected[i].x, 1e-3) << "corner " << i;
    EXPECT_NEAR((*result)[i].y, expected[i].y, 1e-3) << "corner " << i;
  }
  EXPECT_EQ(vws::floorPatchSize(*result), cv::Size(444, 116));
}

TEST(FloorGeometry, UnusableCalibrationIsRejectedWithItsReason)
{
  const double nan = std::numeric_limits<double>::quiet_NaN();
  cv::Mat nan_intrinsics = frontIntrinsics();
  nan_intrinsics.at<double>(0, 0) = nan;
  cv::Mat huge_focal_length = frontIntrinsics();
  huge_focal_length.at<double>(0, 0) = 1e9;
  cv::Mat large_focal_length = frontIntrinsics();
  large_focal_length.at<double>(0, 0) = 40000.0;
  large_focal_length.at<double>(1, 1) = 40000.0;
  // Turned half a turn about the optical y axis: the floor lies behind the lens.
  const auto looking_away = makeTransform(0.0, 0.5, 0.0, 0.5, 0.5, -0.5, 0.5, "camera");
  const auto nan_transform = makeTransform(0.0, nan, 0.0, 0.5, -0.5, 0.5, 0.5, "camera");
  // Moved forward until the near edge lies in the lens plane: no image point, not a mirrored one.
  const auto near_edge_in_lens_plane =
    makeTransform(0.0, 0.5, -static_cast<double>(0.9f), 0.5, -0.5, 0.5, 0.5, "camera");
  cv::Mat just_too_long_focal_length = frontIntrinsics();
  just_too_long_focal_length.at<double>(0, 0) = 7600.0;
  just_too_long_focal_length.at<double>(1, 1) = 7600.0;
  // Optical axis level with the floor: the far and near edges meet on the horizon row.
  const auto at_floor_level = makeTransform(0.0, 0.0, 0.0, 0.5, -0.5, 0.5, 0.5, "camera");

  const struct
  {
    const char * name;
    cv::Mat K;
    geometry_msgs::msg::TransformStamped transform;
    const char * reason;
  } cases[] = {
    {"floor behind the camera", frontIntrinsics(), looking_away,
      "floor corner 0 is behind the camera (z = -1.9)"},
    {"near edge in the lens plane", frontIntrinsics(), near_edge_in_lens_plane,
      "floor corner 2 is behind the camera (z = 0)"},
    {"NaN in K", nan_intrinsics, frontCameraFromBase(), "non-finite"},
    {"pixel far off the image", huge_focal_length, frontCameraFromBase(),
      "floor corner 0 projects to an unusable pixel"},
    {"single-precision K", cv::Mat::eye(3, 3, CV_32F), frontCameraFromBase(), "3 x 3 double"},
    {"NaN translation", frontIntrinsics(), nan_transform, "non-finite"},
    {"degenerate patch", frontIntrinsics(), at_floor_level, "a 444 x 0 patch"},
    {"patch too large to cut every frame", large_focal_length, frontCameraFromBase(),
      "a 44444 x 11695 patch"},
    {"patch just over the longest side", just_too_long_focal_length, frontCameraFromBase(),
      "a 8444 x"},
  };
  for (const auto & c : cases) {
    const auto result = vws::projectFloorRectangle(c.K, c.transform, kFrontRectangle);
    EXPECT_FALSE(result.ok()) << c.name;
    EXPECT_NE(result.error().find(c.reason), std::string::npos)
      << c.name << ": " << result.error();
  }
}

TEST(FloorGeometry, RegionTakesThePoseStampAndParentFrame)
{
  const auto region =
    vws::transformRegion(makeTransform(0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0), kFrontRectangle);

  ASSERT_EQ(region.size(), kFrontRectangle.size());
  for (std::size_t i = 0; i < region.size(); ++i) {
    EXPECT_EQ(region[i].header.frame_id, "map");
    EXPECT_EQ(region[i].header.stamp.sec, 42);
    EXPECT_EQ(region[i].header.stamp.nanosec, 7u);
    EXPECT_EQ(region[i].point.x, static_cast<double>(kFrontRectangle[i].x));
    EXPECT_EQ(region[i].point.y, static_cast<double>(kFrontRectangle[i].y));
    EXPECT_EQ(region[i].point.z, 0.0);
  }
  EXPECT_EQ(region[0].point.x, 1.89999997615814209);
}

TEST(FloorGeometry, RegionFollowsRotatedAndTranslatedPose)
{
  const double half_sqrt2 = std::sqrt(0.5);
  const auto region = vws::transformRegion(
    makeTransform(1.0, 2.0, 0.0, 0.0, 0.0, half_sqrt2, half_sqrt2), {kFrontRectangle[0]});

  ASSERT_EQ(region.size(), 1u);
  EXPECT_NEAR(region[0].point.x, 1.5, 1e-6);
  EXPECT_NEAR(region[0].point.y, 3.9, 1e-6);
  EXPECT_NEAR(region[0].point.z, 0.0, 1e-12);
}

TEST(FloorGeometry, PatchSizeTakesTheLargerExtentTruncated)
{
  const struct
  {
    const char * name;
    std::vector<cv::Point2f> quadrilateral;
    cv::Size expected;
  } cases[] = {
    {"wider bottom edge wins", {{440, 10}, {200, 10}, {100, 300}, {540, 300}}, {440, 290}},
    {"wider top edge wins", {{540, 10}, {100, 10}, {200, 300}, {440, 300}}, {440, 290}},
    {"taller left edge wins", {{300, 50}, {0, 0}, {0, 200}, {300, 200}}, {300, 200}},
    {"fractions truncate", {{239.9f, 0}, {0, 0}, {0, 99.99f}, {239.9f, 99.99f}}, {239, 99}},
    {"mirrored corners use magnitudes", {{0, 0}, {239.9f, 0}, {239.9f, 50}, {0, 50}}, {239, 50}},
  };
  for (const auto & c : cases) {
    EXPECT_EQ(vws::floorPatchSize(c.quadrilateral), c.expected) << c.name;
  }
}

TEST(FloorGeometry, PatchOfAnAxisAlignedQuadrilateralIsTheUprightCrop)
{
  cv::Mat image(480, 640, CV_8UC3);
  cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(256));
  const std::vector<cv::Point2f> quadrilateral{{300, 100}, {100, 100}, {100, 250}, {300, 250}};

  const cv::Mat patch = vws::rectifyFloorPatch(image, quadrilateral);

  ASSERT_EQ(patch.size(), cv::Size(200, 150));
  ASSERT_EQ(patch.type(), image.type());
  EXPECT_LE(cv::norm(patch, image(cv::Rect(100, 100, 200, 150)), cv::NORM_INF), 1.0);
}

TEST(FloorGeometry, PatchReachingOutsideTheImageKeepsItsSizeAndIsBlackThere)
{
  const cv::Mat image(480, 640, CV_8UC3, cv::Scalar(200, 150, 100));
  // The right half of the quadrilateral lies beyond the image's right border.
  const std::vector<cv::Point2f> quadrilateral{{840, 100}, {440, 100}, {440, 300}, {840, 300}};

  const cv::Mat patch = vws::rectifyFloorPatch(image, quadrilateral);

  ASSERT_EQ(patch.size(), cv::Size(400, 200));
  const cv::Mat inside = patch(cv::Rect(0, 0, 198, 200));
  const cv::Mat outside = patch(cv::Rect(202, 0, 198, 200));
  EXPECT_EQ(cv::norm(inside, cv::Mat(inside.size(), inside.type(), cv::Scalar(200, 150, 100)),
    cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(outside, cv::NORM_INF), 0.0);
}

TEST(FloorGeometry, QuadrilateralWithoutExtentIsAnError)
{
  const cv::Mat image(480, 640, CV_8UC3, cv::Scalar::all(255));
  const std::vector<cv::Point2f> flat{{400, 300}, {200, 300}, {100, 300.5f}, {500, 300.5f}};

  EXPECT_THROW(vws::rectifyFloorPatch(image, flat), cv::Exception);
}

// The patch cut with precomputed maps must be cv::warpPerspective's to the bit, including the
// black border and the blend at the image's edge, whatever the quadrilateral and the image.
TEST(FloorPatchMaps, PatchIsWarpPerspectivesToTheBitOnRandomQuadrilateralsAndImages)
{
  cv::RNG rng(20261207);
  const std::vector<int> types{CV_8UC3, CV_8UC3, CV_8UC3, CV_8UC1, CV_8UC4, CV_16UC3, CV_32FC3};
  int compared = 0;
  for (int trial = 0; trial < 600; ++trial) {
    // Camera-sized images, and small ones that most quadrilaterals reach far beyond.
    const cv::Size image_size = trial % 4 == 0 ?
      cv::Size(rng.uniform(1, 40), rng.uniform(1, 40)) :
      cv::Size(rng.uniform(200, 900), rng.uniform(150, 700));
    cv::Mat image(image_size, types[trial % types.size()]);
    rng.fill(image, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(256));
    const float reach = trial % 3 == 0 ? 1500.0f : 800.0f;
    std::vector<cv::Point2f> quadrilateral(4);
    for (auto & corner : quadrilateral) {
      corner = {rng.uniform(-reach / 4, reach), rng.uniform(-reach / 4, reach * 0.75f)};
    }
    const cv::Size patch = vws::floorPatchSize(quadrilateral);
    if (patch.width <= 0 || patch.height <= 0) {
      continue;
    }
    const vws::FloorPatchWarp warp = vws::floorPatchWarp(quadrilateral);
    cv::Mat expected;
    cv::warpPerspective(
      image, expected, warp.homography, warp.size, cv::INTER_LINEAR, cv::BORDER_CONSTANT,
      cv::Scalar::all(0));
    const cv::Mat actual = vws::rectifyFloorPatch(image, vws::floorPatchMaps(warp));
    ASSERT_EQ(actual.size(), expected.size()) << "trial " << trial;
    ASSERT_EQ(actual.type(), expected.type()) << "trial " << trial;
    ASSERT_EQ(std::memcmp(actual.data, expected.data, expected.total() * expected.elemSize()), 0)
      << "trial " << trial << ", largest difference " <<
      cv::norm(actual, expected, cv::NORM_INF);
    ++compared;
  }
  EXPECT_GT(compared, 500);
}

TEST(FloorPatchMaps, CutterFollowsItsQuadrilateralAndKeepsItsMapsWhenOneHasNoExtent)
{
  cv::Mat image(480, 640, CV_8UC3);
  cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(256));
  const std::vector<cv::Point2f> rear{{420, 250}, {220, 250}, {100, 470}, {540, 470}};
  const std::vector<cv::Point2f> front{{745.3f, 465.3f}, {534.7f, 465.3f}, {417.8f, 582.2f},
    {862.2f, 582.2f}};
  const std::vector<cv::Point2f> flat(4, cv::Point2f(10.0f, 10.0f));
  vws::FloorPatchCutter cutter;
  EXPECT_FALSE(cutter.prepared());

  for (const auto * quadrilateral : {&rear, &rear, &front, &rear}) {
    const cv::Mat expected = vws::rectifyFloorPatch(image, *quadrilateral);
    const cv::Mat actual = cutter.cut(image, *quadrilateral);
    ASSERT_EQ(actual.size(), expected.size());
    EXPECT_EQ(cv::norm(actual, expected, cv::NORM_INF), 0.0);
  }
  EXPECT_THROW(cutter.cut(image, flat), cv::Exception);
  EXPECT_TRUE(cutter.prepared());
  EXPECT_EQ(cv::norm(cutter.cut(image, rear), vws::rectifyFloorPatch(image, rear), cv::NORM_INF),
    0.0);
  EXPECT_THROW(cutter.cut(cv::Mat(), rear), cv::Exception);
}

TEST(RegionOverlap, IntersectionOverUnionOfFloorRegions)
{
  const auto unit_square = mapRegion({{1, 0}, {1, 1}, {0, 1}, {0, 0}});
  const struct
  {
    const char * name;
    std::vector<geometry_msgs::msg::PointStamped> current;
    std::vector<geometry_msgs::msg::PointStamped> last;
    float expected;
  } cases[] = {
    {"identical", frontRegionShiftedBy(0.0), frontRegionShiftedBy(0.0), 1.0f},
    {"0.5 m ahead", frontRegionShiftedBy(0.5), frontRegionShiftedBy(0.0), 0.5f / 1.5f},
    {"0.1 m ahead", frontRegionShiftedBy(0.1), frontRegionShiftedBy(0.0), 0.9f / 1.1f},
    {"disjoint", frontRegionShiftedBy(5.0), frontRegionShiftedBy(0.0), 0.0f},
    {"edge contact", mapRegion({{2, 0}, {2, 1}, {1, 1}, {1, 0}}), unit_square, 0.0f},
    {"corner contact", mapRegion({{2, 1}, {2, 2}, {1, 2}, {1, 1}}), unit_square, 0.0f},
    {"nested", mapRegion({{0.75, 0.25}, {0.75, 0.75}, {0.25, 0.75}, {0.25, 0.25}}),
      unit_square, 0.25f},
  };
  for (const auto & c : cases) {
    EXPECT_NEAR(vws::computeRegionIoU(c.current, c.last), c.expected, 1e-5) << c.name;
    EXPECT_FLOAT_EQ(vws::computeRegionIoU(c.current, c.last),
      vws::computeRegionIoU(c.last, c.current)) << c.name << " (swapped)";
  }
  EXPECT_GE(vws::computeRegionIoU(frontRegionShiftedBy(0.1), frontRegionShiftedBy(0.0)), 0.8f);
}

TEST(RegionOverlap, SameFloorAtAnyPoseOverlapsFullyAndNeverMoreThanFully)
{
  // Poses at which OpenCV 4.6's convex intersection loses the overlap of a region with itself.
  const struct
  {
    double x, y, yaw;
  } poses[] = {
    {0.49371515234855501, -1.0874174513709143, 2.5771902101256687},
    {0.34089004045734228, 2.1952719834699117, -1.4012706415678231},
    {0.72060132042288672, 1.8011010186960164, -1.6897120702982784},
    {1.0, 1.0, 0.5},
  };
  const std::vector<cv::Point3f> front{{1.9f, -0.5f, 0.0f}, {1.9f, 0.5f, 0.0f}, {0.9f, 0.5f, 0.0f},
    {0.9f, -0.5f, 0.0f}};
  for (const auto & pose : poses) {
    const auto region = vws::transformRegion(
      test_scene::robotPose(pose.x, pose.y, pose.yaw, test_scene::stamp(1)), front);
    EXPECT_NEAR(vws::computeRegionIoU(region, region), 1.0f, 1e-6) << pose.x << ", " << pose.y;
  }
  const auto unit_square = mapRegion({{1, 0}, {1, 1}, {0, 1}, {0, 0}});
  const auto sliver_corner = mapRegion({{0, 0}, {1, 0}, {1, 1e-20}, {0, 1}});
  EXPECT_LE(vws::computeRegionIoU(sliver_corner, unit_square), 1.0f);
  const auto not_a_number = mapRegion({{NAN, 0}, {1, 0}, {1, 1}, {0, 1}});
  EXPECT_EQ(vws::computeRegionIoU(not_a_number, unit_square), 0.0f);
}

TEST(RegionOverlap, NothingToCompareWithGivesZero)
{
  EXPECT_EQ(vws::computeRegionIoU(frontRegionShiftedBy(0.0), {}), 0.0f);
}
