#include <cuda_runtime_api.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "velmora_water_stain/classifier.hpp"
#include "velmora_water_stain/result.hpp"
#include "velmora_water_stain/water_stain_node.hpp"

using velmora_water_stain::Failure;
using velmora_water_stain::Status;

namespace
{

std::string describeDims(const nvinfer1::Dims & dims)
{
  std::ostringstream text;
  for (int32_t axis = 0; axis < dims.nbDims; ++axis) {
    text << (axis > 0 ? "x" : "") << dims.d[axis];
  }
  return text.str();
}

// The device faults after which CUDA answers every call of the process with the same error:
// only a new process can use the GPU again.
bool leavesContextUnusable(cudaError_t status)
{
  switch (status) {
    case cudaErrorIllegalAddress:
    case cudaErrorLaunchTimeout:
    case cudaErrorAssert:
    case cudaErrorHardwareStackError:
    case cudaErrorIllegalInstruction:
    case cudaErrorMisalignedAddress:
    case cudaErrorInvalidAddressSpace:
    case cudaErrorInvalidPc:
    case cudaErrorLaunchFailure:
      return true;
    default:
      return false;
  }
}

int64_t volume(const nvinfer1::Dims & dims)
{
  int64_t elements = 1;
  for (int32_t axis = 0; axis < dims.nbDims; ++axis) {
    elements *= dims.d[axis];
  }
  return elements;
}

#if NV_TENSORRT_MAJOR >= 10
// TensorRT 10 addresses the engine's tensors by name only.
std::string describeBindingNames(const nvinfer1::ICudaEngine & engine)
{
  std::string names;
  for (int32_t index = 0; index < engine.getNbIOTensors(); ++index) {
    const char * name = engine.getIOTensorName(index);
    names += (index > 0 ? ", \"" : "\"") + std::string(name != nullptr ? name : "") + "\"";
  }
  return names;
}

// Succeeds when the engine has exactly the float "input" (1 x 3 x height x width) and
// "output" (`outputs` values) tensors the node copies; otherwise fails with what differs.
Status checkBindings(
  const nvinfer1::ICudaEngine & engine, int32_t height, int32_t width, int32_t outputs)
{
  const auto mode = [&engine](const char * name) {return engine.getTensorIOMode(name);};
  if (engine.getNbIOTensors() != 2 || mode("input") == nvinfer1::TensorIOMode::kNONE ||
    mode("output") == nvinfer1::TensorIOMode::kNONE)
  {
    return Failure{"expected the bindings \"input\" and \"output\", found " +
             describeBindingNames(engine)};
  }
  if (mode("input") != nvinfer1::TensorIOMode::kINPUT ||
    mode("output") != nvinfer1::TensorIOMode::kOUTPUT)
  {
    return Failure{"\"input\" must be the input binding and \"output\" the output binding"};
  }
  const std::string expected_input = "1x3x" + std::to_string(height) + "x" + std::to_string(width);
  const std::string input_dims = describeDims(engine.getTensorShape("input"));
  if (input_dims != expected_input) {
    return Failure{"\"input\" has dims " + input_dims + ", expected " + expected_input};
  }
  const int64_t output_values = volume(engine.getTensorShape("output"));
  if (output_values != outputs) {
    return Failure{"\"output\" holds " + std::to_string(output_values) + " values, expected " +
             std::to_string(outputs)};
  }
  if (engine.getTensorDataType("input") != nvinfer1::DataType::kFLOAT ||
    engine.getTensorDataType("output") != nvinfer1::DataType::kFLOAT)
  {
    return Failure{"\"input\" and \"output\" must hold 32-bit floats"};
  }
  return velmora_water_stain::success();
}

// Runs the engine on device buffers that already hold the input; fails with the reason.
Status runEngine(
  nvinfer1::IExecutionContext & context, void * const * bindings, int32_t input_index,
  int32_t output_index)
{
  if (!context.setTensorAddress("input", bindings[input_index]) ||
    !context.setTensorAddress("output", bindings[output_index]))
  {
    return Failure{"setTensorAddress failed"};
  }
  cudaStream_t stream = nullptr;
  const cudaError_t created = cudaStreamCreate(&stream);
  if (created != cudaSuccess) {
    return Failure{std::string("cudaStreamCreate: ") + cudaGetErrorString(created)};
  }
  Status ran = context.enqueueV3(stream) ? velmora_water_stain::success() :
    Status(Failure{"enqueueV3 failed"});
  const cudaError_t synchronised = cudaStreamSynchronize(stream);
  if (ran && synchronised != cudaSuccess) {
    ran = Failure{std::string("cudaStreamSynchronize: ") + cudaGetErrorString(synchronised)};
  }
  cudaStreamDestroy(stream);
  return ran;
}
#else
// TensorRT 8: bindings by index, run synchronously.
std::string describeBindingNames(const nvinfer1::ICudaEngine & engine)
{
  std::string names;
  for (int32_t index = 0; index < engine.getNbBindings(); ++index) {
    const char * name = engine.getBindingName(index);
    names += (index > 0 ? ", \"" : "\"") + std::string(name != nullptr ? name : "") + "\"";
  }
  return names;
}

// Succeeds when the engine has exactly the float "input" (1 x 3 x height x width) and
// "output" (`outputs` values) bindings the node copies; otherwise fails with what differs.
Status checkBindings(
  const nvinfer1::ICudaEngine & engine, int32_t height, int32_t width, int32_t outputs)
{
  const int32_t input = engine.getBindingIndex("input");
  const int32_t output = engine.getBindingIndex("output");
  if (engine.getNbBindings() != 2 || input < 0 || output < 0) {
    return Failure{"expected the bindings \"input\" and \"output\", found " +
             describeBindingNames(engine)};
  }
  if (!engine.bindingIsInput(input) || engine.bindingIsInput(output)) {
    return Failure{"\"input\" must be the input binding and \"output\" the output binding"};
  }
  const std::string expected_input = "1x3x" + std::to_string(height) + "x" + std::to_string(width);
  const std::string input_dims = describeDims(engine.getBindingDimensions(input));
  if (input_dims != expected_input) {
    return Failure{"\"input\" has dims " + input_dims + ", expected " + expected_input};
  }
  const int64_t output_values = volume(engine.getBindingDimensions(output));
  if (output_values != outputs) {
    return Failure{"\"output\" holds " + std::to_string(output_values) + " values, expected " +
             std::to_string(outputs)};
  }
  if (engine.getBindingDataType(input) != nvinfer1::DataType::kFLOAT ||
    engine.getBindingDataType(output) != nvinfer1::DataType::kFLOAT)
  {
    return Failure{"\"input\" and \"output\" must hold 32-bit floats"};
  }
  return velmora_water_stain::success();
}

// Runs the engine on device buffers that already hold the input; fails with the reason.
Status runEngine(
  nvinfer1::IExecutionContext & context, void * const * bindings, int32_t, int32_t)
{
  if (!context.executeV2(bindings)) {
    return Failure{"executeV2 failed"};
  }
  return velmora_water_stain::success();
}
#endif

// The whole file, or nothing when it is not a regular file or cannot be read to its end: a read
// cut short (a storage fault, a file shrunk meanwhile) must not pass for a zero-padded plan.
std::optional<std::vector<char>> readWholeFile(const std::string & path)
{
  std::error_code ignored;
  // A directory opens as a stream but has no meaningful size.
  if (!std::filesystem::is_regular_file(path, ignored)) {
    return std::nullopt;
  }
  std::ifstream file(path, std::ios::binary);
  file.seekg(0, std::ios::end);
  const std::streamoff size = file.tellg();
  file.seekg(0, std::ios::beg);
  if (!file || size < 0) {
    return std::nullopt;
  }
  std::vector<char> bytes(static_cast<std::size_t>(size));
  if (!file.read(bytes.data(), size)) {
    return std::nullopt;
  }
  return bytes;
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
  {
    const std::optional<std::vector<char>> plan = readWholeFile(engine_path_);
    if (!plan) {
      RCLCPP_ERROR(get_logger(), "Failed to load engine file: %s", engine_path_.c_str());
      return;
    }
    runtime_ = nvinfer1::createInferRuntime(logger_);
    if (runtime_ != nullptr) {
      engine_ = runtime_->deserializeCudaEngine(plan->data(), plan->size());
    }
  }
  Status usable = engine_ == nullptr ? Status(Failure{"it could not be deserialised"}) :
    checkBindings(*engine_, input_h_, input_w_, output_size_);
  if (usable) {
    context_ = engine_->createExecutionContext();
    if (context_ == nullptr) {
      usable = Failure{"no execution context could be created"};
    }
  }
  if (!usable) {
    RCLCPP_ERROR(
      get_logger(), "Rejected engine file %s: %s", engine_path_.c_str(), usable.error().c_str());
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

bool WaterStainNode::engineReadyForFrame()
{
  if (engineLoaded()) {
    return true;
  }
  logRateLimitedError(
    "engine", "Classifier engine not loaded (" + engine_path_ + "): frame not judged");
  return false;
}

bool WaterStainNode::cudaContextLost() const
{
  return cuda_context_lost_;
}

void WaterStainNode::stopOnLostCudaContext(cudaError_t status)
{
  cuda_context_lost_ = true;
  RCLCPP_FATAL(
    get_logger(),
    "CUDA device fault (error %d: %s): no classifier can run in this process again; "
    "stopping the node so that it can be restarted", static_cast<int>(status),
    cudaGetErrorString(status));
  get_node_base_interface()->get_context()->shutdown("CUDA device fault");
}

std::vector<float> WaterStainNode::doInference(cv::Mat & input)
{
  // Stopping already: the fault was reported once.
  if (cuda_context_lost_ || !engineReadyForFrame()) {
    return {};
  }
#if NV_TENSORRT_MAJOR >= 10
  // Our own slots: TensorRT 10 takes each buffer by tensor name.
  const int32_t input_index = 0;
  const int32_t output_index = 1;
#else
  const int32_t input_index = engine_->getBindingIndex("input");
  const int32_t output_index = engine_->getBindingIndex("output");
#endif
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
  cudaError_t device_fault = cudaSuccess;
  // Records the first failure; later steps are skipped, but the buffers are always freed. A
  // fault during the run shows in a later call of this frame (the copy back, the frees).
  const auto succeeded = [&failure, &device_fault](cudaError_t status, const char * step) {
      if (status != cudaSuccess && failure.empty()) {
        failure = std::string(step) + ": " + cudaGetErrorString(status);
      }
      if (leavesContextUnusable(status)) {
        device_fault = status;
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
    const Status ran = runEngine(*context_, bindings, input_index, output_index);
    if (!ran) {
      failure = ran.error();
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
  if (device_fault != cudaSuccess) {
    stopOnLostCudaContext(device_fault);
    return {};
  }
  if (!failure.empty()) {
    logRateLimitedError("inference", "Classifier inference failed: " + failure);
    return {};
  }
  return output;
}

cv::Mat WaterStainNode::preprocessImage(const cv::Mat & crop) const
{
  return velmora_water_stain::preprocessForClassifier(
    crop, cv::Size(input_w_, input_h_), mean_, std_);
}

velmora_water_stain::Result<velmora_water_stain::ClassifierResult> WaterStainNode::classifyPatch(
  const cv::Mat & patch)
{
  if (!engineReadyForFrame()) {
    return Failure{"the classifier engine is not loaded"};
  }
  cv::Mat blob = preprocessImage(patch);
  const std::vector<float> logits = doInference(blob);
  if (logits.empty()) {
    return Failure{"the classifier gave no scores"};
  }
  // A NaN or infinite score judges nothing: the frame leaves no trace in history or archive.
  if (!velmora_water_stain::allFinite(logits)) {
    logRateLimitedError("scores", "Classifier gave non-finite scores: frame not judged");
    return Failure{"the classifier gave non-finite scores"};
  }
  // Finite logits give finite probabilities: the softmax shifts by the largest one.
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
