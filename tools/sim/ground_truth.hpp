#ifndef SIM__GROUND_TRUTH_HPP_
#define SIM__GROUND_TRUTH_HPP_

#include <vector>

#include <opencv2/core.hpp>

#include "sim/stain_scoring.hpp"
#include "sim/world.hpp"
#include "velmora_water_stain/classifier.hpp"

namespace velmora_sim
{

struct RegionTruth
{
  velmora_water_stain::FloorClass floor_class{velmora_water_stain::FloorClass::clean};
  double dirt_m2{0.0};
  double water_m2{0.0};
  double stubborn_m2{0.0};
  std::vector<int> stain_ids;  // every stain with at least one pixel inside
  std::vector<StainInView> stains;  // the same stains with what they cover
  double region_m2{0.0};
  // The same rule on shares of the region: kMinPatchShare instead of kMinStainArea.
  velmora_water_stain::FloorClass visible_class{velmora_water_stain::FloorClass::clean};
};

// A base_footprint floor rectangle placed on the map at `pose`, corners in the same order.
std::vector<cv::Point2d> regionOnMap(const Pose2D & pose, const std::vector<cv::Point3f> & corners);

// What the floor inside a convex map polygon holds: stubborn when stubborn stains cover at least
// kMinStainArea, otherwise dirty when dirt and water together do, otherwise clean; and the same
// by share of the region for the visibility truth.
RegionTruth regionTruth(const World & world, const std::vector<cv::Point2d> & polygon);

// A stain's outline on the map (metres), one polygon per separate part; the crumbs of a dirt
// patch close into one area.
std::vector<std::vector<cv::Point2d>> stainOutlines(const World & world, const Stain & stain);

}  // namespace velmora_sim

#endif  // SIM__GROUND_TRUTH_HPP_
