#ifndef SENSOR_MSGS__IMAGE_ENCODINGS_HPP_
#define SENSOR_MSGS__IMAGE_ENCODINGS_HPP_

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace sensor_msgs
{
namespace image_encodings
{
const char RGB8[] = "rgb8";
const char RGBA8[] = "rgba8";
const char RGB16[] = "rgb16";
const char RGBA16[] = "rgba16";
const char BGR8[] = "bgr8";
const char BGRA8[] = "bgra8";
const char BGR16[] = "bgr16";
const char BGRA16[] = "bgra16";
const char MONO8[] = "mono8";
const char MONO16[] = "mono16";

// OpenCV matrix types
const char TYPE_8UC1[] = "8UC1";
const char TYPE_8UC2[] = "8UC2";
const char TYPE_8UC3[] = "8UC3";
const char TYPE_8UC4[] = "8UC4";
const char TYPE_8SC1[] = "8SC1";
const char TYPE_8SC2[] = "8SC2";
const char TYPE_8SC3[] = "8SC3";
const char TYPE_8SC4[] = "8SC4";
const char TYPE_16UC1[] = "16UC1";
const char TYPE_16UC2[] = "16UC2";
const char TYPE_16UC3[] = "16UC3";
const char TYPE_16UC4[] = "16UC4";
const char TYPE_16SC1[] = "16SC1";
const char TYPE_16SC2[] = "16SC2";
const char TYPE_16SC3[] = "16SC3";
const char TYPE_16SC4[] = "16SC4";
const char TYPE_32SC1[] = "32SC1";
const char TYPE_32SC2[] = "32SC2";
const char TYPE_32SC3[] = "32SC3";
const char TYPE_32SC4[] = "32SC4";
const char TYPE_32FC1[] = "32FC1";
const char TYPE_32FC2[] = "32FC2";
const char TYPE_32FC3[] = "32FC3";
const char TYPE_32FC4[] = "32FC4";
const char TYPE_64FC1[] = "64FC1";
const char TYPE_64FC2[] = "64FC2";
const char TYPE_64FC3[] = "64FC3";
const char TYPE_64FC4[] = "64FC4";

// Bayer encodings
const char BAYER_RGGB8[] = "bayer_rggb8";
const char BAYER_BGGR8[] = "bayer_bggr8";
const char BAYER_GBRG8[] = "bayer_gbrg8";
const char BAYER_GRBG8[] = "bayer_grbg8";
const char BAYER_RGGB16[] = "bayer_rggb16";
const char BAYER_BGGR16[] = "bayer_bggr16";
const char BAYER_GBRG16[] = "bayer_gbrg16";
const char BAYER_GRBG16[] = "bayer_grbg16";

// YUV 4:2:2 with 8-bit depth: UYVY order, and YUYV order
const char YUV422[] = "yuv422";
const char YUV422_YUY2[] = "yuv422_yuy2";

// Prefixes for abstract image encodings
const char ABSTRACT_ENCODING_PREFIXES[][5] = {
  "8UC", "8SC", "16UC", "16SC", "32SC", "32FC", "64FC"
};

static inline bool isColor(const std::string & encoding)
{
  return encoding == RGB8 || encoding == BGR8 ||
         encoding == RGBA8 || encoding == BGRA8 ||
         encoding == RGB16 || encoding == BGR16 ||
         encoding == RGBA16 || encoding == BGRA16;
}

static inline bool isMono(const std::string & encoding)
{
  return encoding == MONO8 || encoding == MONO16;
}

static inline bool isBayer(const std::string & encoding)
{
  return encoding == BAYER_RGGB8 || encoding == BAYER_BGGR8 ||
         encoding == BAYER_GBRG8 || encoding == BAYER_GRBG8 ||
         encoding == BAYER_RGGB16 || encoding == BAYER_BGGR16 ||
         encoding == BAYER_GBRG16 || encoding == BAYER_GRBG16;
}

static inline bool hasAlpha(const std::string & encoding)
{
  return encoding == RGBA8 || encoding == BGRA8 ||
         encoding == RGBA16 || encoding == BGRA16;
}

static inline int numChannels(const std::string & encoding)
{
  if (encoding == MONO8 || encoding == MONO16) {
    return 1;
  }
  if (encoding == BGR8 || encoding == RGB8 || encoding == BGR16 || encoding == RGB16) {
    return 3;
  }
  if (encoding == BGRA8 || encoding == RGBA8 || encoding == BGRA16 || encoding == RGBA16) {
    return 4;
  }
  if (isBayer(encoding)) {
    return 1;
  }
  // Generic content, e.g. "8UC" -> 1, "8UC5" -> 5
  for (const char * prefix : ABSTRACT_ENCODING_PREFIXES) {
    const std::string prefix_text(prefix);
    if (encoding.compare(0, prefix_text.size(), prefix_text) != 0) {
      continue;
    }
    if (encoding.size() == prefix_text.size()) {
      return 1;
    }
    const int channels = std::atoi(encoding.substr(prefix_text.size()).c_str());
    if (channels != 0) {
      return channels;
    }
  }
  if (encoding == YUV422 || encoding == YUV422_YUY2) {
    return 2;
  }
  throw std::runtime_error("Unknown encoding " + encoding);
}

static inline int bitDepth(const std::string & encoding)
{
  if (encoding == MONO16) {
    return 16;
  }
  if (encoding == MONO8 || encoding == BGR8 || encoding == RGB8 || encoding == BGRA8 ||
    encoding == RGBA8 || encoding == BAYER_RGGB8 || encoding == BAYER_BGGR8 ||
    encoding == BAYER_GBRG8 || encoding == BAYER_GRBG8)
  {
    return 8;
  }
  if (encoding == BGR16 || encoding == RGB16 || encoding == BGRA16 || encoding == RGBA16 ||
    encoding == BAYER_RGGB16 || encoding == BAYER_BGGR16 || encoding == BAYER_GBRG16 ||
    encoding == BAYER_GRBG16)
  {
    return 16;
  }
  for (const char * prefix : ABSTRACT_ENCODING_PREFIXES) {
    const std::string prefix_text(prefix);
    if (encoding.compare(0, prefix_text.size(), prefix_text) != 0) {
      continue;
    }
    if (prefix_text == "8UC" || prefix_text == "8SC") {
      return 8;
    }
    if (prefix_text == "16UC" || prefix_text == "16SC") {
      return 16;
    }
    if (prefix_text == "32SC" || prefix_text == "32FC") {
      return 32;
    }
    return 64;
  }
  if (encoding == YUV422 || encoding == YUV422_YUY2) {
    return 8;
  }
  throw std::runtime_error("Unknown encoding " + encoding);
}

}  // namespace image_encodings
}  // namespace sensor_msgs

#endif  // SENSOR_MSGS__IMAGE_ENCODINGS_HPP_
