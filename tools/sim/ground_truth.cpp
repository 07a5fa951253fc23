#include "sim/ground_truth.hpp"

#include <array>
#include <map>

#include <opencv2/imgproc.hpp>

namespace velmora_sim
{

using velmora_water_stain::FloorClass;

namespace
{

FloorClass classByArea(const RegionTruth & truth, double min_area_m2)
{
  if (truth.stubborn_m2 >= min_area_m2) {
    return FloorClass::stubborn;
  }
  return truth.dirt_m2 + truth.water_m2 >= min_area_m2 ? FloorClass::dirty : FloorClass::clean;
}

}  // namespace

std::vector<cv::Point2d> regionOnMap(const Pose2D & pose, const std::vector<cv::Point3f> & corners)
{
  std::vector<cv::Point2d> region;
  for (const cv::Point3f & corner : corners) {
    region.push_back(toMap(pose, {corner.x, corner.y}));
  }
  return region;
}

RegionTruth regionTruth(const World & world, const std::vector<cv::Point2d> & polygon)
{
  constexpr int kShift = 4;
  std::vector<cv::Point> raster_polygon;
  for (const cv::Point2d & corner : polygon) {
    const cv::Point2d raster = world.toRaster(corner);
    raster_polygon.emplace_back(
      cvRound(raster.x * (1 << kShift)), cvRound(raster.y * (1 << kShift)));
  }
  const cv::Rect floor(0, 0, world.labels().cols, world.labels().rows);
  const cv::Rect bounds = cv::boundingRect(raster_polygon);
  const cv::Rect window = cv::Rect(
    bounds.x >> kShift, bounds.y >> kShift, (bounds.width >> kShift) + 2,
    (bounds.height >> kShift) + 2) & floor;
  RegionTruth truth;
  if (window.empty()) {
    return truth;
  }
  for (cv::Point & corner : raster_polygon) {
    corner -= cv::Point(window.x << kShift, window.y << kShift);
  }
  cv::Mat inside = cv::Mat::zeros(window.size(), CV_8U);
  cv::fillConvexPoly(inside, raster_polygon, cv::Scalar(255), cv::LINE_8, kShift);
  std::map<int, int> pixels_per_stain;
  const cv::Mat labels = world.labels()(window);
  for (int row = 0; row < labels.rows; ++row) {
    const uint16_t * label = labels.ptr<uint16_t>(row);
    const uint8_t * mask = inside.ptr<uint8_t>(row);
    for (int col = 0; col < labels.cols; ++col) {
      if (label[col] != 0 && mask[col] != 0) {
        ++pixels_per_stain[label[col]];
      }
    }
  }
  const double pixel_area = world.resolution() * world.resolution();
  std::vector<cv::Point2f> outline(polygon.begin(), polygon.end());
  truth.region_m2 = cv::contourArea(outline);
  std::array<double, 3> area_by_kind{};
  for (const auto & [id, pixels] : pixels_per_stain) {
    const double area = pixels * pixel_area;
    const StainKind kind = world.stains()[static_cast<std::size_t>(id - 1)].design.kind;
    area_by_kind[static_cast<std::size_t>(kind)] += area;
    truth.stain_ids.push_back(id);
    truth.stains.push_back({id, area, truth.region_m2 > 0.0 ? area / truth.region_m2 : 0.0});
  }
  truth.dirt_m2 = area_by_kind[static_cast<std::size_t>(StainKind::dirt)];
  truth.water_m2 = area_by_kind[static_cast<std::size_t>(StainKind::water)];
  truth.stubborn_m2 = area_by_kind[static_cast<std::size_t>(StainKind::stubborn)];
  truth.floor_class = classByArea(truth, kMinStainArea);
  if (truth.region_m2 > 0.0) {
    truth.visible_class = classByArea(truth, kMinPatchShare * truth.region_m2);
  }
  return truth;
}

std::vector<std::vector<cv::Point2d>> stainOutlines(const World & world, const Stain & stain)
{
  const double reach = stain.design.radius * 1.6 + 0.05;
  const cv::Point2d low = world.toRaster(stain.design.center - cv::Point2d(reach, reach));
  const cv::Point2d high = world.toRaster(stain.design.center + cv::Point2d(reach, reach));
  const cv::Rect window = cv::Rect(
    cv::Point(cvFloor(low.x), cvFloor(low.y)), cv::Point(cvCeil(high.x), cvCeil(high.y))) &
    cv::Rect(0, 0, world.labels().cols, world.labels().rows);
  if (window.empty()) {
    return {};
  }
  cv::Mat mine = world.labels()(window) == stain.id;
  cv::morphologyEx(
    mine, mine, cv::MORPH_CLOSE, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(31, 31)));
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(mine, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
  std::vector<std::vector<cv::Point2d>> outlines;
  for (const std::vector<cv::Point> & contour : contours) {
    std::vector<cv::Point2d> outline;
    for (const cv::Point & point : contour) {
      outline.push_back(world.toMapPoint(cv::Point2d(point + window.tl())));
    }
    outlines.push_back(std::move(outline));
  }
  return outlines;
}

}  // namespace velmora_sim
