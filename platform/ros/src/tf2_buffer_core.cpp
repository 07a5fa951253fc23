#include <algorithm>
#include <cmath>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <kdl/frames.hpp>

#include "rcutils/logging_macros.h"
#include "tf2/buffer_core.h"

namespace tf2
{

namespace
{

// Tolerance on |q|^2 - 1 for an incoming rotation.
constexpr double kQuaternionNormalizationTolerance = 10e-3;

// Carries points of a child frame into its parent: p_parent = M * p_child + p.
using Rigid = KDL::Frame;

// Scaled as tf2 scales it: a quaternion off unit length (within the tolerance) still gives a
// pure rotation.
KDL::Rotation rotationOf(const geometry_msgs::msg::Quaternion & q)
{
  const double norm = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
  return KDL::Rotation::Quaternion(q.x / norm, q.y / norm, q.z / norm, q.w / norm);
}

Rigid compose(const Rigid & parent_from_middle, const Rigid & middle_from_child)
{
  return parent_from_middle * middle_from_child;
}

Rigid inverse(const Rigid & transform)
{
  return transform.Inverse();
}

// Spherical interpolation along the shorter arc: the fraction `ratio` of the turn between them.
KDL::Rotation slerp(const KDL::Rotation & from, const KDL::Rotation & to, double ratio)
{
  const KDL::Vector turn = (from.Inverse() * to).GetRot();
  return from * KDL::Rotation::Rot(turn, ratio * turn.Norm());
}

Rigid interpolate(const Rigid & older, const Rigid & newer, double ratio)
{
  return {slerp(older.M, newer.M, ratio), older.p * (1.0 - ratio) + newer.p * ratio};
}

}  // namespace

// One link of the tree at one time.
struct TransformSample
{
  TimePoint stamp;
  Rigid transform;
  std::string parent;
};

// The history of one frame's link to its parent.
class TimeCacheInterface
{
public:
  virtual ~TimeCacheInterface() = default;

  // The link at `time` (TimePointZero: the newest); false with the reason when there is none.
  virtual bool getData(TimePoint time, TransformSample & sample, std::string & error) const = 0;

  // False with the reason when the sample is refused.
  virtual bool insertData(const TransformSample & sample, std::string & reason) = 0;

  // Stamp and parent of the newest sample; a zero stamp holds at any time, an empty parent
  // means no data.
  virtual std::pair<TimePoint, std::string> getLatestTimeAndParent() const = 0;

  virtual TimePoint getLatestTimestamp() const = 0;

  virtual void clearList() = 0;
};

namespace
{

std::string extrapolationAtSingleSample(TimePoint requested, TimePoint only)
{
  return "Lookup would require extrapolation at time " + displayTimePoint(requested) +
         ", but only time " + displayTimePoint(only) + " is in the buffer";
}

std::string extrapolationIntoFuture(TimePoint requested, TimePoint latest)
{
  return "Lookup would require extrapolation into the future.  Requested time " +
         displayTimePoint(requested) + " but the latest data is at time " +
         displayTimePoint(latest);
}

std::string extrapolationIntoPast(TimePoint requested, TimePoint earliest)
{
  return "Lookup would require extrapolation into the past.  Requested time " +
         displayTimePoint(requested) + " but the earliest data is at time " +
         displayTimePoint(earliest);
}

// Time-stamped samples, kept for `max_storage_time` behind the newest one.
class TimeCache : public TimeCacheInterface
{
public:
  explicit TimeCache(Duration max_storage_time)
  : max_storage_time_(max_storage_time) {}

