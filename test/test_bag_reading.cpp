#include <gtest/gtest.h>

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>

#include "bag/bag.hpp"
#include "bag/cdr.hpp"
#include "bag/mcap_bag.hpp"
#include "bag/msg_definition.hpp"
#include "bag/sqlite3_bag.hpp"
#include "bag/ros_messages.hpp"
#include "real_bags.hpp"

namespace
{

namespace fs = std::filesystem;
using velmora_bag::BagError;
using velmora_bag::BagMessage;
using velmora_bag::BagReader;
using velmora_bag::McapWriter;
using velmora_bag::MessageError;

const fs::path kBags = real_bags::kDir;

std::map<std::string, std::vector<BagMessage>> readAll(BagReader & bag)
{
  std::map<std::string, std::vector<BagMessage>> by_topic;
  BagMessage message;
  int64_t previous = INT64_MIN;
  while (bag.next(message)) {
    EXPECT_GE(message.log_time_ns, previous) << message.location;
    previous = message.log_time_ns;
    by_topic[bag.topics()[message.topic].name].push_back(message);
  }
  return by_topic;
}

fs::path scratch(const std::string & name)
{
  const fs::path dir = fs::temp_directory_path() / ("velmora_bag_test_" + std::to_string(getpid()));
  fs::create_directories(dir);
  return dir / name;
}

// Removes this process's scratch directory when the test program ends.
struct ScratchCleanup
{
  ~ScratchCleanup()
  {
    std::error_code ignored;
    fs::remove_all(scratch("").parent_path(), ignored);
  }
} const kCleanup;

std::vector<uint8_t> fileBytes(const fs::path & path)
{
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const fs::path & path, const std::vector<uint8_t> & bytes)
{
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

TEST(HumbleSqlite3Bags, ReadWithAndWithoutMetadataAndAcrossSplitFiles)
{
  SKIP_WITHOUT_REAL_BAGS();
  auto cdr = velmora_bag::openBag((kBags / "rosbag2_humble_cdr_test").string());
  auto cdr_topics = readAll(*cdr);
  EXPECT_EQ(cdr->storage(), "sqlite3");
  EXPECT_EQ(cdr_topics["/test_topic"].size(), 3u);
  EXPECT_EQ(cdr_topics["/array_topic"].size(), 4u);

  // The split bag: five files, every message once, counts as its metadata says.
  auto split = velmora_bag::openBag((kBags / "rosbag2_humble_wbag").string());
  std::size_t total = 0;
  for (const auto & [topic, messages] : readAll(*split)) {
    total += messages.size();
  }
  EXPECT_EQ(total, 6074u);
  EXPECT_TRUE(split->problems().empty());

  // A single file without its metadata.yaml is discovered as sqlite3.
  auto file = velmora_bag::openBag((kBags / "rosbag2_humble_talker" / "talker.db3").string());
  const auto talker = readAll(*file);
  ASSERT_EQ(talker.at("/topic").size(), 10u);
  const velmora_bag::MessageDefinitions string_type("std_msgs/msg/String", "string data\n");
  const auto first = velmora_bag::decodeByDefinition(string_type, talker.at("/topic")[0].data);
  EXPECT_EQ(std::get<std::string>(first.at("data")), "Hello, world! 0");

  // The split files without their metadata.yaml: found and read in split order.
  const fs::path bare = scratch("bare_split");
  fs::create_directories(bare);
  for (int i = 4; i >= 0; --i) {
    const std::string name = "wbag_" + std::to_string(i) + ".db3";
    fs::copy_file(kBags / "rosbag2_humble_wbag" / name, bare / name);
  }
  auto discovered = velmora_bag::openBag(bare.string());
  std::size_t discovered_total = 0;
  for (const auto & [topic, messages] : readAll(*discovered)) {
    discovered_total += messages.size();
  }
  EXPECT_EQ(discovered_total, 6074u);

  // One file of the split bag cut short: skipped and named, the other four still read.
  fs::resize_file(bare / "wbag_2.db3", 16384);
  auto damaged = velmora_bag::openBag(bare.string());
  ASSERT_EQ(damaged->problems().size(), 1u);
  EXPECT_EQ(damaged->problems()[0].location, "wbag_2.db3");
  std::size_t intact = 0;
  for (const auto & [topic, messages] : readAll(*damaged)) {
    intact += messages.size();
  }
  EXPECT_GT(intact, 0u);
  EXPECT_LT(intact, 6074u);

  auto empty = velmora_bag::openBag((kBags / "rosbag2_humble_empty_bag").string());
  BagMessage message;
  EXPECT_FALSE(empty->next(message));
  EXPECT_EQ(empty->topics().size(), 2u);
}

std::size_t countMessages(BagReader & bag)
{
  std::size_t count = 0;
  BagMessage message;
  while (bag.next(message)) {
    ++count;
  }
  return count;
}

void execute(sqlite3 * db, const std::string & sql)
{
  ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
}

// A WAL-mode recording that stopped without a checkpoint: the first two messages are in the
// database file, the last two only in "<file>-wal".
void writeCrashedWalBag(const fs::path & path)
{
  sqlite3 * db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  execute(db, "PRAGMA journal_mode=WAL");
  execute(db, "PRAGMA wal_autocheckpoint=0");
  execute(db, "CREATE TABLE topics(id INTEGER PRIMARY KEY, name TEXT NOT NULL, type TEXT NOT NULL, "
    "serialization_format TEXT NOT NULL, offered_qos_profiles TEXT NOT NULL)");
  execute(db, "CREATE TABLE messages(id INTEGER PRIMARY KEY, topic_id INTEGER NOT NULL, "
    "timestamp INTEGER NOT NULL, data BLOB NOT NULL)");
  execute(db, "INSERT INTO topics VALUES (1, '/a', 'std_msgs/msg/String', 'cdr', '')");
  execute(db, "INSERT INTO messages (topic_id, timestamp, data) VALUES "
    "(1, 1, x'00'), (1, 2, x'00')");
  execute(db, "PRAGMA wal_checkpoint(TRUNCATE)");
  execute(db, "INSERT INTO messages (topic_id, timestamp, data) VALUES "
    "(1, 3, x'00'), (1, 4, x'00')");
  sqlite3_close(db);
}

TEST(WalSqlite3Bags, MessagesOnlyInTheWriteAheadLogAreReadOrNamedMissing)
{
  const fs::path path = scratch("crashed.db3");
  writeCrashedWalBag(path);
  const fs::path wal = path.string() + "-wal";
  const auto wal_size = fs::file_size(wal);
  ASSERT_GT(wal_size, 0u);
  {
    auto bag = velmora_bag::openBag(path.string());
    EXPECT_EQ(bag->topics().at(0).message_count, 4u);
    EXPECT_EQ(countMessages(*bag), 4u);
    EXPECT_TRUE(bag->problems().empty());
  }
  // Read, not checkpointed: the bag is left as it was.
  EXPECT_EQ(fs::file_size(wal), wal_size);

  // A log that cannot be read (here a writer holds the database locked): the messages of the
  // database file are read and the log named.
  sqlite3 * writer = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &writer), SQLITE_OK);
  execute(writer, "PRAGMA locking_mode=EXCLUSIVE");
  execute(writer, "BEGIN EXCLUSIVE");
  auto bag = velmora_bag::openBag(path.string());
  EXPECT_EQ(countMessages(*bag), 2u);
  ASSERT_EQ(bag->problems().size(), 1u);
  EXPECT_EQ(bag->problems()[0].location, "crashed.db3-wal");
  EXPECT_NE(bag->problems()[0].reason.find("latest messages are missing"), std::string::npos);
  sqlite3_close(writer);
}

