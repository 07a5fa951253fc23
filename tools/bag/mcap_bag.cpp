#include "bag/mcap_bag.hpp"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

namespace velmora_bag
{

namespace
{

// The summary is read whole; a larger one is taken as damage and the file scanned instead.
constexpr uint64_t kSummaryLimit = 256ULL << 20;

bool hasMagic(const std::vector<uint8_t> & bytes)
{
  return bytes.size() == mcap::kMagic.size() &&
         std::equal(bytes.begin(), bytes.end(), mcap::kMagic.begin());
}

// A file of a split bag that rosbag2 had created but not yet written to when the recording
// stopped: empty, or cut inside the magic.
bool endsBeforeItsMagic(const std::string & path)
{
  std::ifstream in(path, std::ios::binary);
  std::vector<char> start(mcap::kMagic.size() + 1);
  in.read(start.data(), static_cast<std::streamsize>(start.size()));
  const auto length = static_cast<std::size_t>(in.gcount());
  return in.eof() && !in.bad() && length < mcap::kMagic.size() &&
         std::equal(start.begin(), start.begin() + static_cast<std::ptrdiff_t>(length),
           mcap::kMagic.begin(), [](char a, uint8_t b) {return static_cast<uint8_t>(a) == b;});
}

uint64_t littleEndian64(const uint8_t * bytes)
{
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) {
    value = (value << 8) | bytes[i];
  }
  return value;
}

}  // namespace

McapBag::McapBag(const std::string & path, uint64_t chunk_limit)
: chunk_limit_(chunk_limit), name_(std::filesystem::path(path).filename().string())
{
  std::error_code error;
  file_size_ = std::filesystem::file_size(path, error);
  if (error) {
    throw BagError(path + ": " + error.message());
  }
  file_.open(path, std::ios::binary);
  if (!file_) {
    throw BagError(path + ": cannot be opened for reading");
  }
  std::vector<uint8_t> magic(mcap::kMagic.size());
  file_.read(reinterpret_cast<char *>(magic.data()), static_cast<std::streamsize>(magic.size()));
  if (!file_ || !hasMagic(magic)) {
    throw BagError(path + ": not an MCAP file (no MCAP magic at its start)");
  }
  data_end_ = file_size_;
  if (!readSummary()) {
    scanForChannels();
  }
  offset_ = mcap::kMagic.size();
}

