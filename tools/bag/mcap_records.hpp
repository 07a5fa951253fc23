#ifndef BAG__MCAP_RECORDS_HPP_
#define BAG__MCAP_RECORDS_HPP_

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// MCAP record framing (little-endian, opcode byte + 64-bit length + content), both ways, so that
// the same code reads recorded bags and writes test and recorded ones.
namespace velmora_bag::mcap
{

constexpr std::array<uint8_t, 8> kMagic{0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};
constexpr std::size_t kRecordHeaderSize = 9;
constexpr std::size_t kFooterContentSize = 20;

enum Opcode : uint8_t
{
  kHeader = 0x01,
  kFooter = 0x02,
  kSchema = 0x03,
  kChannel = 0x04,
  kMessage = 0x05,
  kChunk = 0x06,
  kMessageIndex = 0x07,
  kChunkIndex = 0x08,
  kStatistics = 0x0B,
  kMetadata = 0x0C,
  kMetadataIndex = 0x0D,
  kSummaryOffset = 0x0E,
  kDataEnd = 0x0F,
};

// A record or field that does not fit its bytes.
class RecordError : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

struct Header
{
  std::string profile;
  std::string library;
};

struct Footer
{
  uint64_t summary_start{0};
  uint64_t summary_offset_start{0};
  uint32_t summary_crc{0};
};

struct Schema
{
  uint16_t id{0};
  std::string name;
  std::string encoding;
  std::string data;
};

struct Channel
{
  uint16_t id{0};
  uint16_t schema_id{0};
  std::string topic;
  std::string message_encoding;
  std::map<std::string, std::string> metadata;
};

// A message record; `data` points into the parsed bytes.
struct Message
{
  uint16_t channel_id{0};
  uint32_t sequence{0};
  uint64_t log_time{0};
  uint64_t publish_time{0};
  const uint8_t * data{nullptr};
  std::size_t size{0};
};

// A chunk record; `records` points into the parsed bytes.
struct Chunk
{
  uint64_t message_start_time{0};
  uint64_t message_end_time{0};
  uint64_t uncompressed_size{0};
  uint32_t uncompressed_crc{0};
  std::string compression;
  const uint8_t * records{nullptr};
  std::size_t records_size{0};
};

struct Statistics
{
  uint64_t message_count{0};
  uint16_t schema_count{0};
  uint32_t channel_count{0};
  uint32_t attachment_count{0};
  uint32_t metadata_count{0};
  uint32_t chunk_count{0};
  uint64_t message_start_time{0};
  uint64_t message_end_time{0};
  std::map<uint16_t, uint64_t> channel_message_counts;
};

// Where each message of one channel lies in a chunk's uncompressed records.
struct MessageIndex
{
  uint16_t channel_id{0};
  std::vector<std::pair<uint64_t, uint64_t>> entries;  // log time, offset in the records
};

struct ChunkIndex
{
  uint64_t message_start_time{0};
  uint64_t message_end_time{0};
  uint64_t chunk_start_offset{0};
  uint64_t chunk_length{0};  // the whole chunk record, opcode and length included
  std::map<uint16_t, uint64_t> message_index_offsets;  // channel -> its message index record
  uint64_t message_index_length{0};  // all message index records after the chunk
  std::string compression;
  uint64_t compressed_size{0};
  uint64_t uncompressed_size{0};
};

struct Metadata
{
  std::string name;
  std::map<std::string, std::string> entries;
};

struct MetadataIndex
{
  uint64_t offset{0};
  uint64_t length{0};  // the whole metadata record
  std::string name;
};

struct SummaryOffset
{
  uint8_t group_opcode{0};
  uint64_t group_start{0};
  uint64_t group_length{0};
};

// Parsers of one record's content; throw RecordError when the content is too short or a length
// field points past it.
Header parseHeader(const uint8_t * content, std::size_t size);
Footer parseFooter(const uint8_t * content, std::size_t size);
Schema parseSchema(const uint8_t * content, std::size_t size);
Channel parseChannel(const uint8_t * content, std::size_t size);
Message parseMessage(const uint8_t * content, std::size_t size);
Chunk parseChunk(const uint8_t * content, std::size_t size);
Statistics parseStatistics(const uint8_t * content, std::size_t size);

// Calls `visit` with each record of a run of records (a chunk's content, the summary section);
// throws RecordError when a record's length runs past the end.
void forEachRecord(
  const uint8_t * data, std::size_t size,
  const std::function<void(uint8_t opcode, const uint8_t * content, std::size_t size,
  std::size_t offset)> & visit);

// The chunk's records, decompressed ("", "zstd", "lz4") and checked against the chunk's size and
// CRC (when not zero); throws RecordError naming what is wrong.
std::vector<uint8_t> chunkRecords(const Chunk & chunk, uint64_t size_limit);

uint32_t crc32Of(const uint8_t * data, std::size_t size);
// Continues a CRC-32 over more bytes: crc32Of(a + b) == crc32Continue(crc32Of(a), b).
uint32_t crc32Continue(uint32_t crc, const uint8_t * data, std::size_t size);

// Writers of record contents, the inverse of the parsers.
std::vector<uint8_t> serializeHeader(const Header & header);
std::vector<uint8_t> serializeFooter(const Footer & footer);
std::vector<uint8_t> serializeSchema(const Schema & schema);
std::vector<uint8_t> serializeChannel(const Channel & channel);
std::vector<uint8_t> serializeMessage(const Message & message);
std::vector<uint8_t> serializeChunk(const Chunk & chunk);
std::vector<uint8_t> serializeStatistics(const Statistics & statistics);
std::vector<uint8_t> serializeMessageIndex(const MessageIndex & index);
std::vector<uint8_t> serializeChunkIndex(const ChunkIndex & index);
std::vector<uint8_t> serializeMetadata(const Metadata & metadata);
std::vector<uint8_t> serializeMetadataIndex(const MetadataIndex & index);
std::vector<uint8_t> serializeSummaryOffset(const SummaryOffset & offset);
std::vector<uint8_t> serializeDataEnd(uint32_t data_section_crc);
// Appends a whole message record, its data copied once.
void appendMessageRecord(std::vector<uint8_t> & out, const Message & message);
// Appends opcode, length and content.
void appendRecord(std::vector<uint8_t> & out, uint8_t opcode, const std::vector<uint8_t> & content);
// Compresses a chunk's records ("", "zstd" at `zstd_level`, "lz4").
std::vector<uint8_t> compressRecords(
  const std::vector<uint8_t> & records, const std::string & how, int zstd_level = 3);
// The same into `out`, whose memory is reused from chunk to chunk.
void compressRecordsInto(
  const std::vector<uint8_t> & records, const std::string & how, int zstd_level,
  std::vector<uint8_t> & out);
// A whole chunk record but its compressed records: opcode, length and the fields before them,
// so that the records are written from where they lie instead of copied twice more.
std::vector<uint8_t> chunkRecordPrefix(const Chunk & chunk);

}  // namespace velmora_bag::mcap

#endif  // BAG__MCAP_RECORDS_HPP_