TEST(HumbleSqlite3Bags, SplitFilesWithoutMetadataReadInNumberOrderWhateverTheirNames)
{
  // More names than std::sort sorts by insertion, a number past 64 bits and a name that only
  // looks numbered.
  std::vector<std::string> names;
  for (int i = 1; i <= 16; ++i) {
    names.push_back("x_" + std::to_string(i));
  }
  names.push_back("x_99999999999999999999");
  names.push_back("x_1z");
  const fs::path directory = scratch("numbered_split");
  fs::create_directories(directory);
  for (auto name = names.rbegin(); name != names.rend(); ++name) {
    velmora_bag::Sqlite3Writer writer((directory / (*name + ".db3")).string(), false);
    writer.write(writer.addTopic("/a", "std_msgs/msg/String", ""), 0, {0, 1, 0, 0});
    writer.close();
  }
  auto bag = velmora_bag::openBag(directory.string());
  std::vector<std::string> order;
  BagMessage message;
  while (bag->next(message)) {
    order.push_back(message.location.substr(0, message.location.find(".db3")));
  }
  EXPECT_EQ(order, names);
}

// sqlite creates the next file of a split on opening it; a recording stopped then leaves it empty.
TEST(HumbleSqlite3Bags, AnEmptySplitFileIsSkippedWithANote)
{
  const fs::path directory = scratch("split_empty_tail");
  fs::create_directories(directory);
  for (const int64_t time : {100, 200}) {
    velmora_bag::Sqlite3Writer writer(
      (directory / ("run_" + std::to_string(time / 100 - 1) + ".db3")).string(), false);
    writer.write(writer.addTopic("/a", "std_msgs/msg/String", ""), time, {0, 1, 0, 0});
    writer.close();
  }
  writeBytes(directory / "run_2.db3", {});
  auto bag = velmora_bag::openBag(directory.string());
  EXPECT_EQ(countMessages(*bag), 2u);
  ASSERT_EQ(bag->problems().size(), 1u);
  EXPECT_EQ(bag->problems()[0].location, "run_2.db3");
  EXPECT_NE(bag->problems()[0].reason.find("skipped"), std::string::npos);

  // One empty file alone is no bag.
  EXPECT_THROW(velmora_bag::openBag((directory / "run_2.db3").string()), BagError);
}

