#ifndef BAG__CDR_HPP_
#define BAG__CDR_HPP_

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <fastcdr/Cdr.h>
#include <fastcdr/FastBuffer.h>

namespace velmora_bag
{

// Message bytes that do not fit their type: shorter than the type, a length past the end, a
// broken encapsulation header.
class MessageError : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

// Reads one ROS 2 CDR message (encapsulation header, then the fields) with Fast-CDR. Fast-CDR's
// exceptions and sequence lengths larger than the bytes left become MessageError, so no length
// field can make it allocate more than the message holds.
class CdrReader
{
public:
  CdrReader(const uint8_t * data, std::size_t size);
  explicit CdrReader(const std::vector<uint8_t> & data)
  : CdrReader(data.data(), data.size()) {}

  template<typename T>
  T number()
  {
    T value{};
    guarded([&]() {cdr_.deserialize(value);});
    return value;
  }

  std::string text();
  std::vector<uint8_t> bytes();
  std::vector<double> doubles();

  template<typename T, std::size_t N>
  void array(std::array<T, N> & values)
  {
    guarded([&]() {cdr_.deserializeArray(values.data(), N);});
  }

  // A sequence length, checked against the bytes left for elements of at least `element_size`.
  uint32_t sequenceLength(std::size_t element_size);
  std::size_t left() const;

private:
  template<typename Step>
  void guarded(const Step & step)
  {
    try {
      step();
    } catch (const eprosima::fastcdr::exception::Exception & error) {
      throw MessageError(std::string("message shorter than its type (") + error.what() + ")");
    }
  }

  std::size_t size_;
  eprosima::fastcdr::FastBuffer buffer_;
  eprosima::fastcdr::Cdr cdr_;
};

// Writes one little-endian ROS 2 CDR message with Fast-CDR, padding with zeros.
class CdrWriter
{
public:
  CdrWriter();

  template<typename T>
  CdrWriter & number(T value)
  {
    alignTo(sizeof(T));
    cdr_.serialize(value);
    return *this;
  }

  CdrWriter & text(const std::string & value);
  CdrWriter & bytes(const std::vector<uint8_t> & value);
  CdrWriter & bytes(const uint8_t * data, std::size_t size);
  CdrWriter & doubles(const std::vector<double> & value);

  template<typename T, std::size_t N>
  CdrWriter & array(const std::array<T, N> & values)
  {
    alignTo(sizeof(T));
    cdr_.serializeArray(values.data(), N);
    return *this;
  }

  std::vector<uint8_t> take() const;

private:
  // Writes the alignment padding as zeros (Fast-CDR would leave whatever its buffer held), so
  // that the same message always gives the same bytes.
  void alignTo(std::size_t size);

  eprosima::fastcdr::FastBuffer buffer_;
  eprosima::fastcdr::Cdr cdr_;
};

}  // namespace velmora_bag

#endif  // BAG__CDR_HPP_
