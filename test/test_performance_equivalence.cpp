#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "pipeline_fixture.hpp"
#include "reference_pipeline.hpp"
#include "velmora_water_stain/archive.hpp"
#include "velmora_water_stain/classifier.hpp"
#include "velmora_water_stain/fisheye.hpp"

namespace vws = velmora_water_stain;

namespace
{

const std::array<float, 3> kMean{0.485f, 0.456f, 0.406f};
const std::array<float, 3> kStd{0.229f, 0.224f, 0.225f};

cv::Mat randomImage(cv::Size size, int type, uint64_t seed)
{
  cv::Mat image(size, type);
  cv::RNG rng(seed);
  rng.fill(image, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(256));
  return image;
}

// Same shape, same type and the same bytes: stricter than a zero difference, which would let
// -0 pass for +0.
::testing::AssertionResult sameBits(const cv::Mat & actual, const cv::Mat & expected)
{
  if (actual.dims != expected.dims || actual.size != expected.size ||
    actual.type() != expected.type())
  {
    return ::testing::AssertionFailure() << "shape or type differs";
  }
  const cv::Mat a = actual.isContinuous() ? actual : actual.clone();
  const cv::Mat b = expected.isContinuous() ? expected : expected.clone();
  if (std::memcmp(a.data, b.data, a.total() * a.elemSize()) != 0) {
    return ::testing::AssertionFailure() << "pixels differ, largest difference " <<
           cv::norm(actual, expected, cv::NORM_INF);
  }
  return ::testing::AssertionSuccess();
}

std::string fileBytes(const std::string & path)
{
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

vws::FisheyeUndistorter compiledInUndistorter()
{
  const auto calibration = reference_pipeline::compiledInFisheye();
  return vws::FisheyeUndistorter(
    calibration.K, calibration.D, calibration.new_K, vws::kFisheyeUndistortedSize);
}

}  // namespace

TEST(PreprocessingEquivalence, OnePassGivesTheStepByStepBlobToTheBit)
{
  struct Case
  {
    cv::Size size;
    int type;
  };
  // The three cameras' patch sizes, sizes around and at the network's, degenerate strips, and
  // pixel types that only a caller outside the pipelines could pass.
  const std::vector<Case> cases{
    {{362, 316}, CV_8UC3}, {{600, 198}, CV_8UC3}, {{365, 291}, CV_8UC3},
    {{224, 224}, CV_8UC3}, {{150, 37}, CV_8UC3}, {{1, 1}, CV_8UC3}, {{1000, 3}, CV_8UC3},
    {{301, 257}, CV_8UC4}, {{64, 48}, CV_16UC3},
  };
  uint64_t seed = 1;
  for (const auto & test_case : cases) {
    for (int repeat = 0; repeat < 3; ++repeat) {
      const cv::Mat crop = randomImage(test_case.size, test_case.type, seed++);
      EXPECT_TRUE(
        sameBits(
          vws::preprocessForClassifier(crop, {224, 224}, kMean, kStd),
          reference_pipeline::preprocess(crop, {224, 224}, kMean, kStd)))
        << test_case.size << " type " << test_case.type;
    }
  }
  // Every byte value in every channel, at the network's size so no interpolation mixes them.
  cv::Mat ramp(224, 224, CV_8UC3);
  for (int i = 0; i < 224 * 224; ++i) {
    ramp.at<cv::Vec3b>(i / 224, i % 224) = cv::Vec3b(i % 256, (i / 7) % 256, (i / 13) % 256);
  }
  EXPECT_TRUE(
    sameBits(
      vws::preprocessForClassifier(ramp, {224, 224}, kMean, kStd),
      reference_pipeline::preprocess(ramp, {224, 224}, kMean, kStd)));
  EXPECT_THROW(vws::preprocessForClassifier(cv::Mat(), {224, 224}, kMean, kStd), cv::Exception);
}

TEST(FisheyeCropEquivalence, WindowedUndistortionAndFixedWarpGiveTheWholeFrameCrop)
{
  const auto calibration = reference_pipeline::compiledInFisheye();
  vws::FisheyeFloorCrop crop(
    compiledInUndistorter(), vws::projectFisheyeCorners(
      calibration.floor_corners, calibration.rvec, calibration.tvec, calibration.new_K));
  // One crop object for all frames: what a frame leaves behind must not show in the next, not
  // even after a frame of another type or size.
  const std::vector<cv::Mat> frames{
    randomImage({800, 600}, CV_8UC3, 11), randomImage({800, 600}, CV_8UC3, 12),
    randomImage({640, 480}, CV_8UC3, 13), randomImage({1280, 720}, CV_8UC3, 14),
    randomImage({800, 600}, CV_8UC1, 15), randomImage({800, 600}, CV_8UC3, 16),
    cv::Mat(600, 800, CV_8UC3, cv::Scalar(255, 255, 255)),
  };
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const cv::Mat expected = reference_pipeline::fisheyeCrop(frames[i], calibration);
    ASSERT_EQ(expected.size(), cv::Size(365, 291));
    EXPECT_TRUE(sameBits(crop.crop(frames[i]), expected)) << "frame " << i;
  }
  EXPECT_THROW(crop.crop(cv::Mat()), cv::Exception);
  // A grey first frame: an unallocated buffer has the grey type too.
  vws::FisheyeFloorCrop grey_first(
    compiledInUndistorter(), vws::projectFisheyeCorners(
      calibration.floor_corners, calibration.rvec, calibration.tvec, calibration.new_K));
  EXPECT_TRUE(
    sameBits(
      grey_first.crop(frames[4]), reference_pipeline::fisheyeCrop(frames[4], calibration)));
}

