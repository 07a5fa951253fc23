#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "log_capture.hpp"
#include "test_support.hpp"
#include "velmora_water_stain/archive.hpp"
#include "water_stain_node_access.hpp"

using std::chrono::milliseconds;
using test_support::LogCapture;
using test_support::TemporaryDirectory;

namespace
{

using node_access::Camera;
using NodeUnderTest = node_access::WaterStainNodeAccess;

class WaterStainNodeTest : public ::testing::Test
{
protected:
  void SetUp() override {test_support::ensureRclcppInit();}

  std::shared_ptr<NodeUnderTest> makeNode(const std::string & image_dir)
  {
    return std::make_shared<NodeUnderTest>(
      rclcpp::NodeOptions().parameter_overrides({
        {"image_dir", image_dir}, {"engine_path", archive_.path() + "/missing.engine"}}));
  }

  // Starting with `parameter` throws InvalidParameter after one ERROR line, which begins with
  // `error_start` and says what is accepted, before anything is created on disk.
  static void expectRefusedAtStart(
    const rclcpp::Parameter & parameter, const std::string & error_start)
  {
    SCOPED_TRACE(parameter.get_name() + " = " + parameter.value_to_string());
    TemporaryDirectory run_dir;
    test_support::WorkingDirectory cwd(run_dir.path());
    LogCapture log;
    EXPECT_THROW(
      std::make_shared<NodeUnderTest>(
        rclcpp::NodeOptions().parameter_overrides({parameter})),
      WaterStainNode::InvalidParameter);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines().front().severity, RCUTILS_LOG_SEVERITY_ERROR);
    EXPECT_EQ(log.lines().front().text.rfind(error_start, 0), 0u) << log.lines().front().text;
    EXPECT_NE(log.lines().front().text.find("accepted is "), std::string::npos);
    EXPECT_TRUE(test_support::listDirectory(run_dir.path()).empty());
  }

  static std::shared_ptr<velmora_protocol::msg::TaskCenterFsmStatus> status(int state, int sub)
  {
    auto msg = std::make_shared<velmora_protocol::msg::TaskCenterFsmStatus>();
    msg->state = state;
    msg->sub_state = sub;
    return msg;
  }

  TemporaryDirectory archive_;
};

}  // namespace

// Repeated failures: one line per interval and key, then the count of those held back meanwhile.
TEST(FailureLogThrottle, LetsOneLinePerIntervalOutAndCountsTheOnesHeldBack)
{
  velmora_water_stain::FailureLogThrottle throttle;
  const auto start = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
  const auto interval = std::chrono::seconds(10);
  EXPECT_EQ(throttle.due("inference", interval, start), std::size_t{0});
  for (int second = 1; second <= 3; ++second) {
    EXPECT_FALSE(throttle.due("inference", interval, start + std::chrono::seconds(second)));
  }
  // Another key has its own interval.
  EXPECT_EQ(throttle.due("scores", interval, start + milliseconds(3500)), std::size_t{0});
  EXPECT_FALSE(throttle.due("inference", interval, start + interval - milliseconds(1)));
  EXPECT_EQ(throttle.due("inference", interval, start + interval), std::size_t{4});
  // The count starts again from the line just let out.
  EXPECT_FALSE(throttle.due("inference", interval, start + interval + milliseconds(1)));
  EXPECT_EQ(throttle.due("inference", interval, start + 3 * interval), std::size_t{1});
  EXPECT_EQ(throttle.due("scores", interval, start + 3 * interval), std::size_t{0});
}

TEST_F(WaterStainNodeTest, WorkingOnlyInStateTwoWithSubStateThreeToSix)
{
  auto node = makeNode(archive_.path());
  struct Case
  {
    int state;
    int sub_state;
    bool working;
  };
  const std::vector<Case> cases{
    {2, 3, true}, {2, 4, true}, {2, 5, true}, {2, 6, true}, {2, 2, false}, {2, 7, false},
    {2, -4, false}, {1, 4, false}, {3, 3, false}, {0, 0, false}, {-2, 5, false}, {2, 6, true}};
  LogCapture log;
  for (const auto & c : cases) {
    node->working_status_callback(status(c.state, c.sub_state));
    EXPECT_EQ(node->working(), c.working) << c.state << ", " << c.sub_state;
  }
  EXPECT_EQ(log.count("status: "), cases.size());
  EXPECT_EQ(log.count("status: 2, 6"), 2u);
  EXPECT_TRUE(log.containsAt(RCUTILS_LOG_SEVERITY_WARN, "status: 2, -4"));
}

