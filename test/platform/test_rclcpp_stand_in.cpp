#include <gtest/gtest.h>

#include <csignal>
#include <cstddef>
#include <future>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "geometry_msgs/msg/point_stamped.hpp"
#include "geometry_msgs/msg/quaternion.hpp"
#include "geometry_msgs/msg/transform_stamped.hpp"
#include "log_capture.hpp"
#include "rclcpp/rclcpp.hpp"
#include "rosgraph_msgs/msg/clock.hpp"
#include "sensor_msgs/image_encodings.hpp"
#include "sensor_msgs/msg/camera_info.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "velmora_protocol/msg/dirty_recognition.hpp"
#include "velmora_protocol/msg/task_center_fsm_status.hpp"

using sensor_msgs::msg::CameraInfo;
using sensor_msgs::msg::Image;
using std::chrono::seconds;

namespace
{

const auto kPatience = seconds(10);

Image imageOfHeight(uint32_t height)
{
  Image image;
  image.height = height;
  return image;
}

// Records the heights of the images it is handed, which tell the messages apart.
struct HeightRecorder
{
  void operator()(Image::ConstSharedPtr image) {heights.push_back(image->height);}
  std::vector<uint32_t> heights;
};

class RclcppStandIn : public ::testing::Test
{
protected:
  void SetUp() override {initWith({});}

  void TearDown() override {rclcpp::shutdown();}

