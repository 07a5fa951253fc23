// Writes a node archive for the review tool's tests and measurements: N frames spread over the
// three cameras at 30 Hz each, filed by verdict like the node does, some also sent to the VLM.
// The images are the classifier's sample patches, flipped and re-lit so neighbours differ.

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "review/archive_index.hpp"

namespace
{

namespace fs = std::filesystem;
using velmora_review::Camera;
using velmora_review::Verdict;

constexpr int kSide = 192;
constexpr std::uint32_t kFrameNs = 33'333'333;

std::vector<std::vector<cv::Mat>> loadSamples(const fs::path & samples)
{
  std::vector<std::vector<cv::Mat>> by_class(3);
  const char * const names[] = {"clean", "dirty", "stubborn"};
  for (int label = 0; label < 3; ++label) {
    for (int number = 1; number <= 2; ++number) {
      const fs::path file = samples / (std::string(names[label]) + "_" +
        std::to_string(number) + ".jpg");
      cv::Mat image = cv::imread(file.string());
      if (image.empty()) {
        throw std::runtime_error("cannot read " + file.string());
      }
      cv::resize(image, image, cv::Size(kSide, kSide), 0, 0, cv::INTER_AREA);
      by_class[label].push_back(image);
    }
  }
  return by_class;
}

cv::Mat variant(const cv::Mat & base, std::mt19937 & random)
{
  cv::Mat image;
  const int flip = static_cast<int>(random() % 4) - 1;
  if (flip >= -1 && flip <= 1) {
    cv::flip(base, image, flip);
  } else {
    image = base.clone();
  }
  image.convertTo(image, -1, 0.75 + (random() % 50) / 100.0, 0);
  return image;
}

}  // namespace

int main(int argc, char ** argv)
{
  if (argc < 4) {
    std::cerr << "usage: make_review_archive OUT FRAMES SAMPLES_DIR [FIRST_SEC [SEED]]\n";
    return EXIT_FAILURE;
  }
  const fs::path out = argv[1];
  const long frames = std::atol(argv[2]);
  const auto samples = loadSamples(argv[3]);
  const std::int32_t first_sec = argc > 4 ? std::atoi(argv[4]) : 1765100000;
  std::mt19937 random(argc > 5 ? std::atoi(argv[5]) : 1);
  for (const auto & category : velmora_review::archiveCategories()) {
    fs::create_directories(out / category.name);
  }
  const std::vector<int> jpeg{cv::IMWRITE_JPEG_QUALITY, 85};
  for (long frame = 0; frame < frames; ++frame) {
    const Camera camera = velmora_review::kCameras[frame % 3];
    const std::int64_t ns = (frame / 3) * static_cast<std::int64_t>(kFrameNs) +
      static_cast<std::int64_t>(frame % 3) * 1'000'000;
    const velmora_review::Stamp stamp{static_cast<std::int32_t>(first_sec + ns / 1'000'000'000),
      static_cast<std::uint32_t>(ns % 1'000'000'000)};
    const int roll = static_cast<int>(random() % 100);
    const int label = roll < 60 ? 0 : roll < 85 ? 1 : 2;
    const bool vlm = random() % 100 < 20;
    const bool verdict_filed = !vlm || random() % 100 < 85;
    const cv::Mat image = variant(samples[label][random() % 2], random);
    const std::string name = stamp.text() + ".jpg";
    if (vlm) {
      cv::imwrite((out / velmora_review::categoryOf(camera, Verdict::none).name / name).string(),
        image, jpeg);
    }
    if (verdict_filed) {
      cv::imwrite((out / velmora_review::categoryOf(camera, static_cast<Verdict>(label)).name /
        name).string(), image, jpeg);
    }
  }
  std::cout << "make_review_archive: " << frames << " frames in " << out.string() << std::endl;
  return EXIT_SUCCESS;
}
