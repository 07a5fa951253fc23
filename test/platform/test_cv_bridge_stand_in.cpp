#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "cv_bridge/cv_bridge.h"

namespace
{

sensor_msgs::msg::Image makeMessage(
  const std::string & encoding, uint32_t width, uint32_t height, uint32_t step,
  std::vector<uint8_t> data, bool big_endian = false)
{
  sensor_msgs::msg::Image message;
  message.header.frame_id = "camera";
  message.header.stamp.sec = 12;
  message.header.stamp.nanosec = 34;
  message.encoding = encoding;
  message.width = width;
  message.height = height;
  message.step = step;
  message.is_bigendian = big_endian;
  message.data = std::move(data);
  return message;
}

struct ConversionCase
{
  std::string name;
  sensor_msgs::msg::Image message;
  std::vector<cv::Vec3b> expected_bgr;  // row-major
};

}  // namespace

TEST(CvBridgeStandIn, ConvertsEachSourceEncodingToBgr8)
{
  const std::vector<ConversionCase> cases{
    {"bgr8", makeMessage("bgr8", 2, 1, 6, {10, 20, 30, 40, 50, 60}), {{10, 20, 30}, {40, 50, 60}}},
    {"rgb8", makeMessage("rgb8", 2, 1, 6, {30, 20, 10, 60, 50, 40}), {{10, 20, 30}, {40, 50, 60}}},
    {"bgra8", makeMessage("bgra8", 1, 2, 4, {10, 20, 30, 255, 40, 50, 60, 0}),
      {{10, 20, 30}, {40, 50, 60}}},
    {"rgba8", makeMessage("rgba8", 1, 2, 4, {30, 20, 10, 255, 60, 50, 40, 0}),
      {{10, 20, 30}, {40, 50, 60}}},
    {"mono8", makeMessage("mono8", 2, 1, 2, {0, 77}), {{0, 0, 0}, {77, 77, 77}}},
    // cv_bridge scales 16 to 8 bits by 255/65535 and rounds.
    {"mono16 little-endian", makeMessage("mono16", 3, 1, 6, {0xff, 0xff, 0x00, 0x80, 0x01, 0x00}),
      {{255, 255, 255}, {128, 128, 128}, {0, 0, 0}}},
    {"bayer_rggb8", makeMessage("bayer_rggb8", 4, 4, 4, std::vector<uint8_t>(16, 90)),
      std::vector<cv::Vec3b>(16, {90, 90, 90})},
    {"padded rows", makeMessage("mono8", 1, 2, 4, {5, 99, 99, 99, 6, 99, 99, 99}),
      {{5, 5, 5}, {6, 6, 6}}},
    // Video-range luma: 16 is black, 235 white; neutral chroma is 128.
    {"yuv422 (UYVY)", makeMessage("yuv422", 2, 1, 4, {128, 16, 128, 235}),
      {{0, 0, 0}, {255, 255, 255}}},
    {"yuv422_yuy2 (YUYV)", makeMessage("yuv422_yuy2", 2, 1, 4, {16, 128, 235, 128}),
      {{0, 0, 0}, {255, 255, 255}}},
  };
  for (const auto & test_case : cases) {
    SCOPED_TRACE(test_case.name);
    const cv_bridge::CvImagePtr converted = cv_bridge::toCvCopy(test_case.message, "bgr8");
    ASSERT_EQ(converted->image.type(), CV_8UC3);
    EXPECT_EQ(converted->encoding, "bgr8");
    EXPECT_EQ(converted->header, test_case.message.header);
    ASSERT_EQ(converted->image.total(), test_case.expected_bgr.size());
    for (std::size_t i = 0; i < test_case.expected_bgr.size(); ++i) {
      const cv::Vec3b pixel = converted->image.at<cv::Vec3b>(static_cast<int>(i));
      EXPECT_LE(cv::norm(pixel, test_case.expected_bgr[i], cv::NORM_INF), 2.0) << "pixel " << i;
    }
  }
}

