#ifndef SIM__RECORDER_HPP_
#define SIM__RECORDER_HPP_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include "bag/bag_writer.hpp"
#include "sensor_msgs/msg/camera_info.hpp"
#include "sim/camera_rig.hpp"
#include "std_msgs/msg/header.hpp"
#include "tf2_msgs/msg/tf_message.hpp"
#include "velmora_protocol/msg/task_center_fsm_status.hpp"

namespace velmora_sim
{

struct RecordingStats
{
  std::string path;
  std::string storage;
  uint64_t messages{0};
  uint64_t bytes{0};           // of the bag on disk
  double writer_busy_s{0.0};   // encoding, compressing and writing, on the recorder's thread
  double run_waited_s{0.0};    // the run held up because the recorder fell behind
};

// Records what the simulated drivers publish (camera images and infos, /tf, /tf_static,
// /fsm_status) into a rosbag2 bag (see velmora_bag::BagWriter), stamped with the simulated
// clock. With `compressed`, cameras go to "<image topic>/compressed" as JPEG CompressedImage
// messages, as image_transport names them. Encoding and writing happen on a thread of the
// recorder's own; the run only waits when a bounded queue is full.
class RunRecorder
{
public:
  // Throws velmora_bag::BagError when the bag cannot be created.
  RunRecorder(const std::string & path, bool compressed, const std::vector<CameraId> & cameras);
  ~RunRecorder();
  RunRecorder(const RunRecorder &) = delete;
  RunRecorder & operator=(const RunRecorder &) = delete;

  // Each throws velmora_bag::BagError once writing has failed. The picture (8-bit, in
  // `encoding`) is shared, not copied: the caller must not change it afterwards.
  void image(
    CameraId camera, const std_msgs::msg::Header & header, const std::string & encoding,
    const cv::Mat & picture, int64_t time_ns);
  void cameraInfo(CameraId camera, const sensor_msgs::msg::CameraInfo & info, int64_t time_ns);
  void tf(const tf2_msgs::msg::TFMessage & message, int64_t time_ns);
  void tfStatic(const tf2_msgs::msg::TFMessage & message, int64_t time_ns);
  void status(const velmora_protocol::msg::TaskCenterFsmStatus & status, int64_t time_ns);

  // Writes what is queued and finishes the bag; throws velmora_bag::BagError when writing failed.
  RecordingStats close();

private:
  // A camera picture, encoded on the writer's thread.
  struct Picture
  {
    std_msgs::msg::Header header;
    std::string encoding;
    cv::Mat pixels;
  };

  struct Pending
  {
    std::size_t topic{0};
    int64_t time_ns{0};
    std::vector<uint8_t> data;       // CDR, or empty for a picture
    std::optional<Picture> picture;
  };

  static std::size_t sizeOf(const Pending & pending);

  std::size_t addTopic(const std::string & name, const std::string & type, bool transient_local);
  void enqueue(Pending pending);
  void writeLoop();
  std::vector<uint8_t> encode(const Pending & pending) const;

  std::string path_;
  bool compressed_;
  velmora_bag::BagWriter writer_;
  std::size_t tf_topic_{0};
  std::size_t tf_static_topic_{0};
  std::size_t status_topic_{0};
  std::map<CameraId, std::size_t> image_topics_;
  std::map<CameraId, std::size_t> info_topics_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Pending> queue_;
  std::size_t queued_bytes_{0};
  bool closing_{false};
  std::exception_ptr failure_;
  RecordingStats stats_;
  std::thread thread_;
};

// Where the ground truth of a recording lies: "run.truth.json" beside "run.mcap", "truth.json"
// inside a bag directory (also for the path of its .db3 file).
std::string truthSidecarPath(const std::string & bag_path);

}  // namespace velmora_sim

#endif  // SIM__RECORDER_HPP_