TEST(RosbagsBags, BothStoragesHoldTheSameMessagesAndDefinitions)
{
  SKIP_WITHOUT_REAL_BAGS();
  auto sqlite = velmora_bag::openBag((kBags / "rosbags_rs_test_bag_sqlite3").string());
  auto mcap = velmora_bag::openBag((kBags / "rosbags_rs_test_bag_mcap").string());
  ASSERT_EQ(mcap->storage(), "mcap");
  EXPECT_TRUE(dynamic_cast<velmora_bag::McapBag &>(*mcap).hadSummary());
  const auto from_sqlite = readAll(*sqlite);
  const auto from_mcap = readAll(*mcap);
  ASSERT_EQ(from_sqlite.size(), 94u);
  ASSERT_EQ(from_mcap.size(), 94u);
  std::size_t decoded = 0;
  for (const auto & topic : sqlite->topics()) {
    EXPECT_EQ(topic.message_count, 2u) << topic.name;
    // std_msgs/msg/Empty is the one type whose definition is empty.
    EXPECT_EQ(topic.definition.empty(), topic.type == "std_msgs/msg/Empty") << topic.name;
    const velmora_bag::MessageDefinitions definitions(topic.type, topic.definition);
    const auto & a = from_sqlite.at(topic.name);
    const auto & b = from_mcap.at(topic.name);
    ASSERT_EQ(a.size(), b.size()) << topic.name;
    for (std::size_t i = 0; i < a.size(); ++i) {
      // Header stamps differ between the two recordings; everything is read by its definition.
      EXPECT_NO_THROW(velmora_bag::decodeByDefinition(definitions, a[i].data)) << topic.name;
      EXPECT_NO_THROW(velmora_bag::decodeByDefinition(definitions, b[i].data)) << topic.name;
      ++decoded;
    }
  }
  EXPECT_EQ(decoded, 188u);
  EXPECT_TRUE(sqlite->problems().empty());
  EXPECT_TRUE(mcap->problems().empty());
}

TEST(RosbagsBags, CameraMessagesDecodeFieldForField)
{
  SKIP_WITHOUT_REAL_BAGS();
  for (const char * name : {"rosbags_rs_test_bag_sqlite3", "rosbags_rs_test_bag_mcap"}) {
    SCOPED_TRACE(name);
    auto bag = velmora_bag::openBag((kBags / name).string());
    const auto topics = readAll(*bag);
    const auto image = velmora_bag::decodeImage(topics.at("/test/sensor_msgs/image")[0].data);
    EXPECT_EQ(image.width, 640u);
    EXPECT_EQ(image.height, 480u);
    EXPECT_EQ(image.encoding, "rgb8");
    EXPECT_EQ(image.step, 1920u);
    EXPECT_EQ(image.header.frame_id, "test_frame");
    // The malformed image of these bags: 30 bytes where 921600 are promised.
    EXPECT_EQ(image.data.size(), 30u);
    EXPECT_THROW(velmora_bag::checkImageData(image), MessageError);

    const auto info = velmora_bag::decodeCameraInfo(topics.at("/test/sensor_msgs/camera_info")[0].data);
    EXPECT_EQ(info.width, 640u);
    EXPECT_EQ(info.distortion_model, "plumb_bob");
    EXPECT_EQ(info.d.size(), 5u);
    EXPECT_DOUBLE_EQ(info.k[0], 525.0);
    EXPECT_DOUBLE_EQ(info.k[2], 320.0);
    EXPECT_DOUBLE_EQ(info.k[8], 1.0);
    EXPECT_DOUBLE_EQ(info.p[0], 525.0);

    const auto compressed =
      velmora_bag::decodeCompressedImage(topics.at("/test/sensor_msgs/compressed_image")[0].data);
    EXPECT_EQ(compressed.format, "jpeg");
    EXPECT_THROW(velmora_bag::toBgr8Image(compressed), MessageError);

    const auto tf = velmora_bag::decodeTfMessage(topics.at("/test/tf2_msgs/tf_message")[0].data);
    ASSERT_EQ(tf.transforms.size(), 1u);
    EXPECT_EQ(tf.transforms[0].header.frame_id, "test_frame");
    EXPECT_EQ(tf.transforms[0].child_frame_id, "child_frame");
    EXPECT_DOUBLE_EQ(tf.transforms[0].transform.rotation.w, 1.0);

    // Our encoder writes the recorded bytes back exactly, zero padding included.
    EXPECT_EQ(velmora_bag::encodeCameraInfo(info), topics.at("/test/sensor_msgs/camera_info")[0].data);
    EXPECT_EQ(velmora_bag::encodeTfMessage(tf), topics.at("/test/tf2_msgs/tf_message")[0].data);
  }
}

TEST(CdrMessages, ShortOrLyingMessagesAreErrorsNotCrashes)
{
  sensor_msgs::msg::Image image;
  image.header.frame_id = "camera";
  image.width = 2;
  image.height = 1;
  image.step = 6;
  image.encoding = "bgr8";
  image.data = {1, 2, 3, 4, 5, 6};
  const std::vector<uint8_t> bytes = velmora_bag::encodeImage(image);
  EXPECT_EQ(velmora_bag::decodeImage(bytes), image);
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    const std::vector<uint8_t> shorter(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_THROW(velmora_bag::decodeImage(shorter), MessageError) << cut;
  }
  // A data length of 4 GB in a 40-byte message is refused before anything is allocated.
  std::vector<uint8_t> lying = bytes;
  const std::size_t length_at = bytes.size() - image.data.size() - 4;
  std::fill_n(lying.begin() + static_cast<std::ptrdiff_t>(length_at), 4, 0xFF);
  EXPECT_THROW(velmora_bag::decodeImage(lying), MessageError);
  EXPECT_THROW(velmora_bag::decodeTfMessage({0, 1, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F}), MessageError);
  EXPECT_THROW(velmora_bag::decodeImage({1, 7, 0, 0, 0, 0, 0, 0}), MessageError);
  // Parameter lists and XCDR2 (encapsulation 2 and up) are laid out otherwise.
  for (const uint8_t kind : {2, 3, 6, 7, 10}) {
    try {
      velmora_bag::decodeImage({0, kind, 0, 0, 0, 0, 0, 0});
      ADD_FAILURE() << "encapsulation " << int{kind} << " decoded";
    } catch (const MessageError & error) {
      EXPECT_NE(std::string(error.what()).find("not a plain CDR message"), std::string::npos);
    }
  }

  // A string with an inner NUL (found by fuzzing) is written whole, not cut at the NUL.
  image.encoding = std::string("bg\0r8", 5);
  EXPECT_EQ(velmora_bag::decodeImage(velmora_bag::encodeImage(image)).encoding, image.encoding);
}

