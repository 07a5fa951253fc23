#include "vlm_stub_rule.hpp"

#include <array>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

namespace vlm_stub
{

namespace
{

int medianGrey(const cv::Mat & grey)
{
  std::array<std::size_t, 256> histogram{};
  for (int row = 0; row < grey.rows; ++row) {
    const uint8_t * pixel = grey.ptr<uint8_t>(row);
    for (int col = 0; col < grey.cols; ++col) {
      ++histogram[pixel[col]];
    }
  }
  const std::size_t half = grey.total() / 2;
  std::size_t seen = 0;
  for (int level = 0; level < 256; ++level) {
    seen += histogram[level];
    if (seen > half) {
      return level;
    }
  }
  return 255;
}

cv::Mat stainMask(const cv::Mat & patch, const cv::Mat & grey)
{
  cv::Mat dark = grey < kDarkRatio * medianGrey(grey);
  if (patch.channels() == 1) {
    return dark;
  }
  cv::Mat hsv;
  cv::cvtColor(patch, hsv, cv::COLOR_BGR2HSV);
  cv::Mat saturation;
  cv::extractChannel(hsv, saturation, 1);
  return dark | (saturation >= kStrongSaturation);
}

}  // namespace

StainJudgement judgeFloorPatch(const cv::Mat & patch)
{
  if (patch.empty()) {
    return {};
  }
  if (patch.type() != CV_8UC3 && patch.type() != CV_8UC1) {
    throw std::invalid_argument(
            "the stain rule needs an 8-bit BGR or grey patch, not " +
            cv::typeToString(patch.type()));
  }
  cv::Mat grey = patch;
  if (patch.channels() == 3) {
    cv::cvtColor(patch, grey, cv::COLOR_BGR2GRAY);
  }
  const double share =
    static_cast<double>(cv::countNonZero(stainMask(patch, grey))) / patch.total();
  return {share >= kStainedShare, share};
}

std::string stubAnswer(const StainJudgement & judgement)
{
  if (judgement.stained) {
    return "Yes, there is a dark or coloured stain on the floor.";
  }
  return "No, the floor looks clean.";
}

}  // namespace vlm_stub
