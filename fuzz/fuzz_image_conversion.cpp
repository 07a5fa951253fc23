// Arbitrary image messages through the conversion every camera pipeline starts with: the
// node's layout guard, then cv_bridge. Whatever the guard lets through must convert without a
// memory error (the cv_bridge stand-in aborts where the real one would overrun the data), and a
// bgr8 result must be what was asked for.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "cv_bridge/cv_bridge.h"
#include "fuzz_support.hpp"
#include "sensor_msgs/image_encodings.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "velmora_water_stain/image_layout.hpp"

namespace
{

namespace enc = sensor_msgs::image_encodings;

// Large enough for every layout branch, small enough to keep thousands of runs per second.
constexpr std::size_t kMaxDataBytes = 1 << 20;

// Every encoding sensor_msgs names; the twelve this bridge converts come first.
const char * const kEncodings[] = {
  enc::RGB8, enc::RGBA8, enc::RGB16, enc::RGBA16, enc::BGR8, enc::BGRA8, enc::BGR16,
  enc::BGRA16, enc::MONO8, enc::MONO16, enc::YUV422, enc::YUV422_YUY2,
  enc::TYPE_8UC1, enc::TYPE_8UC2, enc::TYPE_8UC3, enc::TYPE_8UC4,
  enc::TYPE_8SC1, enc::TYPE_8SC2, enc::TYPE_8SC3, enc::TYPE_8SC4,
  enc::TYPE_16UC1, enc::TYPE_16UC2, enc::TYPE_16UC3, enc::TYPE_16UC4,
  enc::TYPE_16SC1, enc::TYPE_16SC2, enc::TYPE_16SC3, enc::TYPE_16SC4,
  enc::TYPE_32SC1, enc::TYPE_32SC2, enc::TYPE_32SC3, enc::TYPE_32SC4,
  enc::TYPE_32FC1, enc::TYPE_32FC2, enc::TYPE_32FC3, enc::TYPE_32FC4,
  enc::TYPE_64FC1, enc::TYPE_64FC2, enc::TYPE_64FC3, enc::TYPE_64FC4,
  enc::BAYER_RGGB8, enc::BAYER_BGGR8, enc::BAYER_GBRG8, enc::BAYER_GRBG8,
  enc::BAYER_RGGB16, enc::BAYER_BGGR16, enc::BAYER_GBRG16, enc::BAYER_GRBG16};

// For made-up encodings ("8UC-3", "32FC999999") any positive size will do.
int bytesPerPixel(const std::string & encoding)
{
  try {
    const int64_t bytes = int64_t{enc::numChannels(encoding)} * enc::bitDepth(encoding) / 8;
    return bytes >= 1 && bytes <= 64 ? static_cast<int>(bytes) : 1;
  } catch (const std::runtime_error &) {
    return 1;
  }
}

std::string consumeEncoding(FuzzedDataProvider & data)
{
  if (data.ConsumeBool()) {
    return data.ConsumeRandomLengthString(32);
  }
  return data.PickValueInArray(kEncodings);
}

// The input's pixel bytes repeated to fill `size`, so a short input still makes a large image.
std::vector<uint8_t> repeatToSize(std::vector<uint8_t> pattern, std::size_t size)
{
  const std::size_t pattern_size = pattern.size();
  pattern.resize(size);
  if (pattern_size == 0) {
    return pattern;
  }
  // Doubling copies keep this cheap under the fuzzer's instrumentation of loops.
  for (std::size_t filled = pattern_size; filled < size; filled *= 2) {
    std::memcpy(pattern.data() + filled, pattern.data(), std::min(filled, size - filled));
  }
  return pattern;
}

// Mostly self-consistent messages (so conversions run), sometimes any field at all.
sensor_msgs::msg::Image consumeImage(FuzzedDataProvider & data)
{
  sensor_msgs::msg::Image msg;
  msg.encoding = consumeEncoding(data);
  const bool arbitrary_sizes = data.ConsumeBool();
  msg.width = arbitrary_sizes ? data.ConsumeIntegral<uint32_t>() :
    data.ConsumeIntegralInRange<uint32_t>(0, 64);
  msg.height = arbitrary_sizes ? data.ConsumeIntegral<uint32_t>() :
    data.ConsumeIntegralInRange<uint32_t>(0, 64);
  const uint64_t packed_step = uint64_t{msg.width} * bytesPerPixel(msg.encoding);
  msg.step = data.ConsumeBool() ? data.ConsumeIntegral<uint32_t>() :
    static_cast<uint32_t>(packed_step + data.ConsumeIntegralInRange<uint32_t>(0, 8));
  msg.is_bigendian = data.ConsumeIntegral<uint8_t>();
  const uint64_t described = uint64_t{msg.step} * msg.height;
  const std::size_t size = data.ConsumeBool() ?
    data.ConsumeIntegralInRange<std::size_t>(0, kMaxDataBytes) :
    static_cast<std::size_t>(std::min<uint64_t>(described, kMaxDataBytes));
  msg.data = repeatToSize(data.ConsumeRemainingBytes<uint8_t>(), size);
  return msg;
}

void checkConverted(const sensor_msgs::msg::Image & msg, const cv_bridge::CvImage & converted)
{
  if (converted.encoding != enc::BGR8) {
    fuzz_support::fail("the converted image does not report bgr8");
  }
  if (msg.width == 0 || msg.height == 0) {
    if (!converted.image.empty()) {
      fuzz_support::fail("an image without pixels converted to a non-empty image");
    }
    return;
  }
  const cv::Mat & image = converted.image;
  if (image.type() != CV_8UC3 || image.cols != static_cast<int>(msg.width) ||
    image.rows != static_cast<int>(msg.height))
  {
    fuzz_support::fail("the converted image's type or size differs from the message");
  }
  if (msg.encoding != enc::BGR8) {
    return;
  }
  for (int row = 0; row < image.rows; ++row) {
    if (std::memcmp(image.ptr(row), msg.data.data() + row * std::size_t{msg.step},
      image.cols * image.elemSize()) != 0)
    {
      fuzz_support::fail("a bgr8 image changed its pixels on the way through");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t * bytes, std::size_t size)
{
  FuzzedDataProvider data(bytes, size);
  const sensor_msgs::msg::Image msg = consumeImage(data);
  if (!velmora_water_stain::checkImageLayout(
      {msg.encoding, msg.width, msg.height, msg.step, msg.data.size()}))
  {
    return 0;
  }
  cv_bridge::CvImagePtr converted;
  try {
    converted = cv_bridge::toCvCopy(msg, enc::BGR8);
  } catch (const std::exception &) {
    return 0;
  }
  if (!converted) {
    fuzz_support::fail("toCvCopy returned no image");
  }
  if (!converted->image.empty() && converted->image.type() != CV_8UC3) {
    return 0;
  }
  checkConverted(msg, *converted);
  return 0;
}
