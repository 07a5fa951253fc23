#include "cv_bridge/cv_bridge.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <utility>

#include <opencv2/imgproc.hpp>

namespace cv_bridge
{

namespace
{

namespace enc = sensor_msgs::image_encodings;

enum class Layout { Bgr, Rgb, Bgra, Rgba, Grey, Uyvy, Yuyv };

struct EncodingInfo
{
  Layout layout;
  int cv_type;
};

const EncodingInfo & describe(const std::string & encoding)
{
  static const std::map<std::string, EncodingInfo> known{
    {enc::BGR8, {Layout::Bgr, CV_8UC3}}, {enc::RGB8, {Layout::Rgb, CV_8UC3}},
    {enc::BGRA8, {Layout::Bgra, CV_8UC4}}, {enc::RGBA8, {Layout::Rgba, CV_8UC4}},
    {enc::MONO8, {Layout::Grey, CV_8UC1}},
    {enc::BGR16, {Layout::Bgr, CV_16UC3}}, {enc::RGB16, {Layout::Rgb, CV_16UC3}},
    {enc::BGRA16, {Layout::Bgra, CV_16UC4}}, {enc::RGBA16, {Layout::Rgba, CV_16UC4}},
    {enc::MONO16, {Layout::Grey, CV_16UC1}},
    {enc::YUV422, {Layout::Uyvy, CV_8UC2}}, {enc::YUV422_YUY2, {Layout::Yuyv, CV_8UC2}},
  };
  const auto found = known.find(encoding);
  if (found == known.end()) {
    throw Exception("Unrecognized image encoding [" + encoding + "]");
  }
  return found->second;
}

int colorConversionCode(Layout from, Layout to)
{
  static const std::map<std::pair<Layout, Layout>, int> codes{
    {{Layout::Rgb, Layout::Bgr}, cv::COLOR_RGB2BGR},
    {{Layout::Bgra, Layout::Bgr}, cv::COLOR_BGRA2BGR},
    {{Layout::Rgba, Layout::Bgr}, cv::COLOR_RGBA2BGR},
    {{Layout::Grey, Layout::Bgr}, cv::COLOR_GRAY2BGR},
    {{Layout::Uyvy, Layout::Bgr}, cv::COLOR_YUV2BGR_UYVY},
    {{Layout::Yuyv, Layout::Bgr}, cv::COLOR_YUV2BGR_YUY2},
    {{Layout::Bgr, Layout::Rgb}, cv::COLOR_BGR2RGB},
    {{Layout::Bgra, Layout::Rgb}, cv::COLOR_BGRA2RGB},
    {{Layout::Rgba, Layout::Rgb}, cv::COLOR_RGBA2RGB},
    {{Layout::Grey, Layout::Rgb}, cv::COLOR_GRAY2RGB},
    {{Layout::Uyvy, Layout::Rgb}, cv::COLOR_YUV2RGB_UYVY},
    {{Layout::Yuyv, Layout::Rgb}, cv::COLOR_YUV2RGB_YUY2},
    {{Layout::Bgr, Layout::Bgra}, cv::COLOR_BGR2BGRA},
    {{Layout::Rgb, Layout::Bgra}, cv::COLOR_RGB2BGRA},
    {{Layout::Rgba, Layout::Bgra}, cv::COLOR_RGBA2BGRA},
    {{Layout::Grey, Layout::Bgra}, cv::COLOR_GRAY2BGRA},
    {{Layout::Uyvy, Layout::Bgra}, cv::COLOR_YUV2BGRA_UYVY},
    {{Layout::Yuyv, Layout::Bgra}, cv::COLOR_YUV2BGRA_YUY2},
    {{Layout::Bgr, Layout::Rgba}, cv::COLOR_BGR2RGBA},
    {{Layout::Rgb, Layout::Rgba}, cv::COLOR_RGB2RGBA},
    {{Layout::Bgra, Layout::Rgba}, cv::COLOR_BGRA2RGBA},
    {{Layout::Grey, Layout::Rgba}, cv::COLOR_GRAY2RGBA},
    {{Layout::Uyvy, Layout::Rgba}, cv::COLOR_YUV2RGBA_UYVY},
    {{Layout::Yuyv, Layout::Rgba}, cv::COLOR_YUV2RGBA_YUY2},
    {{Layout::Bgr, Layout::Grey}, cv::COLOR_BGR2GRAY},
    {{Layout::Rgb, Layout::Grey}, cv::COLOR_RGB2GRAY},
    {{Layout::Bgra, Layout::Grey}, cv::COLOR_BGRA2GRAY},
    {{Layout::Rgba, Layout::Grey}, cv::COLOR_RGBA2GRAY},
    {{Layout::Uyvy, Layout::Grey}, cv::COLOR_YUV2GRAY_UYVY},
    {{Layout::Yuyv, Layout::Grey}, cv::COLOR_YUV2GRAY_YUY2},
  };
  return codes.at({from, to});
}

bool hostIsBigEndian()
{
  const uint16_t probe = 1;
  uint8_t first_byte = 0;
  std::memcpy(&first_byte, &probe, 1);
  return first_byte == 0;
}

void swapBytes16(cv::Mat & image)
{
  for (int row = 0; row < image.rows; ++row) {
    auto * value = image.ptr<uint16_t>(row);
    for (std::size_t i = 0; i < image.cols * static_cast<std::size_t>(image.channels()); ++i) {
      value[i] = static_cast<uint16_t>((value[i] >> 8) | (value[i] << 8));
    }
  }
}

// Throws unless the message's fields describe pixels that lie inside its data.
void checkLayout(const sensor_msgs::msg::Image & source, const EncodingInfo & info)
{
  constexpr uint64_t kMaxSide = static_cast<uint64_t>(std::numeric_limits<int>::max());
  if (source.width > kMaxSide || source.height > kMaxSide) {
    throw Exception("Image is wrongly formed: dimensions exceed what an image can hold");
  }
  const uint64_t row_bytes = static_cast<uint64_t>(source.width) * CV_ELEM_SIZE(info.cv_type);
  if (source.step < row_bytes) {
    throw Exception(
            "Image is wrongly formed: step < width * byte_depth * num_channels  or  " +
            std::to_string(source.step) + " < " + std::to_string(row_bytes));
  }
  if (static_cast<uint64_t>(source.step) * source.height > source.data.size()) {
    throw Exception(
            "Image is wrongly formed: height * step > size  or  " +
            std::to_string(source.height) + " * " + std::to_string(source.step) + " > " +
            std::to_string(source.data.size()));
  }
  if ((info.layout == Layout::Uyvy || info.layout == Layout::Yuyv) && source.width % 2 != 0) {
    throw Exception("Image is wrongly formed: YUV 4:2:2 needs an even width");
  }
}

// A tightly packed copy of the message's pixels in host byte order.
cv::Mat copyPixels(const sensor_msgs::msg::Image & source, const EncodingInfo & info)
{
  checkLayout(source, info);
  if (source.width == 0 || source.height == 0) {
    return cv::Mat();
  }
  cv::Mat image(static_cast<int>(source.height), static_cast<int>(source.width), info.cv_type);
  const std::size_t row_bytes = image.cols * image.elemSize();
  for (int row = 0; row < image.rows; ++row) {
    std::memcpy(image.ptr(row), source.data.data() + row * std::size_t{source.step}, row_bytes);
  }
  if (CV_MAT_DEPTH(info.cv_type) == CV_16U && (source.is_bigendian != 0) != hostIsBigEndian()) {
    swapBytes16(image);
  }
  return image;
}

cv::Mat convertPixels(
  const cv::Mat & image, const std::string & from_encoding, const std::string & to_encoding)
{
  const EncodingInfo & from = describe(from_encoding);
  const EncodingInfo & to = describe(to_encoding);
  if (CV_MAT_DEPTH(to.cv_type) != CV_8U) {
    throw Exception("Unsupported conversion from [" + from_encoding + "] to [" + to_encoding + "]");
  }
  if (image.empty()) {
    return cv::Mat();
  }
  cv::Mat eight_bit = image;
  if (image.depth() == CV_16U) {
    image.convertTo(eight_bit, CV_8U, 255.0 / 65535.0);
  }
  if (from.layout == to.layout) {
    return eight_bit;
  }
  cv::Mat converted;
  cv::cvtColor(eight_bit, converted, colorConversionCode(from.layout, to.layout));
  return converted;
}

}  // namespace

sensor_msgs::msg::Image::SharedPtr CvImage::toImageMsg() const
{
  auto message = std::make_shared<sensor_msgs::msg::Image>();
  toImageMsg(*message);
  return message;
}

void CvImage::toImageMsg(sensor_msgs::msg::Image & ros_image) const
{
  ros_image.header = header;
  ros_image.height = static_cast<uint32_t>(image.rows);
  ros_image.width = static_cast<uint32_t>(image.cols);
  ros_image.encoding = encoding;
  ros_image.is_bigendian = hostIsBigEndian();
  ros_image.step = static_cast<uint32_t>(image.cols * image.elemSize());
  ros_image.data.resize(std::size_t{ros_image.step} * ros_image.height);
  for (int row = 0; row < image.rows; ++row) {
    std::memcpy(ros_image.data.data() + row * std::size_t{ros_image.step}, image.ptr(row),
      ros_image.step);
  }
}

CvImagePtr toCvCopy(
  const sensor_msgs::msg::Image::ConstSharedPtr & source, const std::string & encoding)
{
  if (!source) {
    throw Exception("Image message is null");
  }
  return toCvCopy(*source, encoding);
}

CvImagePtr toCvCopy(const sensor_msgs::msg::Image & source, const std::string & encoding)
{
  auto copy = std::make_shared<CvImage>();
  copy->header = source.header;
  copy->image = copyPixels(source, describe(source.encoding));
  copy->encoding = encoding.empty() ? source.encoding : encoding;
  if (copy->encoding != source.encoding) {
    copy->image = convertPixels(copy->image, source.encoding, copy->encoding);
  }
  return copy;
}

}  // namespace cv_bridge
