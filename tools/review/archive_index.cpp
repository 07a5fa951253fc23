#include "review/archive_index.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>
#include <system_error>
#include <utility>

namespace velmora_review
{

namespace
{

// A folder modified this recently may change again within its time stamp's resolution
// (whole seconds on some file systems of archives copied off a robot), so it is listed again.
constexpr std::int64_t kSettleNs = 2'000'000'000;

constexpr std::array<Category, 12> kCategories{{
  {"clean", Camera::rear, Verdict::clean, false},
  {"dirty", Camera::rear, Verdict::dirty, false},
  {"stubborn", Camera::rear, Verdict::stubborn, false},
  {"internvl", Camera::rear, Verdict::none, true},
  {"clean_front", Camera::front, Verdict::clean, false},
  {"dirty_front", Camera::front, Verdict::dirty, false},
  {"stubborn_front", Camera::front, Verdict::stubborn, false},
  {"internvl_front", Camera::front, Verdict::none, true},
  {"clean_fish", Camera::fisheye, Verdict::clean, false},
  {"dirty_fish", Camera::fisheye, Verdict::dirty, false},
  {"stubborn_fish", Camera::fisheye, Verdict::stubborn, false},
  {"internvl_fish", Camera::fisheye, Verdict::none, true},
}};

// Plain decimal digits only: no sign, no blanks, no leading "+" that strtoul would accept.
std::optional<std::uint64_t> parseDigits(const std::string & text, std::size_t max_digits)
{
  if (text.empty() || text.size() > max_digits) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (const char digit : text) {
    if (digit < '0' || digit > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<std::uint64_t>(digit - '0');
  }
  return value;
}

std::int64_t nowRealtimeNs()
{
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::size_t cameraIndex(Camera camera) {return static_cast<std::size_t>(camera);}

}  // namespace

const char * cameraName(Camera camera)
{
  static const char * const names[] = {"rear", "front", "fisheye"};
  return names[cameraIndex(camera)];
}

const char * verdictName(Verdict verdict)
{
  static const char * const names[] = {"clean", "dirty", "stubborn", "none"};
  return names[static_cast<std::size_t>(verdict)];
}

std::optional<Camera> parseCamera(const std::string & name)
{
  for (const Camera camera : kCameras) {
    if (name == cameraName(camera)) {
      return camera;
    }
  }
  return std::nullopt;
}

std::optional<Verdict> parseVerdict(const std::string & name)
{
  for (const Verdict verdict : kVerdicts) {
    if (name == verdictName(verdict)) {
      return verdict;
    }
  }
  return std::nullopt;
}

const std::array<Category, 12> & archiveCategories() {return kCategories;}

const Category * findCategory(const std::string & name)
{
  for (const Category & category : kCategories) {
    if (name == category.name) {
      return &category;
    }
  }
  return nullptr;
}

const Category & categoryOf(Camera camera, Verdict verdict)
{
  return kCategories[cameraIndex(camera) * 4 + static_cast<std::size_t>(verdict)];
}

std::string Stamp::text() const
{
  return std::to_string(sec) + "." + std::to_string(nanosec);
}

bool Stamp::operator<(const Stamp & other) const
{
  return std::make_pair(sec, nanosec) < std::make_pair(other.sec, other.nanosec);
}

bool Stamp::operator==(const Stamp & other) const
{
  return sec == other.sec && nanosec == other.nanosec;
}

std::optional<Stamp> parseStampText(const std::string & text)
{
  const auto point = text.find('.');
  if (point == std::string::npos) {
    return std::nullopt;
  }
  std::string seconds = text.substr(0, point);
  const bool negative = !seconds.empty() && seconds[0] == '-';
  if (negative) {
    seconds.erase(0, 1);
  }
  const auto magnitude = parseDigits(seconds, 10);
  const auto nanosec = parseDigits(text.substr(point + 1), 9);
  const std::uint64_t limit = negative ? 2147483648ULL : 2147483647ULL;
  if (!magnitude || !nanosec || *magnitude > limit) {
    return std::nullopt;
  }
  const std::int64_t sec = negative ? -static_cast<std::int64_t>(*magnitude) :
    static_cast<std::int64_t>(*magnitude);
  const Stamp stamp{static_cast<std::int32_t>(sec), static_cast<std::uint32_t>(*nanosec)};
  // The node's own spelling only: "012.7" or "12.007" would stand for the file "12.7".
  if (stamp.text() != text) {
    return std::nullopt;
  }
  return stamp;
}

std::optional<Stamp> parseStampFileName(const std::string & file_name)
{
  constexpr std::size_t kExtension = 4;
  if (file_name.size() <= kExtension ||
    file_name.compare(file_name.size() - kExtension, kExtension, ".jpg") != 0)
  {
    return std::nullopt;
  }
  return parseStampText(file_name.substr(0, file_name.size() - kExtension));
}

std::string Patch::id() const
{
  return std::string(cameraName(camera)) + "/" + stamp.text();
}

const Category & Patch::imageCategory() const
{
  return categoryOf(camera, verdict);
}

std::optional<std::pair<Camera, Stamp>> parsePatchId(const std::string & id)
{
  const auto slash = id.find('/');
  if (slash == std::string::npos) {
    return std::nullopt;
  }
  const auto camera = parseCamera(id.substr(0, slash));
  const auto stamp = parseStampText(id.substr(slash + 1));
  if (!camera || !stamp) {
    return std::nullopt;
  }
  return std::make_pair(*camera, *stamp);
}

std::optional<std::size_t> ArchiveSnapshot::find(Camera camera, const Stamp & stamp) const
{
  const auto order = [](const Patch & patch, const std::pair<Stamp, Camera> & key) {
      return std::make_pair(patch.stamp, patch.camera) < key;
    };
  const auto key = std::make_pair(stamp, camera);
  const auto found = std::lower_bound(patches.begin(), patches.end(), key, order);
  if (found == patches.end() || !(found->stamp == stamp) || found->camera != camera) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(found - patches.begin());
}

ArchiveIndex::ArchiveIndex(std::filesystem::path root, Clock::duration min_rescan_interval)
: root_(std::move(root)), min_rescan_interval_(min_rescan_interval)
{
}

std::shared_ptr<const ArchiveSnapshot> ArchiveIndex::snapshot()
{
  std::lock_guard<std::mutex> lock(mutex_);
  const auto now = Clock::now();
  std::error_code error;
  const bool root_exists = std::filesystem::is_directory(root_, error);
  bool changed = snapshot_ == nullptr || root_exists != root_existed_;
  for (std::size_t index = 0; index < folders_.size(); ++index) {
    changed = refreshFolder(index, now) || changed;
  }
  if (changed) {
    snapshot_ = buildSnapshot(root_exists);
    root_existed_ = root_exists;
  }
  return snapshot_;
}

bool ArchiveIndex::refreshFolder(std::size_t index, Clock::time_point now)
{
  FolderState & folder = folders_[index];
  const std::filesystem::path path = root_ / kCategories[index].name;
  struct stat status{};
  const bool exists = ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
  const std::int64_t modified_ns = exists ?
    static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec : 0;
  const std::uint64_t inode = exists ? status.st_ino : 0;
  const bool same = folder.listed && exists == folder.exists && inode == folder.inode &&
    modified_ns == folder.modified_ns && !folder.unsettled;
  const bool same_folder = folder.listed && exists && folder.exists && inode == folder.inode;
  if (same || (same_folder && now - folder.listed_at < min_rescan_interval_)) {
    return false;
  }
  FolderState listed;
  listed.listed = true;
  listed.exists = exists;
  listed.inode = inode;
  listed.modified_ns = modified_ns;
  listed.unsettled = exists && nowRealtimeNs() - modified_ns < kSettleNs;
  listed.listed_at = now;
  std::error_code error;
  // A folder removed or replaced while it is listed ends the listing early; what was read stays.
  for (std::filesystem::directory_iterator entry(path, error), end; !error && entry != end;
    entry.increment(error))
  {
    const std::string name = entry->path().filename().string();
    const auto stamp = name[0] == '.' ? std::nullopt : parseStampFileName(name);
    if (stamp) {
      listed.stamps.push_back(*stamp);
    } else {
      ++listed.skipped;
    }
  }
  std::sort(listed.stamps.begin(), listed.stamps.end());
  const bool changed = !folder.listed || listed.skipped != folder.skipped ||
    listed.stamps != folder.stamps;
  folder = std::move(listed);
  return changed;
}

std::shared_ptr<const ArchiveSnapshot> ArchiveIndex::buildSnapshot(bool root_exists) const
{
  auto snapshot = std::make_shared<ArchiveSnapshot>();
  snapshot->root_exists = root_exists;
  std::map<std::pair<Stamp, Camera>, Patch> frames;
  for (std::size_t index = 0; index < folders_.size(); ++index) {
    const Category & category = kCategories[index];
    const FolderState & folder = folders_[index];
    snapshot->category_counts[index] = folder.stamps.size();
    snapshot->skipped_files += folder.skipped;
    for (const Stamp & stamp : folder.stamps) {
      Patch & patch = frames[{stamp, category.camera}];
      patch.camera = category.camera;
      patch.stamp = stamp;
      if (category.vlm) {
        patch.vlm = true;
      } else {
        // A frame filed under two verdicts (a rewritten archive) shows the graver one.
        patch.verdict = patch.verdict == Verdict::none ? category.verdict :
          std::max(patch.verdict, category.verdict);
      }
    }
  }
  snapshot->patches.reserve(frames.size());
  for (auto & frame : frames) {
    snapshot->patches.push_back(frame.second);
  }
  return snapshot;
}

}  // namespace velmora_review
