#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "geometry_msgs/msg/point_stamped.hpp"
#include "geometry_msgs/msg/pose_stamped.hpp"
#include "geometry_msgs/msg/transform_stamped.hpp"
#include "geometry_msgs/msg/vector3_stamped.hpp"
#include "rclcpp/rclcpp.hpp"
#include "test_support.hpp"
#include "tf2/buffer_core.h"
#include "tf2/exceptions.h"
#include "tf2/time.h"
#include "tf2_geometry_msgs/tf2_geometry_msgs.hpp"
#include "tf2_ros/buffer.h"
#include "tf2_ros/static_transform_broadcaster.h"
#include "tf2_ros/transform_broadcaster.h"
#include "tf2_ros/transform_listener.h"

namespace
{

constexpr double kTolerance = 1e-9;
// Stamps well away from zero, which tf2 reads as "latest".
constexpr int64_t kStartMs = 1000000;

tf2::TimePoint atMs(int64_t milliseconds)
{
  return tf2::TimePoint(std::chrono::milliseconds(milliseconds));
}

geometry_msgs::msg::TransformStamped makeTransform(
  const std::string & parent, const std::string & child, int64_t stamp_ms,
  double x, double y, double z, double yaw)
{
  geometry_msgs::msg::TransformStamped transform;
  transform.header.frame_id = parent;
  transform.header.stamp = tf2_ros::toMsg(atMs(stamp_ms));
  transform.child_frame_id = child;
  transform.transform.translation.x = x;
  transform.transform.translation.y = y;
  transform.transform.translation.z = z;
  transform.transform.rotation.z = std::sin(yaw / 2.0);
  transform.transform.rotation.w = std::cos(yaw / 2.0);
  return transform;
}

// Odometry drifts along x and turns 0.1 rad/s; the robot moves along odom's y at 2 m/s and
// turns 0.5 rad/s relative to odom. Both are linear in time, so interpolation is exact.
geometry_msgs::msg::TransformStamped odomAt(int64_t stamp_ms)
{
  const double t = (stamp_ms - kStartMs) / 1000.0;
  return makeTransform("map", "odom", stamp_ms, t, 0.0, 0.0, 0.1 * t);
}

geometry_msgs::msg::TransformStamped baseAt(int64_t stamp_ms)
{
  const double t = (stamp_ms - kStartMs) / 1000.0;
  return makeTransform("odom", "base_footprint", stamp_ms, 0.0, 2.0 * t, 0.0, 0.5 * t);
}

struct Pose2D
{
  double x;
  double y;
  double yaw;
};

// "map" <- "base_footprint" at `t` seconds after the start, from the model above.
Pose2D expectedRobotPose(double t)
{
  const double odom_yaw = 0.1 * t;
  const double base_y = 2.0 * t;
  return {t - std::sin(odom_yaw) * base_y, std::cos(odom_yaw) * base_y, odom_yaw + 0.5 * t};
}

void expectPlanarPose(const geometry_msgs::msg::TransformStamped & actual, const Pose2D & expected)
{
  EXPECT_NEAR(actual.transform.translation.x, expected.x, kTolerance);
  EXPECT_NEAR(actual.transform.translation.y, expected.y, kTolerance);
  EXPECT_NEAR(actual.transform.translation.z, 0.0, kTolerance);
  EXPECT_NEAR(actual.transform.rotation.x, 0.0, kTolerance);
  EXPECT_NEAR(actual.transform.rotation.y, 0.0, kTolerance);
  EXPECT_NEAR(actual.transform.rotation.z, std::sin(expected.yaw / 2.0), kTolerance);
  EXPECT_NEAR(actual.transform.rotation.w, std::cos(expected.yaw / 2.0), kTolerance);
}

// map -> odom at 10 Hz up to +0.9 s, odom -> base_footprint at 50 Hz on odd hundredths up to
// +0.99 s, like a localiser lagging behind odometry.
void fillRobotChain(tf2::BufferCore & buffer)
{
  for (int64_t ms = 0; ms <= 900; ms += 100) {
    ASSERT_TRUE(buffer.setTransform(odomAt(kStartMs + ms), "localiser"));
  }
  for (int64_t ms = 10; ms <= 990; ms += 20) {
    ASSERT_TRUE(buffer.setTransform(baseAt(kStartMs + ms), "odometry"));
  }
}

TEST(Tf2BufferCore, LatestLookupUsesNewestTimeCommonToTheChain)
{
  tf2::BufferCore buffer;
  fillRobotChain(buffer);

  const auto pose = buffer.lookupTransform("map", "base_footprint", tf2::TimePointZero);

  EXPECT_EQ(pose.header.frame_id, "map");
  EXPECT_EQ(pose.child_frame_id, "base_footprint");
  EXPECT_EQ(pose.header.stamp.sec, kStartMs / 1000);
  EXPECT_EQ(pose.header.stamp.nanosec, 900000000u);
  // At +0.9 s the 50 Hz link lies halfway between its samples at +0.89 s and +0.91 s.
  expectPlanarPose(pose, expectedRobotPose(0.9));
  EXPECT_NEAR(pose.transform.translation.y, std::cos(0.09) * 1.8, kTolerance);
}

TEST(Tf2BufferCore, LookupAtAGivenTimeInterpolatesEveryLink)
{
  tf2::BufferCore buffer;
  fillRobotChain(buffer);

  // Between samples of both links, on a sample of one of them, and on the oldest common sample.
  for (const int64_t ms : {555, 330, 100, 10, 900}) {
    SCOPED_TRACE(ms);
    const auto pose = buffer.lookupTransform("map", "base_footprint", atMs(kStartMs + ms));
    EXPECT_EQ(tf2_ros::fromMsg(pose.header.stamp), atMs(kStartMs + ms));
    expectPlanarPose(pose, expectedRobotPose(ms / 1000.0));
  }
}

TEST(Tf2BufferCore, InverseLookupCarriesPointsBack)
{
  tf2::BufferCore buffer;
  fillRobotChain(buffer);
  const auto forward = buffer.lookupTransform("map", "base_footprint", atMs(kStartMs + 420));
  const auto inverse = buffer.lookupTransform("base_footprint", "map", atMs(kStartMs + 420));
  EXPECT_EQ(inverse.header.frame_id, "base_footprint");
  EXPECT_EQ(inverse.child_frame_id, "map");

  geometry_msgs::msg::PointStamped in_base;
  in_base.point.x = 1.9;
  in_base.point.y = -0.5;
  geometry_msgs::msg::PointStamped in_map;
  geometry_msgs::msg::PointStamped back;
  tf2::doTransform(in_base, in_map, forward);
  tf2::doTransform(in_map, back, inverse);
  EXPECT_NEAR(back.point.x, 1.9, kTolerance);
  EXPECT_NEAR(back.point.y, -0.5, kTolerance);
  EXPECT_NEAR(back.point.z, 0.0, kTolerance);

  const auto self = buffer.lookupTransform("odom", "odom", tf2::TimePointZero);
  EXPECT_EQ(self.transform.rotation.w, 1.0);
  EXPECT_EQ(self.transform.translation.x, 0.0);
}

TEST(Tf2BufferCore, StaticLinksHoldAtAnyTimeAndDoNotLimitTheLatestTime)
{
  tf2::BufferCore buffer;
  fillRobotChain(buffer);
  // The bumper was fitted long before any odometry existed; its stamp is irrelevant.
  ASSERT_TRUE(
    buffer.setTransform(
      makeTransform("base_footprint", "bumper", 1000, 0.3, 0.0, 0.0, M_PI), "mount", true));

  const auto latest = buffer.lookupTransform("map", "bumper", tf2::TimePointZero);
  EXPECT_EQ(tf2_ros::fromMsg(latest.header.stamp), atMs(kStartMs + 900));
  const Pose2D robot = expectedRobotPose(0.9);
  expectPlanarPose(
    latest, {robot.x + std::cos(robot.yaw) * 0.3, robot.y + std::sin(robot.yaw) * 0.3,
      robot.yaw + M_PI});

  // Static only: any time works, and the latest time is zero.
  const auto much_later =
    buffer.lookupTransform("bumper", "base_footprint", atMs(kStartMs + 100000000));
  EXPECT_NEAR(much_later.transform.translation.x, 0.3, kTolerance);
  const auto bumper_latest =
    buffer.lookupTransform("base_footprint", "bumper", tf2::TimePointZero);
  EXPECT_EQ(tf2_ros::fromMsg(bumper_latest.header.stamp), tf2::TimePointZero);

  // Odometry a minute later prunes old odometry but never the bumper.
  ASSERT_TRUE(buffer.setTransform(baseAt(kStartMs + 60000), "odometry"));
  EXPECT_TRUE(buffer.canTransform("base_footprint", "bumper", atMs(kStartMs)));
  EXPECT_FALSE(buffer.canTransform("odom", "bumper", atMs(kStartMs + 500)));
}

TEST(Tf2BufferCore, SamplesFallOutOnceTenSecondsBehindTheNewest)
{
  tf2::BufferCore buffer;
  ASSERT_EQ(buffer.getCacheLength(), std::chrono::seconds(10));
  ASSERT_TRUE(buffer.setTransform(baseAt(kStartMs), "odometry"));
  ASSERT_TRUE(buffer.setTransform(baseAt(kStartMs + 5000), "odometry"));
  // Nothing is dropped for age alone: only a newer sample pushes old ones out.
  EXPECT_TRUE(buffer.canTransform("odom", "base_footprint", atMs(kStartMs + 2500)));

  ASSERT_TRUE(buffer.setTransform(baseAt(kStartMs + 10001), "odometry"));
  EXPECT_TRUE(buffer.canTransform("odom", "base_footprint", atMs(kStartMs + 5000)));
  std::string error;
  EXPECT_FALSE(buffer.canTransform("odom", "base_footprint", atMs(kStartMs + 2500), &error));
  EXPECT_EQ(
    error.rfind(
      "Lookup would require extrapolation into the past.  Requested time 1002.500000 but the "
      "earliest data is at time 1005.000000", 0), 0u) << error;

  // Data older than the cache length behind the newest is refused; younger data is still taken.
  EXPECT_FALSE(buffer.setTransform(baseAt(kStartMs + 0), "odometry"));
  EXPECT_TRUE(buffer.setTransform(baseAt(kStartMs + 1000), "odometry"));
}

TEST(Tf2BufferCore, FailuresRaiseTheMatchingTransformException)
{
  tf2::BufferCore buffer;
  fillRobotChain(buffer);
  ASSERT_TRUE(buffer.setTransform(makeTransform("world", "dock", kStartMs, 1, 0, 0, 0), "dock"));

  struct Case
  {
    std::string target;
    std::string source;
    int64_t time_ms;  // 0: latest
    std::string type;
    std::string message_start;
  };
  const std::vector<Case> cases{
    {"nowhere", "base_footprint", 0, "lookup",
      "\"nowhere\" passed to lookupTransform argument target_frame does not exist. "},
    {"map", "nowhere", 0, "lookup",
      "\"nowhere\" passed to lookupTransform argument source_frame does not exist. "},
    {"", "map", 0, "invalid_argument",
      "Invalid argument passed to lookupTransform argument target_frame"},
    {"map", "dock", 0, "connectivity",
      "Could not find a connection between 'map' and 'dock' because they are not part of the "
      "same tree.Tf has two or more unconnected trees."},
    {"map", "dock", kStartMs, "connectivity",
      "Could not find a connection between 'map' and 'dock'"},
    // The dock link has no data then, so it cannot be told whether the trees would meet.
    {"map", "dock", kStartMs + 100, "extrapolation",
      "Lookup would require extrapolation at time 1000.100000, but only time 1000.000000 is in "
      "the buffer"},
    {"map", "base_footprint", kStartMs - 1, "extrapolation",
      "Lookup would require extrapolation into the past."},
    {"map", "base_footprint", kStartMs + 950, "extrapolation",
      "Lookup would require extrapolation into the future.  Requested time 1000.950000 but the "
      "latest data is at time 1000.900000, when looking up transform from frame "
      "[base_footprint] to frame [map]"},
  };

  for (const Case & c : cases) {
    SCOPED_TRACE(c.message_start);
    const tf2::TimePoint time = c.time_ms == 0 ? tf2::TimePointZero : atMs(c.time_ms);
    std::string type;
    std::string message;
    try {
      buffer.lookupTransform(c.target, c.source, time);
    } catch (const tf2::LookupException & e) {
      type = "lookup";
      message = e.what();
    } catch (const tf2::InvalidArgumentException & e) {
      type = "invalid_argument";
      message = e.what();
    } catch (const tf2::ConnectivityException & e) {
      type = "connectivity";
      message = e.what();
    } catch (const tf2::ExtrapolationException & e) {
      type = "extrapolation";
      message = e.what();
    }
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(message.rfind(c.message_start, 0), 0u) << message;
    EXPECT_FALSE(buffer.canTransform(c.target, c.source, time));
  }
}

TEST(Tf2BufferCore, MalformedTransformsAreRefused)
{
  tf2::BufferCore buffer;
  ASSERT_TRUE(buffer.setTransform(baseAt(kStartMs), "odometry"));

  auto self = baseAt(kStartMs + 1);
  self.header.frame_id = "base_footprint";
  auto no_child = baseAt(kStartMs + 1);
  no_child.child_frame_id = "";
  auto no_parent = baseAt(kStartMs + 1);
  no_parent.header.frame_id = "/";
  auto not_a_number = baseAt(kStartMs + 1);
  not_a_number.transform.translation.x = std::numeric_limits<double>::quiet_NaN();
  auto not_unit = baseAt(kStartMs + 1);
  not_unit.transform.rotation.w = 1.2;
  const auto repeated_stamp = baseAt(kStartMs);

  for (const auto & transform : {self, no_child, no_parent, not_a_number, not_unit,
      repeated_stamp})
  {
    EXPECT_FALSE(buffer.setTransform(transform, "test"));
  }
  EXPECT_EQ(buffer.getAllFrameNames(), (std::vector<std::string>{"base_footprint", "odom"}));
}

TEST(Tf2BufferCore, NewestParentDecidesWhereAFrameHangs)
{
  tf2::BufferCore buffer;
  ASSERT_TRUE(buffer.setTransform(baseAt(kStartMs), "odometry"));
  ASSERT_TRUE(
    buffer.setTransform(
      makeTransform("dock", "base_footprint", kStartMs + 100, 0, 0, 0, 0), "docking"));

  EXPECT_TRUE(buffer.canTransform("dock", "base_footprint", tf2::TimePointZero));
  EXPECT_FALSE(buffer.canTransform("odom", "base_footprint", tf2::TimePointZero));
  EXPECT_TRUE(buffer.canTransform("odom", "base_footprint", atMs(kStartMs)));
}

TEST(Tf2GeometryMsgs, StampedTransformsFollowKdl)
{
  // 90 degrees about z, then (1, 2, 0).
  const auto pose = makeTransform("map", "base_footprint", 42007, 1.0, 2.0, 0.0, M_PI / 2.0);

  geometry_msgs::msg::PointStamped point;
  point.header.frame_id = "base_footprint";
  point.point.x = 1.9;
  point.point.y = -0.5;
  geometry_msgs::msg::PointStamped point_out;
  tf2::doTransform(point, point_out, pose);
  EXPECT_NEAR(point_out.point.x, 1.5, kTolerance);
  EXPECT_NEAR(point_out.point.y, 3.9, kTolerance);
  EXPECT_NEAR(point_out.point.z, 0.0, kTolerance);
  EXPECT_EQ(point_out.header.frame_id, "map");
  EXPECT_EQ(point_out.header.stamp, pose.header.stamp);

  geometry_msgs::msg::Vector3Stamped direction;
  direction.vector.x = 1.9;
  direction.vector.y = -0.5;
  geometry_msgs::msg::Vector3Stamped direction_out;
  tf2::doTransform(direction, direction_out, pose);
  EXPECT_NEAR(direction_out.vector.x, 0.5, kTolerance);
  EXPECT_NEAR(direction_out.vector.y, 1.9, kTolerance);

  geometry_msgs::msg::PoseStamped heading;
  heading.pose.position.x = 1.9;
  heading.pose.position.y = -0.5;
  geometry_msgs::msg::PoseStamped heading_out;
  tf2::doTransform(heading, heading_out, pose);
  EXPECT_NEAR(heading_out.pose.position.x, 1.5, kTolerance);
  EXPECT_NEAR(heading_out.pose.orientation.z, std::sqrt(0.5), kTolerance);
  EXPECT_NEAR(heading_out.pose.orientation.w, std::sqrt(0.5), kTolerance);
}

TEST(Tf2RosBuffer, TimeoutWithoutAFillingThreadFailsAtOnce)
{
  tf2_ros::Buffer buffer(std::make_shared<rclcpp::Clock>());
  std::string error;
  EXPECT_FALSE(
    buffer.canTransform(
      "map", "base_footprint", tf2::TimePointZero, std::chrono::hours(1), &error));
  EXPECT_EQ(error, tf2_ros::threading_error);

  ASSERT_TRUE(buffer.setTransform(baseAt(kStartMs), "odometry"));
  const auto pose = buffer.lookupTransform(
    "odom", "base_footprint", rclcpp::Time(kStartMs * 1000000, RCL_ROS_TIME));
  EXPECT_EQ(pose.header.stamp.sec, kStartMs / 1000);
}

class TransformListenerTest : public ::testing::Test
{
protected:
  static void SetUpTestSuite() {test_support::ensureRclcppInit();}

