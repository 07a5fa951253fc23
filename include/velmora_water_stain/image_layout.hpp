#ifndef VELMORA_WATER_STAIN__IMAGE_LAYOUT_HPP_
#define VELMORA_WATER_STAIN__IMAGE_LAYOUT_HPP_

#include <cstddef>
#include <cstdint>
#include <string>

#include "velmora_water_stain/result.hpp"

namespace velmora_water_stain
{

// The fields of an image message that say where its pixels lie.
struct ImageLayout
{
  std::string encoding;
  uint32_t width;
  uint32_t height;
  uint32_t step;
  std::size_t data_size;
};

// Fails, saying why, when an image of this layout must not be handed to cv_bridge for
// conversion to bgr8; succeeds when every pixel lies inside the data. cv_bridge checks the sizes
// in 32-bit arithmetic, where height * step can wrap to the data size, and leaves odd-width
// YUV 4:2:2 to OpenCV, which then converts past every row; here everything is computed in 64
// bits, and encodings that cannot become bgr8 are refused by name. An image without pixels is
// refused too: cv_bridge indexes its first data byte, which such a message need not have.
Status checkImageLayout(const ImageLayout & layout);

}  // namespace velmora_water_stain

#endif  // VELMORA_WATER_STAIN__IMAGE_LAYOUT_HPP_
