#ifndef SENSOR_MSGS__MSG__IMAGE_HPP_
#define SENSOR_MSGS__MSG__IMAGE_HPP_

#include <cstdint>
#include <string>
#include <vector>

#include "rosidl_runtime_cpp/traits.hpp"
#include "std_msgs/msg/header.hpp"

namespace sensor_msgs
{
namespace msg
{

struct Image
{
  std_msgs::msg::Header header;
  uint32_t height{0};
  uint32_t width{0};
  std::string encoding;
  uint8_t is_bigendian{0};
  uint32_t step{0};
  std::vector<uint8_t> data;

  bool operator==(const Image & other) const
  {
    return header == other.header && height == other.height && width == other.width &&
      encoding == other.encoding && is_bigendian == other.is_bigendian && step == other.step &&
      data == other.data;
  }
  ROSIDL_STAND_IN_MESSAGE_POINTERS(Image)
};

}  // namespace msg
}  // namespace sensor_msgs

ROSIDL_STAND_IN_MESSAGE_TRAITS(sensor_msgs, Image)

#endif  // SENSOR_MSGS__MSG__IMAGE_HPP_