  void initWith(std::vector<std::string> ros_arguments)
  {
    if (rclcpp::ok()) {
      rclcpp::shutdown();
    }
    ros_arguments.insert(ros_arguments.begin(), "test_rclcpp_stand_in");
    std::vector<const char *> argv;
    for (const auto & argument : ros_arguments) {
      argv.push_back(argument.c_str());
    }
    rclcpp::init(static_cast<int>(argv.size()), argv.data());
  }
};

TEST_F(RclcppStandIn, OfferedQosMustSatisfyRequestedQos)
{
  struct Case
  {
    const char * name;
    rclcpp::QoS offered;
    rclcpp::QoS requested;
    bool delivered;
  };
  const std::vector<Case> cases{
    {"reliable to reliable", rclcpp::QoS(10), rclcpp::QoS(10), true},
    {"best effort to reliable", rclcpp::QoS(10).best_effort(), rclcpp::QoS(10), false},
    {"reliable to best effort", rclcpp::QoS(10), rclcpp::SensorDataQoS(), true},
    {"volatile to transient local", rclcpp::QoS(10), rclcpp::QoS(10).transient_local(), false},
    {"transient local to volatile", rclcpp::QoS(10).transient_local(), rclcpp::QoS(10), true},
  };
  auto node = std::make_shared<rclcpp::Node>("qos_matcher");
  for (const auto & test_case : cases) {
    SCOPED_TRACE(test_case.name);
    test_support::LogCapture log;
    HeightRecorder received;
    auto subscription = node->create_subscription<Image>(
      "/camera", test_case.requested, [&received](Image::ConstSharedPtr image) {received(image);});
    auto publisher = node->create_publisher<Image>("/camera", test_case.offered);
    publisher->publish(imageOfHeight(1));
    rclcpp::spin_some(node);
    EXPECT_EQ(received.heights.size(), test_case.delivered ? 1u : 0u);
    EXPECT_EQ(publisher->get_subscription_count(), test_case.delivered ? 1u : 0u);
    EXPECT_EQ(subscription->get_publisher_count(), test_case.delivered ? 1u : 0u);
    EXPECT_EQ(log.contains("offering incompatible QoS"), !test_case.delivered);
  }
}

TEST_F(RclcppStandIn, QosReportsTheRmwProfile)
{
  const auto profile = rclcpp::QoS(10).get_rmw_qos_profile();
  EXPECT_EQ(profile.history, RMW_QOS_POLICY_HISTORY_KEEP_LAST);
  EXPECT_EQ(profile.depth, 10u);
  EXPECT_EQ(profile.reliability, RMW_QOS_POLICY_RELIABILITY_RELIABLE);
  EXPECT_EQ(profile.durability, RMW_QOS_POLICY_DURABILITY_VOLATILE);
  const auto sensor = rclcpp::SensorDataQoS().get_rmw_qos_profile();
  EXPECT_EQ(sensor.reliability, RMW_QOS_POLICY_RELIABILITY_BEST_EFFORT);
  EXPECT_EQ(sensor.depth, 5u);
  EXPECT_EQ(rclcpp::QoS(rclcpp::KeepLast(3)).transient_local().durability(),
    rclcpp::DurabilityPolicy::TransientLocal);
}

TEST_F(RclcppStandIn, FullKeepLastQueueDropsTheOldestMessage)
{
  auto node = std::make_shared<rclcpp::Node>("slow_reader");
  HeightRecorder received;
  auto subscription = node->create_subscription<Image>(
    "/camera", rclcpp::QoS(10), [&received](Image::ConstSharedPtr image) {received(image);});
  auto publisher = node->create_publisher<Image>("/camera", rclcpp::QoS(10));
  for (uint32_t height = 1; height <= 11; ++height) {
    publisher->publish(imageOfHeight(height));
  }
  rclcpp::spin_some(node);
  EXPECT_EQ(received.heights, (std::vector<uint32_t>{2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
  EXPECT_EQ(subscription->dropped_count(), 1u);
}

TEST_F(RclcppStandIn, MessagesAreDeliveredInArrivalOrderAcrossTopics)
{
  auto node = std::make_shared<rclcpp::Node>("order_keeper");
  std::vector<std::string> deliveries;
  auto images = node->create_subscription<Image>(
    "/image", 10, [&deliveries](const Image & image) {
      deliveries.push_back("image " + std::to_string(image.height));
    });
  auto infos = node->create_subscription<CameraInfo>(
    "/info", 10, [&deliveries](std::unique_ptr<CameraInfo> info) {
      deliveries.push_back("info " + std::to_string(info->height));
    });
  auto image_publisher = node->create_publisher<Image>("/image", 10);
  auto info_publisher = node->create_publisher<CameraInfo>("/info", 10);
  CameraInfo info;
  info.height = 2;
  image_publisher->publish(imageOfHeight(1));
  info_publisher->publish(info);
  image_publisher->publish(imageOfHeight(3));
  info.height = 4;
  info_publisher->publish(std::make_unique<CameraInfo>(info));
  rclcpp::spin_some(node);
  EXPECT_EQ(deliveries, (std::vector<std::string>{"image 1", "info 2", "image 3", "info 4"}));
}

TEST_F(RclcppStandIn, TransientLocalPublisherReplaysItsDepthToLateJoiners)
{
  auto node = std::make_shared<rclcpp::Node>("latecomer");
  auto publisher = node->create_publisher<Image>("/static", rclcpp::QoS(2).transient_local());
  for (uint32_t height = 1; height <= 3; ++height) {
    publisher->publish(imageOfHeight(height));
  }
  HeightRecorder durable;
  HeightRecorder live_only;
  auto durable_subscription = node->create_subscription<Image>(
    "/static", rclcpp::QoS(10).transient_local(),
    [&durable](Image::ConstSharedPtr image) {durable(image);});
  auto volatile_subscription = node->create_subscription<Image>(
    "/static", rclcpp::QoS(10), [&live_only](Image::ConstSharedPtr image) {live_only(image);});
  publisher->publish(imageOfHeight(4));
  rclcpp::spin_some(node);
  EXPECT_EQ(durable.heights, (std::vector<uint32_t>{2, 3, 4}));
  EXPECT_EQ(live_only.heights, (std::vector<uint32_t>{4}));
}

class ImageEditor : public rclcpp::Node
{
public:
  ImageEditor()
  : Node("image_editor")
  {
    subscription_ = create_subscription<Image>(
      "/camera", rclcpp::QoS(10),
      std::bind(&ImageEditor::imageCallback, this, std::placeholders::_1));
  }

  void imageCallback(const std::shared_ptr<Image> msg)
  {
    msg->encoding = "edited";
    seen.push_back(msg->encoding);
  }

  std::vector<std::string> seen;

private:
  rclcpp::Subscription<Image>::SharedPtr subscription_;
};

TEST_F(RclcppStandIn, BoundMemberCallbacksGetTheirOwnMutableCopy)
{
  auto first = std::make_shared<ImageEditor>();
  auto second = std::make_shared<ImageEditor>();
  auto publisher = first->create_publisher<Image>("/camera", 10);
  Image original;
  original.encoding = "bgr8";
  publisher->publish(original);
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(first);
  executor.add_node(second);
  executor.spin_some();
  EXPECT_EQ(original.encoding, "bgr8");
  EXPECT_EQ(first->seen, std::vector<std::string>{"edited"});
  EXPECT_EQ(second->seen, std::vector<std::string>{"edited"});
}

TEST_F(RclcppStandIn, OverridesComeFromNodeOptionsThenTheCommandLine)
{
  initWith(
    {"--ros-args", "-p", "depth:=5", "-p", "threshold:=0.25", "-p", "save:=false", "-p",
      "label:=floor", "-p", "retries:=7", "-p", "ratio:=3", "-p", "sizes:=[1, 2]"});
  rclcpp::NodeOptions options;
  options.parameter_overrides({rclcpp::Parameter("retries", 9)});
  auto node = std::make_shared<rclcpp::Node>("configured", options);
  EXPECT_EQ(node->declare_parameter("depth", 1), 5);
  EXPECT_DOUBLE_EQ(node->declare_parameter("threshold", 0.8), 0.25);
  EXPECT_FALSE(node->declare_parameter("save", true));
  EXPECT_EQ(node->declare_parameter("label", std::string("wall")), "floor");
  EXPECT_EQ(node->declare_parameter("retries", 1), 9);
  EXPECT_EQ(node->declare_parameter("untouched", 42), 42);
  EXPECT_EQ(
    node->declare_parameter("sizes", std::vector<int64_t>{}), (std::vector<int64_t>{1, 2}));
  // As in rclcpp, an integer on the command line does not fit a double parameter.
  EXPECT_THROW(
    node->declare_parameter("ratio", 1.0), rclcpp::exceptions::InvalidParameterTypeException);
  EXPECT_THROW(
    node->declare_parameter("depth", 2), rclcpp::exceptions::ParameterAlreadyDeclaredException);

  EXPECT_EQ(node->get_parameter("depth").as_int(), 5);
  std::string label;
  EXPECT_TRUE(node->get_parameter("label", label));
  EXPECT_EQ(label, "floor");
  EXPECT_FALSE(node->get_parameter("ratio", label));
  EXPECT_THROW(node->get_parameter("ratio"), rclcpp::exceptions::ParameterNotDeclaredException);
  EXPECT_FALSE(node->get_parameter("use_sim_time").as_bool());
}

TEST_F(RclcppStandIn, ParameterTextsAndUninitializedParametersAreRclcpps)
{
  // The node quotes start values in its refusals with rclcpp::to_string.
  EXPECT_EQ(rclcpp::to_string(rclcpp::ParameterValue(2.0)), "2.000000");
  EXPECT_EQ(rclcpp::to_string(rclcpp::ParameterValue(int64_t{-3})), "-3");
  EXPECT_EQ(
    rclcpp::to_string(rclcpp::ParameterValue(std::vector<uint8_t>{0, 255})), "[0, 0xff]");
  EXPECT_EQ(
    rclcpp::to_string(rclcpp::ParameterValue(std::vector<bool>{true, false})), "[true, false]");

  initWith({"--ros-args", "-p", "given:=4"});
  auto node = std::make_shared<rclcpp::Node>("typed");
  EXPECT_EQ(node->declare_parameter<int64_t>("given"), 4);
  EXPECT_THROW(
    node->declare_parameter<int64_t>("missing"),
    rclcpp::exceptions::UninitializedStaticallyTypedParameterException);
  EXPECT_TRUE(node->has_parameter("missing"));
  EXPECT_THROW(
    node->get_parameter("missing"), rclcpp::exceptions::ParameterUninitializedException);
  rclcpp::Parameter unset;
  EXPECT_FALSE(node->get_parameter("missing", unset));
  EXPECT_FALSE(node->set_parameter(rclcpp::Parameter("missing", 1.5)).successful);
  EXPECT_TRUE(node->set_parameter(rclcpp::Parameter("missing", 6)).successful);
  EXPECT_EQ(node->get_parameter("missing").as_int(), 6);
  EXPECT_THROW(
    node->declare_parameter("unset", rclcpp::ParameterValue()),
    rclcpp::exceptions::InvalidParameterTypeException);
  EXPECT_THROW(
    node->undeclare_parameter("given"), rclcpp::exceptions::InvalidParameterTypeException);
}

TEST_F(RclcppStandIn, CommandLineRemapsRedirectTopicsAndRenameNodes)
{
  initWith({"--ros-args", "-r", "/chatter:=/talk", "-r", "__node:=renamed", "--", "plain"});
  auto node = std::make_shared<rclcpp::Node>("original");
  EXPECT_STREQ(node->get_name(), "renamed");
  EXPECT_STREQ(node->get_logger().get_name(), "renamed");
  HeightRecorder received;
  auto subscription = node->create_subscription<Image>(
    "/chatter", 10, [&received](Image::ConstSharedPtr image) {received(image);});
  EXPECT_STREQ(subscription->get_topic_name(), "/talk");
  node->create_publisher<Image>("talk", 10)->publish(imageOfHeight(7));
  rclcpp::spin_some(node);
  EXPECT_EQ(received.heights, std::vector<uint32_t>{7});

  const char * argv[] = {"program", "--ros-args", "-r", "a:=b", "--", "plain"};
  EXPECT_EQ(rclcpp::remove_ros_arguments(6, argv), (std::vector<std::string>{"program", "plain"}));
}

TEST_F(RclcppStandIn, BadArgumentsAndNamesAreRejected)
{
  rclcpp::shutdown();
  const char * unknown[] = {"program", "--ros-args", "--frobnicate"};
  EXPECT_THROW(rclcpp::init(3, unknown), rclcpp::exceptions::UnknownROSArgsError);
  EXPECT_THROW(rclcpp::Node("too_early"), rclcpp::exceptions::RCLError);
  initWith({});
  EXPECT_THROW(rclcpp::Node("9lives"), rclcpp::exceptions::InvalidNodeNameError);
  rclcpp::Node node("namer");
  EXPECT_THROW(
    node.create_publisher<Image>("/camera//raw", 10), rclcpp::exceptions::InvalidTopicNameError);
  EXPECT_STREQ(node.create_publisher<Image>("~/raw", 10)->get_topic_name(), "/namer/raw");
}

TEST_F(RclcppStandIn, EndpointsOfDifferentTypesDoNotMatch)
{
  auto node = std::make_shared<rclcpp::Node>("typist");
  HeightRecorder received;
  auto subscription = node->create_subscription<Image>(
    "/mixed", 10, [&received](Image::ConstSharedPtr image) {received(image);});
  auto publisher = node->create_publisher<CameraInfo>("/mixed", 10);
  publisher->publish(CameraInfo());
  rclcpp::spin_some(node);
  EXPECT_TRUE(received.heights.empty());
  EXPECT_EQ(publisher->get_subscription_count(), 0u);
  EXPECT_EQ(node->count_publishers("/mixed"), 1u);
  EXPECT_EQ(node->count_subscribers("mixed"), 1u);
  EXPECT_EQ(
    node->get_topic_names_and_types().at("/mixed"),
    (std::vector<std::string>{"sensor_msgs/msg/CameraInfo", "sensor_msgs/msg/Image"}));
}

TEST_F(RclcppStandIn, SpinReturnsWhenShutDownFromAnotherThread)
{
  auto node = std::make_shared<rclcpp::Node>("spinner");
  auto spinning = std::async(std::launch::async, [node] {rclcpp::spin(node);});
  rclcpp::shutdown();
  EXPECT_EQ(spinning.wait_for(kPatience), std::future_status::ready);
}

TEST_F(RclcppStandIn, SigintShutsDownAndEndsSpin)
{
  auto node = std::make_shared<rclcpp::Node>("interrupted");
  auto spinning = std::async(std::launch::async, [node] {rclcpp::spin(node);});
  std::raise(SIGINT);
  EXPECT_EQ(spinning.wait_for(kPatience), std::future_status::ready);
  EXPECT_FALSE(rclcpp::ok());
  EXPECT_TRUE(rclcpp::signal_handlers_installed());
  rclcpp::shutdown();
  EXPECT_FALSE(rclcpp::signal_handlers_installed());
}

TEST_F(RclcppStandIn, CancelEndsSpinEvenBeforeItStarts)
{
  auto node = std::make_shared<rclcpp::Node>("cancelled");
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node);
  executor.cancel();
  executor.spin();
  auto spinning = std::async(std::launch::async, [&executor] {executor.spin();});
  while (!executor.is_spinning()) {
    std::this_thread::yield();
  }
  executor.cancel();
  EXPECT_EQ(spinning.wait_for(kPatience), std::future_status::ready);
  EXPECT_THROW(rclcpp::executors::SingleThreadedExecutor().add_node(node), std::runtime_error);
}

TEST_F(RclcppStandIn, SpinSomeLeavesMessagesPublishedDuringIt)
{
  auto node = std::make_shared<rclcpp::Node>("echo");
  auto publisher = node->create_publisher<Image>("/echo", 10);
  std::vector<uint32_t> heights;
  auto subscription = node->create_subscription<Image>(
    "/echo", 10, [&heights, &publisher](Image::ConstSharedPtr image) {
      heights.push_back(image->height);
      publisher->publish(imageOfHeight(image->height + 1));
    });
  publisher->publish(imageOfHeight(1));
  rclcpp::spin_some(node);
  EXPECT_EQ(heights, std::vector<uint32_t>{1});
  rclcpp::spin_some(node);
  EXPECT_EQ(heights, (std::vector<uint32_t>{1, 2}));
}

TEST_F(RclcppStandIn, WallTimerRunsFromTheExecutorUntilCancelled)
{
  auto node = std::make_shared<rclcpp::Node>("ticker");
  int ticks = 0;
  rclcpp::TimerBase::SharedPtr timer;
  timer = node->create_wall_timer(
    std::chrono::milliseconds(1), [&ticks, &timer] {
      if (++ticks == 3) {
        timer->cancel();
      }
    });
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node);
  for (int attempt = 0; attempt < 3; ++attempt) {
    executor.spin_once(kPatience);
  }
  EXPECT_EQ(ticks, 3);
  EXPECT_TRUE(timer->is_canceled());
  executor.spin_once(std::chrono::milliseconds(0));
  EXPECT_EQ(ticks, 3);
}

TEST_F(RclcppStandIn, NodeServedByItsOwnThreadRunsBesideTheMainExecutor)
{
  auto main_node = std::make_shared<rclcpp::Node>("main");
  auto helper_node = std::make_shared<rclcpp::Node>("helper");
  std::promise<uint32_t> helper_got;
  auto helper_subscription = helper_node->create_subscription<Image>(
    "/shared", 10, [&helper_got](Image::ConstSharedPtr image) {
      helper_got.set_value(image->height);
    });
  rclcpp::executors::SingleThreadedExecutor helper_executor;
  helper_executor.add_node(helper_node);
  std::thread helper_thread([&helper_executor] {helper_executor.spin();});

  std::vector<uint32_t> main_got;
  auto main_subscription = main_node->create_subscription<Image>(
    "/shared", 10, [&main_got](Image::ConstSharedPtr image) {main_got.push_back(image->height);});
  main_node->create_publisher<Image>("/shared", 10)->publish(imageOfHeight(5));
  rclcpp::spin_some(main_node);
  auto helper_result = helper_got.get_future();
  ASSERT_EQ(helper_result.wait_for(kPatience), std::future_status::ready);
  EXPECT_EQ(helper_result.get(), 5u);
  EXPECT_EQ(main_got, std::vector<uint32_t>{5});
  helper_executor.cancel();
  helper_thread.join();
}

TEST_F(RclcppStandIn, SimulatedTimeFollowsTheClockTopic)
{
  initWith({"--ros-args", "-p", "use_sim_time:=true"});
  auto node = std::make_shared<rclcpp::Node>("simulated");
  EXPECT_TRUE(node->get_clock()->ros_time_is_active());
  rosgraph_msgs::msg::Clock tick;
  tick.clock.sec = 42;
  tick.clock.nanosec = 5;
  node->create_publisher<rosgraph_msgs::msg::Clock>("/clock", 10)->publish(tick);
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (node->now().nanoseconds() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  EXPECT_EQ(node->now(), rclcpp::Time(42, 5, RCL_ROS_TIME));
}

TEST_F(RclcppStandIn, LogLinesUseTheRosConsoleFormat)
{
  auto node = std::make_shared<rclcpp::Node>("WaterStainNode");
  testing::internal::CaptureStderr();
  RCLCPP_INFO(node->get_logger(), "status: %d, %d", 2, 4);
  const std::string printed = testing::internal::GetCapturedStderr();
  const std::regex console_line(R"(\[INFO\] \[\d+\.\d{9}\] \[WaterStainNode\]: status: 2, 4\n)");
  EXPECT_TRUE(std::regex_match(printed, console_line)) << printed;

  test_support::LogCapture log;
  RCLCPP_WARN_STREAM(node->get_logger(), "stream " << 3);
  rclcpp::Clock clock(RCL_ROS_TIME);
  // The throttle remembers its last line per call site, so a repeated run starts later.
  static int32_t run_start = 0;
  run_start += 100;
  for (const int32_t second : {10, 10, 11, 12}) {
    clock.setRosTimeOverride(true, rclcpp::Time(run_start + second, 0, RCL_ROS_TIME).nanoseconds());
    RCLCPP_ERROR_THROTTLE(node->get_logger(), clock, 1500, "throttled at %d", second);
  }
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].severity, RCUTILS_LOG_SEVERITY_WARN);
  EXPECT_EQ(lines[0].logger, "WaterStainNode");
  EXPECT_EQ(lines[0].text, "stream 3");
  EXPECT_EQ(lines[1].text, "throttled at 10");
  EXPECT_EQ(lines[2].text, "throttled at 12");
  EXPECT_EQ(log.count("throttled"), 2u);
}

TEST(RclcppTime, ConvertsBetweenMessagesSecondsAndNanoseconds)
{
  struct Case
  {
    double seconds;
    int32_t sec;
    uint32_t nanosec;
  };
  const std::vector<Case> cases{{1.5, 1, 500000000}, {-0.25, -1, 750000000}, {0.0, 0, 0}};
  for (const auto & test_case : cases) {
    SCOPED_TRACE(test_case.seconds);
    const builtin_interfaces::msg::Duration message =
      rclcpp::Duration::from_seconds(test_case.seconds);
    EXPECT_EQ(message.sec, test_case.sec);
    EXPECT_EQ(message.nanosec, test_case.nanosec);
    EXPECT_DOUBLE_EQ(rclcpp::Duration(message).seconds(), test_case.seconds);
  }
  builtin_interfaces::msg::Time stamp;
  stamp.sec = 1733520000;
  stamp.nanosec = 123456789;
  const rclcpp::Time time(stamp);
  EXPECT_EQ(time.nanoseconds(), 1733520000123456789LL);
  EXPECT_EQ(time.get_clock_type(), RCL_ROS_TIME);
  EXPECT_EQ(builtin_interfaces::msg::Time(time + rclcpp::Duration(0, 876543211)).sec, 1733520001);
  EXPECT_THROW(
    (void)(time - rclcpp::Time(0, 0, RCL_SYSTEM_TIME)), std::runtime_error);
}

TEST(RosMessages, MatchTheGeneratedTypes)
{
  EXPECT_STREQ(
    rosidl_generator_traits::name<velmora_protocol::msg::TaskCenterFsmStatus>(),
    "velmora_protocol/msg/TaskCenterFsmStatus");
  EXPECT_STREQ(
    rosidl_generator_traits::name<velmora_protocol::msg::DirtyRecognition>(),
    "velmora_protocol/msg/DirtyRecognition");
  velmora_protocol::msg::TaskCenterFsmStatus status;
  const auto * base = reinterpret_cast<const char *>(&status);
  EXPECT_EQ(reinterpret_cast<const char *>(&status.state) - base, 40);
  EXPECT_EQ(reinterpret_cast<const char *>(&status.sub_state) - base, 44);
  EXPECT_DOUBLE_EQ(geometry_msgs::msg::Quaternion().w, 1.0);
  // Generated messages have an explicit constructor: code that lists fields in braces must fail
  // here as it fails on the robot.
  static_assert(!std::is_aggregate_v<geometry_msgs::msg::PointStamped>);
  static_assert(!std::is_aggregate_v<geometry_msgs::msg::TransformStamped>);
  static_assert(!std::is_aggregate_v<CameraInfo>);
  static_assert(!std::is_aggregate_v<Image>);
  static_assert(!std::is_aggregate_v<velmora_protocol::msg::TaskCenterFsmStatus>);
  Image left;
  Image right;
  right.data.push_back(1);
  EXPECT_NE(left, right);

  namespace enc = sensor_msgs::image_encodings;
  struct Case
  {
    std::string encoding;
    int channels;
    int depth;
  };
  const std::vector<Case> cases{
    {enc::BGR8, 3, 8}, {enc::MONO16, 1, 16}, {enc::RGBA8, 4, 8}, {enc::TYPE_32FC1, 1, 32},
    {enc::TYPE_16UC3, 3, 16}, {enc::YUV422, 2, 8}};
  for (const auto & test_case : cases) {
    SCOPED_TRACE(test_case.encoding);
    EXPECT_EQ(enc::numChannels(test_case.encoding), test_case.channels);
    EXPECT_EQ(enc::bitDepth(test_case.encoding), test_case.depth);
  }
  EXPECT_THROW(enc::numChannels("jpeg"), std::runtime_error);
  EXPECT_TRUE(enc::isColor(enc::BGR8));
  EXPECT_TRUE(enc::isMono(enc::MONO8));
}

}  // namespace
