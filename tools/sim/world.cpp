#include "sim/world.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

namespace velmora_sim
{

namespace
{

constexpr double kTileZoneEndX = 4.5;
constexpr double kHardFloorZoneEndY = 4.2;
constexpr double kTileSize = 0.3;
constexpr double kPlankWidth = 0.15;
constexpr double kPlankLength = 1.2;
// The lighting field is smooth, so it is built coarse and interpolated.
constexpr double kLightingResolution = 0.05;

cv::Scalar jitter(cv::RNG & rng, const cv::Scalar & colour, double spread)
{
  const double shift = rng.uniform(-spread, spread);
  return colour + cv::Scalar(shift, shift, shift);
}

// Low-frequency variation: noise on a coarse grid, smoothly enlarged to `size`.
cv::Mat mottling(cv::RNG & rng, cv::Size size, int cell_px, double amplitude)
{
  cv::Mat coarse(
    std::max(2, size.height / cell_px + 2), std::max(2, size.width / cell_px + 2), CV_32F);
  rng.fill(coarse, cv::RNG::NORMAL, 0.0, amplitude);
  cv::Mat fine;
  cv::resize(coarse, fine, size, 0, 0, cv::INTER_CUBIC);
  return fine;
}

// Adds a single-channel variation to every channel of an 8-bit image.
void addShade(cv::Mat & image, const cv::Mat & shade)
{
  cv::Mat shade3;
  cv::merge(std::vector<cv::Mat>{shade, shade, shade}, shade3);
  cv::Mat sum;
  image.convertTo(sum, CV_32FC3);
  sum += shade3;
  sum.convertTo(image, CV_8UC3);
}

// Closed outline of a lumpy blob: a circle whose radius wobbles with a few harmonics.
std::vector<cv::Point> blobOutline(
  cv::RNG & rng, const cv::Point2d & center_px, double radius_px, double roughness)
{
  constexpr int kHarmonics = 5;
  std::array<double, kHarmonics> amplitude{};
  std::array<double, kHarmonics> phase{};
  for (int k = 0; k < kHarmonics; ++k) {
    amplitude[k] = rng.uniform(0.0, roughness / (k + 1));
    phase[k] = rng.uniform(0.0, 2.0 * CV_PI);
  }
  std::vector<cv::Point> outline;
  constexpr int kSteps = 96;
  for (int step = 0; step < kSteps; ++step) {
    const double angle = 2.0 * CV_PI * step / kSteps;
    double scale = 1.0;
    for (int k = 0; k < kHarmonics; ++k) {
      scale += amplitude[k] * std::cos((k + 2) * angle + phase[k]);
    }
    // Outlines are drawn with 4 fractional bits for sub-pixel placement.
    outline.emplace_back(
      cvRound((center_px.x + radius_px * scale * std::cos(angle)) * 16.0),
      cvRound((center_px.y + radius_px * scale * std::sin(angle)) * 16.0));
  }
  return outline;
}

// Mixes `colour` into the window by the weights of `alpha` (CV_32F in [0, 1]).
void blendColour(cv::Mat & window, const cv::Mat & alpha, const cv::Mat & colour)
{
  cv::Mat base;
  window.convertTo(base, CV_32FC3);
  cv::Mat alpha3;
  cv::merge(std::vector<cv::Mat>{alpha, alpha, alpha}, alpha3);
  cv::Mat mixed = base.mul(cv::Scalar::all(1.0) - alpha3) + colour.mul(alpha3);
  mixed.convertTo(window, CV_8UC3);
}

// A material's base tone and the tone of its joints (grout, plank seams, chips), BGR.
struct Look
{
  cv::Scalar surface;
  cv::Scalar joints;
};

const Look kLightTiles{{196, 204, 212}, {160, 166, 172}};
const Look kDarkTiles{{62, 64, 70}, {104, 108, 112}};
const Look kLightWood{{96, 138, 176}, {70, 100, 130}};
const Look kDarkWood{{38, 52, 72}, {22, 30, 42}};
const Look kLightConcrete{{158, 160, 162}, {185, 188, 190}};
const Look kDarkConcrete{{76, 78, 80}, {104, 106, 108}};

// Ceramic tiles with grout: each tile a slightly different tone.
void paintTiles(cv::RNG & rng, cv::Mat & zone, int tile_px, const Look & look)
{
  for (int row = 0; row < zone.rows; row += tile_px) {
    for (int col = 0; col < zone.cols; col += tile_px) {
      cv::rectangle(
        zone, cv::Rect(col, row, tile_px, tile_px), jitter(rng, look.surface, 6.0), cv::FILLED);
    }
  }
  for (int edge = 0; edge < std::max(zone.rows, zone.cols); edge += tile_px) {
    cv::line(zone, {edge, 0}, {edge, zone.rows}, look.joints, 1);
    cv::line(zone, {0, edge}, {zone.cols, edge}, look.joints, 1);
  }
  addShade(zone, mottling(rng, zone.size(), 40, 4.0));
}

// Wooden planks along x, staggered, with streaky grain.
void paintWood(cv::RNG & rng, cv::Mat & zone, int plank_w, int plank_l, const Look & look)
{
  for (int row = 0, course = 0; row < zone.rows; row += plank_w, ++course) {
    const int offset = (course * plank_l) / 3 % plank_l;
    for (int col = -offset; col < zone.cols; col += plank_l) {
      cv::rectangle(
        zone, cv::Rect(col, row, plank_l, plank_w), jitter(rng, look.surface, 10.0), cv::FILLED);
      cv::line(zone, {col, row}, {col, row + plank_w}, look.joints, 1);
    }
    cv::line(zone, {0, row}, {zone.cols, row}, look.joints, 1);
  }
  cv::Mat grain(zone.size(), CV_32F);
  rng.fill(grain, cv::RNG::NORMAL, 0.0, 14.0);
  cv::blur(grain, grain, cv::Size(41, 1));
  addShade(zone, grain + mottling(rng, zone.size(), 60, 4.0));
}

// Polished concrete: grey, cloudy, with a few pale chips.
void paintConcrete(cv::RNG & rng, cv::Mat & zone, const Look & look)
{
  zone.setTo(look.surface);
  addShade(zone, mottling(rng, zone.size(), 30, 7.0));
  const int chips = static_cast<int>(zone.total() / 900);
  for (int chip = 0; chip < chips; ++chip) {
    cv::circle(
      zone, {rng.uniform(0, zone.cols), rng.uniform(0, zone.rows)}, 1,
      jitter(rng, look.joints, 8.0), cv::FILLED);
  }
}

void paintMaterial(cv::RNG & rng, cv::Mat & zone, FloorMaterial material, double resolution)
{
  const int tile_px = static_cast<int>(kTileSize / resolution);
  const int plank_w = static_cast<int>(kPlankWidth / resolution);
  const int plank_l = static_cast<int>(kPlankLength / resolution);
  switch (material) {
    case FloorMaterial::tiles: paintTiles(rng, zone, tile_px, kLightTiles); break;
    case FloorMaterial::dark_tiles: paintTiles(rng, zone, tile_px, kDarkTiles); break;
    case FloorMaterial::wood: paintWood(rng, zone, plank_w, plank_l, kLightWood); break;
    case FloorMaterial::dark_wood: paintWood(rng, zone, plank_w, plank_l, kDarkWood); break;
    case FloorMaterial::concrete: paintConcrete(rng, zone, kLightConcrete); break;
    case FloorMaterial::dark_concrete: paintConcrete(rng, zone, kDarkConcrete); break;
  }
}

}  // namespace

std::string floorMaterialName(FloorMaterial material)
{
  switch (material) {
    case FloorMaterial::tiles: return "tiles";
    case FloorMaterial::wood: return "wood";
    case FloorMaterial::concrete: return "concrete";
    case FloorMaterial::dark_tiles: return "dark tiles";
    case FloorMaterial::dark_wood: return "dark wood";
    case FloorMaterial::dark_concrete: return "dark concrete";
  }
  return "unknown";
}

WorldConfig floorOfSize(double width_m, double height_m)
{
  WorldConfig config;
  config.width_m = width_m;
  config.height_m = height_m;
  return config;
}

cv::Point2d toMap(const Pose2D & pose, const cv::Point2d & base_point)
{
  const double c = std::cos(pose.yaw);
  const double s = std::sin(pose.yaw);
  return {pose.x + c * base_point.x - s * base_point.y,
    pose.y + s * base_point.x + c * base_point.y};
}

std::string stainKindName(StainKind kind)
{
  switch (kind) {
    case StainKind::dirt: return "dirt";
    case StainKind::water: return "water";
    case StainKind::stubborn: return "stubborn";
  }
  return "unknown";
}

World::World(const WorldConfig & config, uint64_t seed)
: config_(config)
{
  if (config.resolution_m <= 0.0 || config.width_m <= 0.0 || config.height_m <= 0.0) {
    throw std::invalid_argument("the floor needs a positive size and resolution");
  }
  const int cols = static_cast<int>(std::ceil(config.width_m / config.resolution_m));
  const int rows = static_cast<int>(std::ceil(config.height_m / config.resolution_m));
  albedo_.create(rows, cols, CV_8UC3);
  labels_ = cv::Mat::zeros(rows, cols, CV_16U);
  if (config.zones.empty()) {
    paintMaterials(seed);
  } else {
    paintZones(seed);
  }
  if (config.varied_lighting) {
    paintVariedLighting(seed);
  } else {
    paintLighting(seed);
  }
}

cv::Point2d World::toRaster(const cv::Point2d & map_point) const
{
  return {map_point.x / config_.resolution_m - 0.5, map_point.y / config_.resolution_m - 0.5};
}

cv::Point2d World::toMapPoint(const cv::Point2d & raster_point) const
{
  return {(raster_point.x + 0.5) * config_.resolution_m,
    (raster_point.y + 0.5) * config_.resolution_m};
}

std::string World::materialAt(const cv::Point2d & map_point) const
{
  for (auto zone = config_.zones.rbegin(); zone != config_.zones.rend(); ++zone) {
    if (zone->area.contains(map_point)) {
      return floorMaterialName(zone->material);
    }
  }
  if (!config_.zones.empty()) {
    return "none";
  }
  if (map_point.y >= kHardFloorZoneEndY) {
    return "concrete";
  }
  return map_point.x < kTileZoneEndX ? "tiles" : "wood";
}

void World::paintMaterials(uint64_t seed)
{
  cv::RNG rng(seed * 7919 + 17);
  const double res = config_.resolution_m;
  const int tile_end = std::min(albedo_.cols, static_cast<int>(kTileZoneEndX / res));
  const int hard_end = std::min(albedo_.rows, static_cast<int>(kHardFloorZoneEndY / res));
  const cv::Rect tiles(0, 0, tile_end, hard_end);
  const cv::Rect wood(tile_end, 0, albedo_.cols - tile_end, hard_end);
  const cv::Rect concrete(0, hard_end, albedo_.cols, albedo_.rows - hard_end);
  // A small room may hold only some of the zones.
  if (!tiles.empty()) {
    cv::Mat zone = albedo_(tiles);
    paintTiles(rng, zone, static_cast<int>(kTileSize / res), kLightTiles);
  }
  if (!wood.empty()) {
    cv::Mat zone = albedo_(wood);
    paintWood(
      rng, zone, static_cast<int>(kPlankWidth / res), static_cast<int>(kPlankLength / res),
      kLightWood);
  }
  if (!concrete.empty()) {
    cv::Mat zone = albedo_(concrete);
    paintConcrete(rng, zone, kLightConcrete);
  }
  cv::Mat sensor_grain(albedo_.size(), CV_32F);
  rng.fill(sensor_grain, cv::RNG::NORMAL, 0.0, 3.0);
  addShade(albedo_, sensor_grain);
}

void World::paintZones(uint64_t seed)
{
  cv::RNG rng(seed * 7919 + 17);
  albedo_.setTo(cv::Scalar::all(128));
  const cv::Rect floor(0, 0, albedo_.cols, albedo_.rows);
  for (const FloorZone & zone : config_.zones) {
    const cv::Point2d low = toRaster(zone.area.tl());
    const cv::Point2d high = toRaster(zone.area.br());
    const cv::Rect window = cv::Rect(
      cv::Point(cvCeil(low.x), cvCeil(low.y)), cv::Point(cvCeil(high.x), cvCeil(high.y))) & floor;
    if (!window.empty()) {
      cv::Mat area = albedo_(window);
      paintMaterial(rng, area, zone.material, config_.resolution_m);
    }
  }
  cv::Mat sensor_grain(albedo_.size(), CV_32F);
  rng.fill(sensor_grain, cv::RNG::NORMAL, 0.0, 3.0);
  addShade(albedo_, sensor_grain);
}

void World::paintVariedLighting(uint64_t seed)
{
  cv::RNG rng(seed * 104729 + 3);
  const cv::Size coarse_size(
    static_cast<int>(std::ceil(config_.width_m / kLightingResolution)),
    static_cast<int>(std::ceil(config_.height_m / kLightingResolution)));
  const auto to_coarse = [](const cv::Point2d & metres) {
      return cv::Point(
        static_cast<int>(std::lround(metres.x / kLightingResolution)),
        static_cast<int>(std::lround(metres.y / kLightingResolution)));
    };
  // One draw per statement: the order of draws within one expression differs between compilers.
  const auto draw = [&rng](double low, double high) {return rng.uniform(low, high);};
  const auto anywhere = [&]() {
      const double x = draw(0.0, config_.width_m);
      const double y = draw(0.0, config_.height_m);
      return cv::Point2d(x, y);
    };
  cv::Mat coarse(coarse_size, CV_32F);
  // Windows along the top wall, a dimmer far side.
  for (int row = 0; row < coarse.rows; ++row) {
    const double y = (row + 0.5) * kLightingResolution / config_.height_m;
    coarse.row(row).setTo(0.8 + 0.3 * y * y);
  }
  // Sun patches through the windows and shadows under furniture.
  for (int patch = 0; patch < 3; ++patch) {
    const cv::Point2d at = anywhere();
    const double width = draw(0.5, 1.2);
    const double length = draw(1.0, 2.2);
    const cv::Point2d lean(draw(0.2, 0.5), 0.0);
    const double gain = draw(1.15, 1.3);
    std::vector<cv::Point> sun{
      to_coarse(at), to_coarse(at + cv::Point2d(width, 0.0)),
      to_coarse(at + cv::Point2d(width, length) + lean),
      to_coarse(at + cv::Point2d(0.0, length) + lean)};
    cv::fillConvexPoly(coarse, sun, cv::Scalar(gain), cv::LINE_AA);
  }
  for (int shadow = 0; shadow < 3; ++shadow) {
    const cv::Point2d at = anywhere();
    const double width = draw(0.5, 1.2);
    const double depth = draw(0.4, 0.9);
    const double gain = draw(0.55, 0.75);
    cv::rectangle(
      coarse, cv::Rect(to_coarse(at), to_coarse(at + cv::Point2d(width, depth))),
      cv::Scalar(gain), cv::FILLED);
  }
  cv::GaussianBlur(coarse, coarse, cv::Size(0, 0), 2.0);
  // Glare: narrow, sharp-edged reflections of the windows that wash the floor out.
  cv::Mat glare = cv::Mat::zeros(coarse_size, CV_32F);
  for (int streak = 0; streak < 5; ++streak) {
    const cv::Point2d at = anywhere();
    const int length = std::max(1, cvRound(draw(0.2, 0.45) / kLightingResolution));
    const int width = std::max(1, cvRound(draw(0.04, 0.1) / kLightingResolution));
    const double tilt = draw(60.0, 120.0);
    const double gain = draw(0.6, 1.0);
    cv::ellipse(
      glare, to_coarse(at), cv::Size(length, width), tilt, 0, 360, cv::Scalar(gain), cv::FILLED,
      cv::LINE_AA);
  }
  cv::GaussianBlur(glare, glare, cv::Size(0, 0), 0.8);
  coarse += glare;
  cv::resize(coarse, lighting_, albedo_.size(), 0, 0, cv::INTER_LINEAR);
}

void World::paintLighting(uint64_t seed)
{
  cv::RNG rng(seed * 104729 + 3);
  const cv::Size coarse_size(
    static_cast<int>(std::ceil(config_.width_m / kLightingResolution)),
    static_cast<int>(std::ceil(config_.height_m / kLightingResolution)));
  cv::Mat coarse(coarse_size, CV_32F);
  // Brighter towards the windows along the top wall.
  for (int row = 0; row < coarse.rows; ++row) {
    const double y = (row + 0.5) * kLightingResolution / config_.height_m;
    coarse.row(row).setTo(0.88 + 0.18 * y * y);
  }
  const auto to_coarse = [](double metres) {
      return static_cast<int>(std::lround(metres / kLightingResolution));
    };
  // Sunlight falling through a window and the shadow under a piece of furniture.
  const double sun_x = 5.3 + rng.uniform(-0.2, 0.2);
  std::vector<cv::Point> sun{
    {to_coarse(sun_x), to_coarse(0.6)}, {to_coarse(sun_x + 0.7), to_coarse(0.6)},
    {to_coarse(sun_x + 1.1), to_coarse(2.8)}, {to_coarse(sun_x + 0.4), to_coarse(2.8)}};
  cv::fillConvexPoly(coarse, sun, cv::Scalar(1.22), cv::LINE_AA);
  cv::rectangle(
    coarse, cv::Rect(to_coarse(3.0), to_coarse(2.05), to_coarse(0.9), to_coarse(0.7)),
    cv::Scalar(0.72), cv::FILLED);
  cv::GaussianBlur(coarse, coarse, cv::Size(0, 0), 2.0);
  cv::resize(coarse, lighting_, albedo_.size(), 0, 0, cv::INTER_LINEAR);
}

cv::Rect World::stainWindow(const StainDesign & design) const
{
  const cv::Point2d center = toRaster(design.center);
  const double reach = design.radius * 1.6 / config_.resolution_m + 4.0;
  const cv::Rect window(
    static_cast<int>(std::floor(center.x - reach)), static_cast<int>(std::floor(center.y - reach)),
    static_cast<int>(std::ceil(2.0 * reach)), static_cast<int>(std::ceil(2.0 * reach)));
  return window & cv::Rect(0, 0, albedo_.cols, albedo_.rows);
}

int World::addStain(const StainDesign & design)
{
  const cv::Rect window = stainWindow(design);
  if (window.empty()) {
    throw std::invalid_argument("stain outside the floor");
  }
  cv::Mat alpha = cv::Mat::zeros(window.size(), CV_32F);
  switch (design.kind) {
    case StainKind::dirt: paintDirt(design, window, alpha); break;
    case StainKind::water: paintWater(design, window, alpha); break;
    case StainKind::stubborn: paintStubborn(design, window, alpha); break;
  }
  Stain stain;
  stain.id = static_cast<int>(stains_.size()) + 1;
  stain.design = design;
  const cv::Mat covered = alpha > 0.5;
  labels_(window).setTo(stain.id, covered);
  stain.area_m2 = cv::countNonZero(covered) * config_.resolution_m * config_.resolution_m;
  stains_.push_back(stain);
  texture_stale_ = true;
  return stain.id;
}

void World::paintDirt(const StainDesign & design, const cv::Rect & window, cv::Mat & alpha)
{
  cv::RNG rng(design.shape_seed);
  cv::Mat colour = cv::Mat::zeros(window.size(), CV_32FC3);
  const cv::Point2d center = toRaster(design.center) - cv::Point2d(window.tl());
  const double px_per_m = 1.0 / config_.resolution_m;
  const double radius_px = design.radius * px_per_m;
  // Specks cover some hundredths of the area they are strewn over: half of them scattered, half
  // in a denser heap at the middle.
  const double coverage = rng.uniform(0.07, 0.11) * CV_PI * radius_px * radius_px;
  const double soil_scale = rng.uniform(0.6, 1.5);
  const cv::Scalar soil = jitter(rng, cv::Scalar(30, 38, 45), 6.0) * soil_scale;
  double covered = 0.0;
  while (covered < coverage) {
    const bool heaped = rng.uniform(0.0, 1.0) < 0.5;
    const double distance = heaped ? std::abs(rng.gaussian(radius_px / 3.0)) :
      radius_px * std::sqrt(rng.uniform(0.0, 1.0));
    if (distance > radius_px) {
      continue;
    }
    const double angle = rng.uniform(0.0, 2.0 * CV_PI);
    const cv::Point2d offset = distance * cv::Point2d(std::cos(angle), std::sin(angle));
    const bool crumb = rng.uniform(0.0, 1.0) < 0.1;
    const cv::Scalar tone = crumb ? jitter(rng, cv::Scalar(120, 170, 200), 15.0) : soil;
    const double a = rng.uniform(0.003, 0.008) * px_per_m;
    const double b = a * rng.uniform(0.6, 1.0);
    const cv::Point at(
      cvRound((center.x + offset.x) * 16.0), cvRound((center.y + offset.y) * 16.0));
    const double tilt = rng.uniform(0.0, 180.0);
    // The colour reaches a little beyond the anti-aliased alpha so edges take the speck's tone.
    cv::ellipse(
      colour, at, cv::Size(cvRound((a + 1.0) * 16.0), cvRound((b + 1.0) * 16.0)), tilt, 0, 360,
      tone, cv::FILLED, cv::LINE_8, 4);
    cv::ellipse(
      alpha, at, cv::Size(cvRound(a * 16.0), cvRound(b * 16.0)), tilt, 0, 360,
      cv::Scalar(rng.uniform(0.7, 0.95)), cv::FILLED, cv::LINE_AA, 4);
    covered += CV_PI * a * b;
  }
  cv::Mat window_image = albedo_(window);
  blendColour(window_image, alpha, colour);
}

void World::paintWater(const StainDesign & design, const cv::Rect & window, cv::Mat & alpha)
{
  cv::RNG rng(design.shape_seed);
  const cv::Point2d center = toRaster(design.center) - cv::Point2d(window.tl());
  const double radius_px = design.radius / config_.resolution_m;
  cv::fillPoly(
    alpha, std::vector<std::vector<cv::Point>>{blobOutline(rng, center, radius_px, 0.35)},
    cv::Scalar(1.0), cv::LINE_AA, 4);
  cv::GaussianBlur(alpha, alpha, cv::Size(0, 0), std::max(1.0, radius_px * 0.04));
  // Darker tide mark just inside the rim.
  cv::Mat core;
  cv::erode(
    alpha > 0.5, core,
    cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(9, 9)));
  cv::Mat rim;
  core.convertTo(rim, CV_32F, 1.0 / 255.0);
  rim = cv::max(alpha - rim, 0.0);
  cv::GaussianBlur(rim, rim, cv::Size(0, 0), 1.0);
  const double rim_darkening = rng.uniform(0.05, 0.12);
  const double body_darkening = rng.uniform(0.12, 0.25);
  cv::Mat darkening = alpha * body_darkening + rim * rim_darkening;
  cv::Mat keep = 1.0 - darkening;
  cv::Mat keep3;
  cv::merge(std::vector<cv::Mat>{keep, keep, keep}, keep3);
  cv::Mat window_image = albedo_(window);
  cv::Mat wet;
  window_image.convertTo(wet, CV_32FC3);
  wet = wet.mul(keep3);
  wet.convertTo(window_image, CV_8UC3);
  // The wet surface mirrors the windows in a faint streak.
  cv::Mat sheen = cv::Mat::zeros(window.size(), CV_32F);
  const cv::Point2d streak = center + cv::Point2d(-0.3 * radius_px, -0.25 * radius_px);
  cv::ellipse(
    sheen, streak, cv::Size(cvRound(radius_px * 0.45), cvRound(radius_px * 0.15)),
    rng.uniform(20.0, 60.0), 0, 360, cv::Scalar(1.0), cv::FILLED, cv::LINE_AA);
  cv::GaussianBlur(sheen, sheen, cv::Size(0, 0), std::max(1.0, radius_px * 0.08));
  blendColour(
    window_image, sheen.mul(alpha) * rng.uniform(0.05, 0.15),
    cv::Mat(window.size(), CV_32FC3, cv::Scalar::all(255)));
}

