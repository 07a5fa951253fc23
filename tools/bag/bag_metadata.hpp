#ifndef BAG__BAG_METADATA_HPP_
#define BAG__BAG_METADATA_HPP_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace velmora_bag
{

// What rosbag2's metadata.yaml (versions 4 to 9) says about a bag.
struct BagMetadata
{
  int version{0};
  std::string storage_identifier;
  std::vector<std::string> relative_file_paths;
  std::string compression_format;
  std::string compression_mode;
  std::map<std::string, uint64_t> message_counts;  // per topic name
};

// Reads `path`; throws BagError for unreadable YAML, a version outside 4..9 or a missing
// storage identifier.
BagMetadata readBagMetadata(const std::string & path);

// What a writer knows of the bag it wrote, for its metadata.yaml.
struct WrittenTopic
{
  std::string name;
  std::string type;
  std::string offered_qos_profiles;  // rosbag2's YAML list of QoS profiles
  uint64_t message_count{0};
};

struct WrittenBag
{
  std::string storage_identifier;
  std::string file;  // the one storage file, relative to the bag directory
  int64_t starting_time_ns{0};
  int64_t duration_ns{0};
  std::vector<WrittenTopic> topics;
};

// metadata.yaml as Humble's rosbag2 writes it (version 5: with the per-file "files" list).
std::string bagMetadataYaml(const WrittenBag & bag);

}  // namespace velmora_bag

#endif  // BAG__BAG_METADATA_HPP_