bool McapBag::readSummary()
{
  const uint64_t tail = mcap::kRecordHeaderSize + mcap::kFooterContentSize + mcap::kMagic.size();
  if (file_size_ < mcap::kMagic.size() + tail) {
    return false;
  }
  std::vector<uint8_t> end(tail);
  file_.seekg(static_cast<std::streamoff>(file_size_ - tail));
  file_.read(reinterpret_cast<char *>(end.data()), static_cast<std::streamsize>(tail));
  if (!file_ || end[0] != mcap::kFooter ||
    !hasMagic({end.end() - static_cast<std::ptrdiff_t>(mcap::kMagic.size()), end.end()}))
  {
    file_.clear();
    return false;
  }
  const mcap::Footer footer =
    mcap::parseFooter(end.data() + mcap::kRecordHeaderSize, mcap::kFooterContentSize);
  const uint64_t footer_at = file_size_ - tail;
  // The data section ends before the footer; before the summary only once that is known good.
  data_end_ = footer_at;
  if (footer.summary_start < mcap::kMagic.size() || footer.summary_start > footer_at) {
    return false;
  }
  if (!followsDataEnd(footer.summary_start)) {
    addProblem(
      "", name_ + " summary",
      "the footer's summary start follows no data end record; scanning the file instead");
    return false;
  }
  const uint64_t size = footer_at - footer.summary_start;
  if (size > kSummaryLimit) {
    addProblem("", name_ + " summary", "summary section too large; scanning the file instead");
    return false;
  }
  std::vector<uint8_t> summary(size);
  file_.seekg(static_cast<std::streamoff>(footer.summary_start));
  file_.read(reinterpret_cast<char *>(summary.data()), static_cast<std::streamsize>(size));
  if (!file_) {
    file_.clear();
    addProblem("", name_ + " summary", "summary section unreadable; scanning the file instead");
    return false;
  }
  // The CRC runs over the summary and the footer up to the CRC itself; 0 means not written.
  const std::size_t footer_covered = mcap::kRecordHeaderSize + 16;
  const uint32_t summary_crc = mcap::crc32Continue(
    mcap::crc32Of(summary.data(), summary.size()), end.data(), footer_covered);
  if (footer.summary_crc != 0 && summary_crc != footer.summary_crc) {
    addProblem("", name_ + " summary", "summary CRC mismatch; scanning the file instead");
    return false;
  }
  data_end_ = footer.summary_start;
  try {
    std::map<uint16_t, uint64_t> counts;
    bool has_statistics = false;
    mcap::forEachRecord(
      summary.data(), summary.size(),
      [&](uint8_t opcode, const uint8_t * content, std::size_t length, std::size_t) {
        if (opcode == mcap::kSchema) {
          addSchema(mcap::parseSchema(content, length));
        } else if (opcode == mcap::kChannel) {
          addChannel(mcap::parseChannel(content, length));
        } else if (opcode == mcap::kStatistics) {
          const mcap::Statistics statistics = mcap::parseStatistics(content, length);
          counts = statistics.channel_message_counts;
          if (statistics.message_count > 0) {
            setTimeSpan(
              static_cast<int64_t>(statistics.message_start_time),
              static_cast<int64_t>(statistics.message_end_time));
          }
          has_statistics = true;
        }
      });
    had_summary_ = true;
    if (!has_statistics || !listsEveryChannel(counts)) {
      // Message counts unknown, or channels only the data section names (libmcap's
      // noRepeatedChannels): a first scan finds them.
      return false;
    }
    for (const auto & [channel, count] : counts) {
      if (const auto topic = channel_topic_.find(channel); topic != channel_topic_.end()) {
        topics_[topic->second].message_count += count;
      }
    }
  } catch (const mcap::RecordError & error) {
    addProblem("", name_ + " summary", std::string(error.what()) + "; scanning the file instead");
    had_summary_ = false;
    schemas_.clear();
    channels_.clear();
    channel_topic_.clear();
    topics_.clear();
    data_end_ = footer_at;
    return false;
  }
  had_summary_ = true;
  return true;
}

bool McapBag::listsEveryChannel(const std::map<uint16_t, uint64_t> & counts) const
{
  if (channel_topic_.empty() && timeSpan()) {
    return false;  // messages counted, no channel listed
  }
  return std::all_of(
    counts.begin(), counts.end(),
    [this](const auto & count) {return channel_topic_.count(count.first) > 0;});
}

bool McapBag::followsDataEnd(uint64_t summary_start)
{
  const uint64_t record_size = mcap::kRecordHeaderSize + 4;
  if (summary_start < mcap::kMagic.size() + record_size) {
    return false;
  }
  uint8_t record[mcap::kRecordHeaderSize + 4];
  file_.seekg(static_cast<std::streamoff>(summary_start - record_size));
  file_.read(reinterpret_cast<char *>(record), sizeof(record));
  if (!file_) {
    file_.clear();
    return false;
  }
  return record[0] == mcap::kDataEnd && littleEndian64(record + 1) == 4;
}

void McapBag::scanForChannels()
{
  for (TopicInfo & topic : topics_) {
    topic.message_count = 0;
  }
  const std::size_t problems_before = problems().size();
  offset_ = mcap::kMagic.size();
  uint8_t opcode = 0;
  std::vector<uint8_t> content;
  uint64_t offset = 0;
  while (readRecord(opcode, content, offset)) {
    if (opcode == mcap::kChunk) {
      takeChunk(content, offset, true);
    } else if (opcode == mcap::kMessage) {
      takeMessage(content.data(), content.size(), "", true);
    }
  }
  // The reading pass reports the same damage again, where it skips it.
  keepProblems(problems_before);
  pending_.clear();
}

void McapBag::addSchema(const mcap::Schema & schema)
{
  schemas_.emplace(schema.id, schema);
}