TEST(StatusDefinitions, StatusReadThroughAnyDefinitionWithStateFields)
{
  velmora_protocol::msg::TaskCenterFsmStatus status;
  status.header.stamp.sec = 12;
  status.header.stamp.nanosec = 7;
  status.state = 2;
  status.sub_state = 5;
  status.state_name = "cleaning_task";
  status.sub_state_name = "working";
  const velmora_bag::StatusDecoder decoder(velmora_bag::MessageDefinitions(
      "velmora_protocol/msg/TaskCenterFsmStatus", velmora_bag::kStatusDefinition));
  EXPECT_EQ(decoder.decode(velmora_bag::encodeStatus(status)), status);

  // A robot's own layout with more fields, constants and a nested type of its package.
  const std::string robot_definition =
    "uint8 IDLE=0  # constants are not fields\n"
    "std_msgs/Header header\n"
    "Progress progress\n"
    "int32 state\n"
    "int32 sub_state\n"
    "float64[] extra\n"
    "================================================================================\n"
    "MSG: velmora_protocol/Progress\n"
    "float32 share\n"
    "string<=16 task\n";
  EXPECT_NO_THROW(velmora_bag::StatusDecoder(velmora_bag::MessageDefinitions(
      "velmora_protocol/msg/TaskCenterFsmStatus", robot_definition)));
  EXPECT_THROW(velmora_bag::StatusDecoder(velmora_bag::MessageDefinitions(
      "velmora_protocol/msg/TaskCenterFsmStatus", "int32 state\nint64 sub_state\n")),
    velmora_bag::DefinitionError);
  EXPECT_THROW(velmora_bag::MessageDefinitions("a/msg/B", "Unknown thing\n"),
    velmora_bag::DefinitionError);
  // A type that contains itself is read to a bounded depth, not forever.
  const velmora_bag::MessageDefinitions loop("a/msg/Loop", "Loop next\n");
  EXPECT_THROW(velmora_bag::decodeByDefinition(loop, {0, 1, 0, 0}), MessageError);
}

TEST(StatusDefinitions, TypesWithoutFieldsHoldTheirOneByteAsRosWritesThem)
{
  const std::string definition =
    "std_msgs/Empty heartbeat\n"
    "int32 state\n"
    "int32 sub_state\n"
    "================================================================================\n"
    "MSG: std_msgs/Empty\n";
  const velmora_bag::StatusDecoder decoder(velmora_bag::MessageDefinitions(
      "velmora_protocol/msg/TaskCenterFsmStatus", definition));
  velmora_bag::CdrWriter bytes;
  bytes.number<uint8_t>(0).number<int32_t>(2).number<int32_t>(5);
  const auto status = decoder.decode(bytes.take());
  EXPECT_EQ(status.state, 2);
  EXPECT_EQ(status.sub_state, 5);
}

TEST(StatusDefinitions, HostileArraySizesAreRefusedNotLoopedOver)
{
  // Four billion elements of a fieldless type, twice nested, in a message of one byte.
  const velmora_bag::MessageDefinitions nested(
    "a/msg/B",
    "E[4294967295] a\n"
    "===\nMSG: a/E\nEmpty[4294967295] b\n"
    "===\nMSG: a/Empty\n");
  EXPECT_THROW(velmora_bag::decodeByDefinition(nested, {0, 1, 0, 0, 0}), MessageError);
  const velmora_bag::MessageDefinitions wide("a/msg/B", "uint8[1000] x\n");
  EXPECT_THROW(velmora_bag::decodeByDefinition(wide, {0, 1, 0, 0, 7}), MessageError);
  for (const char * line : {"uint8[99999999999999999999] x\n", "uint8[0] x\n"}) {
    EXPECT_THROW(velmora_bag::MessageDefinitions("a/msg/B", line), velmora_bag::DefinitionError)
      << line;
  }
}

