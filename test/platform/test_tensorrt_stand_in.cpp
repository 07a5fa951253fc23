#include <NvInfer.h>
#include <cuda_runtime_api.h>
#include <cuda_stand_in_faults.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

namespace
{

using Severity = nvinfer1::ILogger::Severity;

template<typename Engine, typename = void>
struct HasBindingIndices : std::false_type {};

template<typename Engine>
struct HasBindingIndices<
  Engine, std::void_t<decltype(std::declval<const Engine &>().getBindingIndex(""))>>
  : std::true_type {};

// Each generation offers exactly its own surface: TensorRT 10 dropped binding indices and
// widened the extents to 64 bits.
static_assert(NV_TENSORRT_MAJOR == VELMORA_TENSORRT_STAND_IN_MAJOR);
static_assert(HasBindingIndices<nvinfer1::ICudaEngine>::value == (NV_TENSORRT_MAJOR < 10));
static_assert(
  std::is_same_v<std::remove_extent_t<decltype(nvinfer1::Dims::d)>,
  std::conditional_t<NV_TENSORRT_MAJOR >= 10, int64_t, int32_t>>);

std::vector<int64_t> extents(const nvinfer1::Dims & dims)
{
  return std::vector<int64_t>(dims.d, dims.d + dims.nbDims);
}

class RecordingLogger : public nvinfer1::ILogger
{
public:
  void log(Severity severity, const char * msg) noexcept override
  {
    messages.emplace_back(severity, msg);
  }