TEST(FisheyeCropEquivalence, WindowCoversWhatAnyQuadrilateralReads)
{
  const vws::FisheyeUndistorter undistorter = compiledInUndistorter();
  // Inside the image, across its left and top edges, entirely outside, and a skewed one whose
  // far edge is much shorter than its near edge.
  const std::vector<std::vector<cv::Point2f>> quadrilaterals{
    {{500.0f, 200.0f}, {300.0f, 200.0f}, {300.0f, 400.0f}, {500.0f, 400.0f}},
    {{100.0f, -50.0f}, {-80.0f, -40.0f}, {-60.0f, 150.0f}, {120.0f, 140.0f}},
    {{1200.0f, 900.0f}, {1000.0f, 900.0f}, {1000.0f, 1000.0f}, {1200.0f, 1000.0f}},
    {{420.5f, 250.25f}, {390.75f, 251.5f}, {120.0f, 590.0f}, {700.0f, 598.0f}},
  };
  const cv::Mat frame = randomImage({800, 600}, CV_8UC3, 21);
  const cv::Mat undistorted = undistorter.undistort(frame);
  for (std::size_t i = 0; i < quadrilaterals.size(); ++i) {
    vws::FisheyeFloorCrop crop(undistorter, quadrilaterals[i]);
    EXPECT_TRUE(
      sameBits(crop.crop(frame), reference_pipeline::rectify(undistorted, quadrilaterals[i])))
      << "quadrilateral " << i;
  }
  // Without extent the crop fails per frame, as the warp always has.
  vws::FisheyeFloorCrop flat(
    undistorter, {{10.0f, 10.0f}, {10.0f, 10.0f}, {10.0f, 10.0f}, {10.0f, 10.0f}});
  EXPECT_THROW(flat.crop(frame), cv::Exception);
}

// OpenCV splits the warps and the network's layers over its threads; how many it uses must not
// change a single bit of what the node judges.
TEST(ThreadCountEquivalence, OneAndTwoOpenCvThreadsGiveTheSameResults)
{
  test_support::ensureRclcppInit();
  test_support::TemporaryDirectory archive;
  const std::string source_dir = VELMORA_SOURCE_DIR;
  std::vector<std::string> models{source_dir + "/test/models/floor_colour.onnx"};
  const std::string shipped = source_dir + "/models/floor_mobilenet.onnx";
  if (std::filesystem::exists(shipped)) {
    models.push_back(shipped);
  }
  const int default_threads = cv::getNumThreads();
  const auto calibration = reference_pipeline::compiledInFisheye();
  vws::FisheyeFloorCrop crop(
    compiledInUndistorter(), vws::projectFisheyeCorners(
      calibration.floor_corners, calibration.rvec, calibration.tvec, calibration.new_K));
  const std::vector<cv::Point2f> quadrilateral{
    {420.0f, 250.0f}, {220.0f, 250.0f}, {100.0f, 470.0f}, {540.0f, 470.0f}};
  for (const auto & model : models) {
    const auto node = std::make_shared<WaterStainNode>(
      rclcpp::NodeOptions().parameter_overrides({
          {"engine_path", model}, {"image_dir", archive / "images"}}));
    ASSERT_TRUE(node->engineLoaded()) << model;
    EXPECT_EQ(cv::getNumThreads(), 1) << "the node runs OpenCV on its own thread only";
    for (uint64_t seed = 40; seed < 43; ++seed) {
      const cv::Mat frame = randomImage({800, 600}, CV_8UC3, seed);
      std::array<cv::Mat, 2> fisheye_patches;
      std::array<cv::Mat, 2> colour_patches;
      std::array<std::vector<float>, 2> logits;
      for (int threads : {1, 2}) {
        cv::setNumThreads(threads);
        fisheye_patches[threads - 1] = crop.crop(frame);
        colour_patches[threads - 1] = vws::rectifyFloorPatch(frame, quadrilateral);
        cv::Mat blob = node->preprocessImage(colour_patches[threads - 1]);
        logits[threads - 1] = node->doInference(blob);
      }
      cv::setNumThreads(default_threads);
      EXPECT_TRUE(sameBits(fisheye_patches[0], fisheye_patches[1])) << seed;
      EXPECT_TRUE(sameBits(colour_patches[0], colour_patches[1])) << seed;
      ASSERT_EQ(logits[0].size(), 3u) << model;
      EXPECT_EQ(std::memcmp(logits[0].data(), logits[1].data(), 3 * sizeof(float)), 0)
        << model << " seed " << seed;
    }
  }
}

