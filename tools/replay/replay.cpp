#include "replay/replay.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <deque>
#include <exception>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include "bag/msg_definition.hpp"
#include "bag/ros_messages.hpp"
#include "rclcpp/rclcpp.hpp"
#include "replay/replay_node.hpp"
#include "replay/replay_report.hpp"
#include "sim/ground_truth.hpp"
#include "sim/node_log.hpp"
#include "sim/simulator.hpp"
#include "vlm_stub_server.hpp"
#include "tf2/buffer_core.h"
#include "velmora_protocol/msg/task_center_fsm_status.hpp"

namespace velmora_replay
{

namespace
{

namespace fs = std::filesystem;
using velmora_sim::CameraId;

constexpr char kStatusTopic[] = "/fsm_status";
constexpr std::chrono::minutes kSettleBound{10};
constexpr std::chrono::milliseconds kTfWait{2000};
constexpr std::chrono::seconds kDrainBound{30};
constexpr int64_t kProgressEveryNs = 100000000;

std::string remapped(const std::string & topic, const ReplayOptions & options)
{
  for (const auto & [from, to] : options.remaps) {
    if (from == topic) {
      return to;
    }
  }
  return topic;
}

void expectType(const TopicPlan & plan, const std::vector<std::string> & types)
{
  if (std::find(types.begin(), types.end(), plan.type) == types.end()) {
    throw ReplayError(
            "bag topic " + plan.bag_topic + " (fed to " + plan.node_topic + ") has type " +
            plan.type + ", expected " + types.front());
  }
}

void assignRole(TopicPlan & plan)
{
  for (CameraId camera : velmora_sim::kAllCameras) {
    const velmora_sim::CameraDesign & design = velmora_sim::cameraDesign(camera);
    if (plan.node_topic == design.image_topic) {
      expectType(plan, {"sensor_msgs/msg/Image", "sensor_msgs/msg/CompressedImage"});
      plan.role = plan.type == "sensor_msgs/msg/Image" ? TopicRole::image :
        TopicRole::compressed_image;
      plan.camera = camera;
      return;
    }
    if (!design.info_topic.empty() && plan.node_topic == design.info_topic) {
      expectType(plan, {"sensor_msgs/msg/CameraInfo"});
      plan.role = TopicRole::camera_info;
      plan.camera = camera;
      return;
    }
  }
  if (plan.node_topic == "/tf" || plan.node_topic == "/tf_static") {
    expectType(plan, {"tf2_msgs/msg/TFMessage"});
    plan.role = plan.node_topic == "/tf" ? TopicRole::tf : TopicRole::tf_static;
  } else if (plan.node_topic == kStatusTopic) {
    plan.role = TopicRole::status;
  }
}

// Robots record compressed images as "<image topic>/compressed": without a raw topic of that
// camera in the bag, its compressed topic feeds the camera.
void adoptCompressedTopics(std::vector<TopicPlan> & plans)
{
  for (CameraId camera : velmora_sim::kAllCameras) {
    const std::string & image_topic = velmora_sim::cameraDesign(camera).image_topic;
    const bool has_raw = std::any_of(
      plans.begin(), plans.end(), [&](const TopicPlan & plan) {
        return plan.role == TopicRole::image || plan.role == TopicRole::compressed_image ?
               plan.camera == camera : false;
      });
    for (TopicPlan & plan : plans) {
      if (!has_raw && plan.role == TopicRole::ignored &&
        plan.node_topic == image_topic + "/compressed" &&
        plan.type == "sensor_msgs/msg/CompressedImage")
      {
        plan.node_topic = image_topic;
        plan.role = TopicRole::compressed_image;
        plan.camera = camera;
      }
    }
  }
}

std::string readFile(const std::string & path)
{
  std::ifstream in(path);
  if (!in) {
    throw ReplayError(path + ": cannot be read");
  }
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Bag times are whatever the recorder wrote, up to the ends of int64: sums and differences of
// them saturate instead of overflowing.
int64_t saturatingAdd(int64_t a, int64_t b)
{
  int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) {
    return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  }
  return sum;
}

int64_t saturatingSub(int64_t a, int64_t b)
{
  int64_t difference = 0;
  if (__builtin_sub_overflow(a, b, &difference)) {
    return b < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  }
  return difference;
}

double secondsBetween(int64_t from_ns, int64_t to_ns)
{
  return static_cast<double>(saturatingSub(to_ns, from_ns)) * 1e-9;
}

int64_t nanosecondsOf(const builtin_interfaces::msg::Time & stamp)
{
  return static_cast<int64_t>(stamp.sec) * 1000000000LL + stamp.nanosec;
}

velmora_sim::Pose2D planarPose(const geometry_msgs::msg::TransformStamped & transform)
{
  const auto & q = transform.transform.rotation;
  const double yaw = std::atan2(2.0 * (q.w * q.z + q.x * q.y), 1.0 - 2.0 * (q.y * q.y + q.z * q.z));
  return {transform.transform.translation.x, transform.transform.translation.y, yaw};
}

class Replay : public velmora_sim::FrameObserver
{
public:
  Replay(const ReplayOptions & options, const std::function<void(const ReplayProgress &)> & progress)
  : options_(options), progress_(progress), mirror_(tf2::Duration(std::chrono::seconds(10)))
  {
    if (!options.labels_file.empty()) {
      try {
        labels_ = readLabels(options.labels_file);
      } catch (const std::invalid_argument & error) {
        throw ReplayError(error.what());
      }
    }
    loadTruth();
  }