  std::vector<std::pair<Severity, std::string>> messages;
};

std::vector<char> readModel(const std::string & file_name)
{
  const std::string path = std::string(VELMORA_SOURCE_DIR) + "/test/models/" + file_name;
  std::ifstream file(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Normalised planes of a pure red patch: mean RGB (1, 0, 0) gives the colour model's logits
// (10, 0, 0).
std::vector<float> redPatchInput()
{
  const std::size_t plane = 224 * 224;
  std::vector<float> input(3 * plane);
  const float planes[3] = {(1.0f - 0.485f) / 0.229f, -0.456f / 0.224f, -0.406f / 0.225f};
  for (std::size_t channel = 0; channel < 3; ++channel) {
    std::fill_n(input.begin() + channel * plane, plane, planes[channel]);
  }
  return input;
}

// Device memory freed when the test leaves, whatever it asserted.
struct DeviceBuffer
{
  explicit DeviceBuffer(std::size_t bytes) {status = cudaMalloc(&pointer, bytes);}
  ~DeviceBuffer() {cudaFree(pointer);}
  void * pointer{nullptr};
  cudaError_t status;
};

cudaError_t upload(const DeviceBuffer & device, const std::vector<float> & values)
{
  return cudaMemcpy(
    device.pointer, values.data(), values.size() * sizeof(float), cudaMemcpyHostToDevice);
}

class TensorRtStandInTest : public ::testing::Test
{
protected:
  std::unique_ptr<nvinfer1::ICudaEngine> deserialize(const std::vector<char> & bytes)
  {
    return std::unique_ptr<nvinfer1::ICudaEngine>(
      runtime_->deserializeCudaEngine(bytes.data(), bytes.size()));
  }

  // The floor colour test model as engine_, with an execution context on it as context_.
  void loadFloorColour()
  {
    engine_ = deserialize(readModel("floor_colour.onnx"));
    ASSERT_NE(engine_, nullptr);
    context_.reset(engine_->createExecutionContext());
    ASSERT_NE(context_, nullptr);
  }

  RecordingLogger logger_;
  std::unique_ptr<nvinfer1::IRuntime> runtime_{nvinfer1::createInferRuntime(logger_)};
  std::unique_ptr<nvinfer1::ICudaEngine> engine_;
  std::unique_ptr<nvinfer1::IExecutionContext> context_;
};

TEST(CudaRuntimeStandIn, ReportsInvalidArgumentsInsteadOfCrashing)
{
  DeviceBuffer device(16);
  ASSERT_EQ(device.status, cudaSuccess);
  char host[32] = {};
  auto * device_bytes = static_cast<char *>(device.pointer);

  EXPECT_EQ(cudaMalloc(nullptr, 16), cudaErrorInvalidValue);
  EXPECT_EQ(cudaFree(host), cudaErrorInvalidValue);
  EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
  EXPECT_EQ(cudaMemcpy(host, host + 16, 16, cudaMemcpyHostToDevice), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpy(host, device_bytes + 8, 16, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpy(device_bytes, nullptr, 16, cudaMemcpyHostToDevice), cudaErrorInvalidValue);
  EXPECT_EQ(
    cudaMemcpy(device_bytes, host, 16, static_cast<cudaMemcpyKind>(7)),
    cudaErrorInvalidMemcpyDirection);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidMemcpyDirection);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidValue), "invalid argument");
  EXPECT_STREQ(cudaGetErrorString(cudaErrorMemoryAllocation), "out of memory");
}

TEST(CudaRuntimeStandIn, CopiesThroughDeviceMemoryUntilTheDeviceIsFull)
{
  std::size_t free_before = 0;
  std::size_t total = 0;
  ASSERT_EQ(cudaMemGetInfo(&free_before, &total), cudaSuccess);
  const std::vector<float> sent{1.5f, -2.0f, 3.25f};
  std::vector<float> received(3, 0.0f);
  {
    DeviceBuffer device(sizeof(float) * 3);
    ASSERT_EQ(device.status, cudaSuccess);
    ASSERT_EQ(cudaMemcpy(device.pointer, sent.data(), 12, cudaMemcpyHostToDevice), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(received.data(), device.pointer, 12, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(received, sent);

    std::size_t free_now = 0;
    ASSERT_EQ(cudaMemGetInfo(&free_now, &total), cudaSuccess);
    EXPECT_EQ(free_now, free_before - 12);
    DeviceBuffer too_large(free_now + 1);
    EXPECT_EQ(too_large.status, cudaErrorMemoryAllocation);
    EXPECT_EQ(too_large.pointer, nullptr);
  }
  std::size_t free_after = 0;
  ASSERT_EQ(cudaMemGetInfo(&free_after, &total), cudaSuccess);
  EXPECT_EQ(free_after, free_before);
}

TEST_F(TensorRtStandInTest, IoTensorsAreTheGraphsInputsAndOutputsByName)
{
  const auto engine = deserialize(readModel("floor_colour.onnx"));
  ASSERT_NE(engine, nullptr);
  ASSERT_EQ(engine->getNbIOTensors(), 2);
  EXPECT_STREQ(engine->getIOTensorName(0), "input");
  EXPECT_STREQ(engine->getIOTensorName(1), "output");
  EXPECT_EQ(engine->getIOTensorName(2), nullptr);
  EXPECT_EQ(engine->getTensorIOMode("input"), nvinfer1::TensorIOMode::kINPUT);
  EXPECT_EQ(engine->getTensorIOMode("output"), nvinfer1::TensorIOMode::kOUTPUT);
  EXPECT_EQ(engine->getTensorIOMode("images"), nvinfer1::TensorIOMode::kNONE);
  EXPECT_EQ(engine->getTensorDataType("input"), nvinfer1::DataType::kFLOAT);
  EXPECT_EQ(extents(engine->getTensorShape("input")), (std::vector<int64_t>{1, 3, 224, 224}));
  EXPECT_EQ(extents(engine->getTensorShape("output")), (std::vector<int64_t>{1, 3}));
  EXPECT_EQ(engine->getTensorShape("images").nbDims, -1);
  EXPECT_EQ(engine->getTensorShape(nullptr).nbDims, -1);

  const auto renamed = deserialize(readModel("floor_renamed_input.onnx"));
  ASSERT_NE(renamed, nullptr);
  EXPECT_STREQ(renamed->getIOTensorName(0), "images");
  EXPECT_TRUE(logger_.messages.empty());
}

#if NV_TENSORRT_MAJOR < 10
TEST_F(TensorRtStandInTest, BindingIndicesFollowTheTensorOrder)
{
  const auto engine = deserialize(readModel("floor_colour.onnx"));
  ASSERT_NE(engine, nullptr);
  ASSERT_EQ(engine->getNbBindings(), 2);
  EXPECT_EQ(engine->getBindingIndex("input"), 0);
  EXPECT_EQ(engine->getBindingIndex("output"), 1);
  EXPECT_EQ(engine->getBindingIndex("images"), -1);
  EXPECT_STREQ(engine->getBindingName(1), "output");
  EXPECT_EQ(engine->getBindingName(2), nullptr);
  EXPECT_TRUE(engine->bindingIsInput(0));
  EXPECT_FALSE(engine->bindingIsInput(1));
  EXPECT_EQ(engine->getBindingDataType(0), nvinfer1::DataType::kFLOAT);
  EXPECT_EQ(extents(engine->getBindingDimensions(0)), (std::vector<int64_t>{1, 3, 224, 224}));
  EXPECT_EQ(extents(engine->getBindingDimensions(1)), (std::vector<int64_t>{1, 3}));
  EXPECT_EQ(engine->getBindingDimensions(2).nbDims, 0);
}
#endif

TEST_F(TensorRtStandInTest, BytesThatAreNotAModelAreRefusedWithOneErrorLine)
{
  const std::vector<char> model = readModel("floor_colour.onnx");
  const std::string text = "serialized engine for another TensorRT version";
  const std::vector<std::vector<char>> refused{
    {},
    std::vector<char>(text.begin(), text.end()),
    std::vector<char>(model.begin(), model.begin() + model.size() / 2),
    std::vector<char>(4096, '\xff'),
  };
  for (const auto & bytes : refused) {
    logger_.messages.clear();
    EXPECT_EQ(deserialize(bytes), nullptr) << bytes.size() << " bytes";
    ASSERT_EQ(logger_.messages.size(), 1u) << bytes.size() << " bytes";
    EXPECT_EQ(logger_.messages[0].first, Severity::kERROR);
    EXPECT_EQ(logger_.messages[0].second.find('\n'), std::string::npos);
  }
}

TEST_F(TensorRtStandInTest, ExecutesTheModelOnDeviceBuffersOnly)
{
  ASSERT_NO_FATAL_FAILURE(loadFloorColour());
  EXPECT_EQ(&context_->getEngine(), engine_.get());

  std::vector<float> input = redPatchInput();
  DeviceBuffer device_input(input.size() * sizeof(float));
  DeviceBuffer device_output(3 * sizeof(float));
  ASSERT_EQ(upload(device_input, input), cudaSuccess);
  void * bindings[2] = {device_input.pointer, device_output.pointer};
  std::vector<float> runs[2];
  for (auto & logits : runs) {
    ASSERT_TRUE(context_->executeV2(bindings));
    logits.assign(3, 0.0f);
    ASSERT_EQ(
      cudaMemcpy(logits.data(), device_output.pointer, 12, cudaMemcpyDeviceToHost), cudaSuccess);
  }
  EXPECT_NEAR(runs[0][0], 10.0f, 1e-2f);
  EXPECT_NEAR(runs[0][1], 0.0f, 1e-2f);
  EXPECT_NEAR(runs[0][2], 0.0f, 1e-2f);
  EXPECT_EQ(runs[0], runs[1]);
  EXPECT_TRUE(logger_.messages.empty());

  float host_output[3] = {};
  void * host_bindings[2] = {input.data(), host_output};
  EXPECT_FALSE(context_->executeV2(host_bindings));
  EXPECT_FALSE(context_->executeV2(nullptr));
  ASSERT_EQ(logger_.messages.size(), 2u);
  EXPECT_NE(logger_.messages[0].second.find("\"input\""), std::string::npos);
}

// As an engine built with half-precision output IO: the output says so and holds halves.
TEST_F(TensorRtStandInTest, HalfOutputIsReportedAndWrittenAsHalves)
{
  const auto engine = deserialize(readModel("floor_half_output.onnx"));
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(engine->getTensorDataType("input"), nvinfer1::DataType::kFLOAT);
  EXPECT_EQ(engine->getTensorDataType("output"), nvinfer1::DataType::kHALF);
#if NV_TENSORRT_MAJOR < 10
  EXPECT_EQ(engine->getBindingDataType(1), nvinfer1::DataType::kHALF);
#endif
  const std::unique_ptr<nvinfer1::IExecutionContext> context(engine->createExecutionContext());
  ASSERT_NE(context, nullptr);
  const std::vector<float> input = redPatchInput();
  DeviceBuffer device_input(input.size() * sizeof(float));
  DeviceBuffer device_output(3 * sizeof(uint16_t));
  ASSERT_EQ(upload(device_input, input), cudaSuccess);
  void * bindings[2] = {device_input.pointer, device_output.pointer};
  ASSERT_TRUE(context->executeV2(bindings));
  cv::Mat halves(1, 3, CV_16F);
  ASSERT_EQ(
    cudaMemcpy(halves.data, device_output.pointer, 3 * sizeof(uint16_t), cudaMemcpyDeviceToHost),
    cudaSuccess);
  cv::Mat logits;
  halves.convertTo(logits, CV_32F);
  EXPECT_NEAR(logits.at<float>(0), 10.0f, 1e-2f);
  EXPECT_NEAR(logits.at<float>(1), 0.0f, 1e-2f);
  EXPECT_TRUE(logger_.messages.empty());
}

// As an engine built with half-precision input IO: the input says so and is read as halves.
TEST_F(TensorRtStandInTest, HalfInputIsReportedAndReadAsHalves)
{
  const auto engine = deserialize(readModel("floor_half_input.onnx"));
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(engine->getTensorDataType("input"), nvinfer1::DataType::kHALF);
  EXPECT_EQ(engine->getTensorDataType("output"), nvinfer1::DataType::kFLOAT);
#if NV_TENSORRT_MAJOR < 10
  EXPECT_EQ(engine->getBindingDataType(0), nvinfer1::DataType::kHALF);
#endif
  const std::unique_ptr<nvinfer1::IExecutionContext> context(engine->createExecutionContext());
  ASSERT_NE(context, nullptr);
  std::vector<float> input = redPatchInput();
  cv::Mat halves;
  cv::Mat(1, static_cast<int>(input.size()), CV_32F, input.data()).convertTo(halves, CV_16F);
  DeviceBuffer device_input(input.size() * sizeof(uint16_t));
  DeviceBuffer device_output(3 * sizeof(float));
  ASSERT_EQ(
    cudaMemcpy(
      device_input.pointer, halves.data, input.size() * sizeof(uint16_t), cudaMemcpyHostToDevice),
    cudaSuccess);
  void * bindings[2] = {device_input.pointer, device_output.pointer};
  ASSERT_TRUE(context->executeV2(bindings));
  float logits[3] = {};
  ASSERT_EQ(
    cudaMemcpy(logits, device_output.pointer, sizeof(logits), cudaMemcpyDeviceToHost),
    cudaSuccess);
  EXPECT_NEAR(logits[0], 10.0f, 1e-2f);
  EXPECT_NEAR(logits[1], 0.0f, 1e-2f);
  EXPECT_TRUE(logger_.messages.empty());
}

TEST_F(TensorRtStandInTest, EnqueueV3RunsWhenTheHostWaitsForTheStream)
{
  ASSERT_NO_FATAL_FAILURE(loadFloorColour());
  // Any input will do: the asynchronous run must give what the synchronous one gives.
  std::vector<float> input(3 * 224 * 224, 1.0f);
  DeviceBuffer device_input(input.size() * sizeof(float));
  DeviceBuffer device_output(3 * sizeof(float));
  cudaStream_t stream = nullptr;
  ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);

  EXPECT_FALSE(context_->enqueueV3(stream));  // no addresses yet
  EXPECT_FALSE(context_->setTensorAddress("images", device_input.pointer));
  ASSERT_TRUE(context_->setTensorAddress("input", device_input.pointer));
  ASSERT_TRUE(context_->setTensorAddress("output", device_output.pointer));
  EXPECT_EQ(context_->getTensorAddress("output"), device_output.pointer);
  EXPECT_EQ(context_->getTensorAddress("images"), nullptr);
  ASSERT_EQ(logger_.messages.size(), 2u);

  std::vector<float> logits(3, -1.0f);
  ASSERT_EQ(
    cudaMemcpyAsync(
      device_input.pointer, input.data(), input.size() * sizeof(float), cudaMemcpyHostToDevice,
      stream), cudaSuccess);
  ASSERT_TRUE(context_->enqueueV3(stream));
  ASSERT_EQ(
    cudaMemcpyAsync(
      logits.data(), device_output.pointer, 12, cudaMemcpyDeviceToHost, stream), cudaSuccess);
  // Nothing has run before the host waits: reading now would be a race on a GPU.
  EXPECT_EQ(logits, std::vector<float>(3, -1.0f));
  ASSERT_EQ(cudaStreamSynchronize(stream), cudaSuccess);
  std::vector<float> synchronous(3, 0.0f);
  void * bindings[2] = {device_input.pointer, device_output.pointer};
  ASSERT_TRUE(context_->executeV2(bindings));
  ASSERT_EQ(
    cudaMemcpy(synchronous.data(), device_output.pointer, 12, cudaMemcpyDeviceToHost),
    cudaSuccess);
  EXPECT_EQ(logits, synchronous);
  EXPECT_NE(logits, std::vector<float>(3, -1.0f));

  // Host memory is not a device buffer, and a destroyed stream takes no more work.
  EXPECT_TRUE(context_->setTensorAddress("input", input.data()));
  EXPECT_FALSE(context_->enqueueV3(stream));
  ASSERT_EQ(cudaStreamDestroy(stream), cudaSuccess);
  EXPECT_EQ(cudaStreamSynchronize(stream), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle);
}

// After a device fault every call fails with it, whichever API generation launched the run.
TEST_F(TensorRtStandInTest, ADeviceFaultLeavesEveryLaterCallFailing)
{
  ASSERT_NO_FATAL_FAILURE(loadFloorColour());
  DeviceBuffer device_input(3 * 224 * 224 * sizeof(float));
  DeviceBuffer device_output(3 * sizeof(float));
  void * bindings[2] = {device_input.pointer, device_output.pointer};
  ASSERT_TRUE(context_->setTensorAddress("input", bindings[0]));
  ASSERT_TRUE(context_->setTensorAddress("output", bindings[1]));
  cudaStream_t stream = nullptr;
  ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);

  // The fault shows when the host waits for the run, not when it is queued.
  const cuda_stand_in::ScopedDeviceFault fault(cudaErrorIllegalAddress);
  ASSERT_TRUE(context_->enqueueV3(stream));
  EXPECT_EQ(cudaStreamSynchronize(stream), cudaErrorIllegalAddress);
  ASSERT_EQ(logger_.messages.size(), 1u);
  EXPECT_EQ(
    logger_.messages[0].second,
    "Error Code 1: Cuda Runtime (an illegal memory access was encountered)");

  EXPECT_FALSE(context_->executeV2(bindings));
  EXPECT_FALSE(context_->enqueueV3(stream));
  float logits[3] = {};
  EXPECT_EQ(
    cudaMemcpy(logits, bindings[1], sizeof(logits), cudaMemcpyDeviceToHost),
    cudaErrorIllegalAddress);
  void * more = nullptr;
  EXPECT_EQ(cudaMalloc(&more, 16), cudaErrorIllegalAddress);
  cudaStream_t another = nullptr;
  EXPECT_EQ(cudaStreamCreate(&another), cudaErrorIllegalAddress);
  EXPECT_EQ(cudaFree(bindings[0]), cudaErrorIllegalAddress);
  EXPECT_EQ(cudaGetLastError(), cudaErrorIllegalAddress);
  EXPECT_EQ(cudaGetLastError(), cudaErrorIllegalAddress);
  EXPECT_STREQ(cudaGetErrorString(cudaErrorLaunchFailure), "unspecified launch failure");

  cuda_stand_in::resetDevice();
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_TRUE(context_->executeV2(bindings));
  EXPECT_EQ(cudaStreamDestroy(stream), cudaSuccess);
}

}  // namespace
