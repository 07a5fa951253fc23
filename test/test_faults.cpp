#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "cv_bridge/cv_bridge.h"
#include "fault_injection.hpp"
#include "log_capture.hpp"
#include "pipeline_fixture.hpp"
#include "test_scene.hpp"
#include "test_support.hpp"
#include "velmora_water_stain/image_layout.hpp"
#include "velmora_water_stain/vlm_client.hpp"
#include "vlm_stub_server.hpp"

using fault_injection::ScriptedHttpServer;
using test_support::LogCapture;

using namespace pipeline_fixture;
using namespace std::chrono_literals;

namespace
{

sensor_msgs::msg::Image colourImage(const cv::Scalar & colour, int32_t sec, cv::Size size)
{
  std_msgs::msg::Header header;
  header.stamp = test_scene::stamp(sec);
  header.frame_id = "camera";
  return *cv_bridge::CvImage(header, "bgr8", cv::Mat(size, CV_8UC3, colour)).toImageMsg();
}

sensor_msgs::msg::Image rawImage(
  uint32_t width, uint32_t height, const std::string & encoding, uint32_t step,
  std::size_t data_size)
{
  sensor_msgs::msg::Image image;
  image.width = width;
  image.height = height;
  image.encoding = encoding;
  image.step = step;
  image.data.assign(data_size, 0x80);
  return image;
}

std::size_t countAt(const LogCapture & log, int severity, const std::string & text)
{
  std::size_t matches = 0;
  for (const auto & line : log.lines()) {
    matches += line.severity == severity && line.text.find(text) != std::string::npos ? 1 : 0;
  }
  return matches;
}

std::vector<std::string> linesStartingWith(const LogCapture & log, const std::string & head)
{
  std::vector<std::string> texts;
  for (const auto & text : log.messages()) {
    if (text.rfind(head, 0) == 0) {
      texts.push_back(text);
    }
  }
  return texts;
}

// Starts a failing VLM server; returns what keeps it alive and the URL it serves.
using VlmServerStart = std::function<std::pair<std::shared_ptr<void>, std::string>()>;

struct VlmFault
{
  const char * name;
  VlmServerStart start;
  std::string log_line;
};

VlmServerStart scripted(int status, const std::string & body, const std::string & content_type)
{
  return [status, body, content_type]() {
           auto server = std::make_shared<ScriptedHttpServer>(status, body, content_type);
           return std::make_pair(std::shared_ptr<void>(server), server->url());
         };
}

struct ArchiveSabotage
{
  const char * name;
  std::function<void(const std::string & root)> apply;
  std::string reason;
};

// unconvertible: cv_bridge or OpenCV refused the frame; refused: the node's layout guard did.
enum class Outcome { judged, unconvertible, refused };

struct ImageFault
{
  const char * name;
  std::function<sensor_msgs::msg::Image()> make;
  Outcome outcome;
};

}  // namespace

class FaultTest : public PipelineTest
{
protected:
  void restartNode(const std::string & vlm_answer)
  {
    if (node_) {
      executor_.remove_node(node_);
      node_.reset();
    }
    startNode(vlm_answer);
  }


  // A frame published without touching tf: the node judges it with whatever pose it holds.
  void rearFrameWithoutPose(const cv::Scalar & colour, int32_t sec)
  {
    rear_images_->publish(colourImage(colour, sec, {640, 480}));
    executor_.spin_some();
  }

  // Publishes `count` status messages, the i-th being `status(i)`, without spinning.
  void floodStatus(
    int count, const std::function<velmora_protocol::msg::TaskCenterFsmStatus(int)> & status)
  {
    for (int i = 0; i < count; ++i) {
      status_->publish(status(i));
    }
  }

  std::size_t statusDropped() const
  {
    return node_->statusSubscription()->dropped_count();
  }
};