  ReplayOutcome run()
  {
    bag_ = velmora_bag::openBag(options_.bag);
    outcome_.storage = bag_->storage();
    outcome_.topics = planTopics(bag_->topics(), options_);
    prepareStatusDecoder();

    const fs::path out_dir(options_.out_dir);
    fs::create_directories(out_dir);
    const fs::path image_dir = out_dir / "images";
    removeStaleArchive(image_dir);
    outcome_.log_path = (out_dir / "node.log").string();
    const std::string vlm_url = startVlm();
    const auto wall_start = std::chrono::steady_clock::now();
    {
      velmora_sim::NodeLogCapture log(outcome_.log_path);
      log_ = &log;
      const bool own_context = !rclcpp::ok();
      if (own_context) {
        rclcpp::init(0, nullptr);
      }
      startNodes(vlm_url, image_dir.string());
      options_.realtime ? driveInRealTime() : driveAsFastAsJudged();
      info_.interrupted = !rclcpp::ok();
      for (CameraId camera : options_.cameras) {
        outcome_.dropped[camera] = node_->droppedCount(camera);
      }
      stopNodes();
      if (own_context) {
        rclcpp::shutdown();
      }
      info_.log_lines = log.lineCount();
      info_.log_warnings = log.warningCount();
      log_ = nullptr;
    }
    info_.wall_time_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    info_.vlm_url = vlm_url;
    info_.vlm_stub_requests = vlm_ ? vlm_->requestCount() : 0;
    if (vlm_) {
      vlm_->stop();
    }
    for (const velmora_bag::BagProblem & problem : bag_->problems()) {
      outcome_.skipped.push_back({problem.topic, problem.location, problem.reason});
    }
    finishFrames(image_dir.string());
    outcome_.report = buildReport(outcome_, info_, options_, image_dir.string());
    explainUnjudgedFrames();
    outcome_.report_path = (out_dir / "report.json").string();
    writeReplayJson(outcome_.report_path, outcome_, options_);
    outcome_.map_path = (out_dir / "map.png").string();
    writeReplayMap(outcome_.map_path, outcome_, path_);
    return std::move(outcome_);
  }

  void frameStarted(CameraId camera, const builtin_interfaces::msg::Time & stamp) override
  {
    velmora_sim::FrameRecord * frame = claimFrame(camera, stamp);
    if (log_ != nullptr) {
      log_->beginFrame(frame == nullptr ? &stray_facts_ : &frame->log);
    }
    current_[static_cast<int>(camera)] = frame;
  }

