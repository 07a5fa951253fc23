#include "sim/simulator.hpp"

#include <atomic>
#include <chrono>
#include <cmath>
#include <deque>
#include <exception>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

#include <malloc.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <kdl/frames.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "cv_bridge/cv_bridge.hpp"
#include "rclcpp/rclcpp.hpp"
#include "sim/instrumented_node.hpp"
#include "sim/node_log.hpp"
#include "sim/route.hpp"
#include "sim/truth_sidecar.hpp"
#include "tf2_ros/static_transform_broadcaster.h"
#include "tf2_ros/transform_broadcaster.h"
#include "velmora_protocol/msg/task_center_fsm_status.hpp"
#include "vlm_stub_rule.hpp"
#include "vlm_stub_server.hpp"

namespace velmora_sim
{

namespace
{

namespace fs = std::filesystem;

// One tick of the simulated clock divides every rate: 150 Hz serves 50, 30 and 5 Hz.
constexpr int kTickHz = 150;
constexpr int kOdometryEvery = kTickHz / kOdometryRateHz;
constexpr int kStatusEvery = kTickHz / kStatusRateHz;
constexpr int kProgressEvery = kTickHz / 10;
// Cameras are not synchronised: each takes its frame on its own tick of the 30 Hz period.
constexpr std::array<int, 3> kCameraPhase{0, 1, 2};
constexpr std::chrono::milliseconds kTfWait{2000};
constexpr std::chrono::minutes kSettleBound{10};
// How long a real-time run waits for the node to work off its queues after the last frame.
constexpr std::chrono::seconds kDrainBound{30};
// Localisation's correction between odometry and the map.
const Pose2D kMapFromOdom{0.12, -0.08, 0.02};

// A field of /proc/self/status in megabytes (VmRSS, VmHWM); 0 where there is none.
double statusMegabytes(const std::string & field)
{
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) {
      return std::stod(line.substr(field.size() + 1)) / 1024.0;
    }
  }
  return 0.0;
}

// Resident memory with freed heap pages handed back first, so that differences show what an
// object holds rather than what the allocator keeps for later.
double trimmedResidentMegabytes()
{
  malloc_trim(0);
  return statusMegabytes("VmRSS");
}

