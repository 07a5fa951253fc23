#include "review/label_store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>
#include <vector>

namespace velmora_review
{

namespace fs = std::filesystem;

namespace
{

constexpr const char * kLogHeader = "decided_at,camera,stamp,node_verdict,vlm,label\n";

bool isClass(ReviewLabel label) {return label != ReviewLabel::unusable;}

std::string utcNow()
{
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::vector<std::string> splitCsvLine(const std::string & line)
{
  std::vector<std::string> fields;
  std::stringstream stream(line);
  std::string field;
  while (std::getline(stream, field, ',')) {
    fields.push_back(field);
  }
  return fields;
}

// Hard link where the file system allows it (no space used, the archive file itself untouched),
// a copy otherwise; through a hidden temporary so the class folder never shows a partial file.
std::string placeFile(const fs::path & source, const fs::path & target)
{
  const fs::path partial = target.parent_path() / ("." + target.filename().string() + ".partial");
  std::error_code error;
  fs::remove(partial, error);
  if (::link(source.c_str(), partial.c_str()) != 0 &&
    !fs::copy_file(source, partial, fs::copy_options::overwrite_existing, error))
  {
    return "cannot file " + source.string() + ": " + error.message();
  }
  fs::rename(partial, target, error);
  if (error) {
    fs::remove(partial, error);
    return "cannot file " + target.string() + ": " + error.message();
  }
  return {};
}

bool isInside(const fs::path & inner, const fs::path & outer)
{
  auto outer_part = outer.begin();
  auto inner_part = inner.begin();
  for (; outer_part != outer.end(); ++outer_part, ++inner_part) {
    if (inner_part == inner.end() || *inner_part != *outer_part) {
      return false;
    }
  }
  return true;
}

fs::path resolved(const fs::path & path)
{
  std::error_code error;
  const fs::path absolute = fs::weakly_canonical(fs::absolute(path, error), error);
  return error ? path.lexically_normal() : absolute;
}

}  // namespace

const char * labelName(ReviewLabel label)
{
  static const char * const names[] = {"clean", "dirty", "stubborn", "unusable"};
  return names[static_cast<std::size_t>(label)];
}

std::optional<ReviewLabel> parseLabel(const std::string & name)
{
  for (const ReviewLabel label : kReviewLabels) {
    if (name == labelName(label)) {
      return label;
    }
  }
  return std::nullopt;
}

std::string labelFileName(Camera camera, const Stamp & stamp)
{
  return std::string(cameraName(camera)) + "_" + stamp.text() + ".jpg";
}

std::string labelsPlacementProblem(const fs::path & labels, const fs::path & archive)
{
  const fs::path labels_resolved = resolved(labels);
  const fs::path archive_resolved = resolved(archive);
  if (isInside(labels_resolved, archive_resolved)) {
    return "the labels folder " + labels_resolved.string() + " lies inside the archive " +
           archive_resolved.string() + ", which must stay as the node wrote it";
  }
  if (isInside(archive_resolved, labels_resolved)) {
    return "the archive " + archive_resolved.string() + " lies inside the labels folder " +
           labels_resolved.string();
  }
  return {};
}

LabelStore::LabelStore(fs::path labels_dir, fs::path archive_root)
: labels_dir_(std::move(labels_dir)), archive_root_(std::move(archive_root))
{
}

std::string LabelStore::open()
{
  std::lock_guard<std::mutex> lock(mutex_);
  std::error_code error;
  for (const ReviewLabel label : kReviewLabels) {
    if (isClass(label)) {
      fs::create_directories(labels_dir_ / labelName(label), error);
      if (error) {
        return "cannot create " + (labels_dir_ / labelName(label)).string() + ": " +
               error.message();
      }
    }
  }
  readLog();
  for (const auto & [id, decision] : decisions_) {
    // Best effort: a patch gone from the archive keeps its logged label without an image.
    fileImage(id, decision.label);
  }
  return {};
}

void LabelStore::readLog()
{
  std::ifstream log(labels_dir_ / kDecisionLog);
  std::string line;
  while (std::getline(log, line)) {
    const auto fields = splitCsvLine(line);
    if (fields.size() == 6 && fields[0] == "decided_at") {
      continue;
    }
    const auto camera = fields.size() == 6 ? parseCamera(fields[1]) : std::nullopt;
    const auto stamp = camera ? parseStampText(fields[2]) : std::nullopt;
    const auto verdict = stamp ? parseVerdict(fields[3]) : std::nullopt;
    const auto label = verdict ? parseLabel(fields[5]) : std::nullopt;
    if (!label || (fields[4] != "0" && fields[4] != "1")) {
      // A line cut short by a crash, or edited by hand: skipped, the rest still counts.
      ++malformed_lines_;
      continue;
    }
    const Patch patch{*camera, *stamp, *verdict, fields[4] == "1"};
    decisions_[patch.id()] = Decision{*verdict, patch.vlm, *label};
  }
}

std::optional<ReviewLabel> LabelStore::labelOf(Camera camera, const Stamp & stamp) const
{
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = decisions_.find(Patch{camera, stamp}.id());
  if (found == decisions_.end()) {
    return std::nullopt;
  }
  return found->second.label;
}

std::size_t LabelStore::size() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return decisions_.size();
}

DecisionCounts LabelStore::counts() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  DecisionCounts counts{};
  for (const auto & [id, decision] : decisions_) {
    const auto camera = parsePatchId(id)->first;
    ++counts[static_cast<std::size_t>(camera)][static_cast<std::size_t>(decision.node_verdict)]
    [static_cast<std::size_t>(decision.label)];
  }
  return counts;
}