  void frameFinished(
    CameraId camera, const builtin_interfaces::msg::Time &,
    velmora_sim::CallbackTime took) override
  {
    if (log_ != nullptr) {
      log_->endFrame();
    }
    velmora_sim::FrameRecord * frame = current_[static_cast<int>(camera)];
    if (frame != nullptr) {
      frame->received = true;
      frame->callback_ms = took.wall_ms;
      frame->callback_cpu_ms = took.cpu_ms;
    }
    ++frames_handled_;
  }

private:
  void loadTruth()
  {
    std::string path = options_.truth_file;
    if (!path.empty() && !options_.labels_file.empty()) {
      throw ReplayError("score with --labels or with --truth, not both");
    }
    if (path.empty() && options_.labels_file.empty()) {
      const std::string beside = velmora_sim::truthSidecarPath(options_.bag);
      std::error_code ignored;
      path = fs::is_regular_file(beside, ignored) ? beside : std::string();
    }
    if (path.empty()) {
      return;
    }
    try {
      truth_ = velmora_sim::readTruthSidecar(path);
    } catch (const velmora_sim::TruthError & error) {
      throw ReplayError(error.what());
    }
    outcome_.truth_path = path;
    outcome_.truth_stains = truth_->stains;
  }

  // The recording's truth of this frame, and its time in the run, so that it is scored as the
  // run scored it.
  void attachTruth(ReplayFrame & frame) const
  {
    if (!truth_) {
      return;
    }
    const auto found = truth_->frames.find(
      {frame.record.camera,
        velmora_sim::stampNanoseconds(frame.record.stamp_sec, frame.record.stamp_nanosec)});
    if (found == truth_->frames.end()) {
      return;
    }
    frame.record.truth = found->second.truth;
    frame.record.sim_time = found->second.time_s;
    frame.has_truth = true;
  }

  void prepareStatusDecoder()
  {
    const auto status = std::find_if(
      outcome_.topics.begin(), outcome_.topics.end(),
      [](const TopicPlan & plan) {return plan.role == TopicRole::status;});
    if (options_.always_working || status == outcome_.topics.end()) {
      return;
    }
    const velmora_bag::TopicInfo & topic = bag_->topics()[static_cast<std::size_t>(
        status - outcome_.topics.begin())];
    std::string definition = topic.definition;
    if (definition.empty() && !options_.status_definition_file.empty()) {
      definition = readFile(options_.status_definition_file);
    }
    if (definition.empty() && truth_ && truth_->message_definitions.count(topic.type) != 0) {
      definition = truth_->message_definitions.at(topic.type);
    }
    if (definition.empty()) {
      throw ReplayError(
              "the bag carries no definition of " + topic.type + " (topic " + topic.name +
              "): give its .msg file with --status-msg FILE, or --always-working");
    }
    try {
      status_decoder_.emplace(velmora_bag::MessageDefinitions(topic.type, definition));
    } catch (const velmora_bag::DefinitionError & error) {
      throw ReplayError(std::string("status definition unusable: ") + error.what());
    }
  }

  std::string startVlm()
  {
    info_.vlm_stub = options_.vlm_url.empty();
    if (!info_.vlm_stub) {
      if (!velmora_sim::isLoopbackUrl(options_.vlm_url)) {
        throw ReplayError("the VLM server must be on this machine's loopback: " + options_.vlm_url);
      }
      return options_.vlm_url;
    }
    vlm_ = std::make_unique<vlm_stub::VlmStubServer>();
    if (!vlm_->start(0)) {
      throw ReplayError("the stand-in VLM server could not bind 127.0.0.1");
    }
    return vlm_->url();
  }

