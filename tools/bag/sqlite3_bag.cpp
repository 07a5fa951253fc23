#include "bag/sqlite3_bag.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <filesystem>

namespace velmora_bag
{

namespace
{

// Finalises a statement on every path out of a function.
class Statement
{
public:
  Statement(sqlite3 * db, const std::string & sql, const std::string & file)
  {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement_, nullptr) != SQLITE_OK) {
      const std::string reason = sqlite3_errmsg(db);
      sqlite3_finalize(statement_);
      throw BagError(file + ": " + reason);
    }
  }
  ~Statement() {sqlite3_finalize(statement_);}
  Statement(const Statement &) = delete;
  Statement & operator=(const Statement &) = delete;

  sqlite3_stmt * get() const {return statement_;}

private:
  sqlite3_stmt * statement_{nullptr};
};

std::string columnText(sqlite3_stmt * statement, int column)
{
  const unsigned char * text = sqlite3_column_text(statement, column);
  return text == nullptr ? std::string() : reinterpret_cast<const char *>(text);
}

// The path as an SQLite URI, read-only. Immutable as well unless told otherwise, so nothing is
// ever written beside the file (no journal, no lock file) and read-only directories work.
std::string readOnlyUri(const std::string & path, bool immutable)
{
  std::string uri = "file:";
  for (char c : std::filesystem::absolute(path).string()) {
    if (c == '%' || c == '?' || c == '#') {
      static const char hex[] = "0123456789ABCDEF";
      uri += '%';
      uri += hex[(static_cast<unsigned char>(c) >> 4) & 0xF];
      uri += hex[static_cast<unsigned char>(c) & 0xF];
    } else {
      uri += c;
    }
  }
  return uri + (immutable ? "?mode=ro&immutable=1" : "?mode=ro");
}

// rosbag2's resilient preset records in WAL mode; after a crash its latest committed messages
// are only in this file, which an immutable open does not read.
bool hasWriteAheadLog(const std::string & path)
{
  std::error_code error;
  const auto size = std::filesystem::file_size(path + "-wal", error);
  return !error && size > 0;
}

// True when `db` has a table named `table`.
bool hasTable(sqlite3 * db, const std::string & table, const std::string & file)
{
  Statement statement(db, "SELECT 1 FROM sqlite_master WHERE type='table' AND name=?", file);
  sqlite3_bind_text(statement.get(), 1, table.c_str(), -1, SQLITE_TRANSIENT);
  const int step = sqlite3_step(statement.get());
  if (step != SQLITE_ROW && step != SQLITE_DONE) {
    throw BagError(file + ": " + sqlite3_errmsg(db));
  }
  return step == SQLITE_ROW;
}

// A file of a split bag that rosbag2 had created but not yet written to when the recording
// stopped. With a write-ahead log beside it, its tables and messages are in the log.
bool leftEmpty(const std::string & path)
{
  std::error_code error;
  return std::filesystem::file_size(path, error) == 0 && !error && !hasWriteAheadLog(path);
}

}  // namespace

Sqlite3Bag::Sqlite3Bag(const std::vector<std::string> & paths)
{
  if (paths.empty()) {
    throw BagError("the bag holds no .db3 file");
  }
  for (const std::string & path : paths) {
    const std::string name = std::filesystem::path(path).filename().string();
    if (paths.size() > 1 && leftEmpty(path)) {
      addProblem("", name, "holds no data (the recording stopped before writing to it); skipped");
      continue;
    }
    File & file = files_.emplace_back();
    file.path = path;
    file.name = name;
  }
  if (files_.empty()) {
    throw BagError("every .db3 file of the bag is empty");
  }
  const bool split = files_.size() > 1;
  try {
    for (std::size_t index = 0; index < files_.size(); ) {
      if (indexFile(files_[index], split)) {
        ++index;
      } else {
        files_.erase(files_.begin() + static_cast<std::ptrdiff_t>(index));
      }
    }
  } catch (...) {
    for (File & file : files_) {
      sqlite3_close(file.db);
    }
    throw;
  }
  if (files_.empty()) {
    throw BagError("no .db3 file of the bag can be read");
  }
}