TEST_F(WaterStainNodeTest, WiresSixSubscriptionsAndTwoIdlePublishersWithDepthTenReliable)
{
  auto node = makeNode(archive_.path());
  const std::vector<std::pair<std::string, std::string>> subscriptions{
    {"/camera_05/color/image_raw", "sensor_msgs/msg/Image"},
    {"/camera_05/color/camera_info", "sensor_msgs/msg/CameraInfo"},
    {"/camera_01/color/image_raw", "sensor_msgs/msg/Image"},
    {"/camera_01/color/camera_info", "sensor_msgs/msg/CameraInfo"},
    {"/usb_cam_rear/image_raw", "sensor_msgs/msg/Image"},
    {"/fsm_status", "velmora_protocol/msg/TaskCenterFsmStatus"}};
  const std::vector<std::string> publications{"/DirtyRecognition", "/DirtyRecognitionFront"};
  // Some middlewares fill the graph cache asynchronously, even for the node's own endpoints.
  test_support::waitFor([&]() {
      const auto listed = node->get_topic_names_and_types();
      return std::all_of(
        subscriptions.begin(), subscriptions.end(), [&](const auto & subscription) {
          return node->count_subscribers(subscription.first) == 1u &&
          listed.count(subscription.first) == 1u;
        }) && std::all_of(publications.begin(), publications.end(), [&](const auto & topic) {
          return node->count_publishers(topic) == 1u && listed.count(topic) == 1u;
        });
    });
  const auto topics = node->get_topic_names_and_types();
  for (const auto & [topic, type] : subscriptions) {
    EXPECT_EQ(node->count_subscribers(topic), 1u) << topic;
    ASSERT_EQ(topics.count(topic), 1u) << topic;
    EXPECT_EQ(topics.at(topic).front(), type);
  }
  for (const std::string & topic : publications) {
    EXPECT_EQ(node->count_publishers(topic), 1u) << topic;
    EXPECT_EQ(topics.at(topic).front(), "velmora_protocol/msg/DirtyRecognition");
  }

  const std::vector<rclcpp::QoS> endpoints{
    node->imageSubscription(Camera::rear)->get_actual_qos(),
    node->cameraInfoSubscription(Camera::rear)->get_actual_qos(),
    node->imageSubscription(Camera::front)->get_actual_qos(),
    node->cameraInfoSubscription(Camera::front)->get_actual_qos(),
    node->imageSubscription(Camera::fisheye)->get_actual_qos(),
    node->statusSubscription()->get_actual_qos(),
    node->dirtyPublisher(Camera::rear)->get_actual_qos(),
    node->dirtyPublisher(Camera::front)->get_actual_qos()};
  for (const auto & qos : endpoints) {
    const auto profile = qos.get_rmw_qos_profile();
    EXPECT_EQ(profile.history, RMW_QOS_POLICY_HISTORY_KEEP_LAST);
    EXPECT_EQ(profile.depth, 10u);
    EXPECT_EQ(profile.reliability, RMW_QOS_POLICY_RELIABILITY_RELIABLE);
    EXPECT_EQ(profile.durability, RMW_QOS_POLICY_DURABILITY_VOLATILE);
  }
}

TEST_F(WaterStainNodeTest, StatusFromBestEffortPublisherNeverArrives)
{
  auto node = makeNode(archive_.path());
  auto peer = std::make_shared<rclcpp::Node>("task_centre");
  auto best_effort = peer->create_publisher<velmora_protocol::msg::TaskCenterFsmStatus>(
    "/fsm_status", rclcpp::QoS(10).best_effort());
  auto reliable = peer->create_publisher<velmora_protocol::msg::TaskCenterFsmStatus>(
    "/fsm_status", rclcpp::QoS(10));
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node);
  // Over DDS, matching and delivery are asynchronous even within one process.
  ASSERT_TRUE(test_support::waitFor([&]() {return reliable->get_subscription_count() == 1u;}));
  EXPECT_EQ(best_effort->get_subscription_count(), 0u);

  LogCapture log;
  best_effort->publish(*status(2, 4));
  reliable->publish(*status(2, 5));
  EXPECT_TRUE(test_support::waitFor([&]() {
      executor.spin_some();
      return log.contains("status: 2, 5");
    }));
  EXPECT_EQ(log.count("status: "), 1u);
  EXPECT_TRUE(node->working());
}

