#ifndef BAG__MCAP_BAG_HPP_
#define BAG__MCAP_BAG_HPP_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bag/bag.hpp"
#include "bag/mcap_records.hpp"

namespace velmora_bag
{

// An MCAP file read front to back in one pass, holding at most one chunk in memory. Channels
// and schemas come from the summary section when the file has one, otherwise from a first scan.
// Messages of a chunk are handed out in log-time order.
class McapBag : public BagReader
{
public:
  // Largest chunk (compressed or not) accepted by default; a bigger one is skipped as damaged.
  static constexpr uint64_t kDefaultChunkLimit = 1ULL << 30;

  // Throws BagError when the file is missing or does not start with the MCAP magic.
  explicit McapBag(const std::string & path, uint64_t chunk_limit = kDefaultChunkLimit);

  std::string storage() const override {return "mcap";}
  const std::vector<TopicInfo> & topics() const override {return topics_;}
  bool next(BagMessage & message) override;

  bool hadSummary() const {return had_summary_;}

private:
  bool readSummary();
  // True when a data end record ends just before `summary_start`, as it does in every MCAP file.
  bool followsDataEnd(uint64_t summary_start);
  bool listsEveryChannel(const std::map<uint16_t, uint64_t> & counts) const;
  void scanForChannels();
  void addSchema(const mcap::Schema & schema);
  void addChannel(const mcap::Channel & channel);
  // Reads the record at `offset_`; false at the end of the data section or of readable data.
  bool readRecord(uint8_t & opcode, std::vector<uint8_t> & content, uint64_t & offset);
  void takeChunk(const std::vector<uint8_t> & content, uint64_t offset, bool count_only);
  void takeMessage(
    const uint8_t * content, std::size_t size, const std::string & location, bool count_only);
  std::string topicOfChannel(uint16_t channel) const;

  uint64_t chunk_limit_;
  std::string name_;
  std::ifstream file_;
  uint64_t file_size_{0};
  uint64_t data_end_{0};  // where the summary starts, or the file's end
  uint64_t offset_{0};
  bool had_summary_{false};
  std::map<uint16_t, mcap::Schema> schemas_;
  std::map<uint16_t, mcap::Channel> channels_;
  std::map<uint16_t, std::size_t> channel_topic_;
  std::vector<TopicInfo> topics_;
  std::deque<BagMessage> pending_;
};

// A bag split into several MCAP files (rosbag2's --max-bag-size or --max-bag-duration), read file
// after file in the order given, each let go once read through. Topics are matched by name
// across the files, whose channel ids may differ; a topic of two types is refused.
class SplitMcapBag : public BagReader
{
public:
  // A file that ends before its magic (a recording stopped just after a split) is skipped and
  // noted as a problem. Throws BagError when a file cannot be opened, when every file is empty,
  // or when the files disagree on a topic's type.
  explicit SplitMcapBag(const std::vector<std::string> & paths);

  std::string storage() const override {return "mcap";}
  const std::vector<TopicInfo> & topics() const override {return topics_;}
  bool next(BagMessage & message) override;

private:
  void addTopicsOf(const McapBag & file, const std::string & path);
  // Copies the problems the current file recorded since the last call.
  void takeProblemsOfCurrentFile();

  std::vector<std::unique_ptr<McapBag>> files_;
  std::vector<std::vector<std::size_t>> topic_of_file_topic_;
  std::vector<TopicInfo> topics_;
  std::size_t current_{0};
  std::size_t problems_taken_{0};
};

// Writes MCAP files as the ecosystem's tools expect them: header, schemas and channels, messages
// (in chunks of about `chunk_size` bytes, compressed as asked, each followed by its message
// indexes, or loose), metadata records, and a summary with schemas, channels, statistics, chunk
// and metadata indexes, summary offsets and its CRC; every chunk carries the CRC of its records.
class McapWriter
{
public:
  struct Options
  {
    bool chunked{true};
    std::string compression;  // "", "zstd", "lz4"
    int zstd_level{3};
    std::size_t chunk_size{1 << 20};
    bool summary{true};
    // Schema and channel records repeated in the summary (libmcap's noRepeatedSchemas and
    // noRepeatedChannels leave them out).
    bool summary_repeats_channels{true};
    std::string library{"velmora_bag"};
  };

  // Throws BagError when the file cannot be created.
  McapWriter(const std::string & path, Options options);
  ~McapWriter();
  McapWriter(const McapWriter &) = delete;
  McapWriter & operator=(const McapWriter &) = delete;

  uint16_t addSchema(const std::string & name, const std::string & definition);
  uint16_t addChannel(
    uint16_t schema, const std::string & topic,
    const std::map<std::string, std::string> & metadata = {});
  void write(uint16_t channel, uint64_t log_time, const std::vector<uint8_t> & data);
  void addMetadata(const std::string & name, const std::map<std::string, std::string> & entries);
  // Finishes the file; throws BagError when it could not be written completely.
  void close();

private:
  void flushChunk();
  void put(const std::vector<uint8_t> & bytes);
  void put(const uint8_t * bytes, std::size_t size);
  void putRecord(uint8_t opcode, const std::vector<uint8_t> & content);
  // Returns where the summary offset section starts.
  uint64_t writeSummary();

  std::string path_;
  std::ofstream out_;
  Options options_;
  std::vector<mcap::Schema> schemas_;
  std::vector<mcap::Channel> channels_;
  std::vector<uint8_t> chunk_;
  std::vector<uint8_t> compressed_;
  uint64_t chunk_start_{0};
  uint64_t chunk_end_{0};
  std::map<uint16_t, mcap::MessageIndex> chunk_messages_;
  std::vector<mcap::ChunkIndex> chunk_indexes_;
  std::vector<mcap::MetadataIndex> metadata_indexes_;
  mcap::Statistics statistics_;
  uint64_t written_{0};
  uint32_t crc_{0};  // of the summary written so far
  bool summary_crc_running_{false};
  bool closed_{false};
};

}  // namespace velmora_bag

#endif  // BAG__MCAP_BAG_HPP_