  static constexpr std::chrono::seconds kArrival{5};
};

TEST_F(TransformListenerTest, ReceivesLatchedStaticAndLiveTransforms)
{
  auto publisher_node = std::make_shared<rclcpp::Node>("tf_test_publisher");
  tf2_ros::StaticTransformBroadcaster static_broadcaster(publisher_node);
  static_broadcaster.sendTransform(
    makeTransform("base_footprint", "camera", 1000, 0.3, 0.0, 0.5, 0.0));
  static_broadcaster.sendTransform(
    makeTransform("base_footprint", "lidar", 1000, 0.1, 0.0, 0.3, 0.0));
  tf2_ros::TransformBroadcaster broadcaster(publisher_node);

  // The static transforms went out before anyone listened.
  auto buffer = std::make_shared<tf2_ros::Buffer>(publisher_node->get_clock());
  auto listener = std::make_shared<tf2_ros::TransformListener>(*buffer);
  EXPECT_TRUE(buffer->canTransform("camera", "lidar", tf2::TimePointZero, kArrival));

  broadcaster.sendTransform(
    std::vector<geometry_msgs::msg::TransformStamped>{odomAt(kStartMs + 100),
      baseAt(kStartMs + 100)});
  EXPECT_TRUE(buffer->canTransform("map", "camera", tf2::TimePointZero, kArrival));
  const auto pose = buffer->lookupTransform("map", "base_footprint", tf2::TimePointZero);
  EXPECT_EQ(tf2_ros::fromMsg(pose.header.stamp), atMs(kStartMs + 100));
  expectPlanarPose(pose, expectedRobotPose(0.1));
}

TEST_F(TransformListenerTest, ListenerOnAnUnspunNodeStillFillsTheBuffer)
{
  auto node = std::make_shared<rclcpp::Node>("tf_test_host");
  tf2_ros::Buffer buffer(node->get_clock());
  tf2_ros::TransformListener listener(buffer, node);
  tf2_ros::TransformBroadcaster broadcaster(node);

  broadcaster.sendTransform(baseAt(kStartMs));
  EXPECT_TRUE(buffer.canTransform("odom", "base_footprint", tf2::TimePointZero, kArrival));
}

}  // namespace