  // Verdicts are read back from the archive, so an earlier run's files must not be mistaken
  // for this run's; only the node's own stamp-named files are removed.
  static void removeStaleArchive(const fs::path & image_dir)
  {
    static const std::regex stamp_name(R"(-?\d+\.\d+\.jpg)");
    for (const auto & [category, count] : velmora_sim::countArchive(image_dir.string())) {
      if (count > 0) {
        for (const auto & entry : fs::directory_iterator(image_dir / category)) {
          if (std::regex_match(entry.path().filename().string(), stamp_name)) {
            fs::remove(entry.path());
          }
        }
      }
    }
  }

  void startNodes(const std::string & vlm_url, const std::string & image_dir)
  {
    robot_ = std::make_shared<rclcpp::Node>("recorded_robot");
    const rclcpp::QoS qos(10);
    for (const TopicPlan & plan : outcome_.topics) {
      switch (plan.role) {
        case TopicRole::image:
        case TopicRole::compressed_image:
          image_pubs_[plan.camera] =
            robot_->create_publisher<sensor_msgs::msg::Image>(plan.node_topic, qos);
          break;
        case TopicRole::camera_info:
          info_pubs_[plan.camera] =
            robot_->create_publisher<sensor_msgs::msg::CameraInfo>(plan.node_topic, qos);
          break;
        default:
          break;
      }
    }
    tf_pub_ = robot_->create_publisher<tf2_msgs::msg::TFMessage>("/tf", rclcpp::QoS(100));
    tf_static_pub_ = robot_->create_publisher<tf2_msgs::msg::TFMessage>(
      "/tf_static", rclcpp::QoS(100).transient_local());
    status_pub_ =
      robot_->create_publisher<velmora_protocol::msg::TaskCenterFsmStatus>(kStatusTopic, qos);

    rclcpp::NodeOptions node_options;
    std::vector<rclcpp::Parameter> parameters{
      rclcpp::Parameter("server_url", vlm_url),
      rclcpp::Parameter("engine_path", options_.engine_path),
      rclcpp::Parameter("image_dir", image_dir),
      // Every verdict is archived, so that each judged frame's verdict can be read back.
      rclcpp::Parameter("clean_save_interval_s", static_cast<int64_t>(0))};
    for (const rclcpp::Parameter & parameter : options_.parameters) {
      if (parameter.get_name() == "server_url") {
        throw ReplayError("set the VLM with --vlm-url (loopback only), not -p server_url");
      }
      if (parameter.get_name() == "image_dir") {
        throw ReplayError("the archive goes under --out DIR, not -p image_dir");
      }
      parameters.push_back(parameter);
    }
    node_options.parameter_overrides(parameters);
    node_ = std::make_unique<ReplayNode>(node_options, *this);
    executor_ = std::make_unique<rclcpp::executors::SingleThreadedExecutor>();
    executor_->add_node(node_->node());
    if (options_.always_working) {
      velmora_protocol::msg::TaskCenterFsmStatus working;
      working.state = 2;
      working.sub_state = 3;
      working.sub_state_name = "working (--always-working)";
      status_pub_->publish(working);
    }
  }

  void stopNodes()
  {
    executor_->remove_node(node_->node());
    executor_.reset();
    node_.reset();
    image_pubs_.clear();
    info_pubs_.clear();
    tf_pub_.reset();
    tf_static_pub_.reset();
    status_pub_.reset();
    robot_.reset();
  }

  // Each message is handled before the next goes out: a replay repeats exactly.
  void driveAsFastAsJudged()
  {
    executor_->spin_all(kSettleBound);
    velmora_bag::BagMessage message;
    while (rclcpp::ok() && bag_->next(message)) {
      if (!deliver(message)) {
        break;
      }
      executor_->spin_all(kSettleBound);
    }
    reportProgress();
  }