void McapBag::addChannel(const mcap::Channel & channel)
{
  if (channels_.count(channel.id) != 0) {
    return;
  }
  channels_.emplace(channel.id, channel);
  TopicInfo topic;
  topic.name = channel.topic;
  topic.serialization_format = channel.message_encoding;
  if (const auto schema = schemas_.find(channel.schema_id); schema != schemas_.end()) {
    topic.type = schema->second.name;
    if (schema->second.encoding == "ros2msg") {
      topic.definition = schema->second.data;
    }
  }
  const auto same = std::find_if(
    topics_.begin(), topics_.end(),
    [&channel](const TopicInfo & known) {return known.name == channel.topic;});
  if (same != topics_.end()) {
    channel_topic_[channel.id] = static_cast<std::size_t>(same - topics_.begin());
    return;
  }
  channel_topic_[channel.id] = topics_.size();
  topics_.push_back(topic);
}

bool McapBag::readRecord(uint8_t & opcode, std::vector<uint8_t> & content, uint64_t & offset)
{
  while (offset_ < data_end_) {
    offset = offset_;
    const std::string location = name_ + " offset " + std::to_string(offset);
    if (data_end_ - offset_ < mcap::kRecordHeaderSize) {
      addProblem("", location, "record header cut off (truncated file)");
      offset_ = data_end_;
      return false;
    }
    uint8_t header[mcap::kRecordHeaderSize];
    file_.seekg(static_cast<std::streamoff>(offset_));
    file_.read(reinterpret_cast<char *>(header), sizeof(header));
    const uint64_t length = littleEndian64(header + 1);
    opcode = header[0];
    if (!file_ || length > data_end_ - offset_ - mcap::kRecordHeaderSize) {
      file_.clear();
      addProblem("", location, "record runs past the end of the file (truncated or corrupt)");
      offset_ = data_end_;
      return false;
    }
    offset_ += mcap::kRecordHeaderSize + length;
    if (opcode == mcap::kFooter || opcode == mcap::kDataEnd) {
      offset_ = data_end_;
      return false;
    }
    const bool wanted = opcode == mcap::kSchema || opcode == mcap::kChannel ||
      opcode == mcap::kMessage || opcode == mcap::kChunk;
    if (!wanted) {
      continue;
    }
    if (length > chunk_limit_) {
      addProblem("", location, "record of " + std::to_string(length) + " bytes skipped (too large)");
      continue;
    }
    content.resize(static_cast<std::size_t>(length));
    file_.read(reinterpret_cast<char *>(content.data()), static_cast<std::streamsize>(length));
    if (!file_) {
      file_.clear();
      addProblem("", location, "record unreadable");
      offset_ = data_end_;
      return false;
    }
    try {
      if (opcode == mcap::kSchema) {
        addSchema(mcap::parseSchema(content.data(), content.size()));
        continue;
      }
      if (opcode == mcap::kChannel) {
        addChannel(mcap::parseChannel(content.data(), content.size()));
        continue;
      }
    } catch (const mcap::RecordError & error) {
      addProblem("", location, error.what());
      continue;
    }
    return true;
  }
  return false;
}

std::string McapBag::topicOfChannel(uint16_t channel) const
{
  const auto topic = channel_topic_.find(channel);
  return topic == channel_topic_.end() ? std::string() : topics_[topic->second].name;
}

void McapBag::takeMessage(
  const uint8_t * content, std::size_t size, const std::string & location, bool count_only)
{
  try {
    const mcap::Message record = mcap::parseMessage(content, size);
    const auto topic = channel_topic_.find(record.channel_id);
    if (topic == channel_topic_.end()) {
      addProblem("", location, "message on unknown channel " + std::to_string(record.channel_id));
      return;
    }
    // A ROS time holds 2^63 - 1 ns (the year 2262); a later one would wrap to before 1970.
    if (record.log_time > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      addProblem(
        topics_[topic->second].name, location,
        "log time " + std::to_string(record.log_time) + " ns is past what a ROS time holds; "
        "message skipped");
      return;
    }
    if (count_only) {
      ++topics_[topic->second].message_count;
      return;
    }
    BagMessage message;
    message.topic = topic->second;
    message.log_time_ns = static_cast<int64_t>(record.log_time);
    message.data.assign(record.data, record.data + record.size);
    message.location = location;
    pending_.push_back(std::move(message));
  } catch (const mcap::RecordError & error) {
    addProblem("", location, error.what());
  }
}

