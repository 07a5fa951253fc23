#ifndef REPLAY__REPLAY_REPORT_HPP_
#define REPLAY__REPLAY_REPORT_HPP_

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "replay/replay.hpp"
#include "sim/report.hpp"

namespace velmora_replay
{

// Per camera and overall: frames delivered, judged, dropped; verdicts, VLM calls, latencies;
// with labels the confusion matrix, precision and recall over the labelled frames only.
velmora_sim::SimReport buildReport(
  const ReplayOutcome & outcome, const velmora_sim::RunInfo & info, const ReplayOptions & options,
  const std::string & image_dir);

// The writers throw std::runtime_error when the file cannot be written completely.
void writeReplayJson(
  const std::string & path, const ReplayOutcome & outcome, const ReplayOptions & options);

// Judged floor regions (placed with the recorded map <- base_footprint) outlined in their
// verdict's colour, and the robot's path; a note when the bag held no such pose.
void writeReplayMap(
  const std::string & path, const ReplayOutcome & outcome, const std::vector<cv::Point2d> & path_points);

std::string replaySummary(const ReplayOutcome & outcome);

}  // namespace velmora_replay

#endif  // REPLAY__REPLAY_REPORT_HPP_