  bool getData(TimePoint time, TransformSample & sample, std::string & error) const override
  {
    if (samples_.empty()) {
      return false;
    }
    const TransformSample & newest = samples_.back();
    const TransformSample & oldest = samples_.front();
    if (time == TimePointZero || time == newest.stamp) {
      sample = newest;
      return true;
    }
    if (samples_.size() == 1) {
      error = extrapolationAtSingleSample(time, newest.stamp);
      return false;
    }
    if (time == oldest.stamp) {
      sample = oldest;
      return true;
    }
    if (time > newest.stamp) {
      error = extrapolationIntoFuture(time, newest.stamp);
      return false;
    }
    if (time < oldest.stamp) {
      error = extrapolationIntoPast(time, oldest.stamp);
      return false;
    }
    sample = between(time);
    return true;
  }

  bool insertData(const TransformSample & sample, std::string & reason) override
  {
    if (!samples_.empty() && samples_.back().stamp > sample.stamp + max_storage_time_) {
      reason = "TF_OLD_DATA ignoring data from the past";
      return false;
    }
    const auto position = std::upper_bound(
      samples_.begin(), samples_.end(), sample.stamp,
      [](TimePoint stamp, const TransformSample & stored) {return stamp < stored.stamp;});
    if (position != samples_.begin() && std::prev(position)->stamp == sample.stamp) {
      reason = "TF_REPEATED_DATA ignoring data with redundant timestamp";
      return false;
    }
    samples_.insert(position, sample);
    prune();
    return true;
  }

  std::pair<TimePoint, std::string> getLatestTimeAndParent() const override
  {
    if (samples_.empty()) {
      return {TimePoint(), std::string()};
    }
    return {samples_.back().stamp, samples_.back().parent};
  }

  TimePoint getLatestTimestamp() const override
  {
    return samples_.empty() ? TimePoint() : samples_.back().stamp;
  }

  void clearList() override {samples_.clear();}

private:
  // `time` lies strictly inside the stored range.
  TransformSample between(TimePoint time) const
  {
    const auto newer = std::upper_bound(
      samples_.begin(), samples_.end(), time,
      [](TimePoint stamp, const TransformSample & stored) {return stamp < stored.stamp;});
    const TransformSample & older = *std::prev(newer);
    if (older.parent != newer->parent) {
      return older;
    }
    const double ratio = static_cast<double>((time - older.stamp).count()) /
      static_cast<double>((newer->stamp - older.stamp).count());
    return {older.stamp, interpolate(older.transform, newer->transform, ratio), older.parent};
  }

  // Drops what lies more than the cache length behind the newest sample.
  void prune()
  {
    const TimePoint newest = samples_.back().stamp;
    while (samples_.front().stamp + max_storage_time_ < newest) {
      samples_.pop_front();
    }
  }

  Duration max_storage_time_;
  std::deque<TransformSample> samples_;  // oldest first
};

// A single transform that holds at every time; a new one replaces it.
class StaticCache : public TimeCacheInterface
{
public:
  bool getData(TimePoint time, TransformSample & sample, std::string &) const override
  {
    if (!sample_) {
      return false;
    }
    sample = *sample_;
    sample.stamp = time;
    return true;
  }

  bool insertData(const TransformSample & sample, std::string &) override
  {
    sample_ = sample;
    return true;
  }

  std::pair<TimePoint, std::string> getLatestTimeAndParent() const override
  {
    return {TimePoint(), sample_ ? sample_->parent : std::string()};
  }

  TimePoint getLatestTimestamp() const override {return TimePoint();}