double processCpuSeconds()
{
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval & time) {
      return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double loadAverage()
{
  double load = 0.0;
  return getloadavg(&load, 1) == 1 ? load : 0.0;
}

int64_t tickNanoseconds(int64_t tick)
{
  return kEpochNs + tick * 1000000000LL / kTickHz;
}

geometry_msgs::msg::TransformStamped planarTransform(
  const std::string & parent, const std::string & child, const Pose2D & pose,
  const builtin_interfaces::msg::Time & stamp)
{
  geometry_msgs::msg::TransformStamped transform;
  transform.header.stamp = stamp;
  transform.header.frame_id = parent;
  transform.child_frame_id = child;
  transform.transform.translation.x = pose.x;
  transform.transform.translation.y = pose.y;
  transform.transform.rotation.z = std::sin(pose.yaw / 2.0);
  transform.transform.rotation.w = std::cos(pose.yaw / 2.0);
  return transform;
}

Pose2D compose(const Pose2D & first, const Pose2D & second)
{
  const cv::Point2d at = toMap(first, {second.x, second.y});
  return {at.x, at.y, first.yaw + second.yaw};
}

Pose2D inverse(const Pose2D & pose)
{
  const double c = std::cos(pose.yaw);
  const double s = std::sin(pose.yaw);
  return {-(c * pose.x + s * pose.y), s * pose.x - c * pose.y, -pose.yaw};
}

// The light from the windows drifts as clouds pass; each camera's exposure differs a little.
double exposure(const LightingOverTime & lighting, CameraId camera, double t)
{
  static const std::array<double, 3> offset{0.0, 0.04, -0.03};
  return lighting.exposure(offset[static_cast<std::size_t>(camera)], t);
}

std::size_t removeStaleArchive(const fs::path & image_dir)
{
  static const std::regex stamp_name(R"(-?\d+\.\d+\.jpg)");
  std::size_t removed = 0;
  for (const auto & [category, count] : countArchive(image_dir.string())) {
    if (count == 0) {
      continue;
    }
    for (const auto & entry : fs::directory_iterator(image_dir / category)) {
      if (std::regex_match(entry.path().filename().string(), stamp_name)) {
        removed += fs::remove(entry.path()) ? 1 : 0;
      }
    }
  }
  return removed;
}

class Simulation : public FrameObserver
{
public:
  Simulation(const SimOptions & options, const std::function<void(const SimProgress &)> & progress)
  : options_(options),
    progress_(progress),
    world_(scenarioWorld(options.scenario, options.world), options.seed),
    scenario_(buildScenario(options.scenario, options.seed, options.duration_s, world_.config()))
  {
    for (const StainDesign & stain : scenario_.stains) {
      world_.addStain(stain);
    }
    for (CameraId camera : options.cameras) {
      cameras_.emplace(camera, FloorCamera::forCamera(camera));
    }
    // Built once here, so that frames can be rendered on another thread.
    world_.texture();
  }

  SimOutcome run()
  {
    SimOutcome outcome;
    const fs::path out_dir(options_.out_dir);
    const fs::path image_dir = out_dir / "images";
    if (!options_.record_path.empty()) {
      recorder_ = std::make_unique<RunRecorder>(
        options_.record_path, options_.record_compressed, options_.cameras);
    }
    fs::create_directories(out_dir);
    outcome.stale_archive_files_removed = removeStaleArchive(image_dir);
    outcome.log_path = (out_dir / "node.log").string();
    const std::string vlm_url = startVlm();

    const auto wall_start = std::chrono::steady_clock::now();
    info_.load_average_at_start = loadAverage();
    const double cpu_start_s = processCpuSeconds();
    {
      NodeLogCapture log(outcome.log_path);
      log_ = &log;
      const bool own_context = !rclcpp::ok();
      if (own_context) {
        rclcpp::init(0, nullptr);
      }
      startNodes(vlm_url, image_dir.string());
      drive();
      info_.interrupted = !rclcpp::ok();
      info_.process_cpu_s = processCpuSeconds() - cpu_start_s;
      info_.load_average_at_end = loadAverage();
      for (CameraId camera : options_.cameras) {
        dropped_[camera] = node_->droppedCount(camera);
      }
      outcome.tf_waits_timed_out = tf_waits_timed_out_;
      const double with_node_mb = trimmedResidentMegabytes();
      stopNodes();
      info_.node_resident_at_end_mb = with_node_mb - trimmedResidentMegabytes();
      if (recorder_) {
        outcome.recording = recorder_->close();
      }
      info_.process_peak_resident_mb = statusMegabytes("VmHWM");
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
    info_.vlm_answers = info_.vlm_stub ? vlmAnswersName(options_.vlm_answers) : "";
    info_.vlm_false_yes = options_.vlm_false_yes;
    info_.vlm_stub_requests = vlm_ ? vlm_->requestCount() : 0;
    if (vlm_) {
      vlm_->stop();
    }

    std::vector<FrameRecord> frames(
      std::make_move_iterator(frames_.begin()), std::make_move_iterator(frames_.end()));
    readVerdicts(image_dir.string(), options_.clean_interval_s > 0, frames);
    outcome.report = buildReport(image_dir.string(), frames);
    outcome.report_path = (out_dir / "report.json").string();
    writeReportJson(outcome.report_path, outcome.report, world_, frames);
    outcome.map_path = (out_dir / "map.png").string();
    if (!cv::imwrite(outcome.map_path, drawMap(world_, scenario_.route, simulated_s_, frames))) {
      throw std::runtime_error("cannot write " + outcome.map_path);
    }
    if (recorder_) {
      outcome.truth_path = truthSidecarPath(options_.record_path);
      writeTruthSidecar(outcome.truth_path, world_, info_, frames);
    }
    outcome.frames = std::move(frames);
    return outcome;
  }

  void frameStarted(CameraId camera, const builtin_interfaces::msg::Time & stamp) override
  {
    FrameRecord * frame = findFrame(camera, stamp);
    if (frame == nullptr) {
      return;
    }
    const bool stained = frame->truth.visible_class != velmora_water_stain::FloorClass::clean;
    judged_frame_truth_answer_ =
      stained || vlmFooledAt(options_.seed, camera, frame->region, options_.vlm_false_yes);
    if (log_ != nullptr) {
      log_->beginFrame(&frame->log);
    }
  }

  void frameFinished(
    CameraId camera, const builtin_interfaces::msg::Time & stamp, CallbackTime took) override
  {
    judged_frame_truth_answer_ = kNoFrameJudged;
    if (log_ != nullptr) {
      log_->endFrame();
    }
    FrameRecord * frame = findFrame(camera, stamp);
    if (frame != nullptr) {
      frame->received = true;
      frame->callback_ms = took.wall_ms;
      frame->callback_cpu_ms = took.cpu_ms;
      ++frames_received_;
    }
  }

private:
  std::string startVlm()
  {
    info_.vlm_stub = options_.vlm_url.empty();
    if (!info_.vlm_stub) {
      if (!isLoopbackUrl(options_.vlm_url)) {
        throw std::invalid_argument(
                "the VLM server must be on this machine's loopback: " + options_.vlm_url);
      }
      return options_.vlm_url;
    }
    vlm_ = std::make_unique<vlm_stub::VlmStubServer>(stubOptions());
    if (!vlm_->start(0)) {
      throw std::runtime_error("the stand-in VLM server could not bind 127.0.0.1");
    }
    return vlm_->url();
  }

  vlm_stub::VlmStubOptions stubOptions()
  {
    vlm_stub::VlmStubOptions stub;
    if (options_.vlm_answers == VlmAnswers::no) {
      stub.fixed_answer = vlm_stub::stubAnswer({false, 0.0});
    } else if (options_.vlm_answers == VlmAnswers::truth) {
      // The executor judges one frame at a time and waits for the answer inside the callback,
      // so the frame being judged is the one asked about.
      stub.knows_stained = [this]() -> std::optional<bool> {
          const int answer = judged_frame_truth_answer_.load();
          if (answer == kNoFrameJudged) {
            return std::nullopt;
          }
          return answer == 1;
        };
    }
    return stub;
  }

  void startNodes(const std::string & vlm_url, const std::string & image_dir)
  {
    robot_ = std::make_shared<rclcpp::Node>("robot_drivers");
    const rclcpp::QoS qos(10);
    for (CameraId camera : options_.cameras) {
      const CameraDesign & design = cameraDesign(camera);
      image_pubs_[camera] =
        robot_->create_publisher<sensor_msgs::msg::Image>(design.image_topic, qos);
      if (!design.info_topic.empty()) {
        info_pubs_[camera] =
          robot_->create_publisher<sensor_msgs::msg::CameraInfo>(design.info_topic, qos);
      }
    }
    status_pub_ =
      robot_->create_publisher<velmora_protocol::msg::TaskCenterFsmStatus>("/fsm_status", qos);
    tf_broadcaster_ = std::make_unique<tf2_ros::TransformBroadcaster>(robot_);
    static_broadcaster_ = std::make_unique<tf2_ros::StaticTransformBroadcaster>(robot_);

    rclcpp::NodeOptions node_options;
    node_options.parameter_overrides(
      {rclcpp::Parameter("server_url", vlm_url),
        rclcpp::Parameter("engine_path", options_.engine_path),
        rclcpp::Parameter("image_dir", image_dir),
        rclcpp::Parameter(
          "clean_save_interval_s", static_cast<int64_t>(options_.clean_interval_s))});
    const double before_node_mb = trimmedResidentMegabytes();
    node_ = std::make_shared<InstrumentedNode>(node_options, *this);
    info_.node_resident_at_start_mb = trimmedResidentMegabytes() - before_node_mb;
    executor_ = std::make_unique<rclcpp::executors::SingleThreadedExecutor>();
    executor_->add_node(node_);
  }

  void stopNodes()
  {
    executor_->remove_node(node_);
    executor_.reset();
    node_.reset();
    tf_broadcaster_.reset();
    static_broadcaster_.reset();
    image_pubs_.clear();
    info_pubs_.clear();
    status_pub_.reset();
    robot_.reset();
  }

  void drive()
  {
    const auto start_stamp = stampFromNanoseconds(tickNanoseconds(0));
    std::vector<geometry_msgs::msg::TransformStamped> mounts;
    for (CameraId camera : options_.cameras) {
      if (!cameraDesign(camera).optical_frame.empty()) {
        mounts.push_back(mountTransform(camera, start_stamp));
      }
    }
    static_broadcaster_->sendTransform(mounts);
    if (recorder_) {
      tf2_msgs::msg::TFMessage message;
      message.transforms = mounts;
      recorder_->tfStatic(message, tickNanoseconds(0));
    }
    for (const auto & mount : mounts) {
      awaitTransform(mount.child_frame_id, "base_footprint", tf2::TimePointZero);
    }
    ticks_ = std::llround(options_.duration_s * kTickHz);
    if (options_.realtime) {
      driveInRealTime(ticks_);
    } else {
      driveAsFastAsJudged(ticks_);
    }
    reportProgress();
  }

  // Every message is handled before the next tick's go out, so nothing is lost and a run
  // repeats exactly.
  void driveAsFastAsJudged(int64_t ticks)
  {
    // A signal shuts the context down: stop driving and report what ran.
    for (int64_t tick = 0; tick < ticks && rclcpp::ok(); ++tick) {
      publishTick(tick);
      executor_->spin_all(kSettleBound);
      if (tick % kProgressEvery == 0) {
        reportProgress();
      }
    }
  }

  // The node spins on its own thread, as in its own process, while the drivers publish on the
  // wall clock: a node slower than the cameras loses frames from its queues.
  void driveInRealTime(int64_t ticks)
  {
    std::exception_ptr failure;
    std::thread spinner([this, &failure]() {
        const double cpu_start_ms = threadCpuMilliseconds();
        try {
          executor_->spin();
        } catch (...) {
          failure = std::current_exception();
        }
        info_.node_thread_cpu_s = (threadCpuMilliseconds() - cpu_start_ms) / 1e3;
      });
    // Publishing can fail (a recording that cannot be written): the spinner is stopped first.
    std::exception_ptr publishing_failure;
    try {
      const auto wall_start = std::chrono::steady_clock::now();
      for (int64_t tick = 0; tick < ticks && rclcpp::ok(); ++tick) {
        std::this_thread::sleep_until(
          wall_start + std::chrono::nanoseconds(tick * 1000000000LL / kTickHz));
        publishTick(tick);
        if (tick % kProgressEvery == 0) {
          reportProgress();
        }
      }
      const auto limit = std::chrono::steady_clock::now() + kDrainBound;
      while (rclcpp::ok() && framesOutstanding() && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    } catch (...) {
      publishing_failure = std::current_exception();
    }
    executor_->cancel();
    spinner.join();
    for (const std::exception_ptr & error : {publishing_failure, failure}) {
      if (error) {
        std::rethrow_exception(error);
      }
    }
  }

  bool framesOutstanding()
  {
    std::size_t dropped = 0;
    for (CameraId camera : options_.cameras) {
      dropped += node_->droppedCount(camera);
    }
    return frames_received_.load() + dropped < publishedFrames();
  }

  std::size_t publishedFrames()
  {
    std::lock_guard<std::mutex> lock(frames_mutex_);
    return frames_.size();
  }

  void reportProgress()
  {
    if (progress_) {
      progress_({simulated_s_, options_.duration_s, publishedFrames(), frames_received_.load()});
    }
  }

  void publishTick(int64_t tick)
  {
    const double t = static_cast<double>(tick) / kTickHz;
    simulated_s_ = static_cast<double>(tick + 1) / kTickHz;
    const builtin_interfaces::msg::Time stamp = stampFromNanoseconds(tickNanoseconds(tick));
    if (tick % kOdometryEvery == 0) {
      publishPose(t, stamp);
    }
    if (tick % kStatusEvery == 0) {
      publishStatus(t, stamp);
    }
    for (CameraId camera : options_.cameras) {
      if (takesFrame(camera, tick)) {
        if (pose_pending_) {
          awaitTransform("map", "base_footprint", tf2::TimePoint(*pose_pending_));
          pose_pending_.reset();
        }
        publishFrame(camera, tick, stamp);
      }
    }
  }

  bool takesFrame(CameraId camera, int64_t tick) const
  {
    return tick % (kTickHz / options_.camera_rate_hz) ==
           kCameraPhase[static_cast<std::size_t>(camera)];
  }

  std::optional<std::pair<int64_t, CameraId>> nextFrameAfter(int64_t tick) const
  {
    for (int64_t next = tick + 1; next < ticks_; ++next) {
      for (CameraId camera : options_.cameras) {
        if (takesFrame(camera, next)) {
          return std::make_pair(next, camera);
        }
      }
    }
    return std::nullopt;
  }

  // The camera's picture as its driver sends it.
  cv::Mat renderFrame(CameraId camera, int64_t tick) const
  {
    const double t = static_cast<double>(tick) / kTickHz;
    cv::Mat image = cameras_.at(camera).render(
      world_, scenario_.route.poseAt(t), exposure(scenario_.lighting, camera, t),
      static_cast<std::size_t>(tick));
    if (cameraDesign(camera).encoding == "rgb8") {
      cv::cvtColor(image, image, cv::COLOR_BGR2RGB);
    }
    return image;
  }

  // Rendering is a pure function of the tick, so the next frame is drawn on another thread
  // while the node judges this one.
  cv::Mat frameImage(CameraId camera, int64_t tick)
  {
    cv::Mat image;
    if (next_render_.valid() && next_render_frame_ == std::make_pair(tick, camera)) {
      image = next_render_.get();
    } else {
      image = renderFrame(camera, tick);
    }
    if (const auto next = nextFrameAfter(tick)) {
      next_render_frame_ = *next;
      next_render_ = std::async(
        std::launch::async, [this, next]() {return renderFrame(next->second, next->first);});
    }
    return image;
  }

  void awaitTransform(const std::string & target, const std::string & source, tf2::TimePoint time)
  {
    if (!node_->waitForTransform(target, source, time, kTfWait)) {
      ++tf_waits_timed_out_;
    }
  }

  void publishPose(double t, const builtin_interfaces::msg::Time & stamp)
  {
    const Pose2D pose = scenario_.route.poseAt(t);
    const Pose2D odom_pose = compose(inverse(kMapFromOdom), pose);
    tf2_msgs::msg::TFMessage message;
    message.transforms = {planarTransform("map", "odom", kMapFromOdom, stamp),
      planarTransform("odom", "base_footprint", odom_pose, stamp)};
    tf_broadcaster_->sendTransform(message.transforms);
    if (recorder_) {
      recorder_->tf(message, stampNanoseconds(stamp.sec, stamp.nanosec));
    }
    pose_pending_ = std::chrono::nanoseconds(
      static_cast<int64_t>(stamp.sec) * 1000000000LL + stamp.nanosec);
  }

  void publishStatus(double t, const builtin_interfaces::msg::Time & stamp)
  {
    const FsmStatus status = scenario_.route.statusAt(t);
    velmora_protocol::msg::TaskCenterFsmStatus msg;
    msg.header.stamp = stamp;
    msg.state = status.state;
    msg.sub_state = status.sub_state;
    msg.state_name = status.state == 2 ? "cleaning_task" : "idle";
    msg.sub_state_name = isWorking(status) ? "working" : (status.state == 2 ? "paused" : "idle");
    if (recorder_) {
      recorder_->status(msg, stampNanoseconds(stamp.sec, stamp.nanosec));
    }
    status_pub_->publish(msg);
  }

  void publishFrame(CameraId camera, int64_t tick, const builtin_interfaces::msg::Time & stamp)
  {
    const double t = static_cast<double>(tick) / kTickHz;
    const CameraDesign & design = cameraDesign(camera);
    FrameRecord frame;
    frame.camera = camera;
    frame.stamp_sec = stamp.sec;
    frame.stamp_nanosec = stamp.nanosec;
    frame.sim_time = t;
    frame.pose = scenario_.route.poseAt(t);
    frame.region = regionOnMap(frame.pose, design.floor_rectangle);
    frame.truth = regionTruth(world_, frame.region);
    {
      std::lock_guard<std::mutex> lock(frames_mutex_);
      frame_index_[frameKey(camera, stamp)] = frames_.size();
      frames_.push_back(frame);
    }

    const cv::Mat image = frameImage(camera, tick);
    const int64_t time_ns = stampNanoseconds(stamp.sec, stamp.nanosec);
    if (const auto info = info_pubs_.find(camera); info != info_pubs_.end()) {
      const sensor_msgs::msg::CameraInfo calibration = cameraInfo(camera, stamp);
      if (recorder_) {
        recorder_->cameraInfo(camera, calibration, time_ns);
      }
      info->second->publish(calibration);
    }
    std_msgs::msg::Header header;
    header.stamp = stamp;
    header.frame_id = design.optical_frame.empty() ? "usb_cam_rear" : design.optical_frame;
    if (recorder_) {
      recorder_->image(camera, header, design.encoding, image, time_ns);
    }
    auto msg = std::make_unique<sensor_msgs::msg::Image>();
    cv_bridge::CvImage(header, design.encoding, image).toImageMsg(*msg);
    image_pubs_.at(camera)->publish(std::move(msg));
  }

  static std::pair<int, int64_t> frameKey(
    CameraId camera, const builtin_interfaces::msg::Time & stamp)
  {
    return {static_cast<int>(camera),
      static_cast<int64_t>(stamp.sec) * 1000000000LL + stamp.nanosec};
  }

  FrameRecord * findFrame(CameraId camera, const builtin_interfaces::msg::Time & stamp)
  {
    std::lock_guard<std::mutex> lock(frames_mutex_);
    const auto found = frame_index_.find(frameKey(camera, stamp));
    return found == frame_index_.end() ? nullptr : &frames_[found->second];
  }

  SimReport buildReport(const std::string & image_dir, const std::vector<FrameRecord> & frames)
  {
    SimReport report;
    info_.seed = options_.seed;
    info_.duration_s = simulated_s_;
    info_.realtime = options_.realtime;
    info_.engine_path = options_.engine_path;
    info_.clean_interval_s = options_.clean_interval_s;
    std::size_t dropped_total = 0;
    for (CameraId camera : options_.cameras) {
      info_.cameras.push_back(cameraDesign(camera).name);
      report.cameras.push_back(
        tallyFrames(cameraDesign(camera).name, frames, {camera}, dropped_[camera]));
      dropped_total += dropped_[camera];
    }
    report.overall = tallyFrames("all", frames, {}, dropped_total);
    info_.scenario = scenarioName(options_.scenario);
    report.info = info_;
    report.archive = countArchive(image_dir);
    scoreStainLevel(world_, frames, report);
    return report;
  }

  SimOptions options_;
  std::function<void(const SimProgress &)> progress_;
  World world_;
  Scenario scenario_;
  std::map<CameraId, FloorCamera> cameras_;
  RunInfo info_;
  std::unique_ptr<vlm_stub::VlmStubServer> vlm_;
  NodeLogCapture * log_{nullptr};
  std::unique_ptr<RunRecorder> recorder_;

  rclcpp::Node::SharedPtr robot_;
  std::map<CameraId, rclcpp::Publisher<sensor_msgs::msg::Image>::SharedPtr> image_pubs_;
  std::map<CameraId, rclcpp::Publisher<sensor_msgs::msg::CameraInfo>::SharedPtr> info_pubs_;
  rclcpp::Publisher<velmora_protocol::msg::TaskCenterFsmStatus>::SharedPtr status_pub_;
  std::unique_ptr<tf2_ros::TransformBroadcaster> tf_broadcaster_;
  std::unique_ptr<tf2_ros::StaticTransformBroadcaster> static_broadcaster_;
  std::shared_ptr<InstrumentedNode> node_;
  std::unique_ptr<rclcpp::executors::SingleThreadedExecutor> executor_;

  // Records are written by the node's callbacks while new ones are added; a deque keeps them in
  // place.
  std::mutex frames_mutex_;
  std::deque<FrameRecord> frames_;
  std::map<std::pair<int, int64_t>, std::size_t> frame_index_;
  std::atomic<std::size_t> frames_received_{0};
  static constexpr int kNoFrameJudged = -1;
  // What the truth-answering stand-in says of the frame being judged: 1 yes, 0 no.
  std::atomic<int> judged_frame_truth_answer_{kNoFrameJudged};
  double simulated_s_{0.0};
  std::optional<std::chrono::nanoseconds> pose_pending_;
  int64_t ticks_{0};
  std::future<cv::Mat> next_render_;
  std::pair<int64_t, CameraId> next_render_frame_{-1, CameraId::rear};
  std::size_t tf_waits_timed_out_{0};
  std::map<CameraId, std::size_t> dropped_;
};

}  // namespace

SimOutcome runSimulation(
  const SimOptions & options, const std::function<void(const SimProgress &)> & progress)
{
  // Written so that NaN fails too.
  if (!(options.duration_s > 0.0 && options.duration_s <= kMaxDurationS)) {
    throw std::invalid_argument("the run needs a positive duration of at most a day");
  }
  if (options.cameras.empty()) {
    throw std::invalid_argument("the run needs at least one camera");
  }
  Simulation simulation(options, progress);
  return simulation.run();
}

std::string vlmAnswersName(VlmAnswers answers)
{
  switch (answers) {
    case VlmAnswers::truth:
      return "truth";
    case VlmAnswers::no:
      return "no";
    case VlmAnswers::rule:
      break;
  }
  return "rule";
}

std::optional<VlmAnswers> vlmAnswersFromName(const std::string & name)
{
  for (VlmAnswers answers : {VlmAnswers::rule, VlmAnswers::truth, VlmAnswers::no}) {
    if (vlmAnswersName(answers) == name) {
      return answers;
    }
  }
  return std::nullopt;
}

namespace
{

// SplitMix64's finaliser: spreads nearby inputs (neighbouring squares) over the whole range.
uint64_t mixBits(uint64_t bits)
{
  bits = (bits ^ (bits >> 30)) * 0xbf58476d1ce4e5b9ULL;
  bits = (bits ^ (bits >> 27)) * 0x94d049bb133111ebULL;
  return bits ^ (bits >> 31);
}

}  // namespace

bool vlmFooledAt(
  uint64_t seed, CameraId camera, const std::vector<cv::Point2d> & region, double share)
{
  if (share <= 0.0 || region.empty()) {
    return false;
  }
  cv::Point2d centre;
  for (const cv::Point2d & corner : region) {
    centre += corner;
  }
  centre /= static_cast<double>(region.size());
  const auto square = [](double metres) {
      return static_cast<uint64_t>(static_cast<int64_t>(std::floor(metres / kVlmPlaceSide)));
    };
  uint64_t bits = mixBits(seed);
  for (uint64_t part : {static_cast<uint64_t>(camera), square(centre.x), square(centre.y)}) {
    bits = mixBits(bits ^ part);
  }
  // The top 53 bits as a uniform number in [0, 1).
  return static_cast<double>(bits >> 11) * 0x1.0p-53 < share;
}

bool isLoopbackUrl(const std::string & url)
{
  static const std::regex pattern(
    R"(^https?://(localhost|127\.\d{1,3}\.\d{1,3}\.\d{1,3}|\[::1\])(:\d{1,5})?(/.*)?$)",
    std::regex::icase);
  std::smatch match;
  if (!std::regex_match(url, match, pattern)) {
    return false;
  }
  const std::string host = match[1].str();
  if (host.rfind("127.", 0) == 0) {
    std::size_t start = 0;
    for (int part = 0; part < 4; ++part) {
      const std::size_t end = host.find('.', start);
      if (std::stoi(host.substr(start, end - start)) > 255) {
        return false;
      }
      start = end + 1;
    }
  }
  return true;
}

builtin_interfaces::msg::Time stampFromNanoseconds(int64_t nanoseconds)
{
  builtin_interfaces::msg::Time stamp;
  stamp.sec = static_cast<int32_t>(nanoseconds / 1000000000LL);
  stamp.nanosec = static_cast<uint32_t>(nanoseconds % 1000000000LL);
  return stamp;
}

sensor_msgs::msg::CameraInfo cameraInfo(
  CameraId camera, const builtin_interfaces::msg::Time & stamp)
{
  const CameraDesign & design = cameraDesign(camera);
  const cv::Matx33d K = pinholeIntrinsics(camera);
  sensor_msgs::msg::CameraInfo info;
  info.header.stamp = stamp;
  info.header.frame_id = design.optical_frame;
  info.width = static_cast<uint32_t>(design.size.width);
  info.height = static_cast<uint32_t>(design.size.height);
  info.distortion_model = "plumb_bob";
  info.d.assign(5, 0.0);
  for (int i = 0; i < 9; ++i) {
    info.k[static_cast<std::size_t>(i)] = K.val[i];
  }
  info.r = {1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0};
  info.p = {K(0, 0), K(0, 1), K(0, 2), 0.0, K(1, 0), K(1, 1), K(1, 2), 0.0, 0.0, 0.0, 1.0, 0.0};
  return info;
}

geometry_msgs::msg::TransformStamped mountTransform(
  CameraId camera, const builtin_interfaces::msg::Time & stamp)
{
  const RigidTransform mount = pinholeMount(camera);
  const cv::Matx33d & R = mount.rotation;
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
  double w = 1.0;
  KDL::Rotation(R(0, 0), R(0, 1), R(0, 2), R(1, 0), R(1, 1), R(1, 2), R(2, 0), R(2, 1), R(2, 2))
  .GetQuaternion(x, y, z, w);
  geometry_msgs::msg::TransformStamped transform;
  transform.header.stamp = stamp;
  transform.header.frame_id = "base_footprint";
  transform.child_frame_id = cameraDesign(camera).optical_frame;
  transform.transform.translation.x = mount.translation[0];
  transform.transform.translation.y = mount.translation[1];
  transform.transform.translation.z = mount.translation[2];
  transform.transform.rotation.x = x;
  transform.transform.rotation.y = y;
  transform.transform.rotation.z = z;
  transform.transform.rotation.w = w;
  return transform;
}

}  // namespace velmora_sim