TEST_F(FaultTest, FailedVlmExchangesVoteMinusOneAndTheNodeGoesOn)
{
  startNode();
  calibrateAndWork();
  const std::string ten_megabytes =
    "{\"output\": \"yes" + std::string(10u << 20, ' ') + "\"}";
  ASSERT_GT(ten_megabytes.size(), velmora_water_stain::kVlmMaxReplyBytes);
  const std::vector<VlmFault> faults{
    {"refused connection",
      [] {return std::make_pair(std::shared_ptr<void>(), fault_injection::refusedLoopbackUrl());},
      "Request failed: Couldn't connect to server"},
    {"answer after the time limit",
      [] {
        vlm_stub::VlmStubOptions options;
        options.delay = 10s;  // cut short when the stand-in stops
        options.fixed_answer = "yes";
        auto server = std::make_shared<vlm_stub::VlmStubServer>(options);
        server->start(0);
        return std::make_pair(std::shared_ptr<void>(server), server->url());
      },
      "Request failed: Timeout was reached"},
    {"HTML error page", scripted(502, "<html><body>Bad Gateway</body></html>", "text/html"),
      "Failed to parse response JSON: "},
    {"plain text", scripted(200, "Yes, there is a stain.", "text/plain"),
      "Failed to parse response JSON: "},
    {"empty body", scripted(200, "", "application/json"), "Failed to parse response JSON: "},
    {"JSON array", scripted(200, "[\"output\", \"yes\"]", "application/json"),
      "Failed to parse response JSON: top level is not an object"},
    {"10 MB reply", scripted(200, ten_megabytes, "application/json"),
      "Request failed: Failed writing received data to disk/application"},
  };
  int32_t sec = 0;
  for (const auto & fault : faults) {
    SCOPED_TRACE(fault.name);
    auto [server, url] = fault.start();
    node_->pointVlmAt(url);
    LogCapture log;
    const double x = 10.0 * ++sec;
    rearFrame(kUnsure, sec, x);
    EXPECT_EQ(node_->history(Camera::rear).back(), -1);
    EXPECT_EQ(filedAs(sec), (std::vector<std::string>{"internvl", "clean"}));
    EXPECT_EQ(countAt(log, RCUTILS_LOG_SEVERITY_INFO, fault.log_line), 1u);
    EXPECT_TRUE(log.contains("result: -1, internvl takes: "));

    rearFrame(kDirty, ++sec, x + 5.0);
    EXPECT_EQ(node_->history(Camera::rear).back(), 1);
    EXPECT_EQ(filedAs(sec), std::vector<std::string>{"dirty"});
  }
}

TEST_F(FaultTest, LostArchiveRootWarnsAtMostOncePerSecondPerCategoryWhileJudgingGoesOn)
{
  const std::vector<ArchiveSabotage> sabotages{
    {"removed", [](const std::string & root) {std::filesystem::remove_all(root);},
      "No such file or directory"},
    {"replaced by a file",
      [](const std::string & root) {
        std::filesystem::remove_all(root);
        std::ofstream(root) << "not a directory";
      },
      "Not a directory"},
  };
  for (const auto & sabotage : sabotages) {
    SCOPED_TRACE(sabotage.name);
    // A node of its own, so no warning of the previous case holds this one's back.
    restartNode("No, the floor looks clean.");
    calibrateAndWork();
    sabotage.apply(archive_.path());
    LogCapture log;
    const auto started = std::chrono::steady_clock::now();
    int32_t sec = 0;
    for (const auto & colour : {kDirty, kDirty, kDirty, kUnsure, kUnsure}) {
      rearFrame(colour, ++sec, 0.0);
    }
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(node_->history(Camera::rear), history({1, 0, 0}));
    EXPECT_EQ(log.count("dirty iou: 1.000000 , all ones, "), 2u);
    EXPECT_EQ(log.count("result: 0, internvl takes: "), 2u);
    const auto allowed = static_cast<std::size_t>(
      std::chrono::duration_cast<std::chrono::seconds>(elapsed).count()) + 1;
    for (const std::string category : {"dirty", "internvl", "clean"}) {
      const std::size_t warnings = countAt(
        log, RCUTILS_LOG_SEVERITY_WARN, "Failed to archive " + archive_.path() + "/" + category);
      EXPECT_GE(warnings, 1u) << category;
      EXPECT_LE(warnings, allowed) << category;
    }
    EXPECT_EQ(log.count(sabotage.reason), log.count("Failed to archive "));

    std::filesystem::remove_all(archive_.path());
    node_->createImageDirs();
    rearFrame(kDirty, ++sec, 5.0);
    EXPECT_EQ(filedAs(sec), std::vector<std::string>{"dirty"});
  }
}