TEST(StatusDefinitions, LinesOfAnyLengthAreReadWithoutExhaustingTheStack)
{
  const std::string huge(200000, 'x');
  const std::string definition =
    "int32 state\n" + std::string(200000, ' ') + "\nint32 " + huge + "\n" +
    std::string(200000, '=') + "\nMSG: a/" + huge + "\n";
  const velmora_bag::MessageDefinitions definitions("a/msg/B", definition);
  ASSERT_EQ(definitions.fields("a/msg/B").size(), 2u);
  EXPECT_EQ(definitions.fields("a/msg/B")[1].name, huge);
  EXPECT_TRUE(definitions.has("a/msg/" + huge));
  EXPECT_THROW(velmora_bag::MessageDefinitions("a/msg/B", "int32 " + huge + "-\n"),
    velmora_bag::DefinitionError);
}

class McapStorage : public ::testing::TestWithParam<std::tuple<bool, std::string, bool>>
{
};

TEST_P(McapStorage, WrittenBagsReadBackInOrder)
{
  const auto [chunked, compression, summary] = GetParam();
  const fs::path path = scratch("roundtrip_" + compression + std::to_string(chunked) +
      std::to_string(summary) + ".mcap");
  McapWriter::Options options;
  options.chunked = chunked;
  options.compression = compression;
  options.summary = summary;
  options.chunk_size = 300;
  {
    McapWriter writer(path.string(), options);
    const uint16_t schema = writer.addSchema("std_msgs/msg/String", "string data\n");
    const uint16_t a = writer.addChannel(schema, "/a");
    const uint16_t b = writer.addChannel(schema, "/b");
    for (uint64_t i = 0; i < 40; ++i) {
      writer.write(i % 2 == 0 ? a : b, 1000 + i, std::vector<uint8_t>(20 + i, static_cast<uint8_t>(i)));
    }
  }
  auto bag = velmora_bag::openBag(path.string());
  EXPECT_EQ(dynamic_cast<velmora_bag::McapBag &>(*bag).hadSummary(), summary);
  ASSERT_EQ(bag->topics().size(), 2u);
  EXPECT_EQ(bag->topics()[0].message_count, 20u);
  EXPECT_EQ(bag->topics()[0].definition, "string data\n");
  BagMessage message;
  uint64_t expected = 0;
  while (bag->next(message)) {
    EXPECT_EQ(message.log_time_ns, static_cast<int64_t>(1000 + expected));
    EXPECT_EQ(message.data, std::vector<uint8_t>(20 + expected, static_cast<uint8_t>(expected)));
    ++expected;
  }
  EXPECT_EQ(expected, 40u);
  EXPECT_TRUE(bag->problems().empty());
}

INSTANTIATE_TEST_SUITE_P(
  Layouts, McapStorage,
  ::testing::Values(
    std::make_tuple(true, std::string(""), true), std::make_tuple(true, std::string("zstd"), true),
    std::make_tuple(true, std::string("lz4"), true), std::make_tuple(true, std::string("zstd"), false),
    std::make_tuple(false, std::string(""), true), std::make_tuple(false, std::string(""), false)));

// As libmcap writes with noRepeatedSchemas and noRepeatedChannels: the summary counts the
// messages of channels that only the data section names.
TEST(McapSummary, ChannelsTheSummaryLeavesOutAreFoundByAScan)
{
  const fs::path path = scratch("summary_without_channels.mcap");
  McapWriter::Options options;
  options.summary_repeats_channels = false;
  {
    McapWriter writer(path.string(), options);
    const uint16_t schema = writer.addSchema("std_msgs/msg/String", "string data\n");
    const uint16_t a = writer.addChannel(schema, "/a");
    const uint16_t b = writer.addChannel(schema, "/b");
    for (uint64_t i = 0; i < 6; ++i) {
      writer.write(i < 4 ? a : b, 1000 + i, std::vector<uint8_t>(8, static_cast<uint8_t>(i)));
    }
  }
  auto bag = velmora_bag::openBag(path.string());
  ASSERT_EQ(bag->topics().size(), 2u);
  EXPECT_EQ(bag->topics()[0].message_count, 4u);
  EXPECT_EQ(bag->topics()[1].message_count, 2u);
  EXPECT_EQ(bag->topics()[1].definition, "string data\n");
  EXPECT_EQ(countMessages(*bag), 6u);
  EXPECT_TRUE(bag->problems().empty());
}

// Log times past int64 would wrap to before 1970 and sort first.
TEST(DamagedMcap, LogTimesPastWhatARosTimeHoldsAreSkippedAndNamed)
{
  const fs::path path = scratch("far_future.mcap");
  {
    McapWriter writer(path.string(), McapWriter::Options());
    const uint16_t channel =
      writer.addChannel(writer.addSchema("std_msgs/msg/String", "string data\n"), "/a");
    writer.write(channel, 1000, std::vector<uint8_t>(8, 1));
    writer.write(channel, (uint64_t{1} << 63) + 5, std::vector<uint8_t>(8, 2));
    writer.write(channel, 2000, std::vector<uint8_t>(8, 3));
  }
  auto bag = velmora_bag::openBag(path.string());
  BagMessage message;
  std::vector<int64_t> times;
  while (bag->next(message)) {
    times.push_back(message.log_time_ns);
  }
  EXPECT_EQ(times, (std::vector<int64_t>{1000, 2000}));
  ASSERT_EQ(bag->problems().size(), 1u);
  EXPECT_EQ(bag->problems()[0].topic, "/a");
  EXPECT_NE(bag->problems()[0].reason.find("log time 9223372036854775813 ns"), std::string::npos);
}

