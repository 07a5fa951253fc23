// Arbitrary intrinsics and camera mounts through the floor calibration: a calibration is either
// rejected or gives four finite corners whose patch can be cut out of an image.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

#include <opencv2/core.hpp>

#include "fuzz_support.hpp"
#include "geometry_msgs/msg/transform_stamped.hpp"
#include "velmora_water_stain/geometry.hpp"

namespace
{

// A camera mount the calibration accepts, next to the floor rectangle it looks at.
struct Scene
{
  const char * optical_frame;
  std::vector<cv::Point3f> floor_rectangle;  // as the node holds it, in base_footprint
  std::array<double, 4> rotation;            // optical frame from base_footprint: x, y, z, w
  std::array<double, 3> translation;
};

const std::array<Scene, 2> kScenes{{
  // Rear camera, 0.5 m up, looking backward.
  {"camera_05_color_optical_frame",
    {{-1.4f, 0.3f, 0.0f}, {-1.4f, -0.3f, 0.0f}, {-0.4f, -0.3f, 0.0f}, {-0.4f, 0.3f, 0.0f}},
    {0.5, 0.5, -0.5, 0.5}, {0.0, 0.5, 0.0}},
  // Front camera, 0.5 m up, looking forward.
  {"camera_01_color_optical_frame",
    {{1.9f, -0.5f, 0.0f}, {1.9f, 0.5f, 0.0f}, {0.9f, 0.5f, 0.0f}, {0.9f, -0.5f, 0.0f}},
    {0.5, -0.5, 0.5, 0.5}, {0.0, 0.5, 0.0}},
}};

const std::array<double, 9> kTypicalK{400.0, 0.0, 640.0, 0.0, 400.0, 360.0, 0.0, 0.0, 1.0};

cv::Mat consumeK(FuzzedDataProvider & data)
{
  cv::Mat K(3, 3, CV_64F);
  for (std::size_t i = 0; i < kTypicalK.size(); ++i) {
    K.at<double>(static_cast<int>(i)) = fuzz_support::consumeDouble(data, kTypicalK[i]);
  }
  return K;
}

geometry_msgs::msg::TransformStamped consumeMount(FuzzedDataProvider & data, const Scene & scene)
{
  geometry_msgs::msg::TransformStamped mount;
  mount.header.frame_id = scene.optical_frame;
  mount.child_frame_id = "base_footprint";
  auto & t = mount.transform.translation;
  t.x = fuzz_support::consumeDouble(data, scene.translation[0]);
  t.y = fuzz_support::consumeDouble(data, scene.translation[1]);
  t.z = fuzz_support::consumeDouble(data, scene.translation[2]);
  auto & q = mount.transform.rotation;
  q.x = fuzz_support::consumeDouble(data, scene.rotation[0]);
  q.y = fuzz_support::consumeDouble(data, scene.rotation[1]);
  q.z = fuzz_support::consumeDouble(data, scene.rotation[2]);
  q.w = fuzz_support::consumeDouble(data, scene.rotation[3]);
  return mount;
}

void checkAccepted(const std::vector<cv::Point2f> & quadrilateral)
{
  if (quadrilateral.size() != 4) {
    fuzz_support::fail("an accepted calibration does not have four corners");
  }
  for (const cv::Point2f & corner : quadrilateral) {
    if (!std::isfinite(corner.x) || !std::isfinite(corner.y)) {
      fuzz_support::fail("an accepted calibration has a non-finite corner");
    }
  }
  const cv::Size size = velmora_water_stain::floorPatchSize(quadrilateral);
  if (size.width <= 0 || size.height <= 0) {
    fuzz_support::fail("an accepted calibration gives an empty patch");
  }
}

// Accepted calibrations can ask for patches of gigabytes; cutting those only measures the
// allocator, and at a few per second the fuzzer would explore nothing else.
constexpr double kMaxCutPixels = 1 << 22;

// The camera pipelines drop a frame on cv::Exception; anything else would end the node.
void cutPatch(FuzzedDataProvider & data, const std::vector<cv::Point2f> & quadrilateral)
{
  const cv::Size patch_size = velmora_water_stain::floorPatchSize(quadrilateral);
  if (static_cast<double>(patch_size.width) * patch_size.height > kMaxCutPixels) {
    return;
  }
  const int width = data.ConsumeIntegralInRange<int>(1, 160);
  const int height = data.ConsumeIntegralInRange<int>(1, 120);
  const cv::Mat image(height, width, CV_8UC3, cv::Scalar(40, 120, 200));
  try {
    const cv::Mat patch = velmora_water_stain::rectifyFloorPatch(image, quadrilateral);
    if (patch.size() != patch_size || patch.type() != CV_8UC3) {
      fuzz_support::fail("the patch's size or type differs from the quadrilateral's");
    }
  } catch (const cv::Exception &) {
    // A dropped frame, as in the pipelines.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t * bytes, std::size_t size)
{
  FuzzedDataProvider data(bytes, size);
  const Scene & scene = kScenes[data.ConsumeIntegralInRange<std::size_t>(0, kScenes.size() - 1)];
  const cv::Mat K = consumeK(data);
  const geometry_msgs::msg::TransformStamped mount = consumeMount(data, scene);
  try {
    const auto quadrilateral =
      velmora_water_stain::projectFloorRectangle(K, mount, scene.floor_rectangle);
    if (!quadrilateral) {
      if (quadrilateral.error().empty()) {
        fuzz_support::fail("a rejected calibration does not say why");
      }
      return 0;
    }
    checkAccepted(*quadrilateral);
    cutPatch(data, *quadrilateral);
  } catch (const std::exception & error) {
    fuzz_support::fail("the calibration threw:", error.what());
  }
  return 0;
}
