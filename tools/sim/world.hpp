#ifndef SIM__WORLD_HPP_
#define SIM__WORLD_HPP_

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace velmora_sim
{

// Robot pose on the map's ground plane.
struct Pose2D
{
  double x{0.0};
  double y{0.0};
  double yaw{0.0};
};

// A floor point of the robot frame ("base_footprint") carried onto the map.
cv::Point2d toMap(const Pose2D & pose, const cv::Point2d & base_point);

enum class StainKind : int
{
  dirt = 0,      // scattered crumbs and specks
  water = 1,     // translucent darkening puddle
  stubborn = 2,  // large opaque dark smear
};

std::string stainKindName(StainKind kind);

struct StainDesign
{
  StainKind kind{StainKind::dirt};
  cv::Point2d center;   // map frame, metres
  double radius{0.1};   // metres; the extent of the blob or of the crumb cluster
  uint64_t shape_seed{0};
};

struct Stain
{
  int id{0};  // 1-based; 0 in the label raster means bare floor
  StainDesign design;
  double area_m2{0.0};
};

enum class FloorMaterial : int
{
  tiles,
  wood,
  concrete,
  dark_tiles,
  dark_wood,
  dark_concrete,
};

std::string floorMaterialName(FloorMaterial material);

// A rectangle of the room (map frame, metres) laid with one material.
struct FloorZone
{
  FloorMaterial material{FloorMaterial::tiles};
  cv::Rect2d area;
};

struct WorldConfig
{
  double width_m{12.0};
  double height_m{8.0};
  // Fine enough that a 1 m floor patch seen by a 640 x 480 camera is not blurred by the raster.
  double resolution_m{0.004};
  // Empty: light tiles, wood and concrete in the quick run's fixed layout. Later zones cover
  // earlier ones.
  std::vector<FloorZone> zones;
  // Several sun patches and shadows placed from the seed, and glare: bright window reflections
  // on the glossy floor that wash out what lies under them.
  bool varied_lighting{false};
};

// The quick run's floor layout in a room of this size.
WorldConfig floorOfSize(double width_m, double height_m);

// The floor of a room as a raster on the map's ground plane (x right, y up, origin at the
// room's corner): several materials in zones, a lighting field baked in, and stains whose
// pixels are also recorded in a label raster, so what a camera sees can be scored against the
// stains it covers.
class World
{
public:
  World(const WorldConfig & config, uint64_t seed);

  // Draws the stain and records its pixels; returns its id.
  int addStain(const StainDesign & design);

  // The lit floor as the cameras see it, 8-bit BGR; row r, column c covers the map square
  // [c, c + 1) x [r, r + 1) times the resolution.
  const cv::Mat & texture() const;
  // Stain id per raster pixel, CV_16U.
  const cv::Mat & labels() const {return labels_;}
  const std::vector<Stain> & stains() const {return stains_;}
  const WorldConfig & config() const {return config_;}
  double resolution() const {return config_.resolution_m;}

  // Continuous raster coordinates (pixel centres at integers) of a map point.
  cv::Point2d toRaster(const cv::Point2d & map_point) const;
  cv::Point2d toMapPoint(const cv::Point2d & raster_point) const;
  // The floor material's name at a map point.
  std::string materialAt(const cv::Point2d & map_point) const;

private:
  void paintMaterials(uint64_t seed);
  void paintZones(uint64_t seed);
  void paintLighting(uint64_t seed);
  void paintVariedLighting(uint64_t seed);
  void paintDirt(const StainDesign & design, const cv::Rect & window, cv::Mat & alpha);
  void paintWater(const StainDesign & design, const cv::Rect & window, cv::Mat & alpha);
  void paintStubborn(const StainDesign & design, const cv::Rect & window, cv::Mat & alpha);
  // Raster window around a stain, clipped to the room.
  cv::Rect stainWindow(const StainDesign & design) const;

  WorldConfig config_;
  cv::Mat albedo_;    // CV_32FC3, BGR in [0, 1], before lighting
  cv::Mat lighting_;  // CV_32F gain per pixel
  cv::Mat labels_;
  std::vector<Stain> stains_;
  mutable cv::Mat texture_;
  mutable bool texture_stale_{true};
};

}  // namespace velmora_sim

#endif  // SIM__WORLD_HPP_
