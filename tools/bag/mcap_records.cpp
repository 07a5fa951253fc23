#include "bag/mcap_records.hpp"

#include <lz4frame.h>
#include <zlib.h>
#include <zstd.h>

#include <cstring>
#include <memory>

namespace velmora_bag::mcap
{

namespace
{

// Reads little-endian fields from a record's content, never past its end.
class Cursor
{
public:
  Cursor(const uint8_t * data, std::size_t size, const char * record)
  : data_(data), size_(size), record_(record) {}

  template<typename T>
  T number()
  {
    need(sizeof(T));
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      value |= static_cast<T>(static_cast<T>(data_[at_ + i]) << (8 * i));
    }
    at_ += sizeof(T);
    return value;
  }

  std::string text()
  {
    const uint32_t length = number<uint32_t>();
    need(length);
    std::string value(reinterpret_cast<const char *>(data_ + at_), length);
    at_ += length;
    return value;
  }

  // A length-prefixed byte run, returned as a view.
  template<typename Length>
  std::pair<const uint8_t *, std::size_t> bytes()
  {
    const Length length = number<Length>();
    need(length);
    const uint8_t * start = data_ + at_;
    at_ += static_cast<std::size_t>(length);
    return {start, static_cast<std::size_t>(length)};
  }

  std::pair<const uint8_t *, std::size_t> rest()
  {
    const std::pair<const uint8_t *, std::size_t> view{data_ + at_, size_ - at_};
    at_ = size_;
    return view;
  }

  std::size_t left() const {return size_ - at_;}

private:
  void need(uint64_t bytes) const
  {
    if (bytes > size_ - at_) {
      throw RecordError(std::string(record_) + " record is shorter than its fields");
    }
  }

  const uint8_t * data_;
  std::size_t size_;
  std::size_t at_{0};
  const char * record_;
};

class Builder
{
public:
  template<typename T>
  Builder & number(T value)
  {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      bytes_.push_back(static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i)));
    }
    return *this;
  }

  Builder & text(const std::string & value)
  {
    number(static_cast<uint32_t>(value.size()));
    bytes_.insert(bytes_.end(), value.begin(), value.end());
    return *this;
  }

  Builder & raw(const uint8_t * data, std::size_t size)
  {
    bytes_.insert(bytes_.end(), data, data + size);
    return *this;
  }

  std::vector<uint8_t> take() {return std::move(bytes_);}

private:
  std::vector<uint8_t> bytes_;
};

std::vector<uint8_t> decompressZstd(const Chunk & chunk)
{
  // The frame states its size: a chunk header that disagrees is damage, found before allocating.
  const unsigned long long declared = ZSTD_getFrameContentSize(chunk.records, chunk.records_size);
  if (declared == ZSTD_CONTENTSIZE_ERROR) {
    throw RecordError("zstd chunk: not a zstd frame");
  }
  if (declared != ZSTD_CONTENTSIZE_UNKNOWN && declared != chunk.uncompressed_size) {
    throw RecordError("zstd chunk: frame size differs from the chunk header");
  }
  std::vector<uint8_t> out(chunk.uncompressed_size);
  const std::size_t got =
    ZSTD_decompress(out.data(), out.size(), chunk.records, chunk.records_size);
  if (ZSTD_isError(got)) {
    throw RecordError(std::string("zstd chunk: ") + ZSTD_getErrorName(got));
  }
  if (got != out.size()) {
    throw RecordError("zstd chunk decompressed to fewer bytes than its header says");
  }
  return out;
}

std::vector<uint8_t> decompressLz4(const Chunk & chunk)
{
  LZ4F_dctx * raw_context = nullptr;
  if (LZ4F_isError(LZ4F_createDecompressionContext(&raw_context, LZ4F_VERSION))) {
    throw RecordError("lz4 chunk: no decompression context");
  }
  std::unique_ptr<LZ4F_dctx, decltype(&LZ4F_freeDecompressionContext)> context(
    raw_context, &LZ4F_freeDecompressionContext);
  std::vector<uint8_t> out(chunk.uncompressed_size);
  std::size_t written = 0;
  std::size_t consumed = 0;
  std::size_t hint = 1;
  while (hint != 0 && consumed < chunk.records_size) {
    std::size_t out_size = out.size() - written;
    std::size_t in_size = chunk.records_size - consumed;
    hint = LZ4F_decompress(
      context.get(), out.data() + written, &out_size, chunk.records + consumed, &in_size, nullptr);
    if (LZ4F_isError(hint)) {
      throw RecordError(std::string("lz4 chunk: ") + LZ4F_getErrorName(hint));
    }
    written += out_size;
    consumed += in_size;
    if (out_size == 0 && in_size == 0) {
      break;
    }
  }
  if (hint != 0 || written != out.size()) {
    throw RecordError("lz4 chunk decompressed to fewer bytes than its header says");
  }
  return out;
}

}  // namespace