fs::path chunkedBag(const std::string & name, const std::string & compression)
{
  const fs::path path = scratch(name);
  McapWriter::Options options;
  options.compression = compression;
  options.chunk_size = 200;
  McapWriter writer(path.string(), options);
  const uint16_t channel = writer.addChannel(writer.addSchema("std_msgs/msg/String", "string data\n"), "/a");
  for (uint64_t i = 0; i < 30; ++i) {
    writer.write(channel, i, std::vector<uint8_t>(50, static_cast<uint8_t>(i)));
  }
  return path;
}

// Offset of the first chunk record, walking the records after the magic.
std::size_t firstChunkOffset(const std::vector<uint8_t> & bytes)
{
  std::size_t at = 8;
  while (at + 9 <= bytes.size() && bytes[at] != 0x06) {
    uint64_t length = 0;
    for (int i = 7; i >= 0; --i) {
      length = (length << 8) | bytes[at + 1 + static_cast<std::size_t>(i)];
    }
    at += 9 + length;
  }
  return at;
}

// One file of a split MCAP bag: the topics in the order given, each message of `times` on the
// topic it cycles to.
void writeSplitPart(
  const fs::path & path, const std::vector<std::pair<std::string, std::string>> & topics,
  const std::vector<uint64_t> & times)
{
  McapWriter writer(path.string(), McapWriter::Options());
  std::vector<uint16_t> channels;
  for (const auto & [name, type] : topics) {
    channels.push_back(writer.addChannel(writer.addSchema(type, "int32 data\n"), name));
  }
  for (std::size_t i = 0; i < times.size(); ++i) {
    writer.write(channels[i % channels.size()], times[i], std::vector<uint8_t>(8, 1));
  }
}

std::vector<std::pair<std::string, int64_t>> topicsAndTimes(BagReader & bag)
{
  std::vector<std::pair<std::string, int64_t>> read;
  BagMessage message;
  while (bag.next(message)) {
    read.emplace_back(bag.topics().at(message.topic).name, message.log_time_ns);
  }
  return read;
}

// As rosbag2 splits a recording by size or duration: each file has channels of its own, in its
// own order, and the files follow each other in time.
TEST(SplitMcap, FilesReadOneAfterTheOtherWithTopicsMatchedByName)
{
  const fs::path bare = scratch("split_mcap");
  fs::create_directories(bare);
  writeSplitPart(bare / "run_0.mcap", {{"/a", "std_msgs/msg/Int32"}, {"/b", "std_msgs/msg/Int32"}},
    {100, 110, 120});
  writeSplitPart(bare / "run_1.mcap", {{"/b", "std_msgs/msg/Int32"}, {"/a", "std_msgs/msg/Int32"}},
    {200, 210});
  writeSplitPart(bare / "run_2.mcap", {{"/c", "std_msgs/msg/Int32"}}, {300});
  const std::vector<std::pair<std::string, int64_t>> expected{
    {"/a", 100}, {"/b", 110}, {"/a", 120}, {"/b", 200}, {"/a", 210}, {"/c", 300}};

  auto discovered = velmora_bag::openBag(bare.string());
  EXPECT_EQ(discovered->storage(), "mcap");
  ASSERT_EQ(discovered->topics().size(), 3u);
  EXPECT_EQ(discovered->topics()[0].message_count, 3u);
  EXPECT_EQ(discovered->topics()[1].message_count, 2u);
  const auto span = std::make_optional(std::make_pair(int64_t{100}, int64_t{300}));
  EXPECT_EQ(discovered->timeSpan(), span);
  EXPECT_EQ(topicsAndTimes(*discovered), expected);
  EXPECT_TRUE(discovered->problems().empty());

  // metadata.yaml decides which files and in which order.
  const fs::path listed = scratch("split_mcap_listed");
  fs::create_directories(listed);
  fs::copy_file(bare / "run_0.mcap", listed / "first.mcap");
  fs::copy_file(bare / "run_1.mcap", listed / "second.mcap");
  fs::copy_file(bare / "run_2.mcap", listed / "not_listed.mcap");
  std::ofstream(listed / "metadata.yaml") <<
    "rosbag2_bagfile_information:\n  version: 5\n  storage_identifier: mcap\n"
    "  relative_file_paths:\n    - first.mcap\n    - second.mcap\n";
  auto from_metadata = velmora_bag::openBag(listed.string());
  const std::vector<std::pair<std::string, int64_t>> listed_only(
    expected.begin(), expected.end() - 1);
  EXPECT_EQ(topicsAndTimes(*from_metadata), listed_only);
}

