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

namespace
{

void emitNanoseconds(YAML::Emitter & out, const char * key, const char * unit, int64_t value)
{
  out << YAML::Key << key << YAML::Value << YAML::BeginMap << YAML::Key << unit << YAML::Value <<
    value << YAML::EndMap;
}

}  // namespace

std::string bagMetadataYaml(const WrittenBag & bag)
{
  constexpr int kHumbleVersion = 5;
  uint64_t message_count = 0;
  for (const WrittenTopic & topic : bag.topics) {
    message_count += topic.message_count;
  }
  YAML::Emitter out;
  out << YAML::BeginMap << YAML::Key << "rosbag2_bagfile_information" << YAML::Value <<
    YAML::BeginMap;
  out << YAML::Key << "version" << YAML::Value << kHumbleVersion;
  out << YAML::Key << "storage_identifier" << YAML::Value << bag.storage_identifier;
  emitNanoseconds(out, "duration", "nanoseconds", bag.duration_ns);
  emitNanoseconds(out, "starting_time", "nanoseconds_since_epoch", bag.starting_time_ns);
  out << YAML::Key << "message_count" << YAML::Value << message_count;
  out << YAML::Key << "topics_with_message_count" << YAML::Value << YAML::BeginSeq;
  for (const WrittenTopic & topic : bag.topics) {
    out << YAML::BeginMap << YAML::Key << "topic_metadata" << YAML::Value << YAML::BeginMap;
    out << YAML::Key << "name" << YAML::Value << topic.name;
    out << YAML::Key << "type" << YAML::Value << topic.type;
    out << YAML::Key << "serialization_format" << YAML::Value << "cdr";
    out << YAML::Key << "offered_qos_profiles" << YAML::Value << YAML::DoubleQuoted <<
      topic.offered_qos_profiles;
    out << YAML::EndMap << YAML::Key << "message_count" << YAML::Value << topic.message_count <<
      YAML::EndMap;
  }
  out << YAML::EndSeq;
  out << YAML::Key << "compression_format" << YAML::Value << YAML::DoubleQuoted << "";
  out << YAML::Key << "compression_mode" << YAML::Value << YAML::DoubleQuoted << "";
  out << YAML::Key << "relative_file_paths" << YAML::Value << YAML::BeginSeq << bag.file <<
    YAML::EndSeq;
  out << YAML::Key << "files" << YAML::Value << YAML::BeginSeq << YAML::BeginMap;
  out << YAML::Key << "path" << YAML::Value << bag.file;
  emitNanoseconds(out, "starting_time", "nanoseconds_since_epoch", bag.starting_time_ns);
  emitNanoseconds(out, "duration", "nanoseconds", bag.duration_ns);
  out << YAML::Key << "message_count" << YAML::Value << message_count;
  out << YAML::EndMap << YAML::EndSeq;
  out << YAML::EndMap << YAML::EndMap;
  return std::string(out.c_str()) + "\n";
}

}  // namespace velmora_bag