Header parseHeader(const uint8_t * content, std::size_t size)
{
  Cursor cursor(content, size, "header");
  Header header;
  header.profile = cursor.text();
  header.library = cursor.text();
  return header;
}

Footer parseFooter(const uint8_t * content, std::size_t size)
{
  Cursor cursor(content, size, "footer");
  Footer footer;
  footer.summary_start = cursor.number<uint64_t>();
  footer.summary_offset_start = cursor.number<uint64_t>();
  footer.summary_crc = cursor.number<uint32_t>();
  return footer;
}

Schema parseSchema(const uint8_t * content, std::size_t size)
{
  Cursor cursor(content, size, "schema");
  Schema schema;
  schema.id = cursor.number<uint16_t>();
  schema.name = cursor.text();
  schema.encoding = cursor.text();
  const auto data = cursor.bytes<uint32_t>();
  schema.data.assign(reinterpret_cast<const char *>(data.first), data.second);
  return schema;
}

Channel parseChannel(const uint8_t * content, std::size_t size)
{
  Cursor cursor(content, size, "channel");
  Channel channel;
  channel.id = cursor.number<uint16_t>();
  channel.schema_id = cursor.number<uint16_t>();
  channel.topic = cursor.text();
  channel.message_encoding = cursor.text();
  const auto map = cursor.bytes<uint32_t>();
  Cursor entries(map.first, map.second, "channel metadata");
  while (entries.left() > 0) {
    std::string key = entries.text();
    channel.metadata[key] = entries.text();
  }
  return channel;
}

Message parseMessage(const uint8_t * content, std::size_t size)
{
  Cursor cursor(content, size, "message");
  Message message;
  message.channel_id = cursor.number<uint16_t>();
  message.sequence = cursor.number<uint32_t>();
  message.log_time = cursor.number<uint64_t>();
  message.publish_time = cursor.number<uint64_t>();
  const auto data = cursor.rest();
  message.data = data.first;
  message.size = data.second;
  return message;
}

Chunk parseChunk(const uint8_t * content, std::size_t size)
{
  Cursor cursor(content, size, "chunk");
  Chunk chunk;
  chunk.message_start_time = cursor.number<uint64_t>();
  chunk.message_end_time = cursor.number<uint64_t>();
  chunk.uncompressed_size = cursor.number<uint64_t>();
  chunk.uncompressed_crc = cursor.number<uint32_t>();
  chunk.compression = cursor.text();
  const auto records = cursor.bytes<uint64_t>();
  chunk.records = records.first;
  chunk.records_size = records.second;
  return chunk;
}

Statistics parseStatistics(const uint8_t * content, std::size_t size)
{
  Cursor cursor(content, size, "statistics");
  Statistics statistics;
  statistics.message_count = cursor.number<uint64_t>();
  statistics.schema_count = cursor.number<uint16_t>();
  statistics.channel_count = cursor.number<uint32_t>();
  statistics.attachment_count = cursor.number<uint32_t>();
  statistics.metadata_count = cursor.number<uint32_t>();
  statistics.chunk_count = cursor.number<uint32_t>();
  statistics.message_start_time = cursor.number<uint64_t>();
  statistics.message_end_time = cursor.number<uint64_t>();
  const auto map = cursor.bytes<uint32_t>();
  Cursor entries(map.first, map.second, "statistics channel counts");
  while (entries.left() > 0) {
    const uint16_t channel = entries.number<uint16_t>();
    statistics.channel_message_counts[channel] = entries.number<uint64_t>();
  }
  return statistics;
}

void forEachRecord(
  const uint8_t * data, std::size_t size,
  const std::function<void(uint8_t, const uint8_t *, std::size_t, std::size_t)> & visit)
{
  std::size_t at = 0;
  while (at < size) {
    if (size - at < kRecordHeaderSize) {
      throw RecordError("record header cut off at offset " + std::to_string(at));
    }
    Cursor cursor(data + at, size - at, "record");
    const uint8_t opcode = cursor.number<uint8_t>();
    const uint64_t length = cursor.number<uint64_t>();
    if (length > size - at - kRecordHeaderSize) {
      throw RecordError("record at offset " + std::to_string(at) + " runs past the end");
    }
    visit(opcode, data + at + kRecordHeaderSize, static_cast<std::size_t>(length), at);
    at += kRecordHeaderSize + static_cast<std::size_t>(length);
  }
}