bool Sqlite3Bag::indexFile(File & file, bool skippable)
{
  const std::vector<TopicInfo> topics_before = topics_;
  try {
    openFile(file);
    readTopics(file, readDefinitions(file));
    readTimeSpan(file);
    return true;
  } catch (const BagError & error) {
    if (!skippable) {
      throw;
    }
    topics_ = topics_before;
    sqlite3_close(file.db);
    file.db = nullptr;
    addProblem("", file.name, std::string("unreadable, skipped: ") + error.what());
    return false;
  }
}

Sqlite3Bag::~Sqlite3Bag()
{
  finishFile();
  for (File & file : files_) {
    sqlite3_close(file.db);
  }
}

void Sqlite3Bag::openFile(File & file)
{
  if (!std::filesystem::is_regular_file(file.path)) {
    throw BagError(file.path + ": no such file");
  }
  if (hasWriteAheadLog(file.path)) {
    try {
      openDatabase(file, false);
      return;
    } catch (const BagError & error) {
      sqlite3_close(file.db);
      file.db = nullptr;
      addProblem(
        "", file.name + "-wal",
        std::string("write-ahead log not read, its latest messages are missing (") + error.what() +
        ")");
    }
  }
  openDatabase(file, true);
}

void Sqlite3Bag::openDatabase(File & file, bool immutable)
{
  const int flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
  const std::string uri = readOnlyUri(file.path, immutable);
  if (sqlite3_open_v2(uri.c_str(), &file.db, flags, nullptr) != SQLITE_OK) {
    throw BagError(file.path + ": " + sqlite3_errmsg(file.db));
  }
  if (!hasTable(file.db, "topics", file.path) || !hasTable(file.db, "messages", file.path)) {
    throw BagError(file.path + ": not a rosbag2 database (no topics or messages table)");
  }
}

std::map<std::string, std::string> Sqlite3Bag::readDefinitions(File & file)
{
  std::map<std::string, std::string> definitions;
  if (!hasTable(file.db, "message_definitions", file.path)) {
    return definitions;
  }
  Statement statement(
    file.db, "SELECT topic_type, encoding, encoded_message_definition FROM message_definitions",
    file.path);
  while (sqlite3_step(statement.get()) == SQLITE_ROW) {
    if (columnText(statement.get(), 1) == "ros2msg") {
      definitions[columnText(statement.get(), 0)] = columnText(statement.get(), 2);
    }
  }
  return definitions;
}

void Sqlite3Bag::readTopics(File & file, const std::map<std::string, std::string> & definitions)
{
  Statement statement(
    file.db, "SELECT id, name, type, serialization_format FROM topics ORDER BY id", file.path);
  int step = SQLITE_ROW;
  while ((step = sqlite3_step(statement.get())) == SQLITE_ROW) {
    TopicInfo topic;
    topic.name = columnText(statement.get(), 1);
    topic.type = columnText(statement.get(), 2);
    topic.serialization_format = columnText(statement.get(), 3);
    if (const auto found = definitions.find(topic.type); found != definitions.end()) {
      topic.definition = found->second;
    }
    std::size_t index = 0;
    while (index < topics_.size() && topics_[index].name != topic.name) {
      ++index;
    }
    if (index == topics_.size()) {
      topics_.push_back(topic);
    } else if (topics_[index].definition.empty()) {
      topics_[index].definition = topic.definition;
    }
    file.topic_index[sqlite3_column_int64(statement.get(), 0)] = index;
  }
  if (step != SQLITE_DONE) {
    throw BagError(file.path + ": " + sqlite3_errmsg(file.db));
  }
  Statement counts(
    file.db, "SELECT topic_id, COUNT(*) FROM messages GROUP BY topic_id", file.path);
  while ((step = sqlite3_step(counts.get())) == SQLITE_ROW) {
    const auto topic = file.topic_index.find(sqlite3_column_int64(counts.get(), 0));
    if (topic != file.topic_index.end()) {
      topics_[topic->second].message_count +=
        static_cast<uint64_t>(sqlite3_column_int64(counts.get(), 1));
    }
  }
  if (step != SQLITE_DONE) {
    addProblem("", file.name, std::string("message count failed: ") + sqlite3_errmsg(file.db));
  }
}

