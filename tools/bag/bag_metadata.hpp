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

}  // namespace velmora_bag

#endif  // BAG__BAG_METADATA_HPP_