  void clearList() override {sample_.reset();}

private:
  std::optional<TransformSample> sample_;
};

using FrameMap = std::map<std::string, TimeCacheInterfacePtr>;

TimeCacheInterfacePtr findCache(const FrameMap & frames, const std::string & frame)
{
  const auto found = frames.find(frame);
  return found == frames.end() ? nullptr : found->second;
}

std::string describeFrames(const FrameMap & frames)
{
  std::ostringstream text;
  for (const auto & [frame, cache] : frames) {
    if (!cache) {
      continue;
    }
    TransformSample sample;
    std::string error;
    const std::string parent =
      cache->getData(TimePointZero, sample, error) ? sample.parent : "NO_PARENT";
    text << "Frame " << frame << " exists with parent " << parent << "." << std::endl;
  }
  return text.str();
}

[[noreturn]] void throwLoop(const FrameMap & frames)
{
  std::ostringstream text;
  text << "The tf tree is invalid because it contains a loop." << std::endl <<
    describeFrames(frames) << std::endl;
  throw LookupException(text.str());
}

[[noreturn]] void throwDisconnected(const std::string & target, const std::string & source)
{
  throw ConnectivityException(
          "Could not find a connection between '" + target + "' and '" + source +
          "' because they are not part of the same tree." +
          "Tf has two or more unconnected trees.");
}

bool startsWithSlash(const std::string & frame_id)
{
  return !frame_id.empty() && frame_id.front() == '/';
}

std::string stripSlash(const std::string & frame_id)
{
  return startsWithSlash(frame_id) ? frame_id.substr(1) : frame_id;
}

// Empty or slash-led names are malformed; unknown ones do not exist.
void validateFrameId(
  const FrameMap & frames, const char * function_name_arg, const std::string & frame_id)
{
  if (frame_id.empty()) {
    throw InvalidArgumentException(
            std::string("Invalid argument passed to ") + function_name_arg +
            " in tf2 frame_ids cannot be empty");
  }
  if (startsWithSlash(frame_id)) {
    throw InvalidArgumentException(
            "Invalid argument \"" + frame_id + "\" passed to " + function_name_arg +
            " in tf2 frame_ids cannot start with a '/' like: ");
  }
  if (frames.count(frame_id) == 0) {
    throw LookupException(
            "\"" + frame_id + "\" passed to " + function_name_arg + " does not exist. ");
  }
}

TimePoint zeroIfUnset(TimePoint common_time)
{
  return common_time == TimePoint::max() ? TimePointZero : common_time;
}

// One step up from `frame`: its parent, with the link's newest stamp folded into `common_time`
// unless the link is static; nothing at a root or an unknown frame.
std::optional<std::string> stepToParent(
  const FrameMap & frames, const std::string & frame, TimePoint & common_time)
{
  const TimeCacheInterfacePtr cache = findCache(frames, frame);
  if (!cache) {
    return std::nullopt;
  }
  const auto [stamp, parent] = cache->getLatestTimeAndParent();
  if (parent.empty()) {
    return std::nullopt;
  }
  if (stamp != TimePointZero) {
    common_time = std::min(common_time, stamp);
  }
  return parent;
}

// The newest time every dynamic link between the two frames has data for; static links do not
// count, and a chain of static links only gives TimePointZero.
TimePoint latestCommonTime(
  const FrameMap & frames, const std::string & target, const std::string & source)
{
  // For each frame above the source: the oldest newest-stamp of the links below it.
  std::map<std::string, TimePoint> reached_from_source{{source, TimePoint::max()}};
  TimePoint common_time = TimePoint::max();
  std::string frame = source;
  for (uint32_t depth = 0; ; ++depth) {
    const auto parent = stepToParent(frames, frame, common_time);
    if (!parent) {
      break;
    }
    frame = *parent;
    reached_from_source.emplace(frame, common_time);
    if (frame == target) {
      return zeroIfUnset(common_time);
    }
    if (depth > BufferCore::MAX_GRAPH_DEPTH) {
      throwLoop(frames);
    }
  }

  common_time = TimePoint::max();
  frame = target;
  for (uint32_t depth = 0; ; ++depth) {
    const auto reached = reached_from_source.find(frame);
    if (reached != reached_from_source.end()) {
      return zeroIfUnset(std::min(common_time, reached->second));
    }
    const auto parent = stepToParent(frames, frame, common_time);
    if (!parent) {
      break;
    }
    frame = *parent;
    if (depth > BufferCore::MAX_GRAPH_DEPTH) {
      throwLoop(frames);
    }
  }
  throwDisconnected(target, source);
}

// Walks from the source towards its root, then from the target until it meets that path, and
// joins the two halves at the meeting frame. `time` is not zero here unless every link of the
// tree is static.
Rigid chainTransform(
  const FrameMap & frames, const std::string & target, const std::string & source,
  TimePoint time)
{
  const std::string failure_context =
    ", when looking up transform from frame [" + source + "] to frame [" + target + "]";

  std::map<std::string, Rigid> reached_from_source{{source, Rigid{}}};
  Rigid frame_from_source;
  std::string source_error;
  bool source_walk_failed = false;
  std::string frame = source;
  for (uint32_t depth = 0; frame != target; ++depth) {
    const TimeCacheInterfacePtr cache = findCache(frames, frame);
    if (!cache) {
      break;
    }
    TransformSample link;
    if (!cache->getData(time, link, source_error)) {
      // The target may still be reached below this frame.
      source_walk_failed = true;
      break;
    }
    frame_from_source = compose(link.transform, frame_from_source);
    frame = link.parent;
    reached_from_source.emplace(frame, frame_from_source);
    if (depth > BufferCore::MAX_GRAPH_DEPTH) {
      throwLoop(frames);
    }
  }

  Rigid frame_from_target;
  frame = target;
  for (uint32_t depth = 0; ; ++depth) {
    const auto reached = reached_from_source.find(frame);
    if (reached != reached_from_source.end()) {
      return compose(inverse(frame_from_target), reached->second);
    }
    const TimeCacheInterfacePtr cache = findCache(frames, frame);
    if (!cache) {
      break;
    }
    TransformSample link;
    std::string error;
    if (!cache->getData(time, link, error)) {
      throw ExtrapolationException(error + failure_context);
    }
    frame_from_target = compose(link.transform, frame_from_target);
    frame = link.parent;
    if (depth > BufferCore::MAX_GRAPH_DEPTH) {
      throwLoop(frames);
    }
  }
  if (source_walk_failed) {
    throw ExtrapolationException(source_error + failure_context);
  }
  throwDisconnected(target, source);
}

// The transform from source into target at `time` and the time it holds for.
Rigid resolveTransform(
  const FrameMap & frames, const std::string & target, const std::string & source,
  TimePoint time, TimePoint & time_out)
{
  if (target == source) {
    const TimeCacheInterfacePtr cache = findCache(frames, target);
    time_out = (time == TimePointZero && cache) ? cache->getLatestTimestamp() : time;
    return Rigid{};
  }
  validateFrameId(frames, "lookupTransform argument target_frame", target);
  validateFrameId(frames, "lookupTransform argument source_frame", source);
  time_out = time == TimePointZero ? latestCommonTime(frames, target, source) : time;
  return chainTransform(frames, target, source, time_out);
}

geometry_msgs::msg::TransformStamped toMessage(
  const Rigid & transform, TimePoint stamp, const std::string & target, const std::string & source)
{
  geometry_msgs::msg::TransformStamped message;
  const auto since_epoch = stamp.time_since_epoch();
  message.header.stamp.sec = static_cast<int32_t>(
    std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count());
  message.header.stamp.nanosec = static_cast<uint32_t>(since_epoch.count() % 1000000000LL);
  message.header.frame_id = target;
  message.child_frame_id = source;
  message.transform.translation.x = transform.p.x();
  message.transform.translation.y = transform.p.y();
  message.transform.translation.z = transform.p.z();
  auto & rotation = message.transform.rotation;
  transform.M.GetQuaternion(rotation.x, rotation.y, rotation.z, rotation.w);
  return message;
}

// The reason a stamped transform cannot enter the tree; empty when it can.
std::string rejectionOf(
  const geometry_msgs::msg::TransformStamped & transform, const std::string & frame_id,
  const std::string & child_frame_id, const std::string & authority)
{
  const auto & t = transform.transform.translation;
  const auto & q = transform.transform.rotation;
  char text[512];
  if (child_frame_id == frame_id) {
    std::snprintf(
      text, sizeof(text), "TF_SELF_TRANSFORM: Ignoring transform from authority \"%s\" with "
      "frame_id and child_frame_id  \"%s\" because they are the same", authority.c_str(),
      child_frame_id.c_str());
  } else if (child_frame_id.empty()) {
    std::snprintf(
      text, sizeof(text), "TF_NO_CHILD_FRAME_ID: Ignoring transform from authority \"%s\" "
      "because child_frame_id not set ", authority.c_str());
  } else if (frame_id.empty()) {
    std::snprintf(
      text, sizeof(text), "TF_NO_FRAME_ID: Ignoring transform with child_frame_id \"%s\"  from "
      "authority \"%s\" because frame_id not set", child_frame_id.c_str(), authority.c_str());
  } else if (std::isnan(t.x) || std::isnan(t.y) || std::isnan(t.z) || std::isnan(q.x) ||
    std::isnan(q.y) || std::isnan(q.z) || std::isnan(q.w))
  {
    std::snprintf(
      text, sizeof(text), "TF_NAN_INPUT: Ignoring transform for child_frame_id \"%s\" from "
      "authority \"%s\" because of a nan value in the transform (%f %f %f) (%f %f %f %f)",
      child_frame_id.c_str(), authority.c_str(), t.x, t.y, t.z, q.x, q.y, q.z, q.w);
  } else if (std::abs(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w - 1.0) >=
    kQuaternionNormalizationTolerance)
  {
    std::snprintf(
      text, sizeof(text), "TF_DENORMALIZED_QUATERNION: Ignoring transform for child_frame_id "
      "\"%s\" from authority \"%s\" because of an invalid quaternion in the transform "
      "(%f %f %f %f)", child_frame_id.c_str(), authority.c_str(), q.x, q.y, q.z, q.w);
  } else {
    return std::string();
  }
  return text;
}

}  // namespace

BufferCore::BufferCore(tf2::Duration cache_time)
: cache_time_(cache_time)
{
}

BufferCore::~BufferCore() = default;

void BufferCore::clear()
{
  std::lock_guard<std::mutex> lock(frame_mutex_);
  for (auto & entry : frames_) {
    if (entry.second) {
      entry.second->clearList();
    }
  }
}

bool BufferCore::setTransform(
  const geometry_msgs::msg::TransformStamped & transform,
  const std::string & authority, bool is_static)
{
  const std::string frame_id = stripSlash(transform.header.frame_id);
  const std::string child_frame_id = stripSlash(transform.child_frame_id);
  const std::string rejection = rejectionOf(transform, frame_id, child_frame_id, authority);
  if (!rejection.empty()) {
    RCUTILS_LOG_ERROR("%s", rejection.c_str());
    return false;
  }

  const auto & t = transform.transform.translation;
  const auto & q = transform.transform.rotation;
  TransformSample sample;
  sample.stamp = TimePoint(
    std::chrono::seconds(transform.header.stamp.sec) +
    std::chrono::nanoseconds(transform.header.stamp.nanosec));
  sample.transform = Rigid(rotationOf(q), KDL::Vector(t.x, t.y, t.z));
  sample.parent = frame_id;

  std::lock_guard<std::mutex> lock(frame_mutex_);
  frames_.emplace(frame_id, nullptr);
  TimeCacheInterfacePtr & cache = frames_[child_frame_id];
  if (!cache) {
    cache = is_static ? TimeCacheInterfacePtr(std::make_shared<StaticCache>()) :
      TimeCacheInterfacePtr(std::make_shared<TimeCache>(cache_time_));
  }
  std::string reason;
  if (!cache->insertData(sample, reason)) {
    RCUTILS_LOG_WARN(
      "%s for frame %s (parent %s) at time %lf according to authority %s", reason.c_str(),
      child_frame_id.c_str(), frame_id.c_str(), timeToSec(sample.stamp), authority.c_str());
    return false;
  }
  frame_authority_[child_frame_id] = authority;
  return true;
}

geometry_msgs::msg::TransformStamped BufferCore::lookupTransform(
  const std::string & target_frame, const std::string & source_frame,
  const TimePoint & time) const
{
  std::lock_guard<std::mutex> lock(frame_mutex_);
  TimePoint time_out;
  const Rigid transform = resolveTransform(frames_, target_frame, source_frame, time, time_out);
  return toMessage(transform, time_out, target_frame, source_frame);
}

geometry_msgs::msg::TransformStamped BufferCore::lookupTransform(
  const std::string & target_frame, const TimePoint & target_time,
  const std::string & source_frame, const TimePoint & source_time,
  const std::string & fixed_frame) const
{
  std::lock_guard<std::mutex> lock(frame_mutex_);
  validateFrameId(frames_, "lookupTransform argument target_frame", target_frame);
  validateFrameId(frames_, "lookupTransform argument source_frame", source_frame);
  validateFrameId(frames_, "lookupTransform argument fixed_frame", fixed_frame);
  TimePoint time_out;
  const Rigid fixed_from_source =
    resolveTransform(frames_, fixed_frame, source_frame, source_time, time_out);
  const Rigid target_from_fixed =
    resolveTransform(frames_, target_frame, fixed_frame, target_time, time_out);
  return toMessage(
    compose(target_from_fixed, fixed_from_source), time_out, target_frame, source_frame);
}

bool BufferCore::canTransform(
  const std::string & target_frame, const std::string & source_frame,
  const TimePoint & time, std::string * error_msg) const
{
  if (target_frame == source_frame) {
    return true;
  }
  std::lock_guard<std::mutex> lock(frame_mutex_);
  const bool target_known = frames_.count(target_frame) != 0;
  const bool source_known = frames_.count(source_frame) != 0;
  if (!target_known || !source_known) {
    if (error_msg) {
      std::string missing;
      if (!target_known) {
        missing = "canTransform: target_frame " + target_frame + " does not exist.";
      }
      if (!source_known) {
        missing += (missing.empty() ? "" : " ") +
          ("canTransform: source_frame " + source_frame + " does not exist.");
      }
      *error_msg = missing;
    }
    return false;
  }
  try {
    TimePoint time_out;
    resolveTransform(frames_, target_frame, source_frame, time, time_out);
    return true;
  } catch (const TransformException & error) {
    if (error_msg) {
      *error_msg = error.what();
    }
    return false;
  }
}

bool BufferCore::canTransform(
  const std::string & target_frame, const TimePoint & target_time,
  const std::string & source_frame, const TimePoint & source_time,
  const std::string & fixed_frame, std::string * error_msg) const
{
  return canTransform(target_frame, fixed_frame, target_time, error_msg) &&
         canTransform(fixed_frame, source_frame, source_time, error_msg);
}

std::vector<std::string> BufferCore::getAllFrameNames() const
{
  std::lock_guard<std::mutex> lock(frame_mutex_);
  std::vector<std::string> names;
  names.reserve(frames_.size());
  for (const auto & entry : frames_) {
    names.push_back(entry.first);
  }
  return names;
}

std::string BufferCore::allFramesAsString() const
{
  std::lock_guard<std::mutex> lock(frame_mutex_);
  return describeFrames(frames_);
}

bool BufferCore::_frameExists(const std::string & frame_id_str) const
{
  std::lock_guard<std::mutex> lock(frame_mutex_);
  return frames_.count(frame_id_str) != 0;
}

bool BufferCore::_getParent(
  const std::string & frame_id, TimePoint time, std::string & parent) const
{
  std::lock_guard<std::mutex> lock(frame_mutex_);
  const TimeCacheInterfacePtr cache = findCache(frames_, frame_id);
  TransformSample link;
  std::string error;
  if (!cache || !cache->getData(time, link, error)) {
    return false;
  }
  parent = link.parent;
  return true;
}

}  // namespace tf2