TEST_F(WaterStainNodeTest, CreatesTwelveCategoryDirectoriesUnderTheWorkingDirectory)
{
  TemporaryDirectory elsewhere;
  {
    test_support::WorkingDirectory cwd(elsewhere.path());
    auto node = std::make_shared<NodeUnderTest>();
  }
  EXPECT_EQ(
    test_support::listDirectory(elsewhere / "images"),
    (std::vector<std::string>{"clean", "clean_fish", "clean_front", "dirty", "dirty_fish",
      "dirty_front", "internvl", "internvl_fish", "internvl_front", "stubborn", "stubborn_fish",
      "stubborn_front"}));
}

TEST_F(WaterStainNodeTest, CleanWritesShareOneThreeSecondThrottle)
{
  auto node = makeNode(archive_.path());
  const cv::Mat patch(40, 60, CV_8UC3, cv::Scalar(90, 120, 150));
  const auto start = node->lastCleanSave();
  auto at = [start](double seconds) {
      return start + std::chrono::duration_cast<std::chrono::system_clock::duration>(
        std::chrono::duration<double>(seconds));
    };
  auto exists = [this](const std::string & relative) {
      return std::filesystem::exists(archive_ / relative);
    };

  node->saveImage(patch, "clean", "a.jpg", at(2.9));
  EXPECT_FALSE(exists("clean/a.jpg"));
  node->saveImage(patch, "clean", "b.jpg", at(3.1));
  EXPECT_TRUE(exists("clean/b.jpg"));
  node->saveImage(patch, "clean_front", "c.jpg", at(4.1));
  EXPECT_FALSE(exists("clean_front/c.jpg"));
  node->saveImage(patch, "clean_fish", "c.jpg", at(4.1));
  EXPECT_TRUE(exists("clean_fish/c.jpg"));
  node->saveImage(patch, "clean_front", "d.jpg", at(6.1));
  EXPECT_FALSE(exists("clean_front/d.jpg"));  // exactly 3.0 s after the last write
  node->saveImage(patch, "clean_front", "e.jpg", at(6.2));
  EXPECT_TRUE(exists("clean_front/e.jpg"));
  for (const std::string category : {"dirty", "stubborn", "internvl", "internvl_fish"}) {
    node->saveImage(patch, category, "f.jpg", at(6.3));
    node->saveImage(patch, category, "g.jpg", at(6.3));
    EXPECT_TRUE(exists(category + "/f.jpg") && exists(category + "/g.jpg")) << category;
  }
}

TEST_F(WaterStainNodeTest, ArchiveWritesWholeJpegsAndOverwritesSameStamp)
{
  auto node = makeNode(archive_.path());
  node->saveImage(cv::Mat(30, 30, CV_8UC3, cv::Scalar(0, 0, 255)), "dirty", "5.1.jpg");
  node->saveImage(cv::Mat(50, 70, CV_8UC3, cv::Scalar(255, 0, 0)), "dirty", "5.1.jpg");
  EXPECT_EQ(test_support::listDirectory(archive_ / "dirty"), std::vector<std::string>{"5.1.jpg"});
  const cv::Mat stored = cv::imread(archive_ / "dirty/5.1.jpg");
  ASSERT_FALSE(stored.empty());
  EXPECT_EQ(stored.size(), cv::Size(70, 50));
}

TEST_F(WaterStainNodeTest, CleanThrottleCountsFromConstruction)
{
  const auto before = std::chrono::system_clock::now();
  auto node = makeNode(archive_.path());
  const auto after = std::chrono::system_clock::now();
  EXPECT_GE(node->lastCleanSave(), before);
  EXPECT_LE(node->lastCleanSave(), after);
  node->saveImage(cv::Mat(40, 60, CV_8UC3, cv::Scalar::all(90)), "clean", "1.0.jpg");
  EXPECT_FALSE(std::filesystem::exists(archive_ / "clean/1.0.jpg"));
}

TEST_F(WaterStainNodeTest, CleanWriteIsDueAgainOnceTheClockSteppedBack)
{
  auto node = makeNode(archive_.path());
  const cv::Mat patch(40, 60, CV_8UC3, cv::Scalar::all(90));
  const auto start = node->lastCleanSave();
  node->saveImage(patch, "clean", "a.jpg", start + std::chrono::seconds(4));
  ASSERT_TRUE(std::filesystem::exists(archive_ / "clean/a.jpg"));

  const auto an_hour_back = start - std::chrono::hours(1);
  node->saveImage(patch, "clean_front", "b.jpg", an_hour_back);
  EXPECT_TRUE(std::filesystem::exists(archive_ / "clean_front/b.jpg"));
  EXPECT_EQ(node->lastCleanSave(), an_hour_back);
  // From the new stamp the throttle runs as before.
  node->saveImage(patch, "clean", "c.jpg", an_hour_back + std::chrono::seconds(2));
  EXPECT_FALSE(std::filesystem::exists(archive_ / "clean/c.jpg"));
}

