#ifndef VELMORA_WATER_STAIN__FISHEYE_HPP_
#define VELMORA_WATER_STAIN__FISHEYE_HPP_

#include <vector>

#include <opencv2/core.hpp>

namespace velmora_water_stain
{

// Size of the undistorted fisheye image.
const cv::Size kFisheyeUndistortedSize{800, 600};

// R = Rz(yaw) * Ry(pitch) * Rx(roll) from a 3 x 1 CV_32F (roll, pitch, yaw); 3 x 3 CV_32F.
cv::Mat eulerToRotation(const cv::Mat & angles);

// Image points of the floor corners in the undistorted image: c = R^T p + t, n = c / c_z,
// (u, v) from new_K * n.
std::vector<cv::Point2f> projectFisheyeCorners(
  const std::vector<cv::Point3f> & corners, const cv::Mat & rvec, const cv::Mat & tvec,
  const cv::Mat & new_K);

// Pixel-identical to cv::fisheye::undistortImage with the same inputs, with the maps built once.
class FisheyeUndistorter
{
public:
  FisheyeUndistorter() = default;
  FisheyeUndistorter(
    const cv::Mat & K, const cv::Mat & D, const cv::Mat & new_K, cv::Size new_size);
  cv::Mat undistort(const cv::Mat & frame) const;
  bool ready() const {return !map1_.empty();}

private:
  cv::Mat map1_;
  cv::Mat map2_;
};

}  // namespace velmora_water_stain

#endif  // VELMORA_WATER_STAIN__FISHEYE_HPP_
