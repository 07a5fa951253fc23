#ifndef BAG__BAG_WRITER_HPP_
#define BAG__BAG_WRITER_HPP_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bag/bag_metadata.hpp"

namespace velmora_bag
{

class McapWriter;
class Sqlite3Writer;

// The publisher QoS that rosbag2 stores with a topic, as its YAML text: reliable and volatile,
// or transient local for latched topics such as /tf_static, so that `ros2 bag play` offers them
// to subscribers that join late.
std::string offeredQosProfiles(bool transient_local);

// Writes a rosbag2 bag that ROS tools open. A path ending in ".mcap" becomes one MCAP file (zstd
// chunks, a summary with chunk indexes and statistics, the "rosbag2" metadata record); any other
// path becomes a bag directory as Humble's rosbag2 writes it: "<name>_0.db3" and metadata.yaml.
class BagWriter
{
public:
  // Throws BagError when the path already exists or cannot be created.
  BagWriter(const std::string & path, int zstd_level);
  ~BagWriter();
  BagWriter(const BagWriter &) = delete;
  BagWriter & operator=(const BagWriter &) = delete;

  // Returns the topic's index for write(); `definition` is the type's ros2msg text.
  std::size_t addTopic(
    const std::string & name, const std::string & type, const std::string & definition,
    bool transient_local);
  void write(std::size_t topic, int64_t log_time_ns, const std::vector<uint8_t> & data);
  // Finishes the storage and the metadata; throws BagError when anything could not be written.
  void close();

  const std::string & storage() const {return bag_.storage_identifier;}

private:
  std::string path_;
  std::unique_ptr<McapWriter> mcap_;
  std::unique_ptr<Sqlite3Writer> sqlite3_;
  std::vector<uint16_t> channels_;
  std::vector<int64_t> topic_ids_;
  WrittenBag bag_;
  int64_t last_time_ns_{0};
  uint64_t messages_{0};
  bool closed_{false};
};

}  // namespace velmora_bag

#endif  // BAG__BAG_WRITER_HPP_