TEST_F(WaterStainNodeTest, FailedCleanWriteStillAdvancesTheThrottle)
{
  auto node = makeNode(archive_.path());
  const cv::Mat patch(40, 60, CV_8UC3, cv::Scalar::all(90));
  const auto start = node->lastCleanSave();
  std::filesystem::remove_all(archive_ / "clean");
  {
    LogCapture log;
    node->saveImage(patch, "clean", "a.jpg", start + std::chrono::seconds(4));
    EXPECT_TRUE(log.containsAt(RCUTILS_LOG_SEVERITY_WARN, "Failed to archive"));
  }
  EXPECT_EQ(node->lastCleanSave(), start + std::chrono::seconds(4));
  std::filesystem::create_directory(archive_ / "clean");
  node->saveImage(patch, "clean", "b.jpg", start + std::chrono::seconds(6));
  EXPECT_FALSE(std::filesystem::exists(archive_ / "clean/b.jpg"));
  node->saveImage(patch, "clean", "c.jpg", start + std::chrono::milliseconds(7100));
  EXPECT_TRUE(std::filesystem::exists(archive_ / "clean/c.jpg"));
}

TEST_F(WaterStainNodeTest, StartRemovesTemporariesOfAnInterruptedWriteAndKeepsTheArchive)
{
  std::filesystem::create_directories(archive_ / "dirty");
  ASSERT_TRUE(cv::imwrite(archive_ / "dirty/12.6.jpg", cv::Mat(30, 40, CV_8UC3, cv::Scalar(1))));
  std::ofstream(archive_ / "dirty/.12.5.jpg.partial") << "half a JPEG";
  LogCapture log;
  auto node = makeNode(archive_.path());
  EXPECT_EQ(test_support::listDirectory(archive_ / "dirty"), std::vector<std::string>{"12.6.jpg"});
  EXPECT_EQ(cv::imread(archive_ / "dirty/12.6.jpg").size(), cv::Size(40, 30));
  EXPECT_TRUE(log.containsAt(RCUTILS_LOG_SEVERITY_INFO, "dirty/.12.5.jpg.partial"));
}

TEST_F(WaterStainNodeTest, ParametersAreRefusedAtRunTime)
{
  auto node = makeNode(archive_.path());
  const std::vector<rclcpp::Parameter> changes{
    {"save_images", false}, {"score_threshold", 0.5}, {"iou_threshold", 0.1},
    {"clean_save_interval_s", 60}, {"image_dir", archive_ / "elsewhere"},
    {"server_url", std::string("http://127.0.0.1:1")}, {"fisheye_test_mode", true}};
  for (const auto & change : changes) {
    const auto before = node->get_parameter(change.get_name()).get_parameter_value();
    const auto result = node->set_parameter(change);
    EXPECT_FALSE(result.successful) << change.get_name();
    EXPECT_EQ(
      result.reason, "parameter '" + change.get_name() + "' cannot be set because it is read-only");
    EXPECT_EQ(node->get_parameter(change.get_name()).get_parameter_value(), before);
  }
  node->saveImage(cv::Mat(20, 20, CV_8UC3, cv::Scalar(1)), "dirty", "1.1.jpg");
  EXPECT_TRUE(std::filesystem::exists(archive_ / "dirty/1.1.jpg"));
}

TEST_F(WaterStainNodeTest, EachInvalidStartValueIsOneErrorBeforeAnythingIsCreated)
{
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double infinity = std::numeric_limits<double>::infinity();
  const std::vector<rclcpp::Parameter> invalid{
    {"score_threshold", 2.0}, {"score_threshold", -0.1}, {"score_threshold", nan},
    {"iou_threshold", nan}, {"iou_threshold", infinity}, {"iou_threshold", 1.5},
    {"clean_save_interval_s", 86401}, {"clean_save_interval_s", -1},
    {"clean_save_interval_s", int64_t{1} << 31}, {"engine_path", std::string()},
    {"server_url", std::string("ftp://127.0.0.1/")},
    {"server_url", std::string("file:///tmp/reply.json")}, {"server_url", std::string()}};
  for (const auto & parameter : invalid) {
    expectRefusedAtStart(parameter, "Invalid parameter " + parameter.get_name() + " = ");
  }
  // An empty archive root would put the categories at the filesystem root.
  EXPECT_THROW(
    std::make_shared<NodeUnderTest>(
      rclcpp::NodeOptions().parameter_overrides({{"image_dir", std::string()}})),
    WaterStainNode::InvalidParameter);
}

