#include "onnx_signature.hpp"

#include <algorithm>
#include <set>

namespace tensorrt_stand_in
{
namespace
{

// Field numbers of the ONNX protobuf schema (onnx.proto) that the signature needs.
constexpr uint64_t kModelGraph = 7;
constexpr uint64_t kGraphInitializer = 5;
constexpr uint64_t kGraphInput = 11;
constexpr uint64_t kGraphOutput = 12;
constexpr uint64_t kTensorName = 8;
constexpr uint64_t kValueInfoName = 1;
constexpr uint64_t kValueInfoType = 2;
constexpr uint64_t kTypeTensor = 1;
constexpr uint64_t kTensorTypeElemType = 1;
constexpr uint64_t kTensorTypeShape = 2;
constexpr uint64_t kShapeDim = 1;
constexpr uint64_t kDimValue = 1;

enum WireType : uint32_t
{
  kVarint = 0,
  kFixed64 = 1,
  kLengthDelimited = 2,
  kFixed32 = 5,
};

struct WireField
{
  uint64_t number{0};
  uint32_t wire_type{0};
  uint64_t varint{0};
  const uint8_t * data{nullptr};
  std::size_t size{0};

  bool isMessage(uint64_t wanted) const
  {
    return number == wanted && wire_type == kLengthDelimited;
  }
  std::string text() const {return std::string(reinterpret_cast<const char *>(data), size);}
};

// Walks the fields of one protobuf message; a malformed message sets the shared failure flag.
class WireReader
{
public:
  WireReader(const uint8_t * data, std::size_t size, bool & failed)
  : position_(data), end_(data + size), failed_(failed) {}

  bool next(WireField & field)
  {
    if (failed_ || position_ == end_) {
      return false;
    }
    uint64_t tag = 0;
    if (!readVarint(tag) || (tag >> 3) == 0) {
      return fail();
    }
    field = WireField{};
    field.number = tag >> 3;
    field.wire_type = static_cast<uint32_t>(tag & 7);
    switch (field.wire_type) {
      case kVarint:
        return readVarint(field.varint) || fail();
      case kFixed64:
        return skip(8);
      case kFixed32:
        return skip(4);
      case kLengthDelimited:
        if (!readVarint(field.varint) || field.varint > remaining()) {
          return fail();
        }
        field.data = position_;
        field.size = static_cast<std::size_t>(field.varint);
        position_ += field.size;
        return true;
      default:
        return fail();
    }
  }

private:
  std::size_t remaining() const {return static_cast<std::size_t>(end_ - position_);}

  bool readVarint(uint64_t & value)
  {
    value = 0;
    for (int shift = 0; shift < 64 && position_ != end_; shift += 7) {
      const uint8_t byte = *position_++;
      value |= static_cast<uint64_t>(byte & 0x7f) << shift;
      if ((byte & 0x80) == 0) {
        return true;
      }
    }
    return false;
  }

  bool skip(std::size_t bytes)
  {
    if (bytes > remaining()) {
      return fail();
    }
    position_ += bytes;
    return true;
  }

  bool fail()
  {
    failed_ = true;
    return false;
  }

  const uint8_t * position_;
  const uint8_t * end_;
  bool & failed_;
};

std::vector<int64_t> readShape(const WireField & shape, bool & failed)
{
  std::vector<int64_t> dims;
  WireReader shape_fields(shape.data, shape.size, failed);
  WireField dim;
  while (shape_fields.next(dim)) {
    if (!dim.isMessage(kShapeDim)) {
      continue;
    }
    int64_t extent = -1;
    WireReader dim_fields(dim.data, dim.size, failed);
    WireField value;
    while (dim_fields.next(value)) {
      if (value.number == kDimValue && value.wire_type == kVarint) {
        extent = static_cast<int64_t>(value.varint);
      }
    }
    dims.push_back(extent);
  }
  return dims;
}

void readTensorType(const WireField & tensor_type, OnnxTensor & tensor, bool & failed)
{
  WireReader fields(tensor_type.data, tensor_type.size, failed);
  WireField field;
  while (fields.next(field)) {
    if (field.number == kTensorTypeElemType && field.wire_type == kVarint) {
      tensor.elem_type = static_cast<int32_t>(field.varint);
    } else if (field.isMessage(kTensorTypeShape)) {
      tensor.dims = readShape(field, failed);
    }
  }
}

OnnxTensor readValueInfo(const WireField & value_info, bool & failed)
{
  OnnxTensor tensor;
  WireReader fields(value_info.data, value_info.size, failed);
  WireField field;
  while (fields.next(field)) {
    if (field.isMessage(kValueInfoName)) {
      tensor.name = field.text();
    } else if (field.isMessage(kValueInfoType)) {
      WireReader type_fields(field.data, field.size, failed);
      WireField type_field;
      while (type_fields.next(type_field)) {
        if (type_field.isMessage(kTypeTensor)) {
          readTensorType(type_field, tensor, failed);
        }
      }
    }
  }
  return tensor;
}

std::string readInitializerName(const WireField & initializer, bool & failed)
{
  WireReader fields(initializer.data, initializer.size, failed);
  WireField field;
  std::string name;
  while (fields.next(field)) {
    if (field.isMessage(kTensorName)) {
      name = field.text();
    }
  }
  return name;
}

}  // namespace

std::optional<OnnxSignature> readOnnxSignature(
  const void * bytes, std::size_t size, std::string & error)
{
  bool failed = false;
  std::optional<WireField> graph;
  WireReader model_fields(static_cast<const uint8_t *>(bytes), size, failed);
  WireField field;
  while (model_fields.next(field)) {
    if (field.isMessage(kModelGraph)) {
      graph = field;
    }
  }
  if (failed || !graph) {
    error = failed ? "not an ONNX model (malformed protobuf)" : "not an ONNX model (no graph)";
    return std::nullopt;
  }

  OnnxSignature signature;
  std::set<std::string> initializers;
  WireReader graph_fields(graph->data, graph->size, failed);
  while (graph_fields.next(field)) {
    if (field.isMessage(kGraphInitializer)) {
      initializers.insert(readInitializerName(field, failed));
    } else if (field.isMessage(kGraphInput)) {
      signature.inputs.push_back(readValueInfo(field, failed));
    } else if (field.isMessage(kGraphOutput)) {
      signature.outputs.push_back(readValueInfo(field, failed));
    }
  }
  auto & inputs = signature.inputs;
  inputs.erase(
    std::remove_if(
      inputs.begin(), inputs.end(),
      [&initializers](const OnnxTensor & input) {return initializers.count(input.name) > 0;}),
    inputs.end());
  if (failed) {
    error = "not an ONNX model (malformed graph)";
    return std::nullopt;
  }
  if (inputs.empty() || signature.outputs.empty()) {
    error = "ONNX graph without inputs or outputs";
    return std::nullopt;
  }
  return signature;
}

}  // namespace tensorrt_stand_in