  // The node spins on its own thread while messages go out at their bag times; images the node
  // cannot keep up with are dropped by its queues and counted.
  void driveInRealTime()
  {
    std::exception_ptr failure;
    std::thread spinner([this, &failure]() {
        try {
          executor_->spin();
        } catch (...) {
          failure = std::current_exception();
        }
      });
    try {
      sendAtBagTimes();
    } catch (...) {
      // The spinner must be joined before the thread object goes, or the process terminates.
      executor_->cancel();
      spinner.join();
      throw;
    }
    executor_->cancel();
    spinner.join();
    if (failure) {
      std::rethrow_exception(failure);
    }
    reportProgress();
  }

  void sendAtBagTimes()
  {
    const auto wall_start = std::chrono::steady_clock::now();
    velmora_bag::BagMessage message;
    while (rclcpp::ok() && bag_->next(message)) {
      if (window_start_ns_ && message.log_time_ns > *window_start_ns_) {
        const int64_t into_window = saturatingSub(message.log_time_ns, *window_start_ns_);
        sleepUntilOrInterrupted(wall_start + std::chrono::nanoseconds(into_window));
      }
      if (!rclcpp::ok() || !deliver(message)) {
        break;
      }
    }
    const auto limit = std::chrono::steady_clock::now() + kDrainBound;
    while (rclcpp::ok() && framesOutstanding() && std::chrono::steady_clock::now() < limit) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  // A gap in the bag's times may be years long (a message stamped before the clock was set): the
  // wait must still end on Ctrl-C.
  static void sleepUntilOrInterrupted(std::chrono::steady_clock::time_point until)
  {
    constexpr auto kSlice = std::chrono::milliseconds(100);
    while (rclcpp::ok()) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= until) {
        return;
      }
      std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(until - now, kSlice));
    }
  }

  bool framesOutstanding() const
  {
    std::size_t dropped = 0;
    for (CameraId camera : options_.cameras) {
      dropped += node_->droppedCount(camera);
    }
    return frames_handled_.load() + dropped < frames_delivered_;
  }

  // False once the window has passed.
  bool deliver(const velmora_bag::BagMessage & message)
  {
    if (!window_start_ns_) {
      window_start_ns_ = saturatingAdd(
        message.log_time_ns, static_cast<int64_t>(std::llround(options_.start_s * 1e9)));
      if (options_.duration_s) {
        window_end_ns_ = saturatingAdd(
          *window_start_ns_, static_cast<int64_t>(std::llround(*options_.duration_s * 1e9)));
      }
    }
    if (window_end_ns_ && message.log_time_ns > *window_end_ns_) {
      return false;
    }
    last_time_ns_ = message.log_time_ns;
    if (message.topic >= outcome_.topics.size()) {
      // A channel the MCAP summary did not list: planned before reading, so not fed.
      outcome_.skipped.push_back(
        {bag_->topics()[message.topic].name, message.location,
          "topic missing from the bag's summary; not delivered"});
      return true;
    }
    TopicPlan & plan = outcome_.topics[message.topic];
    try {
      if (handle(plan, message)) {
        ++plan.delivered;
      } else {
        ++plan.skipped;
      }
    } catch (const velmora_bag::MessageError & error) {
      ++plan.skipped;
      outcome_.skipped.push_back({plan.bag_topic, message.location, error.what()});
    }
    if (saturatingSub(message.log_time_ns, last_progress_ns_) >= kProgressEveryNs) {
      last_progress_ns_ = message.log_time_ns;
      reportProgress();
    }
    return true;
  }

  bool inWindow(int64_t time_ns) const
  {
    return time_ns >= *window_start_ns_;
  }

  // False for a message deliberately not given to the node.
  bool handle(TopicPlan & plan, const velmora_bag::BagMessage & message)
  {
    switch (plan.role) {
      case TopicRole::ignored:
        return false;
      case TopicRole::tf:
      case TopicRole::tf_static:
        publishTf(velmora_bag::decodeTfMessage(message.data), plan.role == TopicRole::tf_static);
        return true;
      case TopicRole::camera_info:
        if (!selected(plan.camera)) {
          return false;
        }
        info_pubs_.at(plan.camera)->publish(velmora_bag::decodeCameraInfo(message.data));
        return true;
      case TopicRole::status:
        if (options_.always_working || !status_decoder_) {
          return false;
        }
        status_pub_->publish(status_decoder_->decode(message.data));
        return true;
      case TopicRole::image:
      case TopicRole::compressed_image:
        if (!selected(plan.camera) || !inWindow(message.log_time_ns)) {
          return false;
        }
        publishImage(plan, message);
        return true;
    }
    return false;
  }