TEST(SplitMcap, DamageIsNamedWithItsFileAndATopicOfTwoTypesRefused)
{
  const fs::path damaged = scratch("split_mcap_damaged");
  fs::create_directories(damaged);
  const std::vector<std::pair<std::string, std::string>> topic{{"/a", "std_msgs/msg/Int32"}};
  writeSplitPart(damaged / "run_0.mcap", topic, {100, 110});
  writeSplitPart(damaged / "run_1.mcap", topic, {200, 210});
  writeSplitPart(damaged / "run_2.mcap", topic, {300});
  // A bad CRC on the middle file's only chunk.
  std::vector<uint8_t> bytes = fileBytes(damaged / "run_1.mcap");
  bytes[firstChunkOffset(bytes) + 9 + 24] ^= 0xFF;
  writeBytes(damaged / "run_1.mcap", bytes);
  auto bag = velmora_bag::openBag(damaged.string());
  EXPECT_EQ(topicsAndTimes(*bag), (std::vector<std::pair<std::string, int64_t>>{
    {"/a", 100}, {"/a", 110}, {"/a", 300}}));
  ASSERT_EQ(bag->problems().size(), 1u);
  EXPECT_EQ(bag->problems()[0].location.rfind("run_1.mcap chunk at offset", 0), 0u);
  EXPECT_NE(bag->problems()[0].reason.find("CRC"), std::string::npos);

  const fs::path conflicting = scratch("split_mcap_conflicting");
  fs::create_directories(conflicting);
  writeSplitPart(conflicting / "run_0.mcap", {{"/a", "std_msgs/msg/Int32"}}, {100});
  writeSplitPart(conflicting / "run_1.mcap", {{"/a", "std_msgs/msg/String"}}, {200});
  try {
    velmora_bag::openBag(conflicting.string());
    FAIL() << "a topic of two types accepted";
  } catch (const BagError & error) {
    EXPECT_NE(std::string(error.what()).find("run_1.mcap: topic /a is std_msgs/msg/String"),
      std::string::npos) << error.what();
  }
}

// rosbag2 opens the next file at a split; a recording stopped then leaves it empty or cut short.
TEST(SplitMcap, AFileEndingBeforeItsMagicIsSkippedWithANote)
{
  const fs::path bag_dir = scratch("split_mcap_empty_tail");
  fs::create_directories(bag_dir);
  const std::vector<std::pair<std::string, std::string>> topic{{"/a", "std_msgs/msg/Int32"}};
  writeSplitPart(bag_dir / "run_0.mcap", topic, {100, 110});
  writeSplitPart(bag_dir / "run_1.mcap", topic, {200});
  const std::vector<uint8_t> magic_start = {0x89, 'M', 'C'};
  for (const std::vector<uint8_t> & tail : {std::vector<uint8_t>{}, magic_start}) {
    writeBytes(bag_dir / "run_2.mcap", tail);
    auto bag = velmora_bag::openBag(bag_dir.string());
    EXPECT_EQ(topicsAndTimes(*bag), (std::vector<std::pair<std::string, int64_t>>{
      {"/a", 100}, {"/a", 110}, {"/a", 200}})) << tail.size();
    EXPECT_EQ(bag->timeSpan(), std::make_optional(std::make_pair(int64_t{100}, int64_t{200})));
    ASSERT_EQ(bag->problems().size(), 1u);
    EXPECT_EQ(bag->problems()[0].location, "run_2.mcap");
    EXPECT_NE(bag->problems()[0].reason.find("skipped"), std::string::npos);
  }

  // Anything else without the magic is not a file of this bag, and no file at all is no bag.
  writeBytes(bag_dir / "run_2.mcap", {'M', 'C', 'A'});
  EXPECT_THROW(velmora_bag::openBag(bag_dir.string()), BagError);
  const fs::path all_empty = scratch("split_mcap_all_empty");
  fs::create_directories(all_empty);
  writeBytes(all_empty / "run_0.mcap", {});
  writeBytes(all_empty / "run_1.mcap", magic_start);
  EXPECT_THROW(velmora_bag::openBag(all_empty.string()), BagError);
}

TEST(DamagedMcap, DamageIsSkippedAndNamedNeverFatal)
{
  const fs::path good = chunkedBag("good.mcap", "zstd");
  const std::vector<uint8_t> bytes = fileBytes(good);

  // A flipped byte inside the first chunk's compressed records: that chunk is skipped.
  const std::size_t first_chunk = firstChunkOffset(bytes);
  std::vector<uint8_t> flipped = bytes;
  // Past the chunk's fixed fields (times, sizes, CRC, "zstd", records length).
  flipped[first_chunk + 9 + 8 + 8 + 8 + 4 + 4 + 4 + 8 + 12] ^= 0x5A;
  writeBytes(scratch("flipped.mcap"), flipped);
  auto bag = velmora_bag::openBag(scratch("flipped.mcap").string());
  const std::size_t read = countMessages(*bag);
  EXPECT_GT(read, 20u);
  EXPECT_LT(read, 30u);
  ASSERT_FALSE(bag->problems().empty());
  EXPECT_NE(bag->problems()[0].location.find("chunk at offset"), std::string::npos);

  // A bad CRC on an uncompressed chunk.
  std::vector<uint8_t> crc_bad = fileBytes(chunkedBag("plain.mcap", ""));
  crc_bad[firstChunkOffset(crc_bad) + 9 + 24] ^= 0xFF;
  writeBytes(scratch("crc.mcap"), crc_bad);
  bag = velmora_bag::openBag(scratch("crc.mcap").string());
  EXPECT_LT(countMessages(*bag), 30u);
  ASSERT_FALSE(bag->problems().empty());
  EXPECT_NE(bag->problems()[0].reason.find("CRC"), std::string::npos);

  // An unknown compression name.
  std::vector<uint8_t> unknown = fileBytes(good);
  const std::string zstd = "zstd";
  auto name = std::search(unknown.begin(), unknown.end(), zstd.begin(), zstd.end());
  ASSERT_NE(name, unknown.end());
  std::copy_n("brot", 4, name);
  writeBytes(scratch("unknown.mcap"), unknown);
  bag = velmora_bag::openBag(scratch("unknown.mcap").string());
  countMessages(*bag);
  ASSERT_FALSE(bag->problems().empty());
  EXPECT_NE(bag->problems()[0].reason.find("unknown chunk compression 'brot'"), std::string::npos);

  // Cut in the middle: what precedes the cut is read, the cut is named.
  for (std::size_t keep : {bytes.size() / 2, bytes.size() - 3, std::size_t{20}}) {
    writeBytes(scratch("cut.mcap"), {bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(keep)});
    bag = velmora_bag::openBag(scratch("cut.mcap").string());
    EXPECT_NO_THROW(countMessages(*bag)) << keep;
  }
  bag = velmora_bag::openBag(scratch("cut.mcap").string());
  EXPECT_EQ(countMessages(*bag), 0u);
  EXPECT_FALSE(bag->problems().empty());
}

