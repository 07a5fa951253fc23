#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <opencv2/imgcodecs.hpp>

#include "test_support.hpp"
#include "velmora_water_stain/water_stain_node.hpp"

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
    ASSERT_TRUE(result.has_value()) << sample.file;
    EXPECT_EQ(result->class_index, sample.expected_class) << sample.file;
    EXPECT_GE(result->top_score, 0.8f) << sample.file;
  }
}
