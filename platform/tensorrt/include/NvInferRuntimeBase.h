#ifndef NV_INFER_RUNTIME_BASE_H
#define NV_INFER_RUNTIME_BASE_H

#include <cstddef>
#include <cstdint>

#include "NvInferVersion.h"

namespace nvinfer1
{

using char_t = char;
using AsciiChar = char_t;

enum class DataType : int32_t
{
  kFLOAT = 0,
  kHALF = 1,
  kINT8 = 2,
  kINT32 = 3,
  kBOOL = 4,
  kUINT8 = 5,
  kFP8 = 6,
#if NV_TENSORRT_MAJOR >= 10
  kBF16 = 7,
  kINT64 = 8,
  kINT4 = 9,
#endif
};

#if NV_TENSORRT_MAJOR >= 10
// TensorRT 10 widened the extents to 64 bits.
class Dims64
{
public:
  static constexpr int32_t MAX_DIMS{8};
  int32_t nbDims;
  int64_t d[MAX_DIMS];
};

using Dims = Dims64;
#else
class Dims32
{
public:
  static constexpr int32_t MAX_DIMS{8};
  int32_t nbDims;
  int32_t d[MAX_DIMS];
};

using Dims = Dims32;
#endif

enum class TensorIOMode : int32_t
{
  kNONE = 0,
  kINPUT = 1,
  kOUTPUT = 2,
};

class ILogger
{
public:
  enum class Severity : int32_t
  {
    kINTERNAL_ERROR = 0,
    kERROR = 1,
    kWARNING = 2,
    kINFO = 3,
    kVERBOSE = 4,
  };

  virtual void log(Severity severity, AsciiChar const * msg) noexcept = 0;

  ILogger() = default;
  virtual ~ILogger() = default;

protected:
  ILogger(ILogger const &) = default;
  ILogger(ILogger &&) = default;
  ILogger & operator=(ILogger const &) & = default;
  ILogger & operator=(ILogger &&) & = default;
};

}  // namespace nvinfer1

#endif  // NV_INFER_RUNTIME_BASE_H
