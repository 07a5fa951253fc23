#ifndef VELMORA_WATER_STAIN__CLASSIFIER_HPP_
#define VELMORA_WATER_STAIN__CLASSIFIER_HPP_

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace velmora_water_stain
{

// Classifier output index, history entry and archive category stem share these values.
enum class FloorClass : int32_t
{
  clean = 0,
  dirty = 1,
  stubborn = 2,
};

struct ClassifierResult
{
  std::vector<float> scores;  // softmax probabilities in class order
  int32_t class_index{0};     // first maximum wins
  float top_score{0.0f};
};

// History capacities per camera: how many entries a history holds once a frame is added.
constexpr std::size_t kRearHistoryCapacity = 3;
constexpr std::size_t kFrontHistoryCapacity = 2;
constexpr std::size_t kFisheyeHistoryCapacity = 2;

// Resize to size, BGR to RGB, scale to [0, 1], normalise per channel (R, G, B order)
// and reorder into a planar 1 x 3 x H x W CV_32F blob.
cv::Mat preprocessForClassifier(
  const cv::Mat & bgr_crop, cv::Size size,
  const std::array<float, 3> & mean, const std::array<float, 3> & std);

std::vector<float> softmax(const std::vector<float> & logits);

// False when any value is NaN or infinite: such scores judge nothing.
bool allFinite(const std::vector<float> & values);

// Softmax and arg-max (ties keep the lower index).
ClassifierResult scoreOutputs(const std::vector<float> & logits);

// The classifier is trusted at or above the threshold and unsure below it; a top score that
// is not a number is neither.
bool isConfident(float top_score, float score_threshold);
bool isUnsure(float top_score, float score_threshold);

// Drops the oldest entry when the history already holds `capacity` entries.
void trimHistory(std::deque<int32_t> & history, std::size_t capacity);

// Same floor (overlap at or above the threshold): only a unanimous history reports a stain.
// New floor: the newest entry decides. An empty history is clean at any overlap: nothing has
// been judged yet.
FloorClass finalVerdict(const std::deque<int32_t> & history, float overlap, float iou_threshold);

// True when the final rule logs its "all ones" line for these inputs (never for an empty history).
bool sameFloorAllDirty(const std::deque<int32_t> & history, float overlap, float iou_threshold);

// "clean", "dirty" or "stubborn" followed by the camera's suffix ("", "_front", "_fish").
std::string verdictCategory(FloorClass verdict, const std::string & camera_suffix);

}  // namespace velmora_water_stain

#endif  // VELMORA_WATER_STAIN__CLASSIFIER_HPP_
