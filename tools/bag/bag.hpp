#ifndef BAG__BAG_HPP_
#define BAG__BAG_HPP_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace velmora_bag
{

// A bag that cannot be read at all: missing, not a bag, unsupported layout. The text is one line
// naming the file and the reason.
class BagError : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

struct TopicInfo
{
  std::string name;
  std::string type;                  // "sensor_msgs/msg/Image"
  std::string serialization_format;  // "cdr"
  // The type's full definition in ros2msg text (dependencies after "MSG: " separators) when the
  // bag carries it; empty otherwise.
  std::string definition;
  uint64_t message_count{0};
};

struct BagMessage
{
  std::size_t topic{0};    // index into BagReader::topics()
  int64_t log_time_ns{0};  // when the recorder received it
  std::vector<uint8_t> data;
  std::string location;    // where in the bag, for reports: "talker.db3 row 7"
};

// A part of the bag that was skipped; reading goes on after it.
struct BagProblem
{
  std::string topic;  // empty when the damage is not tied to one topic
  std::string location;
  std::string reason;
};

// Messages of one bag in recording order, one at a time, so that memory stays bounded by what a
// single storage unit (a row, an MCAP chunk) holds.
class BagReader
{
public:
  virtual ~BagReader() = default;

  virtual std::string storage() const = 0;  // "sqlite3", "mcap"
  virtual const std::vector<TopicInfo> & topics() const = 0;
  // The next message, false at the end. Damage is skipped and recorded in problems().
  virtual bool next(BagMessage & message) = 0;

  const std::vector<BagProblem> & problems() const {return problems_;}
  // First and last log time of the bag's messages, when the storage tells them cheaply.
  std::optional<std::pair<int64_t, int64_t>> timeSpan() const {return time_span_;}

protected:
  void setTimeSpan(int64_t first, int64_t last) {time_span_ = std::make_pair(first, last);}

  void addProblem(std::string topic, std::string location, std::string reason)
  {
    problems_.push_back({std::move(topic), std::move(location), std::move(reason)});
  }
  // Forgets problems recorded after the first `count`, for passes that are repeated.
  void keepProblems(std::size_t count)
  {
    problems_.erase(problems_.begin() + static_cast<std::ptrdiff_t>(count), problems_.end());
  }

private:
  std::vector<BagProblem> problems_;
  std::optional<std::pair<int64_t, int64_t>> time_span_;
};

// Opens a bag directory (with or without metadata.yaml) or a single .db3 / .mcap file,
// read-only. Throws BagError when it cannot be read.
std::unique_ptr<BagReader> openBag(const std::string & path);

}  // namespace velmora_bag

#endif  // BAG__BAG_HPP_