TEST(CvBridgeStandIn, KeepsTheEncodingWhenNoneOrTheSameIsAsked)
{
  const auto message = std::make_shared<sensor_msgs::msg::Image>(
    makeMessage("mono16", 2, 1, 4, {0x34, 0x12, 0x78, 0x56}));
  for (const std::string target : {"", "mono16"}) {
    const cv_bridge::CvImagePtr kept = cv_bridge::toCvCopy(message, target);
    EXPECT_EQ(kept->encoding, "mono16");
    ASSERT_EQ(kept->image.type(), CV_16UC1);
    EXPECT_EQ(kept->image.at<uint16_t>(0), 0x1234);
    EXPECT_EQ(kept->image.at<uint16_t>(1), 0x5678);
  }
}

TEST(CvBridgeStandIn, RefusesWhatHumbleRefusesWithItsTexts)
{
  const std::vector<std::pair<sensor_msgs::msg::Image, std::string>> refused{
    {makeMessage("jpeg", 1, 1, 3, {1, 2, 3}), "Unrecognized image encoding [jpeg]"},
    {makeMessage("bgr8", 2, 1, 5, {1, 2, 3, 4, 5, 6}),
      "Image is wrongly formed: step < width * byte_depth * num_channels  or  5 != 2 * 1 * 3"},
    {makeMessage("bgr8", 2, 2, 6, {1, 2, 3, 4, 5, 6}),
      "Image is wrongly formed: height * step != size  or  2 * 6 != 6"},
    // More data than the rows need is refused too.
    {makeMessage("mono8", 1, 1, 1, {1, 2}),
      "Image is wrongly formed: height * step != size  or  1 * 1 != 2"},
    {makeMessage("32FC7", 1, 1, 28, std::vector<uint8_t>(28)),
      "[32FC7] is not a color format. but [bgr8] is. The conversion does not make sense"},
  };
  for (const auto & [message, text] : refused) {
    SCOPED_TRACE(text);
    try {
      cv_bridge::toCvCopy(message, "bgr8");
      ADD_FAILURE() << "converted";
    } catch (const cv_bridge::Exception & error) {
      EXPECT_EQ(error.what(), text);
    }
  }
  // sensor_msgs' own lookup fails before cv_bridge's checks for an unknown target.
  EXPECT_THROW(
    cv_bridge::toCvCopy(makeMessage("bgr8", 1, 1, 3, {1, 2, 3}), "no_such_encoding"),
    std::runtime_error);
}

// Humble multiplies the 32-bit message fields in 32 bits: a wrapped product passes its check
// and the layout goes on to OpenCV, which refuses some matrices and reads past others.
TEST(CvBridgeStandIn, SizeProductsWrapAt32BitsAsInHumble)
{
  constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();
  const std::vector<std::pair<std::string, sensor_msgs::msg::Image>> passed_on{
    // 65536 * 65536 == 0 == data.size(): OpenCV refuses a matrix over no data.
    {"bgr8, empty data", makeMessage("bgr8", 21845, 65536, 65536, {})},
    // 0x80000001 * 2 == 2: the height is negative as an int.
    {"height 0x80000001", makeMessage("mono8", 2, 0x80000001u, 2, {1, 2})},
    {"height and step 2^32 - 1", makeMessage("mono8", 1, kMax, kMax, {1})},
  };
  for (const auto & [name, message] : passed_on) {
    SCOPED_TRACE(name);
    try {
      cv_bridge::toCvCopy(message, "bgr8");
      ADD_FAILURE() << "converted";
    } catch (const cv_bridge::Exception & error) {
      ADD_FAILURE() << "cv_bridge refused it: " << error.what();
    } catch (const cv::Exception & error) {
      EXPECT_NE(std::string(error.what()).find("Assertion failed"), std::string::npos);
    }
  }
}

TEST(CvBridgeStandInDeathTest, StopsWhereHumbleWouldOverrunTheData)
{
  // 65537 * 65536 wraps to 65536, the data's size; the rows reach 4 GiB past it.
  const auto wrapped = makeMessage("mono8", 1, 65537, 65536, std::vector<uint8_t>(65536));
  EXPECT_DEATH(cv_bridge::toCvCopy(wrapped, "bgr8"), "would be read 4294967297 bytes into 65536");
  EXPECT_DEATH(cv_bridge::toCvCopy(wrapped), "would be read");
  // OpenCV converts odd-width YUV 4:2:2 a pixel past every row; Humble does not check.
  const auto odd_yuv = makeMessage("yuv422", 3, 1, 6, {128, 16, 128, 16, 128, 16});
  EXPECT_DEATH(cv_bridge::toCvCopy(odd_yuv, "bgr8"), "3-pixel-wide YUV 4:2:2");
}

