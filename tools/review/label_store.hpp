// The reviewer's labels: a class-folder tree (clean/, dirty/, stubborn/) of hard links to or
// copies of archive patches, and an append-only CSV of every decision, from which a review
// resumes. The node's archive is never moved or altered.
#ifndef VELMORA_REVIEW__LABEL_STORE_HPP_
#define VELMORA_REVIEW__LABEL_STORE_HPP_

#include <array>
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "review/archive_index.hpp"

namespace velmora_review
{

enum class ReviewLabel { clean, dirty, stubborn, unusable };
constexpr std::array<ReviewLabel, 4> kReviewLabels{
  ReviewLabel::clean, ReviewLabel::dirty, ReviewLabel::stubborn, ReviewLabel::unusable};

const char * labelName(ReviewLabel label);
std::optional<ReviewLabel> parseLabel(const std::string & name);

constexpr const char * kDecisionLog = "decisions.csv";

// "<camera>_<sec>.<nanosec>.jpg": unique across cameras inside one class folder.
std::string labelFileName(Camera camera, const Stamp & stamp);

// Why `labels` cannot hold the labels of `archive` (one inside the other), or empty.
std::string labelsPlacementProblem(
  const std::filesystem::path & labels, const std::filesystem::path & archive);

// Per camera: decisions counted by the node's verdict (rows) and the reviewer's label (columns).
using DecisionCounts = std::array<std::array<std::array<std::size_t, 4>, 4>, 3>;

class LabelStore
{
public:
  LabelStore(std::filesystem::path labels_dir, std::filesystem::path archive_root);

  // Creates the folders, reads the decision log and repairs the class folders where an earlier
  // run stopped between logging a decision and filing its image. Returns why it failed, or "".
  std::string open();

  const std::filesystem::path & directory() const {return labels_dir_;}
  std::optional<ReviewLabel> labelOf(Camera camera, const Stamp & stamp) const;
  std::size_t size() const;
  DecisionCounts counts() const;
  std::size_t malformedLogLines() const {return malformed_lines_;}

  struct Recorded
  {
    bool logged{false};
    std::string problem;  // why logging or filing the image failed, or ""
  };
  // Logs the decision, then files the patch's image (read from the archive) under the label. A
  // logged decision stands even when its image cannot be filed; the next open() files it.
  Recorded record(const Patch & patch, ReviewLabel label);

private:
  struct Decision
  {
    Verdict node_verdict{Verdict::none};
    bool vlm{false};
    ReviewLabel label{ReviewLabel::unusable};
  };

  std::string appendToLog(const Patch & patch, ReviewLabel label);
  std::string fileImage(const std::string & id, ReviewLabel label) const;
  void readLog();

  std::filesystem::path labels_dir_;
  std::filesystem::path archive_root_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Decision> decisions_;  // by patch id, the latest decision
  std::size_t malformed_lines_{0};
};

}  // namespace velmora_review

#endif  // VELMORA_REVIEW__LABEL_STORE_HPP_