  bool selected(CameraId camera) const
  {
    return std::find(options_.cameras.begin(), options_.cameras.end(), camera) !=
           options_.cameras.end();
  }

  void publishTf(const tf2_msgs::msg::TFMessage & message, bool is_static)
  {
    std::vector<const geometry_msgs::msg::TransformStamped *> accepted;
    for (const auto & transform : message.transforms) {
      // The mirror buffer holds what the node's buffer will: transforms it refuses (repeated
      // stamps, NaN, older than the cache) are not waited for.
      if (mirror_.setTransform(transform, "bag", is_static)) {
        accepted.push_back(&transform);
      }
    }
    (is_static ? tf_static_pub_ : tf_pub_)->publish(message);
    if (options_.realtime) {
      return;
    }
    for (const auto * transform : accepted) {
      if (!node_->waitForTransform(
          transform->header.frame_id, transform->child_frame_id,
          nanosecondsOf(transform->header.stamp), kTfWait))
      {
        ++outcome_.tf_waits_timed_out;
      }
    }
  }

  void publishImage(const TopicPlan & plan, const velmora_bag::BagMessage & message)
  {
    sensor_msgs::msg::Image image = plan.role == TopicRole::image ?
      velmora_bag::decodeImage(message.data) :
      velmora_bag::toBgr8Image(velmora_bag::decodeCompressedImage(message.data));
    velmora_bag::checkImageData(image);
    ReplayFrame frame;
    frame.record.camera = plan.camera;
    frame.record.stamp_sec = image.header.stamp.sec;
    frame.record.stamp_nanosec = image.header.stamp.nanosec;
    frame.record.sim_time = secondsBetween(*window_start_ns_, message.log_time_ns);
    frame.bag_time_ns = message.log_time_ns;
    frame.topic = plan.bag_topic;
    frame.label = labelFor(labels_, plan.camera, nanosecondsOf(image.header.stamp));
    placeOnMap(frame);
    attachTruth(frame);
    {
      std::lock_guard<std::mutex> lock(frames_mutex_);
      waiting_[frameKey(plan.camera, image.header.stamp)].push_back(frames_.size());
      frames_.push_back(std::move(frame));
    }
    ++frames_delivered_;
    image_pubs_.at(plan.camera)->publish(image);
  }

  void placeOnMap(ReplayFrame & frame)
  {
    try {
      const auto pose = mirror_.lookupTransform("map", "base_footprint", tf2::TimePointZero);
      frame.record.pose = planarPose(pose);
      frame.record.region = velmora_sim::regionOnMap(
        frame.record.pose, velmora_sim::cameraDesign(frame.record.camera).floor_rectangle);
      if (path_.empty() || cv::norm(path_.back() - cv::Point2d(pose.transform.translation.x,
        pose.transform.translation.y)) > 0.01)
      {
        path_.emplace_back(pose.transform.translation.x, pose.transform.translation.y);
      }
    } catch (const tf2::TransformException &) {
      frame.record.region.clear();
    }
  }

  static std::pair<int, int64_t> frameKey(
    CameraId camera, const builtin_interfaces::msg::Time & stamp)
  {
    return {static_cast<int>(camera), nanosecondsOf(stamp)};
  }