TEST_F(FaultTest, UnwritableArchiveRootWarnsAtMostOncePerSecondAndSaveGoesOn)
{
  const std::string blocker = archive_ / "not_a_directory";
  std::ofstream(blocker) << "x";
  auto node = std::make_shared<PipelineNode>(
    rclcpp::NodeOptions().parameter_overrides({
        {"image_dir", blocker + "/images"}, {"engine_path", archive_ / "missing.engine"}}));
  LogCapture log;
  const cv::Mat patch(20, 20, CV_8UC3, cv::Scalar::all(7));
  EXPECT_NO_THROW(node->saveImage(patch, "dirty", "1.1.jpg"));
  EXPECT_NO_THROW(node->saveImage(patch, "dirty", "1.2.jpg"));
  EXPECT_NO_THROW(node->saveImage(cv::Mat(), "stubborn", "1.3.jpg"));
  EXPECT_EQ(log.count("Failed to archive"), 2u);
  EXPECT_TRUE(log.containsAt(RCUTILS_LOG_SEVERITY_WARN, "dirty/1.1.jpg"));
}

TEST_F(FaultTest, FullDiskLeavesNeitherTruncatedFilesNorTemporaries)
{
  startNode("No, the floor looks clean.");
  calibrateAndWork();
  rearFrame(kDirty, 1, 0.0);
  const auto jpeg_size = std::filesystem::file_size(archive_ / "dirty/1.0.jpg");
  LogCapture log;
  {
    // Half a patch fits, so every write fails part way through.
    fault_injection::FileSizeLimit full_disk(jpeg_size / 2);
    rearFrame(kDirty, 2, 10.0);
    rearFrame(kUnsure, 3, 20.0);
  }
  EXPECT_EQ(node_->history(Camera::rear), history({1, 1, 0}));
  EXPECT_TRUE(filedAs(2).empty());
  EXPECT_TRUE(filedAs(3).empty());
  EXPECT_EQ(countAt(log, RCUTILS_LOG_SEVERITY_WARN, "File too large"), 3u);
  EXPECT_TRUE(fault_injection::damagedArchiveFiles(archive_.path()).empty());
  EXPECT_EQ(fault_injection::archivedFileCount(archive_.path()), 1u);

  rearFrame(kDirty, 4, 30.0);
  EXPECT_EQ(filedAs(4), std::vector<std::string>{"dirty"});
  EXPECT_TRUE(fault_injection::damagedArchiveFiles(archive_.path()).empty());
}

