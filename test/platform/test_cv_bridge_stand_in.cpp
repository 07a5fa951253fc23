#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
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
    {"mono16 big-endian", makeMessage("mono16", 2, 1, 4, {0x80, 0x00, 0xff, 0xff}, true),
      {{128, 128, 128}, {255, 255, 255}}},
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

TEST(CvBridgeStandIn, RejectsMessagesThatDoNotDescribeTheirPixels)
{
  constexpr uint32_t kHuge = std::numeric_limits<uint32_t>::max();
  const std::vector<std::pair<std::string, sensor_msgs::msg::Image>> bad{
    {"unknown encoding", makeMessage("jpeg", 1, 1, 3, {1, 2, 3})},
    {"step shorter than a row", makeMessage("bgr8", 2, 1, 5, {1, 2, 3, 4, 5, 6})},
    {"data shorter than step x height", makeMessage("bgr8", 2, 2, 6, {1, 2, 3, 4, 5, 6})},
    {"odd yuv422 width", makeMessage("yuv422", 3, 1, 6, {1, 2, 3, 4, 5, 6})},
    {"row bytes beyond 32 bits", makeMessage("bgra8", 1u << 30, 1, kHuge, {1, 2, 3, 4})},
    {"step x height beyond 32 bits", makeMessage("mono8", 1, kHuge, kHuge, {1})},
    {"width beyond an image's range", makeMessage("mono8", 1u << 31, 1, kHuge, {1})},
  };
  for (const auto & [name, message] : bad) {
    SCOPED_TRACE(name);
    EXPECT_THROW(cv_bridge::toCvCopy(message, "bgr8"), cv_bridge::Exception);
    EXPECT_THROW(cv_bridge::toCvCopy(message), cv_bridge::Exception);
  }
}

TEST(CvBridgeStandIn, RejectsUnsupportedTargets)
{
  const auto message = makeMessage("bgr8", 1, 1, 3, {1, 2, 3});
  EXPECT_THROW(cv_bridge::toCvCopy(message, "mono16"), cv_bridge::Exception);
  EXPECT_THROW(cv_bridge::toCvCopy(message, "no_such_encoding"), cv_bridge::Exception);
  EXPECT_THROW(
    cv_bridge::toCvCopy(sensor_msgs::msg::Image::ConstSharedPtr(), "bgr8"), cv_bridge::Exception);
}

TEST(CvBridgeStandIn, ZeroSizedImageGivesAnEmptyMatrix)
{
  const cv_bridge::CvImagePtr converted =
    cv_bridge::toCvCopy(makeMessage("rgb8", 0, 0, 0, {}), "bgr8");
  EXPECT_TRUE(converted->image.empty());
  EXPECT_EQ(converted->encoding, "bgr8");
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