TEST(CvBridgeStandIn, BigEndianSixteenBitsKeepTheirBytesAsChannels)
{
  const auto mono = makeMessage("mono16", 2, 1, 4, {0x80, 0x00, 0xff, 0xff}, true);
  EXPECT_THROW(cv_bridge::toCvCopy(mono, "bgr8"), cv::Exception);
  const auto colour = makeMessage("bgr16", 1, 1, 6, {0, 1, 0, 2, 0, 3}, true);
  const cv_bridge::CvImagePtr converted = cv_bridge::toCvCopy(colour, "bgr8");
  EXPECT_EQ(converted->encoding, "bgr8");
  EXPECT_EQ(converted->image.type(), CV_8UC(6));
}

TEST(CvBridgeStandIn, ShareKeepsTheMessagesPixelsAndCvtColorConverts)
{
  const auto message = std::make_shared<sensor_msgs::msg::Image>(
    makeMessage("rgb8", 2, 1, 6, {30, 20, 10, 60, 50, 40}));
  const cv_bridge::CvImageConstPtr shared = cv_bridge::toCvShare(message);
  EXPECT_EQ(shared->image.data, message->data.data());
  const cv_bridge::CvImageConstPtr copied = cv_bridge::toCvShare(message, "bgr8");
  EXPECT_NE(copied->image.data, message->data.data());
  const cv_bridge::CvImagePtr converted = cv_bridge::cvtColor(shared, "bgr8");
  EXPECT_EQ(converted->image.at<cv::Vec3b>(1), cv::Vec3b(40, 50, 60));
  EXPECT_EQ(cv::norm(converted->image, copied->image, cv::NORM_INF), 0.0);
  EXPECT_EQ(cv_bridge::getCvType("32FC7"), CV_32FC(7));
  EXPECT_THROW(cv_bridge::getCvType("BGR8"), cv_bridge::Exception);
}

TEST(CvBridgeStandIn, ZeroSizedImages)
{
  const cv_bridge::CvImagePtr kept = cv_bridge::toCvCopy(makeMessage("bgr8", 0, 0, 0, {}), "bgr8");
  EXPECT_TRUE(kept->image.empty());
  // Converting colours needs pixels: cv::cvtColor refuses an empty matrix.
  EXPECT_THROW(cv_bridge::toCvCopy(makeMessage("rgb8", 0, 0, 0, {}), "bgr8"), cv::Exception);
}

TEST(CvBridgeStandIn, ImageMessageRoundTrip)
{
  cv::Mat image(3, 4, CV_8UC3);
  cv::randu(image, 0, 256);
  std_msgs::msg::Header header;
  header.frame_id = "camera_05_color_optical_frame";
  header.stamp.sec = 1700000000;
  header.stamp.nanosec = 5;
  // A region of a larger image is not contiguous; the message must still be tightly packed.
  cv::Mat canvas(5, 9, CV_8UC3, cv::Scalar(7, 7, 7));
  image.copyTo(canvas(cv::Rect(2, 1, 4, 3)));
  const cv_bridge::CvImage original(header, "bgr8", canvas(cv::Rect(2, 1, 4, 3)));

  const sensor_msgs::msg::Image::SharedPtr message = original.toImageMsg();
  EXPECT_EQ(message->header, header);
  EXPECT_EQ(message->encoding, "bgr8");
  EXPECT_EQ(message->width, 4u);
  EXPECT_EQ(message->height, 3u);
  EXPECT_EQ(message->step, 12u);
  EXPECT_EQ(message->data.size(), 36u);

  const cv_bridge::CvImagePtr back = cv_bridge::toCvCopy(message, "bgr8");
  EXPECT_EQ(cv::norm(back->image, image, cv::NORM_INF), 0.0);
  sensor_msgs::msg::Image again;
  back->toImageMsg(again);
  EXPECT_EQ(again, *message);
}
