#ifndef ONNX_SIGNATURE_HPP_
#define ONNX_SIGNATURE_HPP_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tensorrt_stand_in
{

// ONNX TensorProto.DataType values of 32-bit and 16-bit floats.
constexpr int32_t kOnnxFloat = 1;
constexpr int32_t kOnnxFloat16 = 10;

struct OnnxTensor
{
  std::string name;
  int32_t elem_type{0};
  std::vector<int64_t> dims;  // -1 where the graph leaves a dimension symbolic or unset
};

struct OnnxSignature
{
  std::vector<OnnxTensor> inputs;  // graph inputs that are not initializers
  std::vector<OnnxTensor> outputs;
};

// OpenCV does not tell a network's input names or declared shapes, so they are read from
// the serialised ModelProto. nullopt, with `error` set, when the bytes are not an ONNX model.
std::optional<OnnxSignature> readOnnxSignature(
  const void * bytes, std::size_t size, std::string & error);

}  // namespace tensorrt_stand_in

#endif  // ONNX_SIGNATURE_HPP_
