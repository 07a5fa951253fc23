#ifndef CV_BRIDGE__CV_BRIDGE_H_
#define CV_BRIDGE__CV_BRIDGE_H_

#include <memory>
#include <stdexcept>
#include <string>

#include <opencv2/core.hpp>

#include "sensor_msgs/image_encodings.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "std_msgs/msg/header.hpp"

namespace cv_bridge
{

class Exception : public std::runtime_error
{
public:
  explicit Exception(const std::string & description)
  : std::runtime_error(description) {}
};

class CvImage;

typedef std::shared_ptr<CvImage> CvImagePtr;
typedef std::shared_ptr<CvImage const> CvImageConstPtr;

class CvImage
{
public:
  std_msgs::msg::Header header;
  std::string encoding;
  cv::Mat image;

  CvImage() {}

  CvImage(
    const std_msgs::msg::Header & header, const std::string & encoding,
    const cv::Mat & image = cv::Mat())
  : header(header), encoding(encoding), image(image)
  {
  }

  sensor_msgs::msg::Image::SharedPtr toImageMsg() const;
  void toImageMsg(sensor_msgs::msg::Image & ros_image) const;

  typedef std::shared_ptr<CvImage> Ptr;
  typedef std::shared_ptr<CvImage const> ConstPtr;
};

// Copies `source` into a CvImage converted to `encoding` (empty: keep the source's encoding).
// This build converts to "bgr8", "rgb8", "bgra8", "rgba8" and "mono8" from those, from
// "mono16", the 16-bit colour encodings, "yuv422" (UYVY) and "yuv422_yuy2" (YUYV); 16 bits
// become 8 by scaling with 255/65535. Throws Exception for an unknown encoding, an unsupported
// conversion or a message whose step, data size or dimensions do not describe its pixels.
CvImagePtr toCvCopy(
  const sensor_msgs::msg::Image::ConstSharedPtr & source,
  const std::string & encoding = std::string());

CvImagePtr toCvCopy(
  const sensor_msgs::msg::Image & source,
  const std::string & encoding = std::string());

}  // namespace cv_bridge

#endif  // CV_BRIDGE__CV_BRIDGE_H_
