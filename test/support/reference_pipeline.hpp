#ifndef REFERENCE_PIPELINE_HPP_
#define REFERENCE_PIPELINE_HPP_

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "velmora_water_stain/fisheye.hpp"
#include "velmora_water_stain/geometry.hpp"

// The judging steps done the plain way, one library call per step and nothing kept between
// frames: what the node's cheaper steps must reproduce to the bit, and the baseline their
// speed-ups are measured against (bench/).
namespace reference_pipeline
{

// Resize, BGR to RGB, scale to [0, 1], per-channel (x - mean) / std, planar N C H W blob.
inline cv::Mat preprocess(
  const cv::Mat & bgr_crop, cv::Size size, const std::array<float, 3> & mean,
  const std::array<float, 3> & std)
{
  cv::Mat resized;
  cv::resize(bgr_crop, resized, size, 0.0, 0.0, cv::INTER_LINEAR);
  cv::Mat rgb;
  cv::cvtColor(resized, rgb, cv::COLOR_BGR2RGB);
  cv::Mat unit_range;
  rgb.convertTo(unit_range, CV_32F, 1.0 / 255.0);
  std::vector<cv::Mat> channels;
  cv::split(unit_range, channels);
  for (std::size_t channel = 0; channel < channels.size(); ++channel) {
    channels[channel] = (channels[channel] - mean[channel]) / std[channel];
  }
  cv::Mat normalised;
  cv::merge(channels, normalised);
  return cv::dnn::blobFromImage(normalised, 1.0, cv::Size(), cv::Scalar(), false, false, CV_32F);
}

// The quadrilateral (top right, top left, bottom left, bottom right) warped into its upright
// patch, the homography computed anew.
inline cv::Mat rectify(const cv::Mat & image, const std::vector<cv::Point2f> & quadrilateral)
{
  const cv::Size size = velmora_water_stain::floorPatchSize(quadrilateral);
  const float width = static_cast<float>(size.width);
  const float height = static_cast<float>(size.height);
  const std::vector<cv::Point2f> upright{{width, 0.0f}, {0.0f, 0.0f}, {0.0f, height},
    {width, height}};
  const cv::Mat homography = cv::getPerspectiveTransform(quadrilateral, upright, cv::DECOMP_LU);
  cv::Mat patch;
  cv::warpPerspective(
    image, patch, homography, size, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(0));
  return patch;
}

// cv::imencode's JPEG written through stdio to a temporary beside `path`, then renamed into
// place; false when any step fails.
inline bool archiveWrite(const std::string & path, const cv::Mat & image)
{
  std::vector<uchar> jpeg;
  if (!cv::imencode(".jpg", image, jpeg)) {
    return false;
  }
  const std::string partial = path + ".partial";
  FILE * file = std::fopen(partial.c_str(), "wb");
  if (file == nullptr) {
    return false;
  }
  const bool written = std::fwrite(jpeg.data(), 1, jpeg.size(), file) == jpeg.size();
  return std::fclose(file) == 0 && written && std::rename(partial.c_str(), path.c_str()) == 0;
}

struct FisheyeCalibration
{
  cv::Mat K;
  cv::Mat D;
  cv::Mat new_K;
  cv::Mat rvec;
  cv::Mat tvec;
  std::vector<cv::Point3f> floor_corners;
};

// cv::fisheye::undistortImage of the whole frame, the floor corners projected anew, and the
// warp with its homography computed anew.
inline cv::Mat fisheyeCrop(const cv::Mat & frame, const FisheyeCalibration & calibration)
{
  cv::Mat undistorted;
  cv::fisheye::undistortImage(
    frame, undistorted, calibration.K, calibration.D, calibration.new_K,
    velmora_water_stain::kFisheyeUndistortedSize);
  return rectify(
    undistorted, velmora_water_stain::projectFisheyeCorners(
      calibration.floor_corners, calibration.rvec, calibration.tvec, calibration.new_K));
}

// The rear fisheye camera's compiled-in calibration and floor rectangle.
inline FisheyeCalibration compiledInFisheye()
{
  return {
    (cv::Mat_<float>(3, 3) <<
      339.16461f, -0.04840181f, 412.04343f, 0.0f, 339.48041f, 305.00290f, 0.0f, 0.0f, 1.0f),
    (cv::Mat_<float>(4, 1) << -0.20290732f, 0.050523773f, -0.031190876f, 0.009916748f),
    (cv::Mat_<float>(3, 3) <<
      139.16461f, -0.04840181f, 412.04343f, 0.0f, 139.48041f, 305.00290f, 0.0f, 0.0f, 1.0f),
    (cv::Mat_<float>(3, 1) << -2.000999f, -0.014999f, 1.57f),
    (cv::Mat_<float>(3, 1) << 0.0f, 0.7f, -0.226f),
    {{-1.5f, 0.3f, 0.0f}, {-1.5f, -0.3f, 0.0f}, {-0.5f, -0.3f, 0.0f}, {-0.5f, 0.3f, 0.0f}}};
}

}  // namespace reference_pipeline

#endif  // REFERENCE_PIPELINE_HPP_
