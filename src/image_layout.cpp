#include "velmora_water_stain/image_layout.hpp"

#include <limits>
#include <map>

namespace velmora_water_stain
{

namespace
{

// Bytes per pixel of every encoding cv_bridge converts to bgr8.
std::optional<uint64_t> bytesPerPixel(const std::string & encoding)
{
  static const std::map<std::string, uint64_t> sizes{
    {"mono8", 1}, {"mono16", 2}, {"bgr8", 3}, {"rgb8", 3}, {"bgr16", 6}, {"rgb16", 6},
    {"bgra8", 4}, {"rgba8", 4}, {"bgra16", 8}, {"rgba16", 8},
    {"bayer_rggb8", 1}, {"bayer_bggr8", 1}, {"bayer_gbrg8", 1}, {"bayer_grbg8", 1},
    {"bayer_rggb16", 2}, {"bayer_bggr16", 2}, {"bayer_gbrg16", 2}, {"bayer_grbg16", 2},
    {"yuv422", 2}, {"yuv422_yuy2", 2},
  };
  const auto found = sizes.find(encoding);
  if (found == sizes.end()) {
    return std::nullopt;
  }
  return found->second;
}

bool isYuv422(const std::string & encoding)
{
  return encoding == "yuv422" || encoding == "yuv422_yuy2";
}

}  // namespace

Status checkImageLayout(const ImageLayout & layout)
{
  const auto pixel_bytes = bytesPerPixel(layout.encoding);
  if (!pixel_bytes) {
    return Failure{"image encoding [" + layout.encoding + "] cannot be converted to bgr8"};
  }
  if (layout.width == 0 || layout.height == 0) {
    // cv_bridge would index the first byte of data such an image need not have.
    return Failure{"image of " + std::to_string(layout.width) + " x " +
             std::to_string(layout.height) + " pixels has no pixels to judge"};
  }
  constexpr uint64_t kMaxSide = std::numeric_limits<int>::max();
  if (layout.width > kMaxSide || layout.height > kMaxSide) {
    return Failure{"image of " + std::to_string(layout.width) + " x " +
             std::to_string(layout.height) + " pixels is larger than an image can be"};
  }
  const uint64_t row_bytes = uint64_t{layout.width} * *pixel_bytes;
  if (layout.step < row_bytes) {
    return Failure{"step of " + std::to_string(layout.step) + " bytes is shorter than a row of " +
             std::to_string(layout.width) + " " + layout.encoding + " pixels (" +
             std::to_string(row_bytes) + " bytes)"};
  }
  const uint64_t described_bytes = uint64_t{layout.step} * layout.height;
  if (described_bytes > layout.data_size) {
    return Failure{std::to_string(layout.height) + " rows of " + std::to_string(layout.step) +
             " bytes need " + std::to_string(described_bytes) + " bytes, the data holds " +
             std::to_string(layout.data_size)};
  }
  if (isYuv422(layout.encoding) && layout.width % 2 != 0) {
    return Failure{layout.encoding + " image is " + std::to_string(layout.width) +
             " pixels wide; YUV 4:2:2 needs an even width"};
  }
  return success();
}

}  // namespace velmora_water_stain
