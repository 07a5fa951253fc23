#include <gtest/gtest.h>

#include <cuda_runtime_api.h>

#include <array>
#include <cmath>
#include <deque>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "log_capture.hpp"
#include "test_support.hpp"
#include "velmora_water_stain/classifier.hpp"
#include "velmora_water_stain/water_stain_node.hpp"

using velmora_water_stain::ClassifierResult;
using velmora_water_stain::FloorClass;

namespace
{

constexpr int kRosError = RCUTILS_LOG_SEVERITY_ERROR;
constexpr int kRosInfo = RCUTILS_LOG_SEVERITY_INFO;
const std::array<float, 3> kMean{0.485f, 0.456f, 0.406f};
const std::array<float, 3> kStd{0.229f, 0.224f, 0.225f};
const float kNaN = std::numeric_limits<float>::quiet_NaN();

std::string testModel(const std::string & file_name)
{
  return std::string(VELMORA_SOURCE_DIR) + "/test/models/" + file_name;
}

// Everything written to std::cerr while the object lives.
class StandardErrorCapture
{
public:
  StandardErrorCapture()
  : previous_(std::cerr.rdbuf(text_.rdbuf())) {}
  ~StandardErrorCapture() {std::cerr.rdbuf(previous_);}

  std::string text() const {return text_.str();}

private:
  std::ostringstream text_;
  std::streambuf * previous_;
};

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

TEST(ClassifierVerdict, CategoryCarriesTheCameraSuffix)
{
  using velmora_water_stain::verdictCategory;
  EXPECT_EQ(verdictCategory(FloorClass::clean, ""), "clean");
  EXPECT_EQ(verdictCategory(FloorClass::dirty, "_front"), "dirty_front");
  EXPECT_EQ(verdictCategory(FloorClass::stubborn, "_fish"), "stubborn_fish");
}

TEST(TensorRtLogger, PrintsErrorsOnlyOnStandardError)
{
  using Severity = nvinfer1::ILogger::Severity;
  WaterStainNode::Logger logger;
  StandardErrorCapture standard_error;
  logger.log(Severity::kINTERNAL_ERROR, "internal");
  logger.log(Severity::kERROR, "failed");
  logger.log(Severity::kWARNING, "warning");
  logger.log(Severity::kINFO, "info");
  logger.log(Severity::kVERBOSE, "verbose");
  EXPECT_EQ(standard_error.text(), "TensorRT error: internal\nTensorRT error: failed\n");
}

class ClassifierNodeTest : public ::testing::Test
{
protected:
  void SetUp() override {test_support::ensureRclcppInit();}

  std::shared_ptr<WaterStainNode> makeNode(const std::string & engine_path)
  {
    return std::make_shared<WaterStainNode>(
      rclcpp::NodeOptions().parameter_overrides({
        {"image_dir", directory_ / "images"}, {"engine_path", engine_path}}));
  }

