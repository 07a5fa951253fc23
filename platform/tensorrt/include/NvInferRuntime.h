#ifndef NV_INFER_RUNTIME_H
#define NV_INFER_RUNTIME_H

#include <cstddef>
#include <cstdint>

#include "NvInferRuntimeBase.h"
#include "driver_types.h"

// CPU stand-in for the TensorRT runtime, 8.6 or 10.x by NV_TENSORRT_MAJOR, each with exactly
// the members of that release listed here: 8.6 has both the binding-index interface
// (deprecated there) and the name-based tensor interface; 10.x has only the latter. The
// "engine" bytes are an ONNX model run by OpenCV's dnn module; tensor buffers must come from
// the CUDA runtime stand-in, and enqueueV3 runs when the host waits for its stream.
namespace nvinfer1
{

class ICudaEngine;

class INoCopy
{
protected:
  INoCopy() = default;
  virtual ~INoCopy() = default;
  INoCopy(INoCopy const & other) = delete;
  INoCopy & operator=(INoCopy const & other) = delete;
  INoCopy(INoCopy && other) = delete;
  INoCopy & operator=(INoCopy && other) = delete;
};

class IExecutionContext : public INoCopy
{
public:
  virtual ~IExecutionContext() noexcept = default;

  // Runs the network synchronously on device buffers, one per I/O tensor in index order.
  virtual bool executeV2(void * const * bindings) noexcept = 0;
  // False, with an error logged, when no input or output carries that name.
  virtual bool setTensorAddress(char const * tensorName, void * data) noexcept = 0;
  // nullptr when unset or when no input or output carries that name.
  virtual void const * getTensorAddress(char const * tensorName) const noexcept = 0;
  // Queues the network on `stream` with the addresses set; false, with an error logged, when
  // an address is missing or is not a device buffer large enough.
  virtual bool enqueueV3(cudaStream_t stream) noexcept = 0;
  virtual ICudaEngine const & getEngine() const noexcept = 0;
};

class ICudaEngine : public INoCopy
{
public:
  virtual ~ICudaEngine() noexcept = default;

#if NV_TENSORRT_MAJOR < 10
  virtual int32_t getNbBindings() const noexcept = 0;
  // -1 when no input or output carries that name.
  virtual int32_t getBindingIndex(char const * name) const noexcept = 0;
  // nullptr when the index is out of range.
  virtual char const * getBindingName(int32_t bindingIndex) const noexcept = 0;
  virtual bool bindingIsInput(int32_t bindingIndex) const noexcept = 0;
  // Dims() (no extents, nbDims 0) when the index is out of range, not the -1 of the
  // name-based getTensorShape.
  virtual Dims getBindingDimensions(int32_t bindingIndex) const noexcept = 0;
  virtual DataType getBindingDataType(int32_t bindingIndex) const noexcept = 0;
#endif

  virtual int32_t getNbIOTensors() const noexcept = 0;
  // nullptr when the index is out of range.
  virtual char const * getIOTensorName(int32_t index) const noexcept = 0;
  // kNONE when no input or output carries that name.
  virtual TensorIOMode getTensorIOMode(char const * tensorName) const noexcept = 0;
  // nbDims -1 when no input or output carries that name.
  virtual Dims getTensorShape(char const * tensorName) const noexcept = 0;
  // kFLOAT when no input or output carries that name, as TensorRT answers.
  virtual DataType getTensorDataType(char const * tensorName) const noexcept = 0;
  virtual IExecutionContext * createExecutionContext() noexcept = 0;
};

class IRuntime : public INoCopy
{
public:
  virtual ~IRuntime() noexcept = default;

  // nullptr, with the reason reported to the logger, when the bytes are not a usable engine.
  virtual ICudaEngine * deserializeCudaEngine(void const * blob, std::size_t size) noexcept = 0;
};

IRuntime * createInferRuntime(ILogger & logger) noexcept;

}  // namespace nvinfer1

#endif  // NV_INFER_RUNTIME_H
