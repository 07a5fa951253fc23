// Index of a node archive: which floor patches it holds, per camera, in stamp order. The archive
// is only read; the index follows it while the node keeps writing.
#ifndef VELMORA_REVIEW__ARCHIVE_INDEX_HPP_
#define VELMORA_REVIEW__ARCHIVE_INDEX_HPP_

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velmora_review
{

enum class Camera { rear, front, fisheye };
constexpr std::array<Camera, 3> kCameras{Camera::rear, Camera::front, Camera::fisheye};

// The node's verdict for a frame; `none` when only the VLM's copy was filed (a throttled or
// switched-off verdict write).
enum class Verdict { clean, dirty, stubborn, none };
constexpr std::array<Verdict, 4> kVerdicts{
  Verdict::clean, Verdict::dirty, Verdict::stubborn, Verdict::none};

const char * cameraName(Camera camera);
const char * verdictName(Verdict verdict);
std::optional<Camera> parseCamera(const std::string & name);
std::optional<Verdict> parseVerdict(const std::string & name);

// One of the twelve archive folders.
struct Category
{
  const char * name;
  Camera camera;
  Verdict verdict;  // `none` for the folders of patches sent to the VLM
  bool vlm;
};
const std::array<Category, 12> & archiveCategories();
const Category * findCategory(const std::string & name);
// The folder holding `camera`'s patches of `verdict` (the VLM folder for `none`).
const Category & categoryOf(Camera camera, Verdict verdict);

// A header stamp as the node names its files: "<sec>.<nanosec>.jpg", no zero padding.
struct Stamp
{
  std::int32_t sec{0};
  std::uint32_t nanosec{0};

  double seconds() const {return sec + nanosec * 1e-9;}
  std::string text() const;  // "<sec>.<nanosec>"
  bool operator<(const Stamp & other) const;
  bool operator==(const Stamp & other) const;
};
std::optional<Stamp> parseStampFileName(const std::string & file_name);
std::optional<Stamp> parseStampText(const std::string & text);

// One judged frame of one camera.
struct Patch
{
  Camera camera{Camera::rear};
  Stamp stamp;
  Verdict verdict{Verdict::none};
  bool vlm{false};  // the frame was sent to the VLM

  std::string id() const;  // "<camera>/<sec>.<nanosec>"
  // The folder to read the image from: the verdict's, else the VLM's.
  const Category & imageCategory() const;
  std::string imageFileName() const {return stamp.text() + ".jpg";}
};
std::optional<std::pair<Camera, Stamp>> parsePatchId(const std::string & id);

struct ArchiveSnapshot
{
  bool root_exists{false};
  std::vector<Patch> patches;  // ordered by stamp, then camera
  std::array<std::size_t, 12> category_counts{};  // files per folder, in archiveCategories() order
  std::size_t skipped_files{0};  // names that are no stamp file (temporaries, strays)

  // Index into `patches`, if present.
  std::optional<std::size_t> find(Camera camera, const Stamp & stamp) const;
};

class ArchiveIndex
{
public:
  using Clock = std::chrono::steady_clock;

  // `min_rescan_interval` bounds how often a folder the node keeps writing into is listed again.
  explicit ArchiveIndex(
    std::filesystem::path root,
    Clock::duration min_rescan_interval = std::chrono::milliseconds(500));

  const std::filesystem::path & root() const {return root_;}

  // The archive as it is now: lists again only the folders that changed since the last look.
  std::shared_ptr<const ArchiveSnapshot> snapshot();

private:
  struct FolderState
  {
    bool listed{false};
    bool exists{false};
    std::uint64_t inode{0};
    std::int64_t modified_ns{0};
    bool unsettled{false};  // modified too recently for its time stamp to prove a later change
    Clock::time_point listed_at{};
    std::vector<Stamp> stamps;
    std::size_t skipped{0};
  };

  bool refreshFolder(std::size_t index, Clock::time_point now);
  std::shared_ptr<const ArchiveSnapshot> buildSnapshot(bool root_exists) const;

  std::filesystem::path root_;
  Clock::duration min_rescan_interval_;
  std::mutex mutex_;
  std::array<FolderState, 12> folders_;
  bool root_existed_{false};
  std::shared_ptr<const ArchiveSnapshot> snapshot_;
};

}  // namespace velmora_review

#endif  // VELMORA_REVIEW__ARCHIVE_INDEX_HPP_
