#include <gtest/gtest.h>

#include <cuda_runtime_api.h>
#include <cuda_stand_in_faults.h>

#include <array>
#include <cmath>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "log_capture.hpp"
#include "test_support.hpp"
#include "velmora_water_stain/classifier.hpp"
#include "velmora_water_stain/water_stain_node.hpp"

using velmora_water_stain::ClassifierResult;
using velmora_water_stain::FloorClass;

namespace
{

constexpr int kRosFatal = RCUTILS_LOG_SEVERITY_FATAL;
constexpr int kRosError = RCUTILS_LOG_SEVERITY_ERROR;
constexpr int kRosInfo = RCUTILS_LOG_SEVERITY_INFO;
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
    {{2, 2}, 0.8f, FloorClass::stubborn, false},  // the threshold itself is the same floor
    {{2, 1}, 0.85f, FloorClass::clean, false},
    {{2, 1}, 0.3f, FloorClass::dirty, false},
    {{0, 2}, 0.3f, FloorClass::stubborn, false},
    {{-1}, 0.3f, FloorClass::clean, false},
    {{}, 0.3f, FloorClass::clean, false},
    {{}, 0.9f, FloorClass::clean, false},  // nothing judged yet: no stain, whatever the overlap
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
  EXPECT_FALSE(node->classifyPatch(patch).ok());
  EXPECT_FALSE(node->classifyPatch(patch).ok());
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
    {testModel("floor_large_input.onnx"),
      "\"input\" has dims 1x3x256x256, expected 1x3x224x224", false},
    {testModel("floor_half_output.onnx"), "\"input\" and \"output\" must hold 32-bit floats",
      false},
    {testModel("floor_half_input.onnx"), "\"input\" and \"output\" must hold 32-bit floats",
      false},
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
    EXPECT_FALSE(node->classifyPatch(cv::Mat(40, 40, CV_8UC3, cv::Scalar::all(0))).ok());
  }
}

// sysfs reports its attribute files as 4096 bytes long and reads back far fewer, as a storage
// fault would cut a read short.
TEST_F(ClassifierNodeTest, EngineFileReadShortIsNotLoaded)
{
  const std::string short_read = "/sys/kernel/mm/transparent_hugepage/enabled";
  std::error_code ignored;
  if (std::filesystem::file_size(short_read, ignored) != 4096u) {
    GTEST_SKIP() << short_read << " is not a sysfs attribute here";
  }
  test_support::LogCapture log;
  StandardErrorCapture standard_error;
  auto node = makeNode(short_read);
  EXPECT_FALSE(node->engineLoaded());
  EXPECT_TRUE(log.containsAt(kRosError, "Failed to load engine file: " + short_read));
  EXPECT_EQ(standard_error.text().find("TensorRT error"), std::string::npos);
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
    ASSERT_TRUE(result.ok()) << test_case.bgr;
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
    EXPECT_FALSE(node->classifyPatch(cv::Mat(50, 50, CV_8UC3, cv::Scalar(0, 255, 0))).ok());
    // The second failure within 10 s is held back.
    EXPECT_EQ(log.count("Classifier inference failed: cudaMalloc output: out of memory"), 1u);
  }
  ASSERT_EQ(cudaFree(occupied), cudaSuccess);
  std::size_t free_after = 0;
  ASSERT_EQ(cudaMemGetInfo(&free_after, &total_bytes), cudaSuccess);
  EXPECT_EQ(free_after, free_bytes);
  EXPECT_EQ(node->doInference(blob).size(), 3u);
}

