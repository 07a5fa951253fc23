#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "velmora_water_stain/image_layout.hpp"

using velmora_water_stain::ImageLayout;
using velmora_water_stain::checkImageLayout;

namespace
{

struct LayoutCase
{
  const char * name;
  ImageLayout layout;
  const char * reason_part;  // nullptr: the layout is sound
};

}  // namespace

TEST(ImageLayout, SoundLayoutsPass)
{
  const std::vector<ImageLayout> sound{
    {"bgr8", 640, 480, 1920, 1920 * 480},
    {"rgb8", 1, 1, 3, 3},
    {"bgr8", 640, 480, 1927, 1927 * 480},    // padded rows
    {"bgr8", 640, 480, 1920, 1920 * 480 + 5},  // spare bytes after the last row
    {"mono16", 640, 480, 1280, 1280 * 480},
    {"rgba16", 2, 2, 16, 32},
    {"yuv422", 640, 480, 1280, 1280 * 480},
    {"yuv422_yuy2", 2, 1, 4, 4},
    {"bayer_grbg16", 4, 4, 8, 32},
  };
  for (const auto & layout : sound) {
    SCOPED_TRACE(layout.encoding + " " + std::to_string(layout.width) + "x" +
      std::to_string(layout.height));
    EXPECT_TRUE(checkImageLayout(layout).ok()) << checkImageLayout(layout).error();
  }
}

TEST(ImageLayout, LayoutsThatReachPastTheDataAreRefusedWithTheReason)
{
  constexpr uint32_t kMax = UINT32_MAX;
  const std::vector<LayoutCase> faults{
    // 65536 * 65536 wraps to 0 in 32 bits: cv_bridge's size check passes on empty data.
    {"wrapping step x height, empty data", {"bgr8", 21845, 65536, 65536, 0},
      "65536 rows of 65536 bytes need 4294967296 bytes, the data holds 0"},
    {"wrapping step x height, 64 KiB data", {"mono8", 1, 65537, 65536, 65536}, "need 4295032832"},
    // 0x80000001 * 2 wraps to 2, and the height is negative as an int.
    {"height beyond int", {"mono8", 2, 0x80000001u, 2, 2}, "larger than an image can be"},
    {"width beyond int", {"bgr8", kMax, 1, kMax, 0}, "larger than an image can be"},
    {"step shorter than a row", {"bgr8", 640, 480, 640, 640 * 480 * 3}, "shorter than a row"},
    {"step one byte short of a row", {"bgr8", 640, 480, 1919, 1919 * 480}, "(1920 bytes)"},
    // 0x55555556 * 3 wraps to 2 in 32 bits: cv_bridge's step check passes.
    {"row bytes wrapping", {"bgr8", 0x55555556u, 1, 2, 2}, "(4294967298 bytes)"},
    {"row bytes beyond the step", {"rgba16", 0x20000000u, 1, kMax, 4}, "shorter than a row"},
    {"data one row short", {"bgr8", 640, 480, 1920, 1920 * 479}, "the data holds 919680"},
    {"odd-width yuv422", {"yuv422", 641, 480, 1282, 1282 * 480}, "needs an even width"},
    {"odd-width yuv422_yuy2", {"yuv422_yuy2", 1, 1, 2, 2}, "needs an even width"},
    // cv_bridge takes &data[0], which an empty message does not have.
    {"no pixels, no data", {"bgr8", 0, 0, 0, 0}, "0 x 0 pixels has no pixels to judge"},
    {"no columns, some data", {"mono8", 0, 480, 0, 16}, "has no pixels"},
    {"no rows", {"bgr8", 640, 0, 1920, 0}, "has no pixels"},
  };
  for (const auto & fault : faults) {
    SCOPED_TRACE(fault.name);
    const auto checked = checkImageLayout(fault.layout);
    ASSERT_FALSE(checked.ok());
    EXPECT_NE(checked.error().find(fault.reason_part), std::string::npos) << checked.error();
  }
}

TEST(ImageLayout, EncodingsThatCannotBecomeBgr8AreRefusedByName)
{
  for (const std::string encoding : {"", "BGR8", "jpeg", "32FC7", "8UC3", "16UC1", "nv21"}) {
    const auto checked = checkImageLayout({encoding, 2, 2, 64, 128});
    ASSERT_FALSE(checked.ok()) << encoding;
    EXPECT_EQ(checked.error(), "image encoding [" + encoding + "] cannot be converted to bgr8");
  }
}