// The archive encodes 8-bit BGR itself; every other image goes through OpenCV as before.
TEST(ArchiveJpegEquivalence, OwnEncodingGivesImencodesBytes)
{
  cv::Mat smooth(291, 365, CV_8UC3);
  for (int y = 0; y < smooth.rows; ++y) {
    for (int x = 0; x < smooth.cols; ++x) {
      smooth.at<cv::Vec3b>(y, x) = cv::Vec3b(
        static_cast<uchar>(x / 2), static_cast<uchar>(y / 2), static_cast<uchar>((x + y) / 3));
    }
  }
  const cv::Mat wide = randomImage({600, 198}, CV_8UC3, 5);
  const std::vector<std::pair<std::string, cv::Mat>> images{
    {"smooth patch", smooth},
    {"noise, odd size", randomImage({17, 9}, CV_8UC3, 1)},
    {"one pixel", randomImage({1, 1}, CV_8UC3, 2)},
    {"region of a larger image", wide(cv::Rect(3, 5, 301, 150))},
    {"grey", randomImage({64, 48}, CV_8UC1, 3)},
    {"four channels", randomImage({64, 48}, CV_8UC4, 4)}};
  for (const auto & [name, image] : images) {
    std::vector<uchar> expected;
    ASSERT_TRUE(cv::imencode(".jpg", image, expected)) << name;
    const auto encoded = vws::encodeJpeg(image);
    ASSERT_TRUE(encoded) << name << ": " << encoded.error();
    EXPECT_TRUE(*encoded == expected) << name;
  }
  const auto empty = vws::encodeJpeg(cv::Mat());
  ASSERT_FALSE(empty);
  EXPECT_FALSE(empty.error().empty());
  // libjpeg's own refusal comes back as a failure with its message, not an exit.
  const auto too_wide = vws::encodeJpeg(cv::Mat(1, 70000, CV_8UC3, cv::Scalar::all(0)));
  ASSERT_FALSE(too_wide);
  EXPECT_NE(too_wide.error().find("image dimension"), std::string::npos) << too_wide.error();
}

class NodeEquivalenceTest : public pipeline_fixture::PipelineTest {};

TEST_F(NodeEquivalenceTest, ArchivedFisheyePatchIsTheReferenceCrop)
{
  startNode();
  const auto calibration = reference_pipeline::compiledInFisheye();
  for (int32_t sec = 1; sec <= 3; ++sec) {
    const cv::Mat frame = randomImage({800, 600}, CV_8UC3, 30 + sec);
    std_msgs::msg::Header header;
    header.stamp = test_scene::stamp(sec);
    poseAt(sec, 0.1 * sec);
    fisheye_images_->publish(*cv_bridge::CvImage(header, "bgr8", frame).toImageMsg());
    executor_.spin_some();

    std::vector<uchar> expected;
    const cv::Mat reference = reference_pipeline::fisheyeCrop(frame, calibration);
    ASSERT_TRUE(cv::imencode(".jpg", reference, expected));
    const auto categories = filedAs(sec, "_fish");
    ASSERT_FALSE(categories.empty()) << "frame " << sec;
    for (const auto & category : categories) {
      EXPECT_EQ(
        fileBytes(archive_ / (category + "/" + std::to_string(sec) + ".0.jpg")),
        std::string(expected.begin(), expected.end()))
        << category;
    }
  }
}
