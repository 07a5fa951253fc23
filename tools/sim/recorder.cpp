#include "sim/recorder.hpp"

#include <chrono>
#include <filesystem>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "bag/bag.hpp"
#include "bag/msg_definition.hpp"
#include "bag/ros_messages.hpp"

namespace velmora_sim
{

namespace
{

namespace fs = std::filesystem;

// About a second of all three raw cameras: a slow disk holds the run up, not the memory.
constexpr std::size_t kQueueLimitBytes = 128u << 20;
// zstd's negative levels leave noisy camera pixels uncompressed; higher ones cost more CPU than
// they save space.
constexpr int kZstdLevel = 1;
constexpr int kJpegQuality = 90;

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
  return std::chrono::duration<double>(Clock::now() - start).count();
}

uint64_t sizeOnDisk(const fs::path & path)
{
  std::error_code error;
  if (!fs::is_directory(path, error)) {
    return fs::file_size(path, error);
  }
  uint64_t bytes = 0;
  for (const auto & entry : fs::directory_iterator(path, error)) {
    bytes += entry.is_regular_file() ? entry.file_size() : 0;
  }
  return bytes;
}

// image_transport's compressed form: JPEG of the BGR picture, the original encoding named.
velmora_bag::CompressedImage toJpeg(
  const std_msgs::msg::Header & header, const std::string & encoding, const cv::Mat & picture)
{
  // Converted into a picture of its own: the run still reads the one it shares with us.
  cv::Mat bgr;
  if (encoding == "rgb8") {
    cv::cvtColor(picture, bgr, cv::COLOR_RGB2BGR);
  } else {
    bgr = picture;
  }
  velmora_bag::CompressedImage compressed;
  compressed.header = header;
  compressed.format = encoding + "; jpeg compressed bgr8";
  cv::imencode(".jpg", bgr, compressed.data, {cv::IMWRITE_JPEG_QUALITY, kJpegQuality});
  return compressed;
}

}  // namespace

RunRecorder::RunRecorder(
  const std::string & path, bool compressed, const std::vector<CameraId> & cameras)
: path_(path), compressed_(compressed), writer_(path, kZstdLevel)
{
  tf_static_topic_ = addTopic("/tf_static", "tf2_msgs/msg/TFMessage", true);
  tf_topic_ = addTopic("/tf", "tf2_msgs/msg/TFMessage", false);
  status_topic_ = addTopic("/fsm_status", "velmora_protocol/msg/TaskCenterFsmStatus", false);
  for (CameraId camera : cameras) {
    const CameraDesign & design = cameraDesign(camera);
    if (!design.info_topic.empty()) {
      info_topics_[camera] = addTopic(design.info_topic, "sensor_msgs/msg/CameraInfo", false);
    }
    image_topics_[camera] = compressed ?
      addTopic(design.image_topic + "/compressed", "sensor_msgs/msg/CompressedImage", false) :
      addTopic(design.image_topic, "sensor_msgs/msg/Image", false);
  }
  stats_.path = path;
  stats_.storage = writer_.storage();
  thread_ = std::thread([this]() {writeLoop();});
}

RunRecorder::~RunRecorder()
{
  try {
    close();
  } catch (...) {
    // A destructor cannot report it, and the writer thread's failure may be of any type; the
    // run reports close()'s failure itself.
  }
}

std::size_t RunRecorder::addTopic(
  const std::string & name, const std::string & type, bool transient_local)
{
  return writer_.addTopic(name, type, velmora_bag::messageDefinition(type), transient_local);
}

void RunRecorder::image(
  CameraId camera, const std_msgs::msg::Header & header, const std::string & encoding,
  const cv::Mat & picture, int64_t time_ns)
{
  Pending pending;
  pending.topic = image_topics_.at(camera);
  pending.time_ns = time_ns;
  pending.picture = Picture{header, encoding, picture};
  enqueue(std::move(pending));
}

void RunRecorder::cameraInfo(
  CameraId camera, const sensor_msgs::msg::CameraInfo & info, int64_t time_ns)
{
  enqueue({info_topics_.at(camera), time_ns, velmora_bag::encodeCameraInfo(info), std::nullopt});
}

void RunRecorder::tf(const tf2_msgs::msg::TFMessage & message, int64_t time_ns)
{
  enqueue({tf_topic_, time_ns, velmora_bag::encodeTfMessage(message), std::nullopt});
}

void RunRecorder::tfStatic(const tf2_msgs::msg::TFMessage & message, int64_t time_ns)
{
  enqueue({tf_static_topic_, time_ns, velmora_bag::encodeTfMessage(message), std::nullopt});
}

void RunRecorder::status(
  const velmora_protocol::msg::TaskCenterFsmStatus & status, int64_t time_ns)
{
  enqueue({status_topic_, time_ns, velmora_bag::encodeStatus(status), std::nullopt});
}

std::size_t RunRecorder::sizeOf(const Pending & pending)
{
  const std::size_t picture = pending.picture ?
    pending.picture->pixels.total() * pending.picture->pixels.elemSize() : 0;
  return pending.data.size() + picture;
}

void RunRecorder::enqueue(Pending pending)
{
  const std::size_t bytes = sizeOf(pending);
  std::unique_lock<std::mutex> lock(mutex_);
  const auto start = Clock::now();
  changed_.wait(lock, [&]() {
      return failure_ || queue_.empty() || queued_bytes_ + bytes <= kQueueLimitBytes;
    });
  stats_.run_waited_s += secondsSince(start);
  if (failure_) {
    std::rethrow_exception(failure_);
  }
  queued_bytes_ += bytes;
  queue_.push_back(std::move(pending));
  changed_.notify_all();
}

std::vector<uint8_t> RunRecorder::encode(const Pending & pending) const
{
  if (!pending.picture) {
    return pending.data;
  }
  const Picture & picture = *pending.picture;
  if (compressed_) {
    return velmora_bag::encodeCompressedImage(
      toJpeg(picture.header, picture.encoding, picture.pixels));
  }
  return velmora_bag::encodeImage(picture.header, picture.encoding, picture.pixels);
}

void RunRecorder::writeLoop()
{
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    changed_.wait(lock, [this]() {return closing_ || !queue_.empty();});
    if (queue_.empty()) {
      return;
    }
    Pending pending = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    const auto start = Clock::now();
    std::exception_ptr failure;
    try {
      writer_.write(pending.topic, pending.time_ns, encode(pending));
    } catch (...) {
      failure = std::current_exception();
    }
    const double busy = secondsSince(start);
    lock.lock();
    stats_.writer_busy_s += busy;
    queued_bytes_ -= sizeOf(pending);
    ++stats_.messages;
    if (failure) {
      failure_ = failure;
      changed_.notify_all();
      return;
    }
    changed_.notify_all();
  }
}

RecordingStats RunRecorder::close()
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_) {
      return stats_;
    }
    closing_ = true;
  }
  changed_.notify_all();
  thread_.join();
  if (failure_) {
    std::rethrow_exception(failure_);
  }
  const auto start = Clock::now();
  writer_.close();
  stats_.writer_busy_s += secondsSince(start);
  stats_.bytes = sizeOnDisk(path_);
  return stats_;
}

std::string truthSidecarPath(const std::string & bag_path)
{
  const fs::path bag(bag_path);
  if (bag.extension() == ".mcap") {
    return fs::path(bag).replace_extension(".truth.json").string();
  }
  if (bag.extension() == ".db3") {
    return (bag.parent_path() / "truth.json").string();
  }
  return (bag / "truth.json").string();
}

}  // namespace velmora_sim
