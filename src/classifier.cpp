#include "velmora_water_stain/classifier.hpp"

#include <cuda_runtime_api.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>

#include <opencv2/imgproc.hpp>

#include "velmora_water_stain/water_stain_node.hpp"

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
  return overlap >= iou_threshold && allEqual(history, FloorClass::dirty);
}

FloorClass finalVerdict(const std::deque<int32_t> & history, float overlap, float iou_threshold)
{
  const bool high = overlap >= iou_threshold;
  const bool low = overlap < iou_threshold;
  const bool all_stubborn = allEqual(history, FloorClass::stubborn);
  if (sameFloorAllDirty(history, overlap, iou_threshold)) {
    return all_stubborn ? FloorClass::stubborn : FloorClass::dirty;
  }
  if (!low) {
    return high && all_stubborn ? FloorClass::stubborn : FloorClass::clean;
  }
  if (history.empty()) {
    return FloorClass::clean;
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

namespace
{

constexpr auto kEngineFailureLogInterval = std::chrono::seconds(10);

std::string describeDims(const nvinfer1::Dims & dims)
{
  std::ostringstream text;
  for (int32_t axis = 0; axis < dims.nbDims; ++axis) {
    text << (axis > 0 ? "x" : "") << dims.d[axis];
  }
  return text.str();
}

std::string describeBindingNames(const nvinfer1::ICudaEngine & engine)
{
  std::string names;
  for (int32_t index = 0; index < engine.getNbBindings(); ++index) {
    const char * name = engine.getBindingName(index);
    names += (index > 0 ? ", \"" : "\"") + std::string(name != nullptr ? name : "") + "\"";
  }
  return names;
}

int64_t volume(const nvinfer1::Dims & dims)
{
  int64_t elements = 1;
  for (int32_t axis = 0; axis < dims.nbDims; ++axis) {
    elements *= dims.d[axis];
  }
  return elements;
}

// Empty when the engine has exactly the float "input" (1 x 3 x height x width) and
// "output" (`outputs` values) bindings the node copies; otherwise what differs.
std::string bindingMismatch(
  const nvinfer1::ICudaEngine & engine, int32_t height, int32_t width, int32_t outputs)
{
  const int32_t input = engine.getBindingIndex("input");
  const int32_t output = engine.getBindingIndex("output");
  if (engine.getNbBindings() != 2 || input < 0 || output < 0) {
    return "expected the bindings \"input\" and \"output\", found " +
           describeBindingNames(engine);
  }
  if (!engine.bindingIsInput(input) || engine.bindingIsInput(output)) {
    return "\"input\" must be the input binding and \"output\" the output binding";
  }
  const std::string expected_input = "1x3x" + std::to_string(height) + "x" + std::to_string(width);
  const std::string input_dims = describeDims(engine.getBindingDimensions(input));
  if (input_dims != expected_input) {
    return "\"input\" has dims " + input_dims + ", expected " + expected_input;
  }
  const int64_t output_values = volume(engine.getBindingDimensions(output));
  if (output_values != outputs) {
    return "\"output\" holds " + std::to_string(output_values) + " values, expected " +
           std::to_string(outputs);
  }
  if (engine.getBindingDataType(input) != nvinfer1::DataType::kFLOAT ||
    engine.getBindingDataType(output) != nvinfer1::DataType::kFLOAT)
  {
    return "\"input\" and \"output\" must hold 32-bit floats";
  }
  return "";
}

}  // namespace

void WaterStainNode::Logger::log(Severity severity, const char * msg) noexcept
{
  if (severity <= Severity::kERROR) {
    std::cerr << "TensorRT error: " << (msg != nullptr ? msg : "") << std::endl;
  }
}

void WaterStainNode::loadEngine()
{
  std::ifstream file(engine_path_, std::ios::binary);
  std::error_code ignored;
  std::streamoff size = -1;
  // A directory opens as a stream but has no meaningful size.
  if (file.good() && std::filesystem::is_regular_file(engine_path_, ignored)) {
    file.seekg(0, std::ios::end);
    size = file.tellg();
    file.seekg(0, std::ios::beg);
  }
  if (size < 0) {
    RCLCPP_ERROR(get_logger(), "Failed to load engine file: %s", engine_path_.c_str());
    return;
  }
  {
    std::vector<char> buffer(static_cast<std::size_t>(size), 0);
    file.read(buffer.data(), size);
    runtime_ = nvinfer1::createInferRuntime(logger_);
    if (runtime_ != nullptr) {
      engine_ = runtime_->deserializeCudaEngine(buffer.data(), buffer.size());
    }
  }
  std::string problem = engine_ == nullptr ? "it could not be deserialised" :
    bindingMismatch(*engine_, input_h_, input_w_, output_size_);
  if (problem.empty()) {
    context_ = engine_->createExecutionContext();
    if (context_ == nullptr) {
      problem = "no execution context could be created";
    }
  }
  if (!problem.empty()) {
    RCLCPP_ERROR(
      get_logger(), "Rejected engine file %s: %s", engine_path_.c_str(), problem.c_str());
    delete context_;
    delete engine_;
    delete runtime_;
    context_ = nullptr;
    engine_ = nullptr;
    runtime_ = nullptr;
  }
}

bool WaterStainNode::engineLoaded() const
{
  return runtime_ != nullptr && engine_ != nullptr && context_ != nullptr;
}

std::vector<float> WaterStainNode::doInference(cv::Mat & input)
{
  if (!engineLoaded()) {
    if (failureLogDue("engine", kEngineFailureLogInterval)) {
      RCLCPP_ERROR(
        get_logger(), "Classifier engine not loaded (%s): frame not judged", engine_path_.c_str());
    }
    return {};
  }
  const int32_t input_index = engine_->getBindingIndex("input");
  const int32_t output_index = engine_->getBindingIndex("output");
  const std::size_t input_bytes = static_cast<std::size_t>(input_h_ * input_w_ * 3) * sizeof(float);
  const std::size_t output_bytes = static_cast<std::size_t>(output_size_) * sizeof(float);
  if (input.type() != CV_32F || !input.isContinuous() ||
    input.total() * sizeof(float) < input_bytes)
  {
    RCLCPP_ERROR(
      get_logger(), "Classifier input is not a blob of %zu float bytes", input_bytes);
    return {};
  }

  std::string failure;
  // Records the first failure; later steps are skipped, but the buffers are always freed.
  const auto succeeded = [&failure](cudaError_t status, const char * step) {
      if (status != cudaSuccess && failure.empty()) {
        failure = std::string(step) + ": " + cudaGetErrorString(status);
      }
      return status == cudaSuccess;
    };
  void * bindings[2] = {nullptr, nullptr};
  const auto allocate = [&](int32_t index, std::size_t bytes, const char * step) {
      if (succeeded(cudaMalloc(&bindings[index], bytes), step)) {
        return true;
      }
      bindings[index] = nullptr;
      return false;
    };
  std::vector<float> output(static_cast<std::size_t>(output_size_), 0.0f);
  const bool allocated = allocate(input_index, input_bytes, "cudaMalloc input") &&
    allocate(output_index, output_bytes, "cudaMalloc output");
  if (allocated &&
    succeeded(
      cudaMemcpy(bindings[input_index], input.data, input_bytes, cudaMemcpyHostToDevice),
      "cudaMemcpy input"))
  {
    if (!context_->executeV2(bindings)) {
      failure = "executeV2 failed";
    } else {
      succeeded(
        cudaMemcpy(output.data(), bindings[output_index], output_bytes, cudaMemcpyDeviceToHost),
        "cudaMemcpy output");
    }
  }
  for (const int32_t index : {input_index, output_index}) {
    if (bindings[index] != nullptr) {
      succeeded(cudaFree(bindings[index]), "cudaFree");
    }
  }
  if (!failure.empty()) {
    RCLCPP_ERROR(get_logger(), "Classifier inference failed: %s", failure.c_str());
    return {};
  }
  return output;
}

cv::Mat WaterStainNode::preprocessImage(const cv::Mat & crop) const
{
  return velmora_water_stain::preprocessForClassifier(
    crop, cv::Size(input_w_, input_h_), mean_, std_);
}

std::optional<velmora_water_stain::ClassifierResult> WaterStainNode::classifyPatch(
  const cv::Mat & patch)
{
  if (!engineLoaded()) {
    if (failureLogDue("engine", kEngineFailureLogInterval)) {
      RCLCPP_ERROR(
        get_logger(), "Classifier engine not loaded (%s): frame not judged", engine_path_.c_str());
    }
    return std::nullopt;
  }
  cv::Mat blob = preprocessImage(patch);
  const std::vector<float> logits = doInference(blob);
  if (logits.empty()) {
    return std::nullopt;
  }
  return velmora_water_stain::scoreOutputs(logits);
}

velmora_water_stain::FloorClass WaterStainNode::decideVerdict(
  const std::deque<int32_t> & history, float overlap, const std::string & file_name)
{
  if (velmora_water_stain::sameFloorAllDirty(history, overlap, iou_threshold_)) {
    RCLCPP_INFO(
      get_logger(), "dirty iou: %f , all ones, %s", static_cast<double>(overlap),
      file_name.c_str());
  }
  return velmora_water_stain::finalVerdict(history, overlap, iou_threshold_);
}