TEST_F(FaultTest, StaleAndOutOfOrderPosesKeepTheNewestPoseInUse)
{
  startNode();
  calibrateAndWork();
  LogCapture log;
  poseAt(10, 0.0);
  rearFrameWithoutPose(kDirty, 10);
  rearFrameWithoutPose(kDirty, 11);
  rearFrameWithoutPose(kDirty, 70);  // a minute without a pose
  EXPECT_EQ(verdicts(10, 11), (std::vector<std::string>{"dirty", "dirty"}));
  EXPECT_EQ(filedAs(70), std::vector<std::string>{"dirty"});
  EXPECT_EQ(node_->lastRegion(Camera::rear).front().header.stamp.sec, 10);

  poseAt(5, 4.0);  // older than the newest, inside the buffer's cache
  rearFrameWithoutPose(kDirty, 71);
  EXPECT_EQ(node_->lastRegion(Camera::rear).front().header.stamp.sec, 10);
  EXPECT_EQ(filedAs(71), std::vector<std::string>{"dirty"});

  poseAt(100, 1.0);
  poseAt(50, 9.0);  // a localisation restart: older than the cache holds
  EXPECT_TRUE(log.containsAt(RCUTILS_LOG_SEVERITY_WARN, "TF_OLD_DATA"));
  rearFrameWithoutPose(kStubborn, 101);
  EXPECT_EQ(node_->lastRegion(Camera::rear).front().header.stamp.sec, 100);
  EXPECT_EQ(filedAs(101), std::vector<std::string>{"stubborn"});
  EXPECT_EQ(node_->history(Camera::rear), history({1, 1, 2}));
  EXPECT_FALSE(log.contains("Could not transform"));
  EXPECT_FALSE(log.contains("Dropped a rear frame"));
}