LabelStore::Recorded LabelStore::record(const Patch & patch, ReviewLabel label)
{
  std::lock_guard<std::mutex> lock(mutex_);
  // Logged first: a stop between the two steps is repaired from the log by the next open().
  const std::string log_error = appendToLog(patch, label);
  if (!log_error.empty()) {
    return {false, log_error};
  }
  decisions_[patch.id()] = Decision{patch.verdict, patch.vlm, label};
  return {true, fileImage(patch.id(), label)};
}

std::string LabelStore::appendToLog(const Patch & patch, ReviewLabel label)
{
  const fs::path path = labels_dir_ / kDecisionLog;
  const int log = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (log < 0) {
    return "cannot open " + path.string() + ": " + std::strerror(errno);
  }
  std::string text;
  struct stat status{};
  char last = '\n';
  if (::fstat(log, &status) == 0 && status.st_size == 0) {
    text = kLogHeader;
  } else if (::pread(log, &last, 1, status.st_size - 1) == 1 && last != '\n') {
    // A line cut short by a crash, a full disk or an editor: ours must not continue it.
    text = "\n";
  }
  text += utcNow() + "," + cameraName(patch.camera) + "," + patch.stamp.text() + "," +
    verdictName(patch.verdict) + "," + (patch.vlm ? "1" : "0") + "," + labelName(label) + "\n";
  // One write of a whole line: an appended line is never interleaved or split by another one.
  const bool written = ::write(log, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const int write_errno = errno;
  const bool synced = ::fdatasync(log) == 0;
  ::close(log);
  if (!written || !synced) {
    return "cannot write " + path.string() + ": " + std::strerror(written ? errno : write_errno);
  }
  return {};
}

std::string LabelStore::fileImage(const std::string & id, ReviewLabel label) const
{
  const auto [camera, stamp] = *parsePatchId(id);
  const std::string name = labelFileName(camera, stamp);
  std::string problem;
  if (isClass(label)) {
    const fs::path target = labels_dir_ / labelName(label) / name;
    std::error_code error;
    if (!fs::exists(target, error)) {
      const Decision & decision = decisions_.at(id);
      fs::path source = archive_root_ / categoryOf(camera, decision.node_verdict).name /
        (stamp.text() + ".jpg");
      if (!fs::exists(source, error)) {
        source = archive_root_ / categoryOf(camera, Verdict::none).name / (stamp.text() + ".jpg");
      }
      problem = placeFile(source, target);
    }
  }
  for (const ReviewLabel other : kReviewLabels) {
    if (isClass(other) && other != label) {
      std::error_code error;
      fs::remove(labels_dir_ / labelName(other) / name, error);
    }
  }
  return problem;
}

}  // namespace velmora_review