void McapBag::takeChunk(const std::vector<uint8_t> & content, uint64_t offset, bool count_only)
{
  const std::string location = name_ + " chunk at offset " + std::to_string(offset);
  std::vector<uint8_t> records;
  try {
    records = mcap::chunkRecords(mcap::parseChunk(content.data(), content.size()), chunk_limit_);
  } catch (const mcap::RecordError & error) {
    addProblem("", location, std::string(error.what()) + "; chunk skipped");
    return;
  } catch (const std::bad_alloc &) {
    addProblem("", location, "chunk too large for memory; chunk skipped");
    return;
  }
  const std::size_t first = pending_.size();
  try {
    mcap::forEachRecord(
      records.data(), records.size(),
      [&](uint8_t opcode, const uint8_t * data, std::size_t size, std::size_t at) {
        if (opcode == mcap::kMessage) {
          takeMessage(data, size, location + " + " + std::to_string(at), count_only);
        } else if (opcode == mcap::kSchema) {
          addSchema(mcap::parseSchema(data, size));
        } else if (opcode == mcap::kChannel) {
          addChannel(mcap::parseChannel(data, size));
        }
      });
  } catch (const mcap::RecordError & error) {
    addProblem("", location, std::string(error.what()) + "; rest of the chunk skipped");
  }
  std::stable_sort(
    pending_.begin() + static_cast<std::ptrdiff_t>(first), pending_.end(),
    [](const BagMessage & a, const BagMessage & b) {return a.log_time_ns < b.log_time_ns;});
}

SplitMcapBag::SplitMcapBag(const std::vector<std::string> & paths)
{
  if (paths.empty()) {
    throw BagError("the bag holds no .mcap file");
  }
  std::optional<std::pair<int64_t, int64_t>> span;
  bool every_file_has_a_span = true;
  for (const std::string & path : paths) {
    if (endsBeforeItsMagic(path)) {
      addProblem(
        "", std::filesystem::path(path).filename().string(),
        "holds no data (the recording stopped before writing to it); skipped");
      continue;
    }
    files_.push_back(std::make_unique<McapBag>(path));
    addTopicsOf(*files_.back(), path);
    for (const BagProblem & problem : files_.back()->problems()) {
      addProblem(problem.topic, problem.location, problem.reason);
    }
    const auto file_span = files_.back()->timeSpan();
    every_file_has_a_span = every_file_has_a_span && file_span.has_value();
    if (file_span) {
      span = span ? std::make_pair(
        std::min(span->first, file_span->first), std::max(span->second, file_span->second)) :
        *file_span;
    }
  }
  if (files_.empty()) {
    throw BagError("every .mcap file of the bag is empty");
  }
  if (every_file_has_a_span) {
    setTimeSpan(span->first, span->second);
  }
  problems_taken_ = files_.front()->problems().size();
}

void SplitMcapBag::addTopicsOf(const McapBag & file, const std::string & path)
{
  std::vector<std::size_t> & topic_of = topic_of_file_topic_.emplace_back();
  for (const TopicInfo & topic : file.topics()) {
    const auto same_name = std::find_if(
      topics_.begin(), topics_.end(),
      [&topic](const TopicInfo & known) {return known.name == topic.name;});
    if (same_name == topics_.end()) {
      topic_of.push_back(topics_.size());
      topics_.push_back(topic);
      continue;
    }
    if (same_name->type != topic.type) {
      throw BagError(
              path + ": topic " + topic.name + " is " + topic.type + " here and " +
              same_name->type + " in an earlier file of the bag");
    }
    same_name->message_count += topic.message_count;
    if (same_name->definition.empty()) {
      same_name->definition = topic.definition;
    }
    topic_of.push_back(static_cast<std::size_t>(same_name - topics_.begin()));
  }
}

void SplitMcapBag::takeProblemsOfCurrentFile()
{
  const std::vector<BagProblem> & recorded = files_[current_]->problems();
  for (; problems_taken_ < recorded.size(); ++problems_taken_) {
    const BagProblem & problem = recorded[problems_taken_];
    addProblem(problem.topic, problem.location, problem.reason);
  }
}