// The chunked bag's topic and 30 messages, found by scanning, and the summary named.
void expectReadWithoutItsSummary(const fs::path & path)
{
  auto bag = velmora_bag::openBag(path.string());
  EXPECT_FALSE(dynamic_cast<velmora_bag::McapBag &>(*bag).hadSummary());
  ASSERT_EQ(bag->topics().size(), 1u);
  EXPECT_EQ(bag->topics()[0].name, "/a");
  EXPECT_EQ(countMessages(*bag), 30u);
  ASSERT_EQ(bag->problems().size(), 1u);
  EXPECT_EQ(bag->problems()[0].location, path.filename().string() + " summary");
}

TEST(DamagedMcap, SummaryThatDoesNotCheckOutIsSetAsideAndTheFileScanned)
{
  using Damage = std::function<void(std::vector<uint8_t> &)>;
  const std::vector<uint8_t> bytes = fileBytes(chunkedBag("summary.mcap", ""));
  // The footer record's fields: summary start, summary offset start, summary CRC.
  const auto summary_start_at = static_cast<std::ptrdiff_t>(bytes.size() - 8 - 20);
  const auto crc_at = summary_start_at + 16;
  const Damage summary_at_the_start = [&](std::vector<uint8_t> & copy) {
      std::fill_n(copy.begin() + summary_start_at, 8, 0);
      copy[static_cast<std::size_t>(summary_start_at)] = 8;
    };
  const Damage without_crc = [&](std::vector<uint8_t> & copy) {
      summary_at_the_start(copy);
      std::fill_n(copy.begin() + crc_at, 4, 0);
    };
  const Damage summary_channel_renamed = [](std::vector<uint8_t> & copy) {
      const std::string topic = "/a";
      std::find_end(copy.begin(), copy.end(), topic.begin(), topic.end())[1] = 'b';
    };
  for (const auto & [name, damage] : std::vector<std::pair<std::string, Damage>>{
      {"start.mcap", summary_at_the_start}, {"start_no_crc.mcap", without_crc},
      {"renamed.mcap", summary_channel_renamed}})
  {
    SCOPED_TRACE(name);
    std::vector<uint8_t> copy = bytes;
    damage(copy);
    writeBytes(scratch(name), copy);
    expectReadWithoutItsSummary(scratch(name));
  }
}

TEST(UnreadableBags, RefusedWithOneLineReason)
{
  writeBytes(scratch("garbage.db3"), std::vector<uint8_t>(4096, 0x42));
  EXPECT_THROW(velmora_bag::openBag(scratch("garbage.db3").string()), BagError);
  EXPECT_THROW(velmora_bag::openBag(scratch("missing.mcap").string()), BagError);
  writeBytes(scratch("not.mcap"), {1, 2, 3});
  EXPECT_THROW(velmora_bag::openBag(scratch("not.mcap").string()), BagError);

  const fs::path old = scratch("old_bag");
  fs::create_directories(old);
  std::ofstream(old / "metadata.yaml") <<
    "rosbag2_bagfile_information:\n  version: 3\n  storage_identifier: sqlite3\n";
  try {
    velmora_bag::openBag(old.string());
    FAIL() << "metadata version 3 accepted";
  } catch (const BagError & error) {
    EXPECT_NE(std::string(error.what()).find("version 3 is not supported"), std::string::npos);
  }
}

TEST(UnreadableBags, TruncatedCopiesOfARealDatabaseAreRefusedOrReadWithTheDamageNamed)
{
  SKIP_WITHOUT_REAL_BAGS();
  const std::vector<uint8_t> db =
    fileBytes(kBags / "rosbags_rs_test_bag_sqlite3" / "test_bag_sqlite3.db3");
  for (std::size_t keep : {std::size_t{100}, db.size() / 3, db.size() - 4096}) {
    writeBytes(scratch("cut.db3"), {db.begin(), db.begin() + static_cast<std::ptrdiff_t>(keep)});
    try {
      auto bag = velmora_bag::openBag(scratch("cut.db3").string());
      countMessages(*bag);
    } catch (const BagError & error) {
      EXPECT_NE(std::string(error.what()).find("cut.db3"), std::string::npos);
    }
  }
}

}  // namespace