TEST_F(FaultTest, MalformedImagesAreJudgedOrDroppedWithoutTouchingState)
{
  constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();
  const std::vector<ImageFault> faults{
    {"zero size", [] {return rawImage(0, 0, "bgr8", 0, 0);}, Outcome::refused},
    {"zero width", [] {return rawImage(0, 480, "bgr8", 0, 0);}, Outcome::refused},
    {"1x1", [] {return colourImage(kDirty, 0, {1, 1});}, Outcome::judged},
    {"3x2", [] {return colourImage(kDirty, 0, {3, 2});}, Outcome::judged},
    {"641x479", [] {return colourImage(kDirty, 0, {641, 479});}, Outcome::judged},
    {"8000x6000 mono8", [] {return rawImage(8000, 6000, "mono8", 8000, 8000u * 6000u);},
      Outcome::judged},
    {"padded rows", [] {return rawImage(640, 480, "bgr8", 640 * 3 + 7, (640 * 3 + 7) * 480);},
      Outcome::judged},
    {"mono16 big-endian",
      [] {
        auto image = rawImage(640, 480, "mono16", 1280, 1280 * 480);
        image.is_bigendian = 1;
        return image;
      }, Outcome::unconvertible},
    {"bgr16 big-endian, six channels out of cv_bridge",
      [] {
        auto image = rawImage(640, 480, "bgr16", 3840, 3840 * 480);
        image.is_bigendian = 1;
        return image;
      }, Outcome::unconvertible},
    {"rgba8", [] {return rawImage(640, 480, "rgba8", 2560, 2560 * 480);}, Outcome::judged},
    {"bayer_rggb8", [] {return rawImage(640, 480, "bayer_rggb8", 640, 640 * 480);},
      Outcome::judged},
    {"step below width", [] {return rawImage(640, 480, "bgr8", 640, 640 * 480 * 3);},
      Outcome::refused},
    {"data shorter than step x height",
      [] {return rawImage(640, 480, "bgr8", 1920, 1920 * 479);}, Outcome::refused},
    {"width beyond int", [] {return rawImage(kMax, 1, "bgr8", kMax, 0);}, Outcome::refused},
    {"height overflowing step x height", [] {return rawImage(640, kMax, "bgr8", 1920, 1920);},
      Outcome::refused},
    // The next three pass cv_bridge's 32-bit size check: step x height wraps to the data size.
    {"step x height wrapping to no data",
      [] {return rawImage(21845, 65536, "bgr8", 65536, 0);}, Outcome::refused},
    {"height 0x80000001", [] {return rawImage(2, 0x80000001u, "mono8", 2, 2);},
      Outcome::refused},
    {"rows reaching 4 GiB past 64 KiB of data",
      [] {return rawImage(1, 65537, "mono8", 65536, 65536);}, Outcome::refused},
    {"odd width yuv422", [] {return rawImage(641, 480, "yuv422", 1282, 1282 * 480);},
      Outcome::refused},
    {"unknown 32FC7", [] {return rawImage(640, 480, "32FC7", 640 * 28, 640 * 28 * 480);},
      Outcome::refused},
    {"empty encoding", [] {return rawImage(640, 480, "", 1920, 1920 * 480);},
      Outcome::refused},
    {"upper-case BGR8", [] {return rawImage(640, 480, "BGR8", 1920, 1920 * 480);},
      Outcome::refused},
  };
  startNode();
  calibrateAndWork();
  struct CameraFeed
  {
    const char * name;
    rclcpp::Publisher<sensor_msgs::msg::Image>::SharedPtr images;
    const std::deque<int32_t> & history;
    const std::vector<geometry_msgs::msg::PointStamped> & last_region;
  };
  const std::vector<CameraFeed> cameras{
    {"rear", rear_images_, node_->history(Camera::rear), node_->lastRegion(Camera::rear)},
    {"fisheye", fisheye_images_, node_->history(Camera::fisheye), node_->lastRegion(Camera::fisheye)},
  };
  int32_t sec = 0;
  for (const auto & camera : cameras) {
    for (const auto & fault : faults) {
      SCOPED_TRACE(std::string(camera.name) + ", " + fault.name);
      const auto history_before = camera.history;
      const auto region_before = camera.last_region;
      auto message = std::make_unique<sensor_msgs::msg::Image>(fault.make());
      message->header.stamp = test_scene::stamp(++sec);
      const auto layout = velmora_water_stain::checkImageLayout(
        {message->encoding, message->width, message->height, message->step,
          message->data.size()});
      EXPECT_EQ(!layout, fault.outcome == Outcome::refused);
      poseAt(sec, sec);
      LogCapture log;
      camera.images->publish(std::move(message));
      executor_.spin_some();
      const bool judged =
        !camera.last_region.empty() && camera.last_region.front().header.stamp.sec == sec;
      EXPECT_EQ(judged, fault.outcome == Outcome::judged);
      if (fault.outcome == Outcome::judged) {
        EXPECT_EQ(countAt(log, RCUTILS_LOG_SEVERITY_ERROR, ""), 0u);
      }
      if (fault.outcome == Outcome::unconvertible) {
        EXPECT_EQ(countAt(log, RCUTILS_LOG_SEVERITY_ERROR, "cv_bridge exception: "), 1u);
      }
      if (fault.outcome == Outcome::refused && !layout) {
        // The guard's own words: cv_bridge never saw the frame.
        EXPECT_EQ(
          countAt(log, RCUTILS_LOG_SEVERITY_ERROR, "cv_bridge exception: " + layout.error()), 1u);
      }
      if (!judged) {
        EXPECT_EQ(camera.history, history_before);
        EXPECT_EQ(camera.last_region, region_before);
      }
    }
  }
  rearFrame(kDirty, ++sec, 1000.0);
  EXPECT_EQ(filedAs(sec), std::vector<std::string>{"dirty"});
  fisheyeFrame(kStubborn, ++sec, 2000.0);
  EXPECT_EQ(filedAs(sec, "_fish"), std::vector<std::string>{"stubborn_fish"});
}