void Sqlite3Bag::readTimeSpan(File & file)
{
  // The timestamp index makes both ends cheap.
  Statement statement(
    file.db, "SELECT MIN(timestamp), MAX(timestamp) FROM messages", file.path);
  if (sqlite3_step(statement.get()) != SQLITE_ROW ||
    sqlite3_column_type(statement.get(), 0) == SQLITE_NULL)
  {
    return;
  }
  int64_t first = sqlite3_column_int64(statement.get(), 0);
  int64_t last = sqlite3_column_int64(statement.get(), 1);
  if (const auto known = timeSpan()) {
    first = std::min(first, known->first);
    last = std::max(last, known->second);
  }
  setTimeSpan(first, last);
}

bool Sqlite3Bag::startFile(std::size_t index)
{
  File & file = files_[index];
  const char * sql = "SELECT topic_id, timestamp, data, id FROM messages ORDER BY timestamp, id";
  if (sqlite3_prepare_v2(file.db, sql, -1, &statement_, nullptr) != SQLITE_OK) {
    addProblem("", file.name, std::string("messages unreadable: ") + sqlite3_errmsg(file.db));
    finishFile();
    return false;
  }
  return true;
}

void Sqlite3Bag::finishFile()
{
  sqlite3_finalize(statement_);
  statement_ = nullptr;
}

bool Sqlite3Bag::next(BagMessage & message)
{
  while (current_ < files_.size()) {
    if (statement_ == nullptr && !startFile(current_)) {
      ++current_;
      continue;
    }
    File & file = files_[current_];
    const int step = sqlite3_step(statement_);
    if (step == SQLITE_ROW) {
      const long long row = sqlite3_column_int64(statement_, 3);
      const auto topic = file.topic_index.find(sqlite3_column_int64(statement_, 0));
      const std::string location = file.name + " row " + std::to_string(row);
      if (topic == file.topic_index.end()) {
        addProblem("", location, "message of unknown topic id");
        continue;
      }
      message.topic = topic->second;
      message.log_time_ns = sqlite3_column_int64(statement_, 1);
      const auto * bytes = static_cast<const uint8_t *>(sqlite3_column_blob(statement_, 2));
      const int size = sqlite3_column_bytes(statement_, 2);
      message.data.assign(bytes, bytes + (bytes == nullptr ? 0 : size));
      message.location = location;
      return true;
    }
    if (step != SQLITE_DONE) {
      addProblem(
        "", file.name, std::string("reading stopped early: ") + sqlite3_errmsg(file.db));
    }
    finishFile();
    ++current_;
  }
  return false;
}

Sqlite3Writer::Sqlite3Writer(const std::string & path, bool with_definitions)
: path_(path), with_definitions_(with_definitions)
{
  std::filesystem::remove(path);
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
    SQLITE_OK)
  {
    const std::string reason = sqlite3_errmsg(db_);
    sqlite3_close(db_);
    db_ = nullptr;
    throw BagError(path + ": " + reason);
  }
  try {
    createTables();
  } catch (const BagError &) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw;
  }
}

void Sqlite3Writer::createTables()
{
  // One transaction holds the whole recording, so the journal only needs to live in memory.
  execute("PRAGMA journal_mode=MEMORY");
  execute("PRAGMA synchronous=OFF");
  execute("CREATE TABLE schema(schema_version INTEGER PRIMARY KEY, ros_distro TEXT NOT NULL)");
  std::string topics =
    "CREATE TABLE topics(id INTEGER PRIMARY KEY, name TEXT NOT NULL, type TEXT NOT NULL, "
    "serialization_format TEXT NOT NULL, offered_qos_profiles TEXT NOT NULL";
  if (with_definitions_) {
    execute("INSERT INTO schema VALUES (4, 'humble')");
    execute(
      "CREATE TABLE message_definitions(id INTEGER PRIMARY KEY, topic_type TEXT NOT NULL, "
      "encoding TEXT NOT NULL, encoded_message_definition TEXT NOT NULL, "
      "type_description_hash TEXT NOT NULL)");
    topics += ", type_description_hash TEXT NOT NULL";
  } else {
    execute("INSERT INTO schema VALUES (3, 'humble')");
  }
  execute(
    "CREATE TABLE metadata(id INTEGER PRIMARY KEY, metadata_version INTEGER NOT NULL, "
    "metadata TEXT NOT NULL)");
  execute(topics + ")");
  execute(
    "CREATE TABLE messages(id INTEGER PRIMARY KEY, topic_id INTEGER NOT NULL, "
    "timestamp INTEGER NOT NULL, data BLOB NOT NULL)");
  execute("CREATE INDEX timestamp_idx ON messages (timestamp ASC)");
  execute("BEGIN");
  if (sqlite3_prepare_v2(
      db_, "INSERT INTO messages (topic_id, timestamp, data) VALUES (?, ?, ?)", -1,
      &insert_message_, nullptr) != SQLITE_OK)
  {
    throw BagError(path_ + ": " + sqlite3_errmsg(db_));
  }
}