TEST_F(ClassifierNodeTest, DeviceFailingOnAThousandFramesLogsAFewErrors)
{
  auto node = makeNode(testModel("floor_colour.onnx"));
  ASSERT_TRUE(node->engineLoaded());
  std::size_t free_bytes = 0;
  std::size_t total_bytes = 0;
  ASSERT_EQ(cudaMemGetInfo(&free_bytes, &total_bytes), cudaSuccess);
  void * occupied = nullptr;
  ASSERT_EQ(cudaMalloc(&occupied, free_bytes - 8), cudaSuccess);
  {
    test_support::LogCapture log;
    const cv::Mat patch(50, 50, CV_8UC3, cv::Scalar(0, 255, 0));
    for (int frame = 0; frame < 1000; ++frame) {
      ASSERT_FALSE(node->classifyPatch(patch).ok());
    }
    EXPECT_GE(log.count("Classifier inference failed: cudaMalloc input"), 1u);
    EXPECT_LE(log.lines().size(), 3u);
  }
  ASSERT_EQ(cudaFree(occupied), cudaSuccess);
  EXPECT_TRUE(node->classifyPatch(cv::Mat(50, 50, CV_8UC3, cv::Scalar(0, 255, 0))).ok());
}

// A device fault loses the process's CUDA context for good: the node says so once and ends its
// spin, where judging nothing for ever would look like a clean floor.
TEST_F(ClassifierNodeTest, DeviceFaultStopsTheNodeAfterOneFatalLine)
{
  auto node = makeNode(testModel("floor_colour.onnx"));
  ASSERT_TRUE(node->engineLoaded());
  const cv::Mat patch(50, 50, CV_8UC3, cv::Scalar(0, 255, 0));
  ASSERT_TRUE(node->classifyPatch(patch).ok());
  EXPECT_FALSE(node->cudaContextLost());
  {
    test_support::LogCapture log;
    const cuda_stand_in::ScopedDeviceFault fault(cudaErrorIllegalAddress);
    EXPECT_FALSE(node->classifyPatch(patch).ok());
    cuda_stand_in::resetDevice();
    // Nothing more touches the GPU or the log, even with the device back.
    EXPECT_FALSE(node->classifyPatch(patch).ok());
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(
      log.containsAt(
        kRosFatal, "CUDA device fault (error 700: an illegal memory access was encountered): no "
        "classifier can run in this process again; stopping the node so that it can be "
        "restarted"));
  }
  EXPECT_TRUE(node->cudaContextLost());
  EXPECT_FALSE(rclcpp::ok());
  rclcpp::spin(node);  // returns at once, as the node's main then does
}

TEST_F(ClassifierNodeTest, NonFiniteScoresJudgeNothingAndAreLoggedRarely)
{
  auto node = makeNode(testModel("floor_nan_scores.onnx"));
  ASSERT_TRUE(node->engineLoaded());
  test_support::LogCapture log;
  for (int frame = 0; frame < 50; ++frame) {
    EXPECT_FALSE(node->classifyPatch(cv::Mat(50, 50, CV_8UC3, cv::Scalar(0, 255, 0))).ok());
  }
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_TRUE(log.containsAt(kRosError, "Classifier gave non-finite scores: frame not judged"));
}

}  // namespace

// The shipped classifier on generated floor patches it was not trained on.
TEST(ShippedModel, JudgesGeneratedPatchesConfidentlyAndRightly)
{
  test_support::ensureRclcppInit();
  test_support::TemporaryDirectory archive;
  const std::string source_dir = VELMORA_SOURCE_DIR;
  auto node = std::make_shared<WaterStainNode>(
    rclcpp::NodeOptions().parameter_overrides({
      {"image_dir", archive.path()},
      {"engine_path", source_dir + "/models/floor_mobilenet.onnx"}}));
  ASSERT_TRUE(node->engineLoaded());

  const struct
  {
    const char * file;
    int expected_class;
  } samples[] = {
    {"clean_1.jpg", 0}, {"clean_2.jpg", 0}, {"dirty_1.jpg", 1}, {"dirty_2.jpg", 1},
    {"stubborn_1.jpg", 2}, {"stubborn_2.jpg", 2},
  };
  for (const auto & sample : samples) {
    const cv::Mat patch = cv::imread(source_dir + "/test/data/" + sample.file);
    ASSERT_FALSE(patch.empty()) << sample.file;
    const auto result = node->classifyPatch(patch);
    ASSERT_TRUE(result.ok()) << sample.file;
    EXPECT_EQ(result->class_index, sample.expected_class) << sample.file;
    EXPECT_GE(result->top_score, 0.8f) << sample.file;
  }
}
