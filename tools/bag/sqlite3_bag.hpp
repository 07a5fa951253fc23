#ifndef BAG__SQLITE3_BAG_HPP_
#define BAG__SQLITE3_BAG_HPP_

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bag/bag.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace velmora_bag
{

// rosbag2's sqlite3 storage: tables "topics" and "messages" (Humble, with or without "schema"),
// and "message_definitions" of the later layout. Split bags are read file after file, each in
// timestamp order. Every file is opened read-only and immutable, so read-only media work; a file
// with a write-ahead log beside it is opened read-only only, so that the log is read too.
class Sqlite3Bag : public BagReader
{
public:
  // An empty file of a split bag (a recording stopped just after a split) is skipped and noted
  // as a problem. Throws BagError when a file cannot be opened or is not a rosbag2 database.
  explicit Sqlite3Bag(const std::vector<std::string> & files);
  ~Sqlite3Bag() override;

  std::string storage() const override {return "sqlite3";}
  const std::vector<TopicInfo> & topics() const override {return topics_;}
  bool next(BagMessage & message) override;

private:
  struct File
  {
    std::string path;
    std::string name;  // for locations
    sqlite3 * db{nullptr};
    std::map<long long, std::size_t> topic_index;  // topics.id -> topics_
  };

  // Opens a file and reads its topics and time span. A damaged file of a split bag is skipped and
  // listed (false), so that the other files still replay; a bag of one file is refused.
  bool indexFile(File & file, bool skippable);
  void openFile(File & file);
  // Throws BagError when the file cannot be opened or is not a rosbag2 database.
  void openDatabase(File & file, bool immutable);
  void readTopics(File & file, const std::map<std::string, std::string> & definitions);
  std::map<std::string, std::string> readDefinitions(File & file);
  void readTimeSpan(File & file);
  bool startFile(std::size_t index);
  void finishFile();

  std::vector<File> files_;
  std::vector<TopicInfo> topics_;
  std::size_t current_{0};
  sqlite3_stmt * statement_{nullptr};
};

// Writes one rosbag2 sqlite3 file: Humble's layout (schema version 3 with "schema", "metadata",
// "topics" and "messages"), or the later one (version 4) with "message_definitions" when
// definitions are given. Messages are written in one transaction that close() commits.
class Sqlite3Writer
{
public:
  // Throws BagError when the file cannot be created.
  Sqlite3Writer(const std::string & path, bool with_definitions);
  ~Sqlite3Writer();
  Sqlite3Writer(const Sqlite3Writer &) = delete;
  Sqlite3Writer & operator=(const Sqlite3Writer &) = delete;

  // Returns the topic's id; `definition` is stored only in the later layout. `qos_profiles` is
  // rosbag2's YAML list of the publishers' QoS profiles.
  int64_t addTopic(
    const std::string & name, const std::string & type, const std::string & definition,
    const std::string & qos_profiles = "");
  void write(int64_t topic, int64_t timestamp_ns, const std::vector<uint8_t> & data);
  // Commits and closes the file; throws BagError when that fails.
  void close();

private:
  void createTables();
  void execute(const std::string & sql);

  std::string path_;
  sqlite3 * db_{nullptr};
  sqlite3_stmt * insert_message_{nullptr};
  bool with_definitions_;
  std::vector<std::string> defined_types_;
  int64_t topics_{0};
};

}  // namespace velmora_bag

#endif  // BAG__SQLITE3_BAG_HPP_
