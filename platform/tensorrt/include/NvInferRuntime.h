#ifndef NV_INFER_RUNTIME_H
#define NV_INFER_RUNTIME_H

#include <cstddef>
#include <cstdint>

#include "NvInferRuntimeBase.h"

// CPU stand-in for the TensorRT 8.6 runtime: the "engine" bytes are an ONNX model run by
// OpenCV's dnn module, and binding buffers come from the CUDA runtime stand-in.
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

  // Runs the network synchronously on the device buffers indexed by binding index.
  virtual bool executeV2(void * const * bindings) noexcept = 0;
  virtual ICudaEngine const & getEngine() const noexcept = 0;
};

class ICudaEngine : public INoCopy
{
public:
  virtual ~ICudaEngine() noexcept = default;

  virtual int32_t getNbBindings() const noexcept = 0;
  // -1 when no input or output carries that name.
  virtual int32_t getBindingIndex(char const * name) const noexcept = 0;
  // nullptr when the index is out of range.
  virtual char const * getBindingName(int32_t bindingIndex) const noexcept = 0;
  virtual bool bindingIsInput(int32_t bindingIndex) const noexcept = 0;
  // nbDims -1 when the index is out of range.
  virtual Dims getBindingDimensions(int32_t bindingIndex) const noexcept = 0;
  virtual DataType getBindingDataType(int32_t bindingIndex) const noexcept = 0;
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