bool SplitMcapBag::next(BagMessage & message)
{
  while (current_ < files_.size()) {
    const bool read = files_[current_]->next(message);
    takeProblemsOfCurrentFile();
    if (read) {
      message.topic = topic_of_file_topic_[current_].at(message.topic);
      return true;
    }
    files_[current_].reset();
    if (++current_ < files_.size()) {
      problems_taken_ = files_[current_]->problems().size();
    }
  }
  return false;
}

bool McapBag::next(BagMessage & message)
{
  uint8_t opcode = 0;
  std::vector<uint8_t> content;
  uint64_t offset = 0;
  while (pending_.empty()) {
    if (!readRecord(opcode, content, offset)) {
      return false;
    }
    if (opcode == mcap::kChunk) {
      takeChunk(content, offset, false);
    } else if (opcode == mcap::kMessage) {
      takeMessage(
        content.data(), content.size(), name_ + " offset " + std::to_string(offset), false);
    }
  }
  message = std::move(pending_.front());
  pending_.pop_front();
  return true;
}

McapWriter::McapWriter(const std::string & path, Options options)
: path_(path), out_(path, std::ios::binary | std::ios::trunc), options_(std::move(options))
{
  if (!out_) {
    throw BagError(path + ": cannot be written");
  }
  put({mcap::kMagic.begin(), mcap::kMagic.end()});
  putRecord(mcap::kHeader, mcap::serializeHeader({"ros2", options_.library}));
}

McapWriter::~McapWriter()
{
  if (!closed_) {
    try {
      close();
    } catch (const BagError &) {
      // A destructor cannot report it; callers that care call close() themselves.
    }
  }
}

void McapWriter::put(const std::vector<uint8_t> & bytes)
{
  put(bytes.data(), bytes.size());
}

void McapWriter::put(const uint8_t * bytes, std::size_t size)
{
  out_.write(reinterpret_cast<const char *>(bytes), static_cast<std::streamsize>(size));
  if (summary_crc_running_) {
    crc_ = mcap::crc32Continue(crc_, bytes, size);
  }
  written_ += size;
}

void McapWriter::putRecord(uint8_t opcode, const std::vector<uint8_t> & content)
{
  std::vector<uint8_t> record;
  mcap::appendRecord(record, opcode, content);
  put(record);
}

uint16_t McapWriter::addSchema(const std::string & name, const std::string & definition)
{
  mcap::Schema schema{static_cast<uint16_t>(schemas_.size() + 1), name, "ros2msg", definition};
  schemas_.push_back(schema);
  putRecord(mcap::kSchema, mcap::serializeSchema(schema));
  return schema.id;
}

uint16_t McapWriter::addChannel(
  uint16_t schema, const std::string & topic, const std::map<std::string, std::string> & metadata)
{
  mcap::Channel channel{
    static_cast<uint16_t>(channels_.size() + 1), schema, topic, "cdr", metadata};
  channels_.push_back(channel);
  putRecord(mcap::kChannel, mcap::serializeChannel(channel));
  return channel.id;
}

void McapWriter::write(uint16_t channel, uint64_t log_time, const std::vector<uint8_t> & data)
{
  const mcap::Message message{channel, static_cast<uint32_t>(statistics_.message_count), log_time,
    log_time, data.data(), data.size()};
  if (statistics_.message_count == 0) {
    statistics_.message_start_time = log_time;
  }
  statistics_.message_start_time = std::min(statistics_.message_start_time, log_time);
  statistics_.message_end_time = std::max(statistics_.message_end_time, log_time);
  ++statistics_.message_count;
  ++statistics_.channel_message_counts[channel];
  if (!options_.chunked) {
    std::vector<uint8_t> record;
    mcap::appendMessageRecord(record, message);
    put(record);
    return;
  }
  if (chunk_.empty()) {
    chunk_start_ = log_time;
    chunk_end_ = log_time;
  }
  chunk_start_ = std::min(chunk_start_, log_time);
  chunk_end_ = std::max(chunk_end_, log_time);
  mcap::MessageIndex & index = chunk_messages_[channel];
  index.channel_id = channel;
  index.entries.emplace_back(log_time, chunk_.size());
  mcap::appendMessageRecord(chunk_, message);
  if (chunk_.size() >= options_.chunk_size) {
    flushChunk();
  }
}