  test_support::TemporaryDirectory directory_;
};

TEST_F(ClassifierNodeTest, FinalRuleOnHistoryAndOverlap)
{
  struct Case
  {
    std::deque<int32_t> history;
    float overlap;
    FloorClass verdict;
    bool all_ones_line;
  };
  const std::vector<Case> cases{
    {{1, 1}, 0.9f, FloorClass::dirty, true},
    {{1, 1}, 0.8f, FloorClass::dirty, true},
    {{1, 0}, 0.9f, FloorClass::clean, false},
    {{1, 0}, 0.5f, FloorClass::clean, false},
    {{1, 1, 0}, 0.5f, FloorClass::clean, false},
    {{2, 2}, 0.85f, FloorClass::stubborn, false},
    {{2, 1}, 0.85f, FloorClass::clean, false},
    {{2, 1}, 0.3f, FloorClass::dirty, false},
    {{0, 2}, 0.3f, FloorClass::stubborn, false},
    {{-1}, 0.3f, FloorClass::clean, false},
    {{}, 0.3f, FloorClass::clean, false},
    {{}, 0.9f, FloorClass::stubborn, true},
    {{1, 1}, kNaN, FloorClass::clean, false},
    {{2, 2}, kNaN, FloorClass::clean, false},
  };
  auto node = makeNode(directory_ / "missing.engine");
  for (const auto & test_case : cases) {
    test_support::LogCapture log;
    EXPECT_EQ(
      node->decideVerdict(test_case.history, test_case.overlap, "7.5.jpg"), test_case.verdict)
      << "overlap " << test_case.overlap << ", " << test_case.history.size() << " entries";
    const std::string line = cv::format("dirty iou: %f , all ones, 7.5.jpg", test_case.overlap);
    EXPECT_EQ(log.containsAt(kRosInfo, line), test_case.all_ones_line) << line;
    EXPECT_EQ(log.lines().size(), test_case.all_ones_line ? 1u : 0u);
  }
}

TEST_F(ClassifierNodeTest, MissingEngineFileIsOneErrorAndFramesAreNotJudged)
{
  const std::string path = directory_ / "missing.engine";
  test_support::LogCapture log;
  StandardErrorCapture standard_error;
  auto node = makeNode(path);

  EXPECT_FALSE(node->engineLoaded());
  EXPECT_EQ(log.count("engine"), 1u);
  EXPECT_TRUE(log.containsAt(kRosError, "Failed to load engine file: " + path));
  EXPECT_EQ(standard_error.text().find("TensorRT error"), std::string::npos);

  const cv::Mat patch(60, 80, CV_8UC3, cv::Scalar(0, 0, 255));
  EXPECT_FALSE(node->classifyPatch(patch).has_value());
  EXPECT_FALSE(node->classifyPatch(patch).has_value());
  EXPECT_EQ(log.count("Classifier engine not loaded (" + path + "): frame not judged"), 1u);
}

TEST_F(ClassifierNodeTest, EnginesOutsideTheDesignAreRejectedAtLoad)
{
  const std::string garbage = directory_ / "garbage.engine";
  std::ofstream(garbage) << "a TensorRT 10 plan from another machine";
  struct Case
  {
    std::string path;
    std::string reason;
    bool tensorrt_error;
  };
  const std::vector<Case> cases{
    {garbage, "Rejected engine file " + garbage + ": it could not be deserialised", true},
    {testModel("floor_five_outputs.onnx"), "\"output\" holds 5 values, expected 3", false},
    {testModel("floor_renamed_input.onnx"), "found \"images\", \"output\"", false},
    {directory_.path(), "Failed to load engine file: " + directory_.path(), false},
  };
  for (const auto & test_case : cases) {
    test_support::LogCapture log;
    StandardErrorCapture standard_error;
    auto node = makeNode(test_case.path);
    EXPECT_FALSE(node->engineLoaded()) << test_case.path;
    EXPECT_TRUE(log.containsAt(kRosError, test_case.reason)) << test_case.path;
    EXPECT_EQ(
      standard_error.text().find("TensorRT error: ") != std::string::npos,
      test_case.tensorrt_error) << test_case.path;
    EXPECT_FALSE(node->classifyPatch(cv::Mat(40, 40, CV_8UC3, cv::Scalar::all(0))).has_value());
  }
}

TEST_F(ClassifierNodeTest, TestModelJudgesPatchesByTheirColour)
{
  struct Case
  {
    cv::Scalar bgr;
    int32_t class_index;
    bool confident;
  };
  const std::vector<Case> cases{
    {cv::Scalar(0, 0, 255), 0, true},
    {cv::Scalar(0, 255, 0), 1, true},
    {cv::Scalar(255, 0, 0), 2, true},
    {cv::Scalar(128, 128, 128), 0, false},
  };
  auto node = makeNode(testModel("floor_colour.onnx"));
  ASSERT_TRUE(node->engineLoaded());
  for (const auto & test_case : cases) {
    const auto result = node->classifyPatch(cv::Mat(90, 130, CV_8UC3, test_case.bgr));
    ASSERT_TRUE(result.has_value()) << test_case.bgr;
    EXPECT_EQ(result->scores.size(), 3u);
    EXPECT_EQ(result->class_index, test_case.class_index) << test_case.bgr;
    EXPECT_EQ(velmora_water_stain::isConfident(result->top_score, 0.8f), test_case.confident)
      << test_case.bgr << " top " << result->top_score;
  }
}

TEST_F(ClassifierNodeTest, InferenceIsRepeatableAndChecksItsInput)
{
  auto node = makeNode(testModel("floor_colour.onnx"));
  ASSERT_TRUE(node->engineLoaded());
  cv::Mat blob = node->preprocessImage(cv::Mat(50, 50, CV_8UC3, cv::Scalar(30, 200, 90)));
  const std::vector<float> first = node->doInference(blob);
  ASSERT_EQ(first.size(), 3u);
  EXPECT_EQ(node->doInference(blob), first);

  test_support::LogCapture log;
  cv::Mat too_small(1, 1000, CV_32F, cv::Scalar(0));
  EXPECT_TRUE(node->doInference(too_small).empty());
  EXPECT_TRUE(log.containsAt(kRosError, "Classifier input is not a blob of 602112 float bytes"));
}

TEST_F(ClassifierNodeTest, DeviceFailureGivesNoScoresAndFreesWhatWasAllocated)
{
  auto node = makeNode(testModel("floor_colour.onnx"));
  ASSERT_TRUE(node->engineLoaded());
  cv::Mat blob = node->preprocessImage(cv::Mat(50, 50, CV_8UC3, cv::Scalar(0, 255, 0)));
  std::size_t free_bytes = 0;
  std::size_t total_bytes = 0;
  ASSERT_EQ(cudaMemGetInfo(&free_bytes, &total_bytes), cudaSuccess);

  // Room for the input buffer but not for the output buffer.
  void * occupied = nullptr;
  ASSERT_EQ(cudaMalloc(&occupied, free_bytes - 602112 - 8), cudaSuccess);
  {
    test_support::LogCapture log;
    EXPECT_TRUE(node->doInference(blob).empty());
    EXPECT_FALSE(node->classifyPatch(cv::Mat(50, 50, CV_8UC3, cv::Scalar(0, 255, 0))).has_value());
    EXPECT_EQ(log.count("Classifier inference failed: cudaMalloc output: out of memory"), 2u);
  }
  ASSERT_EQ(cudaFree(occupied), cudaSuccess);
  std::size_t free_after = 0;
  ASSERT_EQ(cudaMemGetInfo(&free_after, &total_bytes), cudaSuccess);
  EXPECT_EQ(free_after, free_bytes);
  EXPECT_EQ(node->doInference(blob).size(), 3u);
}

}  // namespace
