#include "velmora_water_stain/classifier.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <opencv2/imgproc.hpp>

namespace velmora_water_stain
{

cv::Mat preprocessForClassifier(
  const cv::Mat & bgr_crop, cv::Size size,
  const std::array<float, 3> & mean, const std::array<float, 3> & std)
{
  cv::Mat resized;
  cv::resize(bgr_crop, resized, size, 0.0, 0.0, cv::INTER_LINEAR);
  // Fewer passes than colour conversion, scaling, split, normalisation, merge and blob layout,
  // with the same arithmetic on the same values: the channels are only reordered, and scaling
  // and normalisation are the same OpenCV operations, now run on the planes of the blob itself.
  const int rows = resized.rows;
  cv::Mat planar(3 * rows, resized.cols, resized.depth());
  std::array<cv::Mat, 3> rgb_planes{
    planar.rowRange(0, rows), planar.rowRange(rows, 2 * rows), planar.rowRange(2 * rows, 3 * rows)};
  if (resized.channels() == 3) {
    std::array<cv::Mat, 3> bgr_planes{rgb_planes[2], rgb_planes[1], rgb_planes[0]};
    cv::split(resized, bgr_planes.data());
  } else {
    cv::Mat rgb;
    cv::cvtColor(resized, rgb, cv::COLOR_BGR2RGB);
    cv::split(rgb, rgb_planes.data());
  }
  const int blob_size[] = {1, 3, rows, resized.cols};
  cv::Mat blob(4, blob_size, CV_32F);
  cv::Mat unit_range(planar.size(), CV_32F, blob.ptr<float>());
  planar.convertTo(unit_range, CV_32F, 1.0 / 255.0);
  for (int channel = 0; channel < 3; ++channel) {
    cv::Mat plane = unit_range.rowRange(channel * rows, (channel + 1) * rows);
    plane = (plane - mean[channel]) / std[channel];
  }
  return blob;
}

std::vector<float> softmax(const std::vector<float> & logits)
{
  std::vector<float> probabilities(logits.size());
  if (logits.empty()) {
    return probabilities;
  }
  // Shifting by the largest logit keeps expf finite; the probabilities are unchanged.
  const float largest = *std::max_element(logits.begin(), logits.end());
  float sum = 0.0f;
  for (std::size_t index = 0; index < logits.size(); ++index) {
    probabilities[index] = std::exp(logits[index] - largest);
    sum += probabilities[index];
  }
  for (float & probability : probabilities) {
    probability /= sum;
  }
  return probabilities;
}

bool allFinite(const std::vector<float> & values)
{
  return std::all_of(values.begin(), values.end(), [](float value) {return std::isfinite(value);});
}

ClassifierResult scoreOutputs(const std::vector<float> & logits)
{
  ClassifierResult result;
  result.scores = softmax(logits);
  if (result.scores.empty()) {
    // No score at all is neither confident nor unsure.
    result.top_score = std::numeric_limits<float>::quiet_NaN();
    return result;
  }
  std::size_t best = 0;
  for (std::size_t index = 1; index < result.scores.size(); ++index) {
    if (result.scores[index] > result.scores[best]) {
      best = index;
    }
  }
  result.class_index = static_cast<int32_t>(best);
  result.top_score = result.scores[best];
  return result;
}

bool isConfident(float top_score, float score_threshold)
{
  return score_threshold <= top_score;
}

bool isUnsure(float top_score, float score_threshold)
{
  return top_score < score_threshold;
}

void trimHistory(std::deque<int32_t> & history, std::size_t capacity)
{
  if (!history.empty() && history.size() >= capacity) {
    history.pop_front();
  }
}

namespace
{

bool allEqual(const std::deque<int32_t> & history, FloorClass floor_class)
{
  return std::all_of(
    history.begin(), history.end(),
    [floor_class](int32_t entry) {return entry == static_cast<int32_t>(floor_class);});
}

}  // namespace

bool sameFloorAllDirty(const std::deque<int32_t> & history, float overlap, float iou_threshold)
{
  return !history.empty() && overlap >= iou_threshold && allEqual(history, FloorClass::dirty);
}

FloorClass finalVerdict(const std::deque<int32_t> & history, float overlap, float iou_threshold)
{
  if (history.empty()) {
    return FloorClass::clean;
  }
  const bool high = overlap >= iou_threshold;
  const bool low = overlap < iou_threshold;
  if (sameFloorAllDirty(history, overlap, iou_threshold)) {
    return FloorClass::dirty;
  }
  if (!low) {
    return high && allEqual(history, FloorClass::stubborn) ? FloorClass::stubborn :
           FloorClass::clean;
  }
  switch (history.back()) {
    case static_cast<int32_t>(FloorClass::stubborn):
      return FloorClass::stubborn;
    case static_cast<int32_t>(FloorClass::dirty):
      return FloorClass::dirty;
    default:
      return FloorClass::clean;
  }
}

std::string verdictCategory(FloorClass verdict, const std::string & camera_suffix)
{
  switch (verdict) {
    case FloorClass::dirty:
      return "dirty" + camera_suffix;
    case FloorClass::stubborn:
      return "stubborn" + camera_suffix;
    case FloorClass::clean:
      break;
  }
  return "clean" + camera_suffix;
}

}  // namespace velmora_water_stain