void McapWriter::flushChunk()
{
  if (chunk_.empty()) {
    return;
  }
  mcap::compressRecordsInto(chunk_, options_.compression, options_.zstd_level, compressed_);
  const mcap::Chunk chunk{chunk_start_, chunk_end_, chunk_.size(),
    mcap::crc32Of(chunk_.data(), chunk_.size()), options_.compression, compressed_.data(),
    compressed_.size()};
  mcap::ChunkIndex index;
  index.message_start_time = chunk_start_;
  index.message_end_time = chunk_end_;
  index.chunk_start_offset = written_;
  index.compression = options_.compression;
  index.compressed_size = compressed_.size();
  index.uncompressed_size = chunk_.size();
  put(mcap::chunkRecordPrefix(chunk));
  put(compressed_.data(), compressed_.size());
  index.chunk_length = written_ - index.chunk_start_offset;
  const uint64_t indexes_start = written_;
  for (const auto & [channel, messages] : chunk_messages_) {
    index.message_index_offsets[channel] = written_;
    putRecord(mcap::kMessageIndex, mcap::serializeMessageIndex(messages));
  }
  index.message_index_length = written_ - indexes_start;
  chunk_indexes_.push_back(index);
  ++statistics_.chunk_count;
  chunk_.clear();
  chunk_messages_.clear();
}

void McapWriter::addMetadata(
  const std::string & name, const std::map<std::string, std::string> & entries)
{
  flushChunk();
  mcap::MetadataIndex index{written_, 0, name};
  putRecord(mcap::kMetadata, mcap::serializeMetadata({name, entries}));
  index.length = written_ - index.offset;
  metadata_indexes_.push_back(index);
  ++statistics_.metadata_count;
}

uint64_t McapWriter::writeSummary()
{
  std::vector<mcap::SummaryOffset> groups;
  const auto group = [&](uint8_t opcode, const auto & records, const auto & serialize) {
      if (records.empty()) {
        return;
      }
      const uint64_t start = written_;
      for (const auto & record : records) {
        putRecord(opcode, serialize(record));
      }
      groups.push_back({opcode, start, written_ - start});
    };
  statistics_.schema_count = static_cast<uint16_t>(schemas_.size());
  statistics_.channel_count = static_cast<uint32_t>(channels_.size());
  if (options_.summary_repeats_channels) {
    group(mcap::kSchema, schemas_, mcap::serializeSchema);
    group(mcap::kChannel, channels_, mcap::serializeChannel);
  }
  group(mcap::kStatistics, std::vector<mcap::Statistics>{statistics_}, mcap::serializeStatistics);
  group(mcap::kChunkIndex, chunk_indexes_, mcap::serializeChunkIndex);
  group(mcap::kMetadataIndex, metadata_indexes_, mcap::serializeMetadataIndex);
  const uint64_t offsets_start = written_;
  for (const mcap::SummaryOffset & offset : groups) {
    putRecord(mcap::kSummaryOffset, mcap::serializeSummaryOffset(offset));
  }
  return offsets_start;
}

void McapWriter::close()
{
  if (closed_) {
    return;
  }
  closed_ = true;
  flushChunk();
  // No CRC of the whole data section (0: not available), as the mcap library leaves it by default:
  // every chunk carries its own, and a second pass over gigabytes of images costs the run.
  putRecord(mcap::kDataEnd, mcap::serializeDataEnd(0));
  mcap::Footer footer;
  if (options_.summary) {
    footer.summary_start = written_;
    // The summary CRC covers the summary, its offsets and the footer up to the CRC itself.
    summary_crc_running_ = true;
    footer.summary_offset_start = writeSummary();
  }
  std::vector<uint8_t> record;
  mcap::appendRecord(record, mcap::kFooter, mcap::serializeFooter(footer));
  if (options_.summary) {
    footer.summary_crc = mcap::crc32Continue(crc_, record.data(), record.size() - 4);
    record.clear();
    mcap::appendRecord(record, mcap::kFooter, mcap::serializeFooter(footer));
  }
  record.insert(record.end(), mcap::kMagic.begin(), mcap::kMagic.end());
  put(record);
  out_.close();
  if (!out_) {
    throw BagError(path_ + ": could not be written completely (disk full?)");
  }
}

}  // namespace velmora_bag