TEST_F(WaterStainNodeTest, AStartValueOfAnotherTypeIsRefusedLikeAnInvalidOne)
{
  const std::vector<std::pair<rclcpp::Parameter, std::string>> wrong_types{
    {{"score_threshold", 1}, "double"}, {{"iou_threshold", std::string("0.8")}, "double"},
    {{"clean_save_interval_s", 3.0}, "integer"}, {{"save_images", 1}, "bool"},
    {{"image_dir", true}, "string"}};
  for (const auto & [parameter, accepted_type] : wrong_types) {
    expectRefusedAtStart(
      parameter,
      "Invalid parameter " + parameter.get_name() + ": accepted is a value of type " +
      accepted_type);
  }
}

TEST_F(WaterStainNodeTest, RangeEndsAreAccepted)
{
  for (const auto & overrides : std::vector<std::vector<rclcpp::Parameter>>{
      {{"score_threshold", 0.0}, {"iou_threshold", 1.0}, {"clean_save_interval_s", 0}},
      {{"score_threshold", 1.0}, {"iou_threshold", 0.0}, {"clean_save_interval_s", 86400},
        {"server_url", std::string("https://127.0.0.1:8443/vlm")}}})
  {
    auto all = overrides;
    all.emplace_back("image_dir", archive_.path());
    all.emplace_back("engine_path", archive_ / "missing.engine");
    EXPECT_NO_THROW(std::make_shared<NodeUnderTest>(rclcpp::NodeOptions().parameter_overrides(all)));
  }
}

TEST_F(WaterStainNodeTest, DefaultsAreTheCompiledInSettingsAndTheShippedParameterFile)
{
  test_support::WorkingDirectory cwd(archive_.path());
  auto node = std::make_shared<NodeUnderTest>();
  const std::map<std::string, rclcpp::ParameterValue> compiled_in{
    {"server_url", rclcpp::ParameterValue("http://192.168.50.10:32771")},
    {"engine_path", rclcpp::ParameterValue(
        "/opt/ros/humble/share/velmora_water_stain/models/mobilenet_50_1205_orin.engine")},
    {"image_dir", rclcpp::ParameterValue("./images")},
    {"save_images", rclcpp::ParameterValue(true)},
    {"score_threshold", rclcpp::ParameterValue(static_cast<double>(0.8f))},
    {"iou_threshold", rclcpp::ParameterValue(static_cast<double>(0.8f))},
    {"clean_save_interval_s", rclcpp::ParameterValue(int64_t{3})},
    {"fisheye_test_mode", rclcpp::ParameterValue(false)},
    {"fisheye_sample_image", rclcpp::ParameterValue("/home/velmora/fisheye_sample.jpg")}};
  for (const auto & [name, value] : compiled_in) {
    EXPECT_EQ(node->get_parameter(name).get_parameter_value(), value) << name;
  }

  // The shipped file sets every parameter but engine_path (the launch file's) to its default.
  std::ifstream file(std::string(VELMORA_SOURCE_DIR) + "/params/water_stain_node.yaml");
  const std::regex entry(R"(^ {4}(\w+): +("[^"]*"|\S+))");
  std::set<std::string> in_file;
  for (std::string line; std::getline(file, line); ) {
    std::smatch match;
    if (!std::regex_search(line, match, entry)) {
      continue;
    }
    const std::string name = match[1];
    std::string text = match[2];
    in_file.insert(name);
    ASSERT_EQ(compiled_in.count(name), 1u) << name;
    const rclcpp::ParameterValue & value = compiled_in.at(name);
    switch (value.get_type()) {
      case rclcpp::ParameterType::PARAMETER_STRING:
        EXPECT_EQ("\"" + value.get<std::string>() + "\"", text) << name;
        break;
      case rclcpp::ParameterType::PARAMETER_BOOL:
        EXPECT_EQ(value.get<bool>() ? "true" : "false", text) << name;
        break;
      case rclcpp::ParameterType::PARAMETER_DOUBLE:
        EXPECT_EQ(static_cast<float>(value.get<double>()), std::stof(text)) << name;
        break;
      default:
        EXPECT_EQ(value.get<int64_t>(), std::stoll(text)) << name;
    }
  }
  std::set<std::string> expected_in_file;
  for (const auto & [name, value] : compiled_in) {
    if (name != "engine_path") {
      expected_in_file.insert(name);
    }
  }
  EXPECT_EQ(in_file, expected_in_file);
}

