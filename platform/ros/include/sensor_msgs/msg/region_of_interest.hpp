#ifndef SENSOR_MSGS__MSG__REGION_OF_INTEREST_HPP_
#define SENSOR_MSGS__MSG__REGION_OF_INTEREST_HPP_

#include <cstdint>

#include "rosidl_runtime_cpp/traits.hpp"

namespace sensor_msgs
{
namespace msg
{

struct RegionOfInterest
{
  uint32_t x_offset{0};
  uint32_t y_offset{0};
  uint32_t height{0};
  uint32_t width{0};
  bool do_rectify{false};

  bool operator==(const RegionOfInterest & other) const
  {
    return x_offset == other.x_offset && y_offset == other.y_offset && height == other.height &&
      width == other.width && do_rectify == other.do_rectify;
  }
  ROSIDL_STAND_IN_MESSAGE_POINTERS(RegionOfInterest)
};

}  // namespace msg
}  // namespace sensor_msgs

ROSIDL_STAND_IN_MESSAGE_TRAITS(sensor_msgs, RegionOfInterest)

#endif  // SENSOR_MSGS__MSG__REGION_OF_INTEREST_HPP_