void World::paintStubborn(const StainDesign & design, const cv::Rect & window, cv::Mat & alpha)
{
  cv::RNG rng(design.shape_seed);
  const cv::Point2d center = toRaster(design.center) - cv::Point2d(window.tl());
  const double radius_px = design.radius / config_.resolution_m;
  std::vector<std::vector<cv::Point>> outlines{blobOutline(rng, center, radius_px, 0.45)};
  // Satellite drops around the main smear.
  const int drops = rng.uniform(1, 6);
  for (int drop = 0; drop < drops; ++drop) {
    const double angle = rng.uniform(0.0, 2.0 * CV_PI);
    const double distance = radius_px * rng.uniform(1.05, 1.4);
    outlines.push_back(
      blobOutline(
        rng, center + distance * cv::Point2d(std::cos(angle), std::sin(angle)),
        radius_px * rng.uniform(0.05, 0.12), 0.3));
  }
  cv::fillPoly(alpha, outlines, cv::Scalar(1.0), cv::LINE_AA, 4);
  // Coffee, oil, dark vomit: brown to black.
  static const std::array<cv::Scalar, 6> palette{
    cv::Scalar(30, 50, 80), cv::Scalar(55, 78, 111), cv::Scalar(22, 20, 20),
    cv::Scalar(25, 40, 60), cv::Scalar(40, 80, 95), cv::Scalar(20, 28, 40)};
  // Separate draws: the order of two draws in one expression differs between compilers.
  const double tone_scale = rng.uniform(0.9, 1.1);
  const cv::Scalar tone = palette[static_cast<std::size_t>(rng.uniform(0, 6))] * tone_scale;
  cv::Mat colour(window.size(), CV_32FC3, tone);
  cv::Mat blotches = 1.0 + mottling(rng, window.size(), 8, 0.08);
  cv::Mat blotches3;
  cv::merge(std::vector<cv::Mat>{blotches, blotches, blotches}, blotches3);
  colour = colour.mul(blotches3);
  cv::Mat window_image = albedo_(window);
  blendColour(window_image, alpha * rng.uniform(0.88, 1.0), colour);
}

const cv::Mat & World::texture() const
{
  if (texture_stale_) {
    cv::Mat lit;
    albedo_.convertTo(lit, CV_32FC3);
    cv::Mat gain3;
    cv::merge(std::vector<cv::Mat>{lighting_, lighting_, lighting_}, gain3);
    lit = lit.mul(gain3);
    lit.convertTo(texture_, CV_8UC3);
    texture_stale_ = false;
  }
  return texture_;
}

}  // namespace velmora_sim
