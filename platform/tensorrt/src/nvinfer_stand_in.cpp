#include <NvInferRuntime.h>
#include <cuda_runtime_api.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include "device_memory.hpp"
#include "onnx_signature.hpp"

namespace nvinfer1
{
namespace
{

using tensorrt_stand_in::OnnxSignature;
using tensorrt_stand_in::OnnxTensor;

// The kinds of error TensorRT names in its error messages.
enum ErrorKind
{
  kSerializationError,
  kInternalError,
  kApiUsageError,
  kCudaRuntimeError,
};

struct Binding
{
  std::string name;
  bool is_input{false};
  Dims dims{};
  DataType type{DataType::kFLOAT};
};

// Failures inside the stand-in, carried to the logger as one TensorRT-style line.
class StandInError : public std::exception
{
public:
  StandInError(ErrorKind kind, std::string message)
  : kind_(kind), message_(std::move(message)) {}

  const char * what() const noexcept override {return message_.c_str();}
  ErrorKind kind() const {return kind_;}

private:
  ErrorKind kind_;
  std::string message_;
};

std::string oneLine(std::string text)
{
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

void logError(ILogger & logger, ErrorKind kind, const std::string & message)
{
  // TensorRT's numbers: serialisation and CUDA runtime errors share code 1.
  const auto [code, name] = [kind]() -> std::pair<int, const char *> {
      switch (kind) {
        case kSerializationError:
          return {1, "Serialization"};
        case kApiUsageError:
          return {3, "API Usage Error"};
        case kCudaRuntimeError:
          return {1, "Cuda Runtime"};
        case kInternalError:
          break;
      }
      return {2, "Internal Error"};
    }();
  const std::string line =
    "Error Code " + std::to_string(code) + ": " + name + " (" + oneLine(message) + ")";
  logger.log(ILogger::Severity::kERROR, line.c_str());
}

// Runs `work`, turning any exception into a logged error and `failed` as the result.
template<typename Result, typename Work>
Result guarded(ILogger & logger, Result failed, Work && work) noexcept
{
  try {
    return work();
  } catch (const StandInError & error) {
    logError(logger, error.kind(), error.what());
  } catch (const cv::Exception & error) {
    logError(logger, kInternalError, "OpenCV: " + error.err);
  } catch (const std::exception & error) {
    logError(logger, kInternalError, error.what());
  }
  return failed;
}

std::size_t elementCount(const Dims & dims)
{
  std::size_t elements = 1;
  for (int32_t axis = 0; axis < dims.nbDims; ++axis) {
    elements *= static_cast<std::size_t>(dims.d[axis]);
  }
  return elements;
}

std::size_t bindingBytes(const Binding & binding)
{
  return elementCount(binding.dims) *
         (binding.type == DataType::kHALF ? sizeof(uint16_t) : sizeof(float));
}

std::vector<int> matSizes(const Dims & dims)
{
  return std::vector<int>(dims.d, dims.d + dims.nbDims);
}

Dims inputDims(const OnnxTensor & input)
{
  if (input.dims.empty() || input.dims.size() > static_cast<std::size_t>(Dims::MAX_DIMS)) {
    throw StandInError(kSerializationError, "input \"" + input.name + "\" has an unusable rank");
  }
  Dims dims{};
  dims.nbDims = static_cast<int32_t>(input.dims.size());
  for (int32_t axis = 0; axis < dims.nbDims; ++axis) {
    const int64_t extent = input.dims[axis];
    if (extent <= 0 || extent > std::numeric_limits<int32_t>::max()) {
      throw StandInError(
        kSerializationError, "input \"" + input.name + "\" has a dynamic or invalid "
        "dimension; the stand-in runs fixed-shape networks only");
    }
    dims.d[axis] = static_cast<std::remove_extent_t<decltype(Dims::d)>>(extent);
  }
  return dims;
}

// A tensor declared float16, as an engine built with half-precision IO gives it.
DataType tensorType(const OnnxTensor & tensor, const char * role)
{
  if (tensor.elem_type == tensorrt_stand_in::kOnnxFloat) {
    return DataType::kFLOAT;
  }
  if (tensor.elem_type == tensorrt_stand_in::kOnnxFloat16) {
    return DataType::kHALF;
  }
  throw StandInError(
    kSerializationError,
    std::string(role) + " \"" + tensor.name + "\" is neither float nor float16");
}

Dims outputDims(const std::string & name, const cv::Mat & output)
{
  if (output.dims > Dims::MAX_DIMS || output.type() != CV_32F) {
    throw StandInError(kSerializationError, "output \"" + name + "\" is not a float tensor");
  }
  Dims dims{};
  dims.nbDims = output.dims;
  for (int32_t axis = 0; axis < dims.nbDims; ++axis) {
    dims.d[axis] = output.size[axis];
  }
  return dims;
}

cv::dnn::Net readNetwork(const std::vector<char> & model)
{
  cv::dnn::Net net = cv::dnn::readNetFromONNX(model.data(), model.size());
  if (net.empty()) {
    throw StandInError(kSerializationError, "OpenCV could not import the ONNX model");
  }
  net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
  net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
  return net;
}

std::vector<std::string> outputNames(const std::vector<Binding> & bindings)
{
  std::vector<std::string> names;
  for (const auto & binding : bindings) {
    if (!binding.is_input) {
      names.push_back(binding.name);
    }
  }
  return names;
}

// Input bindings from the declared graph inputs, output bindings from one forward pass on
// zeros, so that the dimensions are those the network really produces.
std::vector<Binding> probeBindings(cv::dnn::Net & net, const OnnxSignature & signature)
{
  std::vector<Binding> bindings;
  std::vector<cv::Mat> zero_inputs;
  for (const auto & input : signature.inputs) {
    bindings.push_back(Binding{input.name, true, inputDims(input), tensorType(input, "input")});
    const std::vector<int> sizes = matSizes(bindings.back().dims);
    zero_inputs.emplace_back(static_cast<int>(sizes.size()), sizes.data(), CV_32F, cv::Scalar(0));
    net.setInput(zero_inputs.back(), input.name);
  }
  std::vector<std::string> names;
  for (const auto & output : signature.outputs) {
    names.push_back(output.name);
  }
  std::vector<cv::Mat> outputs;
  net.forward(outputs, names);
  for (std::size_t index = 0; index < names.size(); ++index) {
    bindings.push_back(Binding{names[index], false, outputDims(names[index], outputs[index]),
        tensorType(signature.outputs[index], "output")});
  }
  return bindings;
}

// Index of the input or output named `name`, or -1.
int32_t bindingIndexOf(const std::vector<Binding> & bindings, char const * name)
{
  for (std::size_t index = 0; name != nullptr && index < bindings.size(); ++index) {
    if (bindings[index].name == name) {
      return static_cast<int32_t>(index);
    }
  }
  return -1;
}

class StandInExecutionContext : public IExecutionContext
{
public:
  StandInExecutionContext(
    const ICudaEngine & engine, const std::vector<Binding> & bindings, cv::dnn::Net net,
    ILogger & logger)
  : engine_(engine), bindings_(bindings), output_names_(outputNames(bindings)),
    net_(std::move(net)), logger_(logger), addresses_(bindings.size(), nullptr) {}

  bool executeV2(void * const * bindings) noexcept override
  {
    return guarded(
      logger_, false, [&]() {
        checkBuffers(bindings, "executeV2");
        launch();
        run(bindings);
        return true;
      });
  }

  bool setTensorAddress(char const * tensorName, void * data) noexcept override
  {
    return guarded(
      logger_, false, [&]() {
        const int32_t index = bindingIndexOf(bindings_, tensorName);
        if (index < 0) {
          throw StandInError(
            kApiUsageError, std::string("setTensorAddress: no input or output is named \"") +
            (tensorName == nullptr ? "(null)" : tensorName) + "\"");
        }
        addresses_[index] = data;
        return true;
      });
  }

  void const * getTensorAddress(char const * tensorName) const noexcept override
  {
    const int32_t index = bindingIndexOf(bindings_, tensorName);
    return index < 0 ? nullptr : addresses_[index];
  }

  bool enqueueV3(cudaStream_t stream) noexcept override
  {
    return guarded(
      logger_, false, [&]() {
        checkBuffers(addresses_.data(), "enqueueV3");
        const std::vector<void *> buffers = addresses_;
        const cudaError_t queued = cuda_stand_in::enqueue(
          stream, [this, buffers]() {
            guarded(logger_, false, [&]() {launch(); run(buffers.data()); return true;});
          });
        if (queued == cudaErrorInvalidResourceHandle) {
          throw StandInError(kApiUsageError, "enqueueV3: the stream is not a CUDA stream");
        }
        if (queued != cudaSuccess) {
          throw StandInError(kCudaRuntimeError, cudaGetErrorString(queued));
        }
        return true;
      });
  }

  ICudaEngine const & getEngine() const noexcept override {return engine_;}

private:
  void checkBuffers(void * const * buffers, const char * call) const
  {
    if (buffers == nullptr) {
      throw StandInError(kApiUsageError, std::string(call) + ": bindings is null");
    }
    for (std::size_t index = 0; index < bindings_.size(); ++index) {
      const Binding & binding = bindings_[index];
      if (!cuda_stand_in::isDeviceRange(buffers[index], bindingBytes(binding))) {
        throw StandInError(
          kApiUsageError, std::string(call) + ": tensor " + std::to_string(index) + " (\"" +
          binding.name + "\") is not a device buffer of " +
          std::to_string(bindingBytes(binding)) + " bytes");
      }
    }
  }

  // A device fault stops the run, as the GPU stops the faulting kernel.
  static void launch()
  {
    const cudaError_t launched = cuda_stand_in::launchKernel();
    if (launched != cudaSuccess) {
      throw StandInError(kCudaRuntimeError, cudaGetErrorString(launched));
    }
  }

  void run(void * const * buffers)
  {
    for (std::size_t index = 0; index < bindings_.size(); ++index) {
      const Binding & binding = bindings_[index];
      if (binding.is_input) {
        // Read in the tensor's own type; OpenCV DNN runs the network in float.
        const std::vector<int> sizes = matSizes(binding.dims);
        const cv::Mat given(
          static_cast<int>(sizes.size()), sizes.data(),
          binding.type == DataType::kHALF ? CV_16F : CV_32F, buffers[index]);
        cv::Mat input = given;
        if (binding.type == DataType::kHALF) {
          given.convertTo(input, CV_32F);
        }
        net_.setInput(input, binding.name);
      }
    }
    std::vector<cv::Mat> outputs;
    net_.forward(outputs, output_names_);
    std::size_t output_index = 0;
    for (std::size_t index = 0; index < bindings_.size(); ++index) {
      if (bindings_[index].is_input) {
        continue;
      }
      const cv::Mat & output = outputs[output_index++];
      const Binding & binding = bindings_[index];
      if (output.type() != CV_32F || output.total() != elementCount(binding.dims)) {
        throw StandInError(kInternalError, "output \"" + binding.name + "\" changed its shape");
      }
      // In the tensor's own type, as the engine's last layer writes it.
      cv::Mat written;
      output.convertTo(written, binding.type == DataType::kHALF ? CV_16F : CV_32F);
      std::memcpy(buffers[index], written.data, bindingBytes(binding));
    }
  }

  const ICudaEngine & engine_;
  const std::vector<Binding> & bindings_;
  std::vector<std::string> output_names_;
  cv::dnn::Net net_;
  ILogger & logger_;
  std::vector<void *> addresses_;
};

class StandInEngine : public ICudaEngine
{
public:
  StandInEngine(std::vector<char> model, std::vector<Binding> bindings, ILogger & logger)
  : model_(std::move(model)), bindings_(std::move(bindings)), logger_(logger) {}

#if NV_TENSORRT_MAJOR < 10
  int32_t getNbBindings() const noexcept override {return getNbIOTensors();}

  int32_t getBindingIndex(char const * name) const noexcept override
  {
    return bindingIndexOf(bindings_, name);
  }

  char const * getBindingName(int32_t bindingIndex) const noexcept override
  {
    return getIOTensorName(bindingIndex);
  }

  bool bindingIsInput(int32_t bindingIndex) const noexcept override
  {
    return valid(bindingIndex) && bindings_[bindingIndex].is_input;
  }

  Dims getBindingDimensions(int32_t bindingIndex) const noexcept override
  {
    return valid(bindingIndex) ? bindings_[bindingIndex].dims : Dims{};
  }

  DataType getBindingDataType(int32_t bindingIndex) const noexcept override
  {
    return valid(bindingIndex) ? bindings_[bindingIndex].type : DataType::kFLOAT;
  }
#endif

  int32_t getNbIOTensors() const noexcept override
  {
    return static_cast<int32_t>(bindings_.size());
  }

  char const * getIOTensorName(int32_t index) const noexcept override
  {
    return valid(index) ? bindings_[index].name.c_str() : nullptr;
  }

  TensorIOMode getTensorIOMode(char const * tensorName) const noexcept override
  {
    const int32_t index = bindingIndexOf(bindings_, tensorName);
    if (index < 0) {
      return TensorIOMode::kNONE;
    }
    return bindings_[index].is_input ? TensorIOMode::kINPUT : TensorIOMode::kOUTPUT;
  }

  Dims getTensorShape(char const * tensorName) const noexcept override
  {
    const int32_t index = bindingIndexOf(bindings_, tensorName);
    return index < 0 ? invalidDims() : bindings_[index].dims;
  }

  // kFLOAT for a name that is no input or output, as TensorRT answers.
  DataType getTensorDataType(char const * tensorName) const noexcept override
  {
    const int32_t index = bindingIndexOf(bindings_, tensorName);
    return index < 0 ? DataType::kFLOAT : bindings_[index].type;
  }

  IExecutionContext * createExecutionContext() noexcept override
  {
    return guarded<IExecutionContext *>(
      logger_, nullptr, [this]() {
        return new StandInExecutionContext(*this, bindings_, readNetwork(model_), logger_);
      });
  }

private:
  bool valid(int32_t index) const
  {
    return index >= 0 && static_cast<std::size_t>(index) < bindings_.size();
  }

  static Dims invalidDims()
  {
    Dims invalid{};
    invalid.nbDims = -1;
    return invalid;
  }

  std::vector<char> model_;
  std::vector<Binding> bindings_;
  ILogger & logger_;
};

class StandInRuntime : public IRuntime
{
public:
  explicit StandInRuntime(ILogger & logger)
  : logger_(logger) {}

  ICudaEngine * deserializeCudaEngine(void const * blob, std::size_t size) noexcept override
  {
    return guarded<ICudaEngine *>(logger_, nullptr, [&]() {return deserialize(blob, size);});
  }

private:
  ICudaEngine * deserialize(void const * blob, std::size_t size)
  {
    if (blob == nullptr || size == 0) {
      throw StandInError(kSerializationError, "empty engine");
    }
    std::string reason;
    const auto signature = tensorrt_stand_in::readOnnxSignature(blob, size, reason);
    if (!signature) {
      throw StandInError(kSerializationError, "engine is " + reason);
    }
    const auto * bytes = static_cast<const char *>(blob);
    std::vector<char> model(bytes, bytes + size);
    cv::dnn::Net net = readNetwork(model);
    std::vector<Binding> bindings = probeBindings(net, *signature);
    return new StandInEngine(std::move(model), std::move(bindings), logger_);
  }

  ILogger & logger_;
};

}  // namespace

IRuntime * createInferRuntime(ILogger & logger) noexcept
{
  return new (std::nothrow) StandInRuntime(logger);
}

}  // namespace nvinfer1