  velmora_sim::FrameRecord * claimFrame(CameraId camera, const builtin_interfaces::msg::Time & stamp)
  {
    std::lock_guard<std::mutex> lock(frames_mutex_);
    auto found = waiting_.find(frameKey(camera, stamp));
    if (found == waiting_.end() || found->second.empty()) {
      return nullptr;
    }
    const std::size_t index = found->second.front();
    found->second.pop_front();
    return &frames_[index].record;
  }

  void reportProgress()
  {
    if (!progress_ || !window_start_ns_) {
      return;
    }
    ReplayProgress progress;
    progress.bag_time_s = secondsBetween(*window_start_ns_, last_time_ns_);
    progress.window_s = window_end_ns_ ?
      secondsBetween(*window_start_ns_, *window_end_ns_) : estimatedWindow();
    progress.frames_delivered = frames_delivered_;
    progress.frames_handled = frames_handled_.load();
    progress_(progress);
  }

  // Without --duration the window runs to the bag's last message, when the storage tells it.
  double estimatedWindow() const
  {
    const int64_t end = bag_->timeSpan() ? std::max(bag_->timeSpan()->second, last_time_ns_) :
      last_time_ns_;
    return std::max(0.0, secondsBetween(*window_start_ns_, end));
  }

  void finishFrames(const std::string & image_dir)
  {
    std::vector<velmora_sim::FrameRecord> records;
    records.reserve(frames_.size());
    for (const ReplayFrame & frame : frames_) {
      records.push_back(frame.record);
    }
    const bool throttled = std::any_of(
      options_.parameters.begin(), options_.parameters.end(),
      [](const rclcpp::Parameter & parameter) {
        return parameter.get_name() == "clean_save_interval_s";
      });
    velmora_sim::readVerdicts(image_dir, throttled, records);
    for (std::size_t i = 0; i < records.size(); ++i) {
      frames_[i].record = records[i];
    }
    outcome_.frames.assign(
      std::make_move_iterator(frames_.begin()), std::make_move_iterator(frames_.end()));
    outcome_.labelled = !labels_.empty() || truth_.has_value();
    outcome_.window_s = window_start_ns_ ?
      secondsBetween(*window_start_ns_, last_time_ns_) : 0.0;
  }

  void explainUnjudgedFrames()
  {
    std::size_t gated = 0;
    std::size_t no_pose = 0;
    std::size_t unconverted = 0;
    for (const ReplayFrame & frame : outcome_.frames) {
      gated += frame.record.log.gated ? 1 : 0;
      no_pose += frame.record.log.no_pose ? 1 : 0;
      unconverted += frame.record.log.conversion_failed ? 1 : 0;
    }
    const bool has_status = std::any_of(
      outcome_.topics.begin(), outcome_.topics.end(),
      [](const TopicPlan & plan) {return plan.role == TopicRole::status;});
    if (gated > 0) {
      outcome_.notes.push_back(
        std::to_string(gated) + " rear/front frames not judged: the robot was not working or the "
        "camera had no camera info and mount on tf" +
        (has_status || options_.always_working ? std::string() :
        std::string(" (the bag has no /fsm_status: --always-working opens the gate)")));
    }
    if (no_pose > 0) {
      outcome_.notes.push_back(
        std::to_string(no_pose) + " frames not judged: no map <- base_footprint pose on /tf");
    }
    if (unconverted > 0) {
      outcome_.notes.push_back(
        std::to_string(unconverted) + " frames refused by the node's image conversion (see "
        "node.log for the encodings)");
    }
    if (truth_) {
      const auto without = std::count_if(
        outcome_.frames.begin(), outcome_.frames.end(),
        [](const ReplayFrame & frame) {return !frame.has_truth;});
      if (without > 0) {
        outcome_.notes.push_back(
          std::to_string(without) + " frames have no entry in the ground truth " +
          outcome_.truth_path + " (a recording of another run?); scored as stain-free");
      }
    }
    if (outcome_.tf_waits_timed_out > 0) {
      outcome_.notes.push_back(
        std::to_string(outcome_.tf_waits_timed_out) + " transforms did not reach the node's tf "
        "buffer within 2 s");
    }
  }

