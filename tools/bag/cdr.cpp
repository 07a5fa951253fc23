#include "bag/cdr.hpp"

#include <fastcdr/exceptions/Exception.h>

namespace velmora_bag
{

namespace
{

constexpr std::size_t kEncapsulationSize = 4;

}  // namespace

CdrReader::CdrReader(const uint8_t * data, std::size_t size)
: size_(size),
  // Fast-CDR only reads through this pointer.
  buffer_(const_cast<char *>(reinterpret_cast<const char *>(data)), size),
  cdr_(buffer_, eprosima::fastcdr::Cdr::DEFAULT_ENDIAN, eprosima::fastcdr::Cdr::DDS_CDR)
{
  if (size < kEncapsulationSize) {
    throw MessageError("message shorter than its encapsulation header");
  }
  if (data[0] != 0 || data[1] > 1) {
    throw MessageError("not a plain CDR message (encapsulation " + std::to_string(data[0]) + " " +
            std::to_string(data[1]) + ")");
  }
  guarded([&]() {cdr_.read_encapsulation();});
}

std::size_t CdrReader::left() const
{
  const std::size_t used = cdr_.getSerializedDataLength();
  return used >= size_ ? 0 : size_ - used;
}

uint32_t CdrReader::sequenceLength(std::size_t element_size)
{
  const uint32_t length = number<uint32_t>();
  if (element_size > 0 && length > left() / element_size) {
    throw MessageError(
            "message shorter than its type (a sequence of " + std::to_string(length) +
            " elements runs past its end)");
  }
  return length;
}

std::string CdrReader::text()
{
  std::string value;
  guarded([&]() {cdr_.deserialize(value);});
  return value;
}

std::vector<uint8_t> CdrReader::bytes()
{
  std::vector<uint8_t> value(sequenceLength(1));
  if (!value.empty()) {
    guarded([&]() {cdr_.deserializeArray(value.data(), value.size());});
  }
  return value;
}

std::vector<double> CdrReader::doubles()
{
  std::vector<double> value(sequenceLength(sizeof(double)));
  if (!value.empty()) {
    guarded([&]() {cdr_.deserializeArray(value.data(), value.size());});
  }
  return value;
}

CdrWriter::CdrWriter()
: cdr_(buffer_, eprosima::fastcdr::Cdr::LITTLE_ENDIANNESS, eprosima::fastcdr::Cdr::DDS_CDR)
{
  cdr_.serialize_encapsulation();
}

void CdrWriter::alignTo(std::size_t size)
{
  const std::size_t position = cdr_.getSerializedDataLength() - kEncapsulationSize;
  for (std::size_t pad = (size - position % size) % size; pad > 0; --pad) {
    cdr_.serialize(static_cast<uint8_t>(0));
  }
}

CdrWriter & CdrWriter::text(const std::string & value)
{
  // Fast-CDR writes a std::string through c_str(), cutting it at an inner NUL; the length and
  // bytes are written here so that every string comes back as it went in.
  number(static_cast<uint32_t>(value.size() + 1));
  if (!value.empty()) {
    cdr_.serializeArray(value.data(), value.size());
  }
  cdr_.serialize('\0');
  return *this;
}

CdrWriter & CdrWriter::bytes(const std::vector<uint8_t> & value)
{
  return bytes(value.data(), value.size());
}

CdrWriter & CdrWriter::bytes(const uint8_t * data, std::size_t size)
{
  number(static_cast<uint32_t>(size));
  if (size > 0) {
    cdr_.serializeArray(data, size);
  }
  return *this;
}

CdrWriter & CdrWriter::doubles(const std::vector<double> & value)
{
  number(static_cast<uint32_t>(value.size()));
  if (!value.empty()) {
    alignTo(sizeof(double));
    cdr_.serializeArray(value.data(), value.size());
  }
  return *this;
}

std::vector<uint8_t> CdrWriter::take() const
{
  const auto * start = reinterpret_cast<const uint8_t *>(buffer_.getBuffer());
  return {start, start + cdr_.getSerializedDataLength()};
}

}  // namespace velmora_bag
