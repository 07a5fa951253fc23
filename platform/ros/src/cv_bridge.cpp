#include "cv_bridge/cv_bridge.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <regex>
#include <sstream>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

// Humble's cv_bridge, reproduced check for check: the same encodings, conversion table,
// exception texts and 32-bit size arithmetic, and the same OpenCV calls afterwards. Where the
// real library would go on to read or write outside the message's data (a layout that only
// passes its checks because a 32-bit product wrapped, or odd-width YUV 4:2:2, which OpenCV
// converts a pixel past every row), this stand-in stops the process with a message instead:
// the real overrun happens inside uninstrumented OpenCV, where no sanitizer would see it.
namespace cv_bridge
{

namespace
{

namespace enc = sensor_msgs::image_encodings;

constexpr int kSameFormat = -1;

enum class Family
{
  Invalid, Gray, Rgb, Bgr, Rgba, Bgra, Uyvy, Yuyv, BayerRggb, BayerBggr, BayerGbrg, BayerGrbg
};

Family familyOf(const std::string & encoding)
{
  static const std::map<std::string, Family> families{
    {enc::MONO8, Family::Gray}, {enc::MONO16, Family::Gray},
    {enc::BGR8, Family::Bgr}, {enc::BGR16, Family::Bgr},
    {enc::RGB8, Family::Rgb}, {enc::RGB16, Family::Rgb},
    {enc::BGRA8, Family::Bgra}, {enc::BGRA16, Family::Bgra},
    {enc::RGBA8, Family::Rgba}, {enc::RGBA16, Family::Rgba},
    {enc::YUV422, Family::Uyvy}, {enc::YUV422_YUY2, Family::Yuyv},
    {enc::BAYER_RGGB8, Family::BayerRggb}, {enc::BAYER_RGGB16, Family::BayerRggb},
    {enc::BAYER_BGGR8, Family::BayerBggr}, {enc::BAYER_BGGR16, Family::BayerBggr},
    {enc::BAYER_GBRG8, Family::BayerGbrg}, {enc::BAYER_GBRG16, Family::BayerGbrg},
    {enc::BAYER_GRBG8, Family::BayerGrbg}, {enc::BAYER_GRBG16, Family::BayerGrbg},
  };
  const auto found = families.find(encoding);
  return found == families.end() ? Family::Invalid : found->second;
}

// OpenCV colour codes per (source, target) family; identical families up to UYVY need none.
const std::map<std::pair<Family, Family>, std::vector<int>> & conversionTable()
{
  using F = Family;
  static const std::map<std::pair<F, F>, std::vector<int>> table{
    {{F::Gray, F::Gray}, {kSameFormat}}, {{F::Rgb, F::Rgb}, {kSameFormat}},
    {{F::Bgr, F::Bgr}, {kSameFormat}}, {{F::Rgba, F::Rgba}, {kSameFormat}},
    {{F::Bgra, F::Bgra}, {kSameFormat}}, {{F::Uyvy, F::Uyvy}, {kSameFormat}},
    {{F::Gray, F::Rgb}, {cv::COLOR_GRAY2RGB}}, {{F::Gray, F::Bgr}, {cv::COLOR_GRAY2BGR}},
    {{F::Gray, F::Rgba}, {cv::COLOR_GRAY2RGBA}}, {{F::Gray, F::Bgra}, {cv::COLOR_GRAY2BGRA}},
    {{F::Rgb, F::Gray}, {cv::COLOR_RGB2GRAY}}, {{F::Rgb, F::Bgr}, {cv::COLOR_RGB2BGR}},
    {{F::Rgb, F::Rgba}, {cv::COLOR_RGB2RGBA}}, {{F::Rgb, F::Bgra}, {cv::COLOR_RGB2BGRA}},
    {{F::Bgr, F::Gray}, {cv::COLOR_BGR2GRAY}}, {{F::Bgr, F::Rgb}, {cv::COLOR_BGR2RGB}},
    {{F::Bgr, F::Rgba}, {cv::COLOR_BGR2RGBA}}, {{F::Bgr, F::Bgra}, {cv::COLOR_BGR2BGRA}},
    {{F::Rgba, F::Gray}, {cv::COLOR_RGBA2GRAY}}, {{F::Rgba, F::Rgb}, {cv::COLOR_RGBA2RGB}},
    {{F::Rgba, F::Bgr}, {cv::COLOR_RGBA2BGR}}, {{F::Rgba, F::Bgra}, {cv::COLOR_RGBA2BGRA}},
    {{F::Bgra, F::Gray}, {cv::COLOR_BGRA2GRAY}}, {{F::Bgra, F::Rgb}, {cv::COLOR_BGRA2RGB}},
    {{F::Bgra, F::Bgr}, {cv::COLOR_BGRA2BGR}}, {{F::Bgra, F::Rgba}, {cv::COLOR_BGRA2RGBA}},
    {{F::Uyvy, F::Gray}, {cv::COLOR_YUV2GRAY_UYVY}}, {{F::Uyvy, F::Rgb}, {cv::COLOR_YUV2RGB_UYVY}},
    {{F::Uyvy, F::Bgr}, {cv::COLOR_YUV2BGR_UYVY}},
    {{F::Uyvy, F::Rgba}, {cv::COLOR_YUV2RGBA_UYVY}},
    {{F::Uyvy, F::Bgra}, {cv::COLOR_YUV2BGRA_UYVY}},
    {{F::Yuyv, F::Gray}, {cv::COLOR_YUV2GRAY_YUY2}}, {{F::Yuyv, F::Rgb}, {cv::COLOR_YUV2RGB_YUY2}},
    {{F::Yuyv, F::Bgr}, {cv::COLOR_YUV2BGR_YUY2}},
    {{F::Yuyv, F::Rgba}, {cv::COLOR_YUV2RGBA_YUY2}},
    {{F::Yuyv, F::Bgra}, {cv::COLOR_YUV2BGRA_YUY2}},
    {{F::BayerRggb, F::Gray}, {cv::COLOR_BayerBG2GRAY}},
    {{F::BayerRggb, F::Rgb}, {cv::COLOR_BayerBG2RGB}},
    {{F::BayerRggb, F::Bgr}, {cv::COLOR_BayerBG2BGR}},
    {{F::BayerBggr, F::Gray}, {cv::COLOR_BayerRG2GRAY}},
    {{F::BayerBggr, F::Rgb}, {cv::COLOR_BayerRG2RGB}},
    {{F::BayerBggr, F::Bgr}, {cv::COLOR_BayerRG2BGR}},
    {{F::BayerGbrg, F::Gray}, {cv::COLOR_BayerGR2GRAY}},
    {{F::BayerGbrg, F::Rgb}, {cv::COLOR_BayerGR2RGB}},
    {{F::BayerGbrg, F::Bgr}, {cv::COLOR_BayerGR2BGR}},
    {{F::BayerGrbg, F::Gray}, {cv::COLOR_BayerGB2GRAY}},
    {{F::BayerGrbg, F::Rgb}, {cv::COLOR_BayerGB2RGB}},
    {{F::BayerGrbg, F::Bgr}, {cv::COLOR_BayerGB2BGR}},
  };
  return table;
}

bool hasColourMeaning(const std::string & encoding)
{
  return enc::isColor(encoding) || enc::isMono(encoding) || enc::isBayer(encoding) ||
         encoding == enc::YUV422 || encoding == enc::YUV422_YUY2;
}

std::vector<int> conversionSteps(const std::string & from, const std::string & to)
{
  const bool same_channels = enc::numChannels(from) == enc::numChannels(to);
  if (!hasColourMeaning(from)) {
    if (hasColourMeaning(to)) {
      throw Exception(
              "[" + from + "] is not a color format. but [" + to +
              "] is. The conversion does not make sense");
    }
    if (!same_channels) {
      throw Exception("[" + from + "] and [" + to + "] do not have the same number of channel");
    }
    return {kSameFormat};
  }
  if (!hasColourMeaning(to)) {
    if (!same_channels) {
      throw Exception(
              "[" + from + "] is a color format but [" + to + "] " +
              "is not so they must have the same OpenCV type, CV_8UC3, CV16UC1 ....");
    }
    return {kSameFormat};
  }
  const auto found = conversionTable().find({familyOf(from), familyOf(to)});
  if (found == conversionTable().end()) {
    throw Exception("Unsupported conversion from [" + from + "] to [" + to + "]");
  }
  std::vector<int> steps = found->second;
  if (enc::bitDepth(from) != enc::bitDepth(to) && familyOf(from) != familyOf(to)) {
    steps.push_back(kSameFormat);
  }
  return steps;
}

bool hostIsBigEndian()
{
  const uint16_t probe = 1;
  uint8_t first_byte = 0;
  std::memcpy(&first_byte, &probe, 1);
  return first_byte == 0;
}

[[noreturn]] void stopBeforeOverrun(const std::string & what)
{
  std::fprintf(stderr, "cv_bridge stand-in: %s\n", what.c_str());
  std::abort();
}

// The real bridge hands OpenCV a matrix over the message's data without comparing the two.
void stopIfOutsideData(const cv::Mat & mat, const sensor_msgs::msg::Image & source)
{
  if (mat.rows <= 0 || mat.cols <= 0) {
    return;
  }
  const uint64_t reach = uint64_t{mat.step[0]} * static_cast<uint64_t>(mat.rows - 1) +
    uint64_t{static_cast<uint64_t>(mat.cols)} * mat.elemSize();
  if (reach > source.data.size()) {
    stopBeforeOverrun(
      "a " + std::to_string(source.height) + " x " + std::to_string(source.step) +
      "-byte-step image passed the 32-bit size check and would be read " +
      std::to_string(reach) + " bytes into " + std::to_string(source.data.size()) +
      " bytes of data");
  }
}

void stopIfOddWidthYuv422(const cv::Mat & image, int code)
{
  const bool yuv422 = code == cv::COLOR_YUV2GRAY_UYVY || code == cv::COLOR_YUV2RGB_UYVY ||
    code == cv::COLOR_YUV2BGR_UYVY || code == cv::COLOR_YUV2RGBA_UYVY ||
    code == cv::COLOR_YUV2BGRA_UYVY || code == cv::COLOR_YUV2GRAY_YUY2 ||
    code == cv::COLOR_YUV2RGB_YUY2 || code == cv::COLOR_YUV2BGR_YUY2 ||
    code == cv::COLOR_YUV2RGBA_YUY2 || code == cv::COLOR_YUV2BGRA_YUY2;
  if (yuv422 && image.cols % 2 != 0) {
    stopBeforeOverrun(
      "a " + std::to_string(image.cols) + "-pixel-wide YUV 4:2:2 image reaches cv::cvtColor, "
      "which reads and writes a pixel past every row");
  }
}

// The message's pixels as a matrix: shared when the byte order is the host's, else swapped.
cv::Mat matFromImage(const sensor_msgs::msg::Image & source)
{
  const int type = getCvType(source.encoding);
  const int byte_depth = enc::bitDepth(source.encoding) / 8;
  const int channels = enc::numChannels(source.encoding);
  // Unsigned 32-bit products, as the message fields make them.
  const uint32_t row_bytes =
    source.width * static_cast<uint32_t>(byte_depth) * static_cast<uint32_t>(channels);
  if (source.step < row_bytes) {
    std::stringstream text;
    text << "Image is wrongly formed: step < width * byte_depth * num_channels  or  " <<
      source.step << " != " << source.width << " * " << byte_depth << " * " << channels;
    throw Exception(text.str());
  }
  const uint32_t described_bytes = source.height * source.step;
  if (described_bytes != source.data.size()) {
    std::stringstream text;
    text << "Image is wrongly formed: height * step != size  or  " << source.height << " * " <<
      source.step << " != " << source.data.size();
    throw Exception(text.str());
  }
  auto * pixels = const_cast<uchar *>(source.data.data());
  const int rows = static_cast<int>(source.height);
  const int cols = static_cast<int>(source.width);
  cv::Mat mat(rows, cols, type, pixels, source.step);
  stopIfOutsideData(mat, source);
  if ((source.is_bigendian != 0) == hostIsBigEndian() || byte_depth == 1) {
    return mat;
  }
  mat = cv::Mat(rows, cols, CV_MAKETYPE(CV_8U, channels * byte_depth), pixels, source.step);
  cv::Mat swapped(rows, cols, mat.type());
  std::vector<int> from_to;
  for (int channel = 0; channel < channels; ++channel) {
    for (int byte = 0; byte < byte_depth; ++byte) {
      from_to.push_back(byte_depth * channel + byte);
      from_to.push_back(byte_depth * channel + byte_depth - 1 - byte);
    }
  }
  cv::mixChannels(std::vector<cv::Mat>{mat}, std::vector<cv::Mat>{swapped}, from_to);
  // Humble returns the swapped bytes without reinterpreting them as the message's type: a
  // big-endian 16-bit image leaves as an 8-bit matrix with twice the channels.
  return swapped;
}

cv::Mat convertMat(
  const cv::Mat & source, const std::string & from_encoding, const std::string & to_encoding)
{
  cv::Mat current = source;
  cv::Mat converted;
  for (const int code : conversionSteps(from_encoding, to_encoding)) {
    if (code == kSameFormat) {
      const int from_depth = enc::bitDepth(from_encoding);
      const int to_depth = enc::bitDepth(to_encoding);
      const int type = CV_MAKETYPE(CV_MAT_DEPTH(getCvType(to_encoding)), current.channels());
      double scale = 1.0;
      if (from_depth == 8 && to_depth == 16) {
        scale = 65535.0 / 255.0;
      } else if (from_depth == 16 && to_depth == 8) {
        scale = 255.0 / 65535.0;
      }
      current.convertTo(converted, type, scale);
    } else {
      stopIfOddWidthYuv422(current, code);
      cv::cvtColor(current, converted, code);
    }
    current = converted;
  }
  return converted;
}

CvImagePtr copyConverted(
  const cv::Mat & source, const std_msgs::msg::Header & header,
  const std::string & source_encoding, const std::string & encoding)
{
  auto copy = std::make_shared<CvImage>();
  copy->header = header;
  if (encoding.empty() || encoding == source_encoding) {
    copy->encoding = source_encoding;
    source.copyTo(copy->image);
  } else {
    copy->image = convertMat(source, source_encoding, encoding);
    copy->encoding = encoding;
  }
  return copy;
}

int depthCode(const std::string & depth)
{
  static const std::map<std::string, int> codes{
    {"8U", CV_8U}, {"8S", CV_8S}, {"16U", CV_16U}, {"16S", CV_16S}, {"32S", CV_32S},
    {"32F", CV_32F}};
  const auto found = codes.find(depth);
  return found == codes.end() ? CV_64F : found->second;
}

}  // namespace

int getCvType(const std::string & encoding)
{
  static const std::map<std::string, int> named{
    {enc::BGR8, CV_8UC3}, {enc::MONO8, CV_8UC1}, {enc::RGB8, CV_8UC3}, {enc::MONO16, CV_16UC1},
    {enc::BGR16, CV_16UC3}, {enc::RGB16, CV_16UC3}, {enc::BGRA8, CV_8UC4},
    {enc::RGBA8, CV_8UC4}, {enc::BGRA16, CV_16UC4}, {enc::RGBA16, CV_16UC4},
    {enc::BAYER_RGGB8, CV_8UC1}, {enc::BAYER_BGGR8, CV_8UC1}, {enc::BAYER_GBRG8, CV_8UC1},
    {enc::BAYER_GRBG8, CV_8UC1}, {enc::BAYER_RGGB16, CV_16UC1}, {enc::BAYER_BGGR16, CV_16UC1},
    {enc::BAYER_GBRG16, CV_16UC1}, {enc::BAYER_GRBG16, CV_16UC1},
    {enc::YUV422, CV_8UC2}, {enc::YUV422_YUY2, CV_8UC2},
  };
  const auto found = named.find(encoding);
  if (found != named.end()) {
    return found->second;
  }
  static const std::regex with_channels("(8U|8S|16U|16S|32S|32F|64F)C([0-9]+)");
  static const std::regex depth_only("(8U|8S|16U|16S|32S|32F|64F)");
  std::smatch match;
  if (std::regex_match(encoding, match, with_channels)) {
    return CV_MAKETYPE(depthCode(match[1].str()), std::atoi(match[2].str().c_str()));
  }
  if (std::regex_match(encoding, match, depth_only)) {
    return CV_MAKETYPE(depthCode(match[1].str()), 1);
  }
  throw Exception("Unrecognized image encoding [" + encoding + "]");
}

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
  return toCvCopy(*source, encoding);
}

CvImagePtr toCvCopy(const sensor_msgs::msg::Image & source, const std::string & encoding)
{
  return copyConverted(matFromImage(source), source.header, source.encoding, encoding);
}

CvImageConstPtr toCvShare(
  const sensor_msgs::msg::Image::ConstSharedPtr & source, const std::string & encoding)
{
  return toCvShare(*source, source, encoding);
}

CvImageConstPtr toCvShare(
  const sensor_msgs::msg::Image & source, const std::shared_ptr<void const> & tracked_object,
  const std::string & encoding)
{
  const bool other_encoding = !encoding.empty() && source.encoding != encoding;
  if (other_encoding || (source.is_bigendian != 0) != hostIsBigEndian()) {
    return toCvCopy(source, encoding);
  }
  auto shared = std::make_shared<CvImage>();
  shared->header = source.header;
  shared->encoding = source.encoding;
  shared->tracked_object_ = tracked_object;
  shared->image = matFromImage(source);
  return shared;
}

CvImagePtr cvtColor(const CvImageConstPtr & source, const std::string & encoding)
{
  return copyConverted(source->image, source->header, source->encoding, encoding);
}

}  // namespace cv_bridge