TEST_F(FaultTest, StatusFloodHandlesOnlyTheNewestTenAndTheFlagFollowsTheLast)
{
  constexpr int kFlood = 10000;
  startNode();
  calibrateAndWork();
  setWorking(false);
  const auto status = [](int32_t state, int32_t sub_state) {
      velmora_protocol::msg::TaskCenterFsmStatus message;
      message.state = state;
      message.sub_state = sub_state;
      return message;
    };
  LogCapture log;
  const std::size_t dropped_before = statusDropped();
  floodStatus(kFlood, [&](int i) {return i + 1 == kFlood ? status(2, 4) : status(i, 0);});
  EXPECT_EQ(statusDropped() - dropped_before, static_cast<std::size_t>(kFlood - 10));
  EXPECT_FALSE(node_->working());
  executor_.spin_some();
  std::vector<std::string> expected;
  for (int i = kFlood - 10; i + 1 < kFlood; ++i) {
    expected.push_back("status: " + std::to_string(i) + ", 0");
  }
  expected.push_back("status: 2, 4");
  EXPECT_EQ(linesStartingWith(log, "status: "), expected);
  EXPECT_TRUE(node_->working());

  log.clear();
  floodStatus(kFlood, [&](int i) {return i + 1 == kFlood ? status(2, 1) : status(2, 4);});
  executor_.spin_some();
  EXPECT_EQ(statusDropped() - dropped_before, static_cast<std::size_t>(2 * (kFlood - 10)));
  EXPECT_EQ(linesStartingWith(log, "status: ").size(), 10u);
  EXPECT_FALSE(node_->working());
  rearFrame(kDirty, 1, 0.0);
  EXPECT_TRUE(log.contains("working status wrong or no intrinsic"));
  EXPECT_TRUE(filedAs(1).empty());

  setWorking(true);
  rearFrame(kDirty, 2, 0.0);
  EXPECT_EQ(filedAs(2), std::vector<std::string>{"dirty"});
}

namespace
{

// The process's own life: ROS up, an unsure fisheye frame sent to a model that holds its answer
// back, SIGTERM while the node waits for it, then the same shutdown as water_stain_main.
// Returns whether the request had reached the model when the signal came.
bool judgeUnsureFrameUntilSigterm()
{
  rclcpp::init(0, nullptr);
  test_support::TemporaryDirectory archive;
  vlm_stub::VlmStubOptions options;
  options.delay = 10s;
  options.fixed_answer = "yes";
  vlm_stub::VlmStubServer vlm(options);
  if (!vlm.start(0)) {
    return false;
  }
  // Intra-process, so the one image published before spinning is not lost to DDS discovery.
  auto node = std::make_shared<PipelineNode>(
    rclcpp::NodeOptions().use_intra_process_comms(true).parameter_overrides({
        {"image_dir", archive.path()},
        {"engine_path", std::string(VELMORA_SOURCE_DIR) + "/test/models/floor_colour.onnx"},
        {"server_url", vlm.url()}}));
  node->placeRobot(test_scene::robotPose(0.0, 0.0, 0.0, test_scene::stamp(1)));
  auto driver = std::make_shared<rclcpp::Node>(
    "fisheye_driver", rclcpp::NodeOptions().use_intra_process_comms(true));
  auto images = driver->create_publisher<sensor_msgs::msg::Image>("/usb_cam_rear/image_raw", 10);
  images->publish(colourImage(kUnsure, 1, {800, 600}));

  std::atomic<bool> asked{false};
  std::thread terminator([&vlm, &asked] {
      asked = test_support::waitFor([&vlm] {return vlm.requestCount() > 0;}, 10000ms);
      raise(SIGTERM);
    });
  rclcpp::spin(node);
  terminator.join();
  rclcpp::shutdown();
  node.reset();
  vlm.stop();
  return asked;
}

}  // namespace

TEST(FaultDeathTest, SigtermDuringAVlmRequestEndsTheProcessCleanly)
{
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EXIT(
  {
    alarm(30);  // a hang ends the child rather than the suite
    const bool asked = judgeUnsureFrameUntilSigterm();
    alarm(0);
    std::exit(asked ? 0 : 1);
  }, testing::ExitedWithCode(0), "fish internvl result: -1, internvl takes: ");
  // Only a guard against a hang: the child may wait out the model's time limit once, plus its
  // own start-up, but not the 10 s the model holds its answer back.
  EXPECT_LT(
    std::chrono::steady_clock::now() - started,
    std::chrono::milliseconds(velmora_water_stain::kVlmTimeoutMs) + 4s);
}