uint32_t crc32Of(const uint8_t * data, std::size_t size)
{
  return crc32Continue(static_cast<uint32_t>(crc32(0L, Z_NULL, 0)), data, size);
}

uint32_t crc32Continue(uint32_t start, const uint8_t * data, std::size_t size)
{
  uLong crc = start;
  while (size > 0) {
    const uInt step = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
    crc = crc32(crc, data, step);
    data += step;
    size -= step;
  }
  return static_cast<uint32_t>(crc);
}

std::vector<uint8_t> chunkRecords(const Chunk & chunk, uint64_t size_limit)
{
  if (chunk.uncompressed_size > size_limit) {
    throw RecordError(
            "chunk claims " + std::to_string(chunk.uncompressed_size) +
            " uncompressed bytes, more than the limit of " + std::to_string(size_limit));
  }
  std::vector<uint8_t> records;
  if (chunk.compression.empty()) {
    if (chunk.records_size != chunk.uncompressed_size) {
      throw RecordError("uncompressed chunk size differs from its header");
    }
    records.assign(chunk.records, chunk.records + chunk.records_size);
  } else if (chunk.compression == "zstd") {
    records = decompressZstd(chunk);
  } else if (chunk.compression == "lz4") {
    records = decompressLz4(chunk);
  } else {
    throw RecordError("unknown chunk compression '" + chunk.compression + "'");
  }
  if (chunk.uncompressed_crc != 0 &&
    crc32Of(records.data(), records.size()) != chunk.uncompressed_crc)
  {
    throw RecordError("chunk CRC mismatch");
  }
  return records;
}

std::vector<uint8_t> serializeHeader(const Header & header)
{
  return Builder().text(header.profile).text(header.library).take();
}

std::vector<uint8_t> serializeFooter(const Footer & footer)
{
  return Builder().number(footer.summary_start).number(footer.summary_offset_start)
         .number(footer.summary_crc).take();
}

std::vector<uint8_t> serializeSchema(const Schema & schema)
{
  return Builder().number(schema.id).text(schema.name).text(schema.encoding).text(schema.data)
         .take();
}

std::vector<uint8_t> serializeChannel(const Channel & channel)
{
  Builder entries;
  for (const auto & [key, value] : channel.metadata) {
    entries.text(key).text(value);
  }
  const std::vector<uint8_t> map = entries.take();
  return Builder().number(channel.id).number(channel.schema_id).text(channel.topic)
         .text(channel.message_encoding).number(static_cast<uint32_t>(map.size()))
         .raw(map.data(), map.size()).take();
}

std::vector<uint8_t> serializeMessage(const Message & message)
{
  return Builder().number(message.channel_id).number(message.sequence).number(message.log_time)
         .number(message.publish_time).raw(message.data, message.size).take();
}

std::vector<uint8_t> serializeChunk(const Chunk & chunk)
{
  return Builder().number(chunk.message_start_time).number(chunk.message_end_time)
         .number(chunk.uncompressed_size).number(chunk.uncompressed_crc).text(chunk.compression)
         .number(static_cast<uint64_t>(chunk.records_size)).raw(chunk.records, chunk.records_size)
         .take();
}

std::vector<uint8_t> serializeStatistics(const Statistics & statistics)
{
  Builder entries;
  for (const auto & [channel, count] : statistics.channel_message_counts) {
    entries.number(channel).number(count);
  }
  const std::vector<uint8_t> map = entries.take();
  return Builder().number(statistics.message_count).number(statistics.schema_count)
         .number(statistics.channel_count).number(statistics.attachment_count)
         .number(statistics.metadata_count).number(statistics.chunk_count)
         .number(statistics.message_start_time).number(statistics.message_end_time)
         .number(static_cast<uint32_t>(map.size())).raw(map.data(), map.size()).take();
}

std::vector<uint8_t> serializeMessageIndex(const MessageIndex & index)
{
  Builder entries;
  for (const auto & [log_time, offset] : index.entries) {
    entries.number(log_time).number(offset);
  }
  const std::vector<uint8_t> array = entries.take();
  return Builder().number(index.channel_id).number(static_cast<uint32_t>(array.size()))
         .raw(array.data(), array.size()).take();
}

