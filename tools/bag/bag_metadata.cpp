#include "bag/bag_metadata.hpp"

#include <yaml-cpp/yaml.h>

#include "bag/bag.hpp"

namespace velmora_bag
{

namespace
{

constexpr int kOldestVersion = 4;
constexpr int kNewestVersion = 9;

std::string textOf(const YAML::Node & node)
{
  return node && node.IsScalar() ? node.as<std::string>() : std::string();
}

}  // namespace

BagMetadata readBagMetadata(const std::string & path)
{
  YAML::Node root;
  try {
    root = YAML::LoadFile(path)["rosbag2_bagfile_information"];
  } catch (const YAML::Exception & error) {
    throw BagError(path + ": unreadable metadata: " + error.what());
  }
  if (!root || !root.IsMap()) {
    throw BagError(path + ": no rosbag2_bagfile_information");
  }
  BagMetadata metadata;
  try {
    metadata.version = root["version"] ? root["version"].as<int>() : 0;
    metadata.storage_identifier = textOf(root["storage_identifier"]);
    metadata.compression_format = textOf(root["compression_format"]);
    metadata.compression_mode = textOf(root["compression_mode"]);
    for (const YAML::Node & file : root["relative_file_paths"]) {
      metadata.relative_file_paths.push_back(file.as<std::string>());
    }
    for (const YAML::Node & entry : root["topics_with_message_count"]) {
      metadata.message_counts[textOf(entry["topic_metadata"]["name"])] =
        entry["message_count"].as<uint64_t>();
    }
  } catch (const YAML::Exception & error) {
    throw BagError(path + ": malformed metadata: " + error.what());
  }
  if (metadata.version < kOldestVersion || metadata.version > kNewestVersion) {
    throw BagError(
            path + ": metadata version " + std::to_string(metadata.version) +
            " is not supported (4 to 9)");
  }
  if (metadata.storage_identifier.empty()) {
    throw BagError(path + ": metadata names no storage_identifier");
  }
  return metadata;
}

}  // namespace velmora_bag