Sqlite3Writer::~Sqlite3Writer()
{
  try {
    close();
  } catch (const BagError &) {
    // A destructor cannot report it; callers that care call close() themselves.
  }
}

void Sqlite3Writer::close()
{
  if (db_ == nullptr) {
    return;
  }
  sqlite3_finalize(insert_message_);
  insert_message_ = nullptr;
  char * error = nullptr;
  const int committed = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, &error);
  const std::string reason = error == nullptr ? "" : error;
  sqlite3_free(error);
  const int closed = sqlite3_close(db_);
  db_ = nullptr;
  if (committed != SQLITE_OK || closed != SQLITE_OK) {
    throw BagError(path_ + ": could not be written completely: " + reason);
  }
}

void Sqlite3Writer::execute(const std::string & sql)
{
  char * error = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string reason = error == nullptr ? "unknown error" : error;
    sqlite3_free(error);
    throw BagError(path_ + ": " + reason);
  }
}

int64_t Sqlite3Writer::addTopic(
  const std::string & name, const std::string & type, const std::string & definition,
  const std::string & qos_profiles)
{
  const int64_t id = ++topics_;
  Statement topic(
    db_, with_definitions_ ? "INSERT INTO topics VALUES (?, ?, ?, 'cdr', ?, '')" :
    "INSERT INTO topics VALUES (?, ?, ?, 'cdr', ?)", path_);
  sqlite3_bind_int64(topic.get(), 1, id);
  sqlite3_bind_text(topic.get(), 2, name.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(topic.get(), 3, type.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(topic.get(), 4, qos_profiles.c_str(), -1, SQLITE_TRANSIENT);
  if (sqlite3_step(topic.get()) != SQLITE_DONE) {
    throw BagError(path_ + ": " + sqlite3_errmsg(db_));
  }
  const bool known = std::find(defined_types_.begin(), defined_types_.end(), type) !=
    defined_types_.end();
  if (with_definitions_ && !known) {
    defined_types_.push_back(type);
    Statement entry(
      db_, "INSERT INTO message_definitions (topic_type, encoding, encoded_message_definition, "
      "type_description_hash) VALUES (?, 'ros2msg', ?, '')", path_);
    sqlite3_bind_text(entry.get(), 1, type.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(entry.get(), 2, definition.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(entry.get()) != SQLITE_DONE) {
      throw BagError(path_ + ": " + sqlite3_errmsg(db_));
    }
  }
  return id;
}

void Sqlite3Writer::write(int64_t topic, int64_t timestamp_ns, const std::vector<uint8_t> & data)
{
  sqlite3_reset(insert_message_);
  sqlite3_bind_int64(insert_message_, 1, topic);
  sqlite3_bind_int64(insert_message_, 2, timestamp_ns);
  sqlite3_bind_blob64(
    insert_message_, 3, data.data(), static_cast<sqlite3_uint64>(data.size()), SQLITE_STATIC);
  const int step = sqlite3_step(insert_message_);
  sqlite3_clear_bindings(insert_message_);
  if (step != SQLITE_DONE) {
    throw BagError(path_ + ": " + sqlite3_errmsg(db_));
  }
}

}  // namespace velmora_bag