std::vector<uint8_t> serializeChunkIndex(const ChunkIndex & index)
{
  Builder entries;
  for (const auto & [channel, offset] : index.message_index_offsets) {
    entries.number(channel).number(offset);
  }
  const std::vector<uint8_t> map = entries.take();
  return Builder().number(index.message_start_time).number(index.message_end_time)
         .number(index.chunk_start_offset).number(index.chunk_length)
         .number(static_cast<uint32_t>(map.size())).raw(map.data(), map.size())
         .number(index.message_index_length).text(index.compression)
         .number(index.compressed_size).number(index.uncompressed_size).take();
}

std::vector<uint8_t> serializeMetadata(const Metadata & metadata)
{
  Builder entries;
  for (const auto & [key, value] : metadata.entries) {
    entries.text(key).text(value);
  }
  const std::vector<uint8_t> map = entries.take();
  return Builder().text(metadata.name).number(static_cast<uint32_t>(map.size()))
         .raw(map.data(), map.size()).take();
}

std::vector<uint8_t> serializeMetadataIndex(const MetadataIndex & index)
{
  return Builder().number(index.offset).number(index.length).text(index.name).take();
}

std::vector<uint8_t> serializeSummaryOffset(const SummaryOffset & offset)
{
  return Builder().number(offset.group_opcode).number(offset.group_start)
         .number(offset.group_length).take();
}

std::vector<uint8_t> serializeDataEnd(uint32_t data_section_crc)
{
  return Builder().number(data_section_crc).take();
}

void appendMessageRecord(std::vector<uint8_t> & out, const Message & message)
{
  const uint64_t length = 2 + 4 + 8 + 8 + message.size;
  out.reserve(out.size() + kRecordHeaderSize + length);
  out.push_back(kMessage);
  const auto put = [&out](uint64_t value, std::size_t bytes) {
      for (std::size_t i = 0; i < bytes; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
      }
    };
  put(length, 8);
  put(message.channel_id, 2);
  put(message.sequence, 4);
  put(message.log_time, 8);
  put(message.publish_time, 8);
  out.insert(out.end(), message.data, message.data + message.size);
}

void appendRecord(std::vector<uint8_t> & out, uint8_t opcode, const std::vector<uint8_t> & content)
{
  out.push_back(opcode);
  for (std::size_t i = 0; i < 8; ++i) {
    out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(content.size()) >> (8 * i)));
  }
  out.insert(out.end(), content.begin(), content.end());
}

std::vector<uint8_t> compressRecords(
  const std::vector<uint8_t> & records, const std::string & how, int zstd_level)
{
  std::vector<uint8_t> out;
  compressRecordsInto(records, how, zstd_level, out);
  return out;
}

void compressRecordsInto(
  const std::vector<uint8_t> & records, const std::string & how, int zstd_level,
  std::vector<uint8_t> & out)
{
  if (how.empty()) {
    out.assign(records.begin(), records.end());
    return;
  }
  if (how == "zstd") {
    // One context per writing thread, reused instead of set up again for every chunk.
    thread_local const std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> context(
      ZSTD_createCCtx(), &ZSTD_freeCCtx);
    out.resize(ZSTD_compressBound(records.size()));
    const std::size_t size = ZSTD_compressCCtx(
      context.get(), out.data(), out.size(), records.data(), records.size(), zstd_level);
    if (ZSTD_isError(size)) {
      throw RecordError(std::string("zstd: ") + ZSTD_getErrorName(size));
    }
    out.resize(size);
    return;
  }
  if (how == "lz4") {
    out.resize(LZ4F_compressFrameBound(records.size(), nullptr));
    const std::size_t size =
      LZ4F_compressFrame(out.data(), out.size(), records.data(), records.size(), nullptr);
    if (LZ4F_isError(size)) {
      throw RecordError(std::string("lz4: ") + LZ4F_getErrorName(size));
    }
    out.resize(size);
    return;
  }
  throw RecordError("unknown compression '" + how + "'");
}

std::vector<uint8_t> chunkRecordPrefix(const Chunk & chunk)
{
  const std::vector<uint8_t> fields = Builder().number(chunk.message_start_time)
    .number(chunk.message_end_time).number(chunk.uncompressed_size)
    .number(chunk.uncompressed_crc).text(chunk.compression)
    .number(static_cast<uint64_t>(chunk.records_size)).take();
  return Builder().number(static_cast<uint8_t>(kChunk))
         .number(static_cast<uint64_t>(fields.size() + chunk.records_size))
         .raw(fields.data(), fields.size()).take();
}

}  // namespace velmora_bag::mcap
