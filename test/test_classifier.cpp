#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <deque>
#include <limits>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "velmora_water_stain/classifier.hpp"

using velmora_water_stain::ClassifierResult;
using velmora_water_stain::FloorClass;

namespace
{

const std::array<float, 3> kMean{0.485f, 0.456f, 0.406f};
const std::array<float, 3> kStd{0.229f, 0.224f, 0.225f};
const float kNaN = std::numeric_limits<float>::quiet_NaN();

cv::Mat planeOf(const cv::Mat & blob, int channel)
{
  return cv::Mat(224, 224, CV_32F, const_cast<float *>(blob.ptr<float>(0, channel)));
}

TEST(ClassifierPreprocessing, GivesPlanarNormalisedRgbOfTheNetworkSize)
{
  struct Case
  {
    cv::Scalar bgr;
    std::array<float, 3> planes;  // R, G, B
  };
  const std::vector<Case> cases{
    {cv::Scalar(128, 128, 128), {0.0741f, 0.2052f, 0.4265f}},
    {cv::Scalar(0, 0, 255), {2.2489f, -2.0357f, -1.8044f}},
    {cv::Scalar(255, 0, 0), {-2.1179f, -2.0357f, 2.6400f}},
  };
  for (const auto & test_case : cases) {
    const cv::Mat crop(37, 150, CV_8UC3, test_case.bgr);
    const cv::Mat blob = velmora_water_stain::preprocessForClassifier(
      crop, cv::Size(224, 224), kMean, kStd);
    ASSERT_EQ(blob.dims, 4);
    EXPECT_EQ(std::vector<int>(blob.size.p, blob.size.p + 4), (std::vector<int>{1, 3, 224, 224}));
    EXPECT_EQ(blob.type(), CV_32F);
    EXPECT_EQ(blob.total() * blob.elemSize(), 602112u);
    for (int channel = 0; channel < 3; ++channel) {
      double lowest = 0.0;
      double highest = 0.0;
      cv::minMaxLoc(planeOf(blob, channel), &lowest, &highest);
      EXPECT_NEAR(lowest, test_case.planes[channel], 1e-4) << test_case.bgr << " " << channel;
      EXPECT_NEAR(highest, test_case.planes[channel], 1e-4) << test_case.bgr << " " << channel;
    }
  }
}

TEST(ClassifierScoring, SoftmaxAndFirstMaximum)
{
  struct Case
  {
    std::vector<float> logits;
    std::vector<float> scores;
    int32_t class_index;
  };
  const float third = 1.0f / 3.0f;
  const std::vector<Case> cases{
    {{0.0f, 0.0f, 0.0f}, {third, third, third}, 0},
    {{1000.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, 0},
    {{-1000.0f, 1000.0f, 999.0f}, {0.0f, 0.7311f, 0.2689f}, 1},
    {{1.0f, 2.0f, 3.0f}, {0.0900f, 0.2447f, 0.6652f}, 2},
    {{2.0f, 5.0f, 5.0f}, {0.0243f, 0.4879f, 0.4879f}, 1},
    {{4.0f}, {1.0f}, 0},
  };
  for (const auto & test_case : cases) {
    const ClassifierResult result = velmora_water_stain::scoreOutputs(test_case.logits);
    ASSERT_EQ(result.scores.size(), test_case.scores.size());
    for (std::size_t index = 0; index < result.scores.size(); ++index) {
      EXPECT_NEAR(result.scores[index], test_case.scores[index], 1e-4f)
        << "logit " << test_case.logits[index];
    }
    EXPECT_EQ(result.class_index, test_case.class_index);
    EXPECT_EQ(result.top_score, result.scores[test_case.class_index]);
  }
  const ClassifierResult empty = velmora_water_stain::scoreOutputs({});
  EXPECT_EQ(empty.class_index, 0);
  EXPECT_TRUE(std::isnan(empty.top_score));
}

TEST(ClassifierScoring, ConfidentFromTheThresholdUpAndNotANumberIsNeither)
{
  using velmora_water_stain::isConfident;
  using velmora_water_stain::isUnsure;
  EXPECT_TRUE(isConfident(0.8f, 0.8f));
  EXPECT_FALSE(isUnsure(0.8f, 0.8f));
  EXPECT_TRUE(isUnsure(std::nextafter(0.8f, 0.0f), 0.8f));
  EXPECT_TRUE(isUnsure(1.0f / 3.0f, 0.8f));
  EXPECT_FALSE(isConfident(kNaN, 0.8f));
  EXPECT_FALSE(isUnsure(kNaN, 0.8f));
}

TEST(ClassifierHistory, OldestEntryLeavesOnlyWhenTheHistoryIsFull)
{
  struct Case
  {
    std::deque<int32_t> history;
    std::size_t capacity;
    std::deque<int32_t> after_push_of_zero;
  };
  const std::vector<Case> cases{
    {{1, 1, 1}, velmora_water_stain::kRearHistoryCapacity, {1, 1, 0}},
    {{1, 1}, velmora_water_stain::kRearHistoryCapacity, {1, 1, 0}},
    {{1, 1}, velmora_water_stain::kFrontHistoryCapacity, {1, 0}},
    {{1}, velmora_water_stain::kFisheyeHistoryCapacity, {1, 0}},
    {{}, velmora_water_stain::kFisheyeHistoryCapacity, {0}},
  };
  for (auto test_case : cases) {
    velmora_water_stain::trimHistory(test_case.history, test_case.capacity);
    test_case.history.push_back(0);
    EXPECT_EQ(test_case.history, test_case.after_push_of_zero);
  }
}

TEST(ClassifierScoring, NotANumberOrInfinityAnywhereIsNotFinite)
{
  using velmora_water_stain::allFinite;
  const float infinity = std::numeric_limits<float>::infinity();
  EXPECT_TRUE(allFinite({0.0f, -30.0f, 1e30f}));
  EXPECT_FALSE(allFinite({0.0f, kNaN, 1.0f}));
  EXPECT_FALSE(allFinite({infinity, 0.0f, 0.0f}));
  EXPECT_FALSE(allFinite({0.0f, 0.0f, -infinity}));
}

TEST(ClassifierVerdict, EmptyHistoryIsCleanAtAnyOverlap)
{
  using velmora_water_stain::finalVerdict;
  using velmora_water_stain::sameFloorAllDirty;
  for (const float overlap : {0.0f, 0.5f, 0.8f, 0.95f, 1.0f, kNaN}) {
    EXPECT_EQ(finalVerdict({}, overlap, 0.8f), FloorClass::clean) << overlap;
    EXPECT_FALSE(sameFloorAllDirty({}, overlap, 0.8f)) << overlap;
  }
}

TEST(ClassifierVerdict, CategoryCarriesTheCameraSuffix)
{
  using velmora_water_stain::verdictCategory;
  EXPECT_EQ(verdictCategory(FloorClass::clean, ""), "clean");
  EXPECT_EQ(verdictCategory(FloorClass::dirty, "_front"), "dirty_front");
  EXPECT_EQ(verdictCategory(FloorClass::stubborn, "_fish"), "stubborn_fish");
}

}  // namespace