namespace
{

// The node's own executable, run in a directory of its own with its standard error in a file.
class NodeProcess : public ::testing::Test
{
protected:
  void start(const std::vector<std::string> & arguments = {})
  {
    const std::string binary = std::string(VELMORA_BINARY_DIR) + "/water_stain_node";
    const std::string log_path = logPath();
    // Built before fork: the child only calls what is safe after it.
    std::vector<char *> argv{const_cast<char *>(binary.c_str())};
    for (const std::string & argument : arguments) {
      argv.push_back(const_cast<char *>(argument.c_str()));
    }
    argv.push_back(nullptr);
    child_ = fork();
    ASSERT_GE(child_, 0);
    if (child_ == 0) {
      if (chdir(run_dir_.path().c_str()) != 0 || !freopen(log_path.c_str(), "w", stderr)) {
        _exit(120);
      }
      execv(binary.c_str(), argv.data());
      _exit(121);
    }
  }

  // The wait status once the process has ended within `limit`; nothing (and the process killed)
  // otherwise.
  std::optional<int> waitForExit(milliseconds limit)
  {
    int status = 0;
    if (test_support::waitFor([&]() {return waitpid(child_, &status, WNOHANG) == child_;}, limit)) {
      return status;
    }
    kill(child_, SIGKILL);
    waitpid(child_, &status, 0);
    return std::nullopt;
  }

  std::string standardError() const
  {
    std::ifstream log(logPath());
    return {std::istreambuf_iterator<char>(log), {}};
  }

  std::string logPath() const {return run_dir_ / "stderr.log";}

  TemporaryDirectory run_dir_;
  pid_t child_{-1};
};

}  // namespace

TEST_F(NodeProcess, RunsWithoutEngineAndExitsZeroOnSigint)
{
  // Never the installed engine nor the compiled-in VLM server, should the robot have both: the
  // process joins the robot's ROS graph.
  start({"--ros-args", "-p", "engine_path:=missing.engine", "-p",
      "server_url:=http://127.0.0.1:9"});
  const bool started = test_support::waitFor(
    [this]() {return std::filesystem::exists(run_dir_ / "images/internvl_fish");},
    milliseconds(10000));
  kill(child_, SIGINT);
  const std::optional<int> status = waitForExit(milliseconds(5000));
  EXPECT_TRUE(started);
  ASSERT_TRUE(status.has_value());
  ASSERT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);

  const std::string output = standardError();
  EXPECT_NE(output.find("[ERROR] ["), std::string::npos);
  EXPECT_NE(
    output.find("[WaterStainNode]: Failed to load engine file: missing.engine"),
    std::string::npos) << output;
  EXPECT_EQ(output.find("TensorRT error"), std::string::npos);
}

TEST_F(NodeProcess, InvalidStartValueExitsNonZeroBeforeCreatingTheArchive)
{
  start({"--ros-args", "-p", "score_threshold:=2.0"});
  const std::optional<int> status = waitForExit(milliseconds(10000));
  ASSERT_TRUE(status.has_value());
  ASSERT_TRUE(WIFEXITED(*status));
  EXPECT_NE(WEXITSTATUS(*status), 0);
  EXPECT_EQ(test_support::listDirectory(run_dir_.path()), std::vector<std::string>{"stderr.log"});
  const std::string output = standardError();
  EXPECT_NE(output.find("Invalid parameter score_threshold = "), std::string::npos) << output;
}

TEST_F(NodeProcess, StartValueOfAnotherTypeExitsNonZeroInsteadOfAborting)
{
  start({"--ros-args", "-p", "score_threshold:=1"});
  const std::optional<int> status = waitForExit(milliseconds(10000));
  ASSERT_TRUE(status.has_value());
  ASSERT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), EXIT_FAILURE);
  EXPECT_EQ(test_support::listDirectory(run_dir_.path()), std::vector<std::string>{"stderr.log"});
  EXPECT_NE(
    standardError().find("Invalid parameter score_threshold: accepted is a value of type double"),
    std::string::npos) << standardError();
}
