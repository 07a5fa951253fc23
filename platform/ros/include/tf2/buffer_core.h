#ifndef TF2__BUFFER_CORE_H_
#define TF2__BUFFER_CORE_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "tf2/exceptions.h"
#include "tf2/time.h"

namespace tf2
{

class TimeCacheInterface;
using TimeCacheInterfacePtr = std::shared_ptr<TimeCacheInterface>;

// The default amount of time to cache data.
static constexpr Duration BUFFER_CORE_DEFAULT_CACHE_TIME = std::chrono::seconds(10);

// The frames of a system as a tree: each frame knows its parent through a time-stamped history
// of transforms (static ones hold at all times), and a lookup chains them through the common
// ancestor. Safe for one thread writing while others read.
class BufferCore
{
public:
  // Deeper chains are taken for loops.
  static const uint32_t MAX_GRAPH_DEPTH = 1000UL;

  explicit BufferCore(tf2::Duration cache_time = BUFFER_CORE_DEFAULT_CACHE_TIME);
  virtual ~BufferCore();

  // Forgets all cached transforms; the frame names stay known.
  void clear();

  // False (and an error or warning on the log) when the transform is rejected: missing or equal
  // frame ids, NaN values, a quaternion far from unit length, data older than the cache or a
  // repeated stamp. A frame's first transform decides whether it is static.
  bool setTransform(
    const geometry_msgs::msg::TransformStamped & transform,
    const std::string & authority, bool is_static = false);

  // The transform that carries points given in `source_frame` into `target_frame` at `time`
  // (TimePointZero: the latest time all links of the chain have data for).
  // Throws tf2::LookupException, tf2::ConnectivityException, tf2::ExtrapolationException or
  // tf2::InvalidArgumentException.
  geometry_msgs::msg::TransformStamped lookupTransform(
    const std::string & target_frame, const std::string & source_frame,
    const TimePoint & time) const;

  // Source evaluated at `source_time`, target at `target_time`, assuming `fixed_frame` does not
  // move in between.
  geometry_msgs::msg::TransformStamped lookupTransform(
    const std::string & target_frame, const TimePoint & target_time,
    const std::string & source_frame, const TimePoint & source_time,
    const std::string & fixed_frame) const;

  bool canTransform(
    const std::string & target_frame, const std::string & source_frame,
    const TimePoint & time, std::string * error_msg = nullptr) const;

  bool canTransform(
    const std::string & target_frame, const TimePoint & target_time,
    const std::string & source_frame, const TimePoint & source_time,
    const std::string & fixed_frame, std::string * error_msg = nullptr) const;

  std::vector<std::string> getAllFrameNames() const;

  // One "Frame <child> exists with parent <parent>." line per frame with data.
  std::string allFramesAsString() const;

  // Derived buffers block on a timeout only when another thread fills the buffer meanwhile.
  void setUsingDedicatedThread(bool value) {using_dedicated_thread_ = value;}
  bool isUsingDedicatedThread() const {return using_dedicated_thread_;}

  bool _frameExists(const std::string & frame_id_str) const;

  // False when the frame has no parent at `time`.
  bool _getParent(const std::string & frame_id, TimePoint time, std::string & parent) const;

  tf2::Duration getCacheLength() {return cache_time_;}

private:
  // Every frame named so far, as child or as parent; one only ever named as a parent (the root
  // of a tree) has no cache.
  std::map<std::string, TimeCacheInterfacePtr> frames_;
  std::map<std::string, std::string> frame_authority_;
  mutable std::mutex frame_mutex_;
  tf2::Duration cache_time_;
  std::atomic<bool> using_dedicated_thread_{false};
};

}  // namespace tf2

#endif  // TF2__BUFFER_CORE_H_
