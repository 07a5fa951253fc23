#ifndef VELMORA_PROTOCOL__MSG__DIRTY_RECOGNITION_HPP_
#define VELMORA_PROTOCOL__MSG__DIRTY_RECOGNITION_HPP_

#include <cstdint>
#include <vector>

#include "geometry_msgs/msg/point.hpp"
#include "rosidl_runtime_cpp/traits.hpp"
#include "std_msgs/msg/header.hpp"

namespace velmora_protocol
{
namespace msg
{

// Result of judging one floor patch: the camera that saw it, the verdict (0 clean, 1 dirty,
// 2 stubborn) and the judged floor region as corner points in header.frame_id.
struct DirtyRecognition
{
  std_msgs::msg::Header header;
  int32_t camera_id{0};
  int32_t verdict{0};
  std::vector<geometry_msgs::msg::Point> region;

  bool operator==(const DirtyRecognition & other) const
  {
    return header == other.header && camera_id == other.camera_id && verdict == other.verdict &&
      region == other.region;
  }
  ROSIDL_STAND_IN_MESSAGE_POINTERS(DirtyRecognition)
};

}  // namespace msg
}  // namespace velmora_protocol

ROSIDL_STAND_IN_MESSAGE_TRAITS(velmora_protocol, DirtyRecognition)

#endif  // VELMORA_PROTOCOL__MSG__DIRTY_RECOGNITION_HPP_
