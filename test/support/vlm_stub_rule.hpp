#ifndef VLM_STUB_RULE_HPP_
#define VLM_STUB_RULE_HPP_

#include <string>

#include <opencv2/core.hpp>

namespace vlm_stub
{

// The stand-in VLM's whole judgement, so that the simulator and tests get answers that follow
// the picture. It is a plain pixel rule, not a model:
//  - a pixel looks like a stain when its grey level is below kDarkRatio times the patch's median
//    grey level (a dark puddle or smear on a lighter floor), or when its HSV saturation is at
//    least kStrongSaturation (vomit, drinks and other coloured spills on a grey floor);
//  - the patch is stained when at least kStainedShare of its pixels look like a stain.
constexpr double kDarkRatio = 0.6;
constexpr int kStrongSaturation = 150;
constexpr double kStainedShare = 0.02;

struct StainJudgement
{
  bool stained{false};
  double stain_share{0.0};  // share of stain-like pixels, 0 to 1
};

// `patch` is 8-bit BGR (or 8-bit grey, which has no saturation); anything else throws
// std::invalid_argument. An empty patch is clean.
StainJudgement judgeFloorPatch(const cv::Mat & patch);

// The sentence the stand-in answers with: "Yes, there is ..." or "No, the floor looks clean.".
std::string stubAnswer(const StainJudgement & judgement);

}  // namespace vlm_stub

#endif  // VLM_STUB_RULE_HPP_
