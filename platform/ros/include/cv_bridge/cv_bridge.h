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

protected:
  std::shared_ptr<void const> tracked_object_;

  friend CvImageConstPtr toCvShare(
    const sensor_msgs::msg::Image & source, const std::shared_ptr<void const> & tracked_object,
    const std::string & encoding);
};

// Humble's conversions, with its checks and nothing more: the step and data size are compared
// in unsigned 32-bit arithmetic, so a product that wraps passes; odd-width YUV 4:2:2 goes to
// cv::cvtColor unchecked; big-endian 16-bit images leave with their bytes split into twice the
// channels. Throws Exception (unknown encoding, wrongly formed image, unsupported conversion),
// std::runtime_error (sensor_msgs encodings such as "8UC0") or cv::Exception (OpenCV refusing
// the matrix). Where the real library would then read or write outside the message's data, the
// stand-in aborts with a message on standard error.
CvImagePtr toCvCopy(
  const sensor_msgs::msg::Image::ConstSharedPtr & source,
  const std::string & encoding = std::string());

CvImagePtr toCvCopy(
  const sensor_msgs::msg::Image & source,
  const std::string & encoding = std::string());

CvImageConstPtr toCvShare(
  const sensor_msgs::msg::Image::ConstSharedPtr & source,
  const std::string & encoding = std::string());

CvImageConstPtr toCvShare(
  const sensor_msgs::msg::Image & source, const std::shared_ptr<void const> & tracked_object,
  const std::string & encoding = std::string());

CvImagePtr cvtColor(const CvImageConstPtr & source, const std::string & encoding);

int getCvType(const std::string & encoding);

}  // namespace cv_bridge

#endif  // CV_BRIDGE__CV_BRIDGE_H_
