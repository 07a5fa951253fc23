#ifndef BAG__ROS_MESSAGES_HPP_
#define BAG__ROS_MESSAGES_HPP_

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "bag/cdr.hpp"
#include "sensor_msgs/msg/camera_info.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "std_msgs/msg/header.hpp"
#include "tf2_msgs/msg/tf_message.hpp"

namespace velmora_bag
{

// sensor_msgs/msg/CompressedImage: the node never subscribes to it, robots usually record it.
struct CompressedImage
{
  std_msgs::msg::Header header;
  std::string format;  // "jpeg", "png", "rgb8; jpeg compressed bgr8", ...
  std::vector<uint8_t> data;

  bool operator==(const CompressedImage & other) const
  {
    return header == other.header && format == other.format && data == other.data;
  }
};

// Decoders of ROS 2 CDR messages; each throws MessageError when the bytes do not fit the type.
sensor_msgs::msg::Image decodeImage(const std::vector<uint8_t> & data);
CompressedImage decodeCompressedImage(const std::vector<uint8_t> & data);
sensor_msgs::msg::CameraInfo decodeCameraInfo(const std::vector<uint8_t> & data);
tf2_msgs::msg::TFMessage decodeTfMessage(const std::vector<uint8_t> & data);

// Encoders, the exact inverse of the decoders (little-endian).
std::vector<uint8_t> encodeImage(const sensor_msgs::msg::Image & image);
// The Image message of an 8-bit picture (its rows packed), without building the message first.
std::vector<uint8_t> encodeImage(
  const std_msgs::msg::Header & header, const std::string & encoding, const cv::Mat & picture);
std::vector<uint8_t> encodeCompressedImage(const CompressedImage & image);
std::vector<uint8_t> encodeCameraInfo(const sensor_msgs::msg::CameraInfo & info);
std::vector<uint8_t> encodeTfMessage(const tf2_msgs::msg::TFMessage & message);

// The ros2msg text (fields, then each type used after a "MSG: pkg/Type" separator) of the types
// the robot's drivers publish: sensor_msgs/msg/Image, CompressedImage and CameraInfo,
// tf2_msgs/msg/TFMessage and the task centre's status; throws std::out_of_range for others.
const std::string & messageDefinition(const std::string & type);

// Throws MessageError when the image's data is shorter than height × step, the size its header
// promises (a recorder that cut the data short).
void checkImageData(const sensor_msgs::msg::Image & image);

// The picture as the camera driver would have sent it raw: 8-bit bgr8 with the same header.
// Throws MessageError when the data is not a JPEG or PNG image.
sensor_msgs::msg::Image toBgr8Image(const CompressedImage & image);

}  // namespace velmora_bag

#endif  // BAG__ROS_MESSAGES_HPP_
