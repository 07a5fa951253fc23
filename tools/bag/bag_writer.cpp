#include "bag/bag_writer.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "bag/bag.hpp"
#include "bag/mcap_bag.hpp"
#include "bag/sqlite3_bag.hpp"

namespace velmora_bag
{

namespace fs = std::filesystem;

std::string offeredQosProfiles(bool transient_local)
{
  // Humble records history and depth as unknown: the graph does not tell them.
  return std::string("- history: 3\n  depth: 0\n  reliability: 1\n  durability: ") +
         (transient_local ? "1" : "2") +
         "\n  deadline:\n    sec: 0\n    nsec: 0\n  lifespan:\n    sec: 0\n    nsec: 0\n"
         "  liveliness: 1\n  liveliness_lease_duration:\n    sec: 0\n    nsec: 0\n"
         "  avoid_ros_namespace_conventions: false";
}

BagWriter::BagWriter(const std::string & path, int zstd_level)
: path_(path)
{
  std::error_code error;
  if (fs::exists(path, error)) {
    throw BagError(path + ": already exists; remove it or record to another path");
  }
  const fs::path bag(path);
  if (bag.extension() == ".mcap") {
    McapWriter::Options options;
    options.compression = "zstd";
    options.zstd_level = zstd_level;
    options.library = "velmora water_stain_sim";
    if (!bag.parent_path().empty()) {
      fs::create_directories(bag.parent_path(), error);
    }
    mcap_ = std::make_unique<McapWriter>(path, options);
    bag_.storage_identifier = "mcap";
    bag_.file = bag.filename().string();
    return;
  }
  fs::create_directories(bag, error);
  if (error) {
    throw BagError(path + ": cannot be created: " + error.message());
  }
  bag_.storage_identifier = "sqlite3";
  bag_.file = bag.lexically_normal().filename().string();
  if (bag_.file.empty()) {
    bag_.file = bag.lexically_normal().parent_path().filename().string();
  }
  bag_.file += "_0.db3";
  sqlite3_ = std::make_unique<Sqlite3Writer>((bag / bag_.file).string(), false);
}

BagWriter::~BagWriter()
{
  try {
    close();
  } catch (const BagError &) {
    // A destructor cannot report it; callers that care call close() themselves.
  }
}

std::size_t BagWriter::addTopic(
  const std::string & name, const std::string & type, const std::string & definition,
  bool transient_local)
{
  const std::string qos = offeredQosProfiles(transient_local);
  if (mcap_) {
    channels_.push_back(mcap_->addChannel(
        mcap_->addSchema(type, definition), name, {{"offered_qos_profiles", qos}}));
  } else {
    topic_ids_.push_back(sqlite3_->addTopic(name, type, definition, qos));
  }
  bag_.topics.push_back({name, type, qos, 0});
  return bag_.topics.size() - 1;
}

void BagWriter::write(std::size_t topic, int64_t log_time_ns, const std::vector<uint8_t> & data)
{
  if (mcap_) {
    mcap_->write(channels_.at(topic), static_cast<uint64_t>(log_time_ns), data);
  } else {
    sqlite3_->write(topic_ids_.at(topic), log_time_ns, data);
  }
  if (messages_ == 0 || log_time_ns < bag_.starting_time_ns) {
    bag_.starting_time_ns = log_time_ns;
  }
  last_time_ns_ = messages_ == 0 ? log_time_ns : std::max(last_time_ns_, log_time_ns);
  bag_.duration_ns = last_time_ns_ - bag_.starting_time_ns;
  ++bag_.topics.at(topic).message_count;
  ++messages_;
}

void BagWriter::close()
{
  if (closed_) {
    return;
  }
  closed_ = true;
  const std::string metadata = bagMetadataYaml(bag_);
  if (mcap_) {
    mcap_->addMetadata("rosbag2", {{"serialized_metadata", metadata}, {"ros_distro", "humble"}});
    mcap_->close();
    return;
  }
  sqlite3_->close();
  std::ofstream out(fs::path(path_) / "metadata.yaml", std::ios::trunc);
  out << metadata;
  out.close();
  if (!out) {
    throw BagError(path_ + ": metadata.yaml could not be written");
  }
}

}  // namespace velmora_bag
