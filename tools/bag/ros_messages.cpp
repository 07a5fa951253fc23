#include "bag/ros_messages.hpp"

#include <map>

#include <opencv2/imgcodecs.hpp>

#include "bag/msg_definition.hpp"

namespace velmora_bag
{

namespace
{

std_msgs::msg::Header readHeader(CdrReader & in)
{
  std_msgs::msg::Header header;
  header.stamp.sec = in.number<int32_t>();
  header.stamp.nanosec = in.number<uint32_t>();
  header.frame_id = in.text();
  return header;
}

void writeHeader(CdrWriter & out, const std_msgs::msg::Header & header)
{
  out.number(header.stamp.sec).number(header.stamp.nanosec).text(header.frame_id);
}

// A type's own fields followed by the types it uses, as rosbag2 and MCAP carry them.
std::string withDependencies(const std::string & fields, const std::vector<std::string> & types)
{
  static const std::map<std::string, std::string> dependencies{
    {"std_msgs/Header", "builtin_interfaces/Time stamp\nstring frame_id\n"},
    {"builtin_interfaces/Time", "int32 sec\nuint32 nanosec\n"},
    {"sensor_msgs/RegionOfInterest",
      "uint32 x_offset\nuint32 y_offset\nuint32 height\nuint32 width\nbool do_rectify\n"},
    {"geometry_msgs/TransformStamped",
      "std_msgs/Header header\nstring child_frame_id\nTransform transform\n"},
    {"geometry_msgs/Transform", "Vector3 translation\nQuaternion rotation\n"},
    {"geometry_msgs/Vector3", "float64 x\nfloat64 y\nfloat64 z\n"},
    {"geometry_msgs/Quaternion", "float64 x 0\nfloat64 y 0\nfloat64 z 0\nfloat64 w 1\n"},
  };
  std::string text = fields;
  for (const std::string & type : types) {
    text += std::string(80, '=') + "\nMSG: " + type + "\n" + dependencies.at(type);
  }
  return text;
}

}  // namespace

const std::string & messageDefinition(const std::string & type)
{
  static const std::vector<std::string> header{"std_msgs/Header", "builtin_interfaces/Time"};
  static const std::map<std::string, std::string> definitions{
    {"sensor_msgs/msg/Image", withDependencies(
        "std_msgs/Header header\nuint32 height\nuint32 width\nstring encoding\n"
        "uint8 is_bigendian\nuint32 step\nuint8[] data\n", header)},
    {"sensor_msgs/msg/CompressedImage", withDependencies(
        "std_msgs/Header header\nstring format\nuint8[] data\n", header)},
    {"sensor_msgs/msg/CameraInfo", withDependencies(
        "std_msgs/Header header\nuint32 height\nuint32 width\nstring distortion_model\n"
        "float64[] d\nfloat64[9] k\nfloat64[9] r\nfloat64[12] p\nuint32 binning_x\n"
        "uint32 binning_y\nRegionOfInterest roi\n",
        {"std_msgs/Header", "builtin_interfaces/Time", "sensor_msgs/RegionOfInterest"})},
    {"tf2_msgs/msg/TFMessage", withDependencies(
        "geometry_msgs/TransformStamped[] transforms\n",
        {"geometry_msgs/TransformStamped", "std_msgs/Header", "builtin_interfaces/Time",
          "geometry_msgs/Transform", "geometry_msgs/Vector3", "geometry_msgs/Quaternion"})},
    {"velmora_protocol/msg/TaskCenterFsmStatus", withDependencies(kStatusDefinition, header)},
  };
  const auto found = definitions.find(type);
  if (found == definitions.end()) {
    throw std::out_of_range("no message definition known for " + type);
  }
  return found->second;
}

sensor_msgs::msg::Image decodeImage(const std::vector<uint8_t> & data)
{
  CdrReader in(data);
  sensor_msgs::msg::Image image;
  image.header = readHeader(in);
  image.height = in.number<uint32_t>();
  image.width = in.number<uint32_t>();
  image.encoding = in.text();
  image.is_bigendian = in.number<uint8_t>();
  image.step = in.number<uint32_t>();
  image.data = in.bytes();
  return image;
}

CompressedImage decodeCompressedImage(const std::vector<uint8_t> & data)
{
  CdrReader in(data);
  CompressedImage image;
  image.header = readHeader(in);
  image.format = in.text();
  image.data = in.bytes();
  return image;
}

sensor_msgs::msg::CameraInfo decodeCameraInfo(const std::vector<uint8_t> & data)
{
  CdrReader in(data);
  sensor_msgs::msg::CameraInfo info;
  info.header = readHeader(in);
  info.height = in.number<uint32_t>();
  info.width = in.number<uint32_t>();
  info.distortion_model = in.text();
  info.d = in.doubles();
  in.array(info.k);
  in.array(info.r);
  in.array(info.p);
  info.binning_x = in.number<uint32_t>();
  info.binning_y = in.number<uint32_t>();
  info.roi.x_offset = in.number<uint32_t>();
  info.roi.y_offset = in.number<uint32_t>();
  info.roi.height = in.number<uint32_t>();
  info.roi.width = in.number<uint32_t>();
  info.roi.do_rectify = in.number<bool>();
  return info;
}

tf2_msgs::msg::TFMessage decodeTfMessage(const std::vector<uint8_t> & data)
{
  CdrReader in(data);
  tf2_msgs::msg::TFMessage message;
  // A transform takes at least 68 bytes: stamp, two empty strings, seven doubles.
  const uint32_t count = in.sequenceLength(68);
  message.transforms.resize(count);
  for (geometry_msgs::msg::TransformStamped & transform : message.transforms) {
    transform.header = readHeader(in);
    transform.child_frame_id = in.text();
    transform.transform.translation.x = in.number<double>();
    transform.transform.translation.y = in.number<double>();
    transform.transform.translation.z = in.number<double>();
    transform.transform.rotation.x = in.number<double>();
    transform.transform.rotation.y = in.number<double>();
    transform.transform.rotation.z = in.number<double>();
    transform.transform.rotation.w = in.number<double>();
  }
  return message;
}

std::vector<uint8_t> encodeImage(const sensor_msgs::msg::Image & image)
{
  CdrWriter out;
  writeHeader(out, image.header);
  out.number(image.height).number(image.width).text(image.encoding).number(image.is_bigendian)
  .number(image.step).bytes(image.data);
  return out.take();
}

std::vector<uint8_t> encodeImage(
  const std_msgs::msg::Header & header, const std::string & encoding, const cv::Mat & picture)
{
  const cv::Mat packed = picture.isContinuous() ? picture : picture.clone();
  const auto step = static_cast<uint32_t>(packed.cols * packed.elemSize());
  CdrWriter out;
  writeHeader(out, header);
  out.number(static_cast<uint32_t>(packed.rows)).number(static_cast<uint32_t>(packed.cols))
  .text(encoding).number(static_cast<uint8_t>(0)).number(step)
  .bytes(packed.data, static_cast<std::size_t>(step) * packed.rows);
  return out.take();
}

std::vector<uint8_t> encodeCompressedImage(const CompressedImage & image)
{
  CdrWriter out;
  writeHeader(out, image.header);
  out.text(image.format).bytes(image.data);
  return out.take();
}

std::vector<uint8_t> encodeCameraInfo(const sensor_msgs::msg::CameraInfo & info)
{
  CdrWriter out;
  writeHeader(out, info.header);
  out.number(info.height).number(info.width).text(info.distortion_model).doubles(info.d)
  .array(info.k).array(info.r).array(info.p).number(info.binning_x).number(info.binning_y)
  .number(info.roi.x_offset).number(info.roi.y_offset).number(info.roi.height)
  .number(info.roi.width).number(info.roi.do_rectify);
  return out.take();
}

std::vector<uint8_t> encodeTfMessage(const tf2_msgs::msg::TFMessage & message)
{
  CdrWriter out;
  out.number(static_cast<uint32_t>(message.transforms.size()));
  for (const geometry_msgs::msg::TransformStamped & transform : message.transforms) {
    writeHeader(out, transform.header);
    out.text(transform.child_frame_id)
    .number(transform.transform.translation.x).number(transform.transform.translation.y)
    .number(transform.transform.translation.z).number(transform.transform.rotation.x)
    .number(transform.transform.rotation.y).number(transform.transform.rotation.z)
    .number(transform.transform.rotation.w);
  }
  return out.take();
}

void checkImageData(const sensor_msgs::msg::Image & image)
{
  const uint64_t promised = static_cast<uint64_t>(image.height) * image.step;
  if (image.data.size() < promised) {
    throw MessageError(
            "image data holds " + std::to_string(image.data.size()) + " bytes, its header (" +
            std::to_string(image.width) + "x" + std::to_string(image.height) + ", step " +
            std::to_string(image.step) + ") promises " + std::to_string(promised));
  }
}

sensor_msgs::msg::Image toBgr8Image(const CompressedImage & compressed)
{
  cv::Mat picture;
  if (!compressed.data.empty()) {
    try {
      picture = cv::imdecode(compressed.data, cv::IMREAD_COLOR);
    } catch (const cv::Exception &) {
      picture.release();
    }
  }
  if (picture.empty()) {
    throw MessageError(
            "compressed image (format '" + compressed.format + "', " +
            std::to_string(compressed.data.size()) + " bytes) is not a readable JPEG or PNG");
  }
  sensor_msgs::msg::Image image;
  image.header = compressed.header;
  image.height = static_cast<uint32_t>(picture.rows);
  image.width = static_cast<uint32_t>(picture.cols);
  image.encoding = "bgr8";
  image.step = static_cast<uint32_t>(picture.cols * 3);
  image.data.resize(static_cast<std::size_t>(image.step) * image.height);
  for (int row = 0; row < picture.rows; ++row) {
    std::copy(picture.ptr<uint8_t>(row), picture.ptr<uint8_t>(row) + image.step,
      image.data.begin() + static_cast<std::ptrdiff_t>(row) * image.step);
  }
  return image;
}

}  // namespace velmora_bag
