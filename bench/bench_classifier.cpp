#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <array>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "rclcpp/rclcpp.hpp"
#include "velmora_water_stain/classifier.hpp"
#include "velmora_water_stain/water_stain_node.hpp"

namespace vws = velmora_water_stain;

namespace
{

const std::array<float, 3> kMean{0.485f, 0.456f, 0.406f};
const std::array<float, 3> kStd{0.229f, 0.224f, 0.225f};

// A floor patch of the size the rear camera's rectangle typically straightens to.
cv::Mat floorPatch()
{
  cv::Mat patch(300, 400, CV_8UC3);
  cv::randu(patch, cv::Scalar::all(0), cv::Scalar::all(256));
  return patch;
}

// The archive root the node creates, outside the source tree and removed afterwards.
class ScratchDirectory
{
public:
  ScratchDirectory()
  {
    std::string pattern =
      (std::filesystem::temp_directory_path() / "velmora_bench_XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~ScratchDirectory()
  {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  const std::string & path() const {return path_;}

private:
  std::string path_;
};

std::shared_ptr<WaterStainNode> classifierNode(
  const std::string & engine_path, const ScratchDirectory & scratch)
{
  return std::make_shared<WaterStainNode>(
    rclcpp::NodeOptions().parameter_overrides({
        {"engine_path", engine_path}, {"image_dir", scratch.path() + "/images"}}));
}

void preprocessPatch(benchmark::State & state)
{
  const cv::Mat patch = floorPatch();
  for (auto _ : state) {
    benchmark::DoNotOptimize(vws::preprocessForClassifier(patch, {224, 224}, kMean, kStd));
  }
}

void inferBlob(benchmark::State & state, const std::string & engine_path)
{
  ScratchDirectory scratch;
  const auto node = classifierNode(engine_path, scratch);
  if (!node->engineLoaded()) {
    state.SkipWithError("engine not loaded");
    return;
  }
  cv::Mat blob = node->preprocessImage(floorPatch());
  for (auto _ : state) {
    benchmark::DoNotOptimize(node->doInference(blob));
  }
}

void classifyPatch(benchmark::State & state, const std::string & engine_path)
{
  ScratchDirectory scratch;
  const auto node = classifierNode(engine_path, scratch);
  if (!node->engineLoaded()) {
    state.SkipWithError("engine not loaded");
    return;
  }
  const cv::Mat patch = floorPatch();
  for (auto _ : state) {
    benchmark::DoNotOptimize(node->classifyPatch(patch));
  }
}

}  // namespace

int main(int argc, char ** argv)
{
  benchmark::Initialize(&argc, argv);
  rclcpp::init(0, nullptr);
  benchmark::RegisterBenchmark("BM_PreprocessPatch400x300", preprocessPatch)
  ->Unit(benchmark::kMicrosecond);
  const std::string source_dir = VELMORA_SOURCE_DIR;
  const std::vector<std::pair<std::string, std::string>> models{
    {"TestModel", source_dir + "/test/models/floor_colour.onnx"},
    {"ShippedMobileNet", source_dir + "/models/floor_mobilenet.onnx"},
  };
  for (const auto & [name, path] : models) {
    if (!std::filesystem::exists(path)) {
      continue;
    }
    benchmark::RegisterBenchmark(("BM_Inference" + name).c_str(), inferBlob, path)
    ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("BM_ClassifyPatch" + name).c_str(), classifyPatch, path)
    ->Unit(benchmark::kMillisecond);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  rclcpp::shutdown();
  return 0;
}
