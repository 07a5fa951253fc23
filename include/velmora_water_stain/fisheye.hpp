#ifndef VELMORA_WATER_STAIN__FISHEYE_HPP_
#define VELMORA_WATER_STAIN__FISHEYE_HPP_

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "velmora_water_stain/geometry.hpp"

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
  // Undistorts only the pixels inside `window` into `undistorted`, which must already have the
  // undistorted size and the frame's type; its other pixels are left as they are.
  void undistortWindow(const cv::Mat & frame, const cv::Rect & window, cv::Mat & undistorted) const;
  bool ready() const {return !map1_.empty();}
  cv::Size size() const {return map1_.size();}
  // The remap's maps: source pixel (CV_16SC2) and bilinear weight index (CV_16UC1) per pixel.
  const cv::Mat & sourcePixels() const {return map1_;}
  const cv::Mat & weightIndices() const {return map2_;}

private:
  cv::Mat map1_;
  cv::Mat map2_;
};

// The fisheye floor patch of a raw frame: rectifyFloorPatch of the undistorted frame, pixel for
// pixel. Calibration and floor rectangle are compiled in, so the warp and the pixels of the
// undistorted image it reads are found once, on the first frame, and a frame is undistorted only
// there: per row, the span between the first and the last pixel the warp reads, which for the
// floor's trapezoid is much less than the window around it.
class FisheyeFloorCrop
{
public:
  FisheyeFloorCrop() = default;
  FisheyeFloorCrop(
    const FisheyeUndistorter & undistorter, const std::vector<cv::Point2f> & quadrilateral);
  cv::Mat crop(const cv::Mat & frame);
  // True once a frame has been cropped: the warp's maps and the frame buffer exist.
  bool prepared() const {return !patch_maps_.source_pixels.empty();}
  // The part of the undistorted image a crop reads (empty when it falls back to the whole).
  const cv::Rect & window() const {return window_;}

private:
  FisheyeUndistorter undistorter_;
  std::vector<cv::Point2f> quadrilateral_;
  FloorPatchWarp warp_;  // empty when the quadrilateral has no extent
  cv::Rect window_;      // empty when the quadrilateral lies outside the undistorted image
  cv::Mat undistorted_;  // reused between frames; only the spans are written
  FloorPatchMaps patch_maps_;

  // Columns [first, first + count) of one row of the undistorted image.
  struct RowSpan
  {
    int row;
    int first;
    int count;
  };
  void prepareSpans();
  void undistortSpans(const cv::Mat & frame);

  std::vector<RowSpan> spans_;
  // The undistortion maps' entries of the spans end to end, in rows short enough for remap.
  cv::Mat span_source_pixels_;
  cv::Mat span_weight_indices_;
  cv::Mat span_undistorted_;  // reused between frames
};

// The fisheye test routine's artefacts under `test_dir` (best effort): the undistorted sample,
// the same beside the floor corners' camera coordinates on standard output, and the floor patch.
void writeFisheyeTestImages(
  const cv::Mat & undistorted, const std::vector<cv::Point3f> & corners, const cv::Mat & rvec,
  const cv::Mat & tvec, const cv::Mat & new_K, const std::string & test_dir);

}  // namespace velmora_water_stain

#endif  // VELMORA_WATER_STAIN__FISHEYE_HPP_