  ReplayOptions options_;
  std::function<void(const ReplayProgress &)> progress_;
  std::vector<Label> labels_;
  std::optional<velmora_sim::RecordedTruth> truth_;
  std::unique_ptr<velmora_bag::BagReader> bag_;
  std::optional<velmora_bag::StatusDecoder> status_decoder_;
  ReplayOutcome outcome_;
  velmora_sim::RunInfo info_;
  std::unique_ptr<vlm_stub::VlmStubServer> vlm_;
  velmora_sim::NodeLogCapture * log_{nullptr};
  velmora_sim::FrameLogFacts stray_facts_;
  tf2::BufferCore mirror_;
  std::vector<cv::Point2d> path_;

  rclcpp::Node::SharedPtr robot_;
  std::map<CameraId, rclcpp::Publisher<sensor_msgs::msg::Image>::SharedPtr> image_pubs_;
  std::map<CameraId, rclcpp::Publisher<sensor_msgs::msg::CameraInfo>::SharedPtr> info_pubs_;
  rclcpp::Publisher<tf2_msgs::msg::TFMessage>::SharedPtr tf_pub_;
  rclcpp::Publisher<tf2_msgs::msg::TFMessage>::SharedPtr tf_static_pub_;
  rclcpp::Publisher<velmora_protocol::msg::TaskCenterFsmStatus>::SharedPtr status_pub_;
  std::unique_ptr<ReplayNode> node_;
  std::unique_ptr<rclcpp::executors::SingleThreadedExecutor> executor_;

  std::mutex frames_mutex_;
  std::deque<ReplayFrame> frames_;
  std::map<std::pair<int, int64_t>, std::deque<std::size_t>> waiting_;
  std::array<velmora_sim::FrameRecord *, 3> current_{};
  std::size_t frames_delivered_{0};
  std::atomic<std::size_t> frames_handled_{0};
  std::optional<int64_t> window_start_ns_;
  std::optional<int64_t> window_end_ns_;
  int64_t last_time_ns_{0};
  int64_t last_progress_ns_{0};
};

}  // namespace

std::vector<TopicPlan> planTopics(
  const std::vector<velmora_bag::TopicInfo> & topics, const ReplayOptions & options)
{
  std::vector<TopicPlan> plans;
  for (const velmora_bag::TopicInfo & topic : topics) {
    TopicPlan plan;
    plan.bag_topic = topic.name;
    plan.node_topic = remapped(topic.name, options);
    plan.type = topic.type;
    plan.in_bag = topic.message_count;
    if (topic.serialization_format.empty() || topic.serialization_format == "cdr") {
      assignRole(plan);
    }
    plans.push_back(plan);
  }
  adoptCompressedTopics(plans);
  if (std::all_of(plans.begin(), plans.end(),
    [](const TopicPlan & plan) {return plan.role == TopicRole::ignored;}))
  {
    throw ReplayError(
            "none of the bag's " + std::to_string(plans.size()) + " topics feeds the node (camera "
            "images, camera info, /tf, /tf_static, /fsm_status); map them with --remap /from:=/to");
  }
  for (CameraId camera : velmora_sim::kAllCameras) {
    const auto feeding = std::count_if(
      plans.begin(), plans.end(), [camera](const TopicPlan & plan) {
        return (plan.role == TopicRole::image || plan.role == TopicRole::compressed_image) &&
        plan.camera == camera;
      });
    if (feeding > 1) {
      throw ReplayError(
              "several bag topics feed " + velmora_sim::cameraDesign(camera).image_topic +
              "; remap all but one elsewhere");
    }
  }
  return plans;
}

ReplayOutcome runReplay(
  const ReplayOptions & options, const std::function<void(const ReplayProgress &)> & progress)
{
  if (options.cameras.empty()) {
    throw ReplayError("the replay needs at least one camera");
  }
  Replay replay(options, progress);
  return replay.run();
}

}  // namespace velmora_replay
