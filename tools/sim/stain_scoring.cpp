#include "sim/stain_scoring.hpp"

#include <algorithm>

namespace velmora_sim
{

namespace
{

bool wanted(const std::vector<std::string> & cameras, const std::string & camera)
{
  return cameras.empty() || std::find(cameras.begin(), cameras.end(), camera) != cameras.end();
}

template<typename T>
double median(std::vector<T> values)
{
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? static_cast<double>(values[n / 2]) :
         0.5 * (static_cast<double>(values[n / 2 - 1]) + static_cast<double>(values[n / 2]));
}

// Judged frames of the wanted cameras in time order; ties keep the given order.
std::vector<const ScoredFrame *> judgedInTimeOrder(
  const std::vector<ScoredFrame> & frames, const std::vector<std::string> & cameras)
{
  std::vector<const ScoredFrame *> judged;
  for (const ScoredFrame & frame : frames) {
    if (frame.judged && wanted(cameras, frame.camera)) {
      judged.push_back(&frame);
    }
  }
  std::stable_sort(
    judged.begin(), judged.end(),
    [](const ScoredFrame * a, const ScoredFrame * b) {return a->time_s < b->time_s;});
  return judged;
}

void follow(StainOutcome & outcome, const ScoredFrame & frame)
{
  if (outcome.found) {
    return;
  }
  if (!outcome.seen) {
    outcome.seen = true;
    outcome.first_seen_s = frame.time_s;
  }
  if (frame.flagged) {
    outcome.found = true;
    outcome.first_found_s = frame.time_s;
  } else {
    ++outcome.frames_to_detection;
  }
}

}  // namespace

std::string truthRuleName(TruthRule rule)
{
  return rule == TruthRule::area ? "area" : "visible";
}

bool shows(const StainInView & stain, TruthRule rule)
{
  return rule == TruthRule::area ? stain.area_m2 >= kMinStainArea :
         stain.patch_share >= kMinPatchShare;
}

std::vector<StainOutcome> scoreStains(
  const std::vector<StainLabel> & stains, const std::vector<ScoredFrame> & frames,
  TruthRule rule, const std::vector<std::string> & cameras)
{
  std::vector<StainOutcome> outcomes;
  std::map<int, std::size_t> index_of;
  for (const StainLabel & stain : stains) {
    index_of[stain.id] = outcomes.size();
    StainOutcome outcome;
    outcome.id = stain.id;
    outcome.kind = stain.kind;
    outcomes.push_back(outcome);
  }
  for (const ScoredFrame * frame : judgedInTimeOrder(frames, cameras)) {
    for (const StainInView & stain : frame->stains) {
      const auto known = index_of.find(stain.stain_id);
      if (known != index_of.end() && shows(stain, rule)) {
        follow(outcomes[known->second], *frame);
      }
    }
  }
  for (StainOutcome & outcome : outcomes) {
    if (!outcome.found) {
      outcome.frames_to_detection = 0;
    }
  }
  return outcomes;
}

StainTally tallyStains(const std::vector<StainOutcome> & outcomes, const std::string & kind)
{
  StainTally tally;
  std::vector<std::size_t> frames;
  std::vector<double> seconds;
  for (const StainOutcome & outcome : outcomes) {
    if (!kind.empty() && outcome.kind != kind) {
      continue;
    }
    ++tally.stains;
    tally.seen += outcome.seen ? 1 : 0;
    if (outcome.found) {
      ++tally.found;
      frames.push_back(outcome.frames_to_detection);
      seconds.push_back(*outcome.first_found_s - *outcome.first_seen_s);
    }
  }
  if (tally.seen > 0) {
    tally.recall = static_cast<double>(tally.found) / tally.seen;
  }
  if (!frames.empty()) {
    tally.frames_to_detection_median = median(frames);
    tally.frames_to_detection_max = *std::max_element(frames.begin(), frames.end());
    tally.seconds_to_detection_median = median(seconds);
    tally.seconds_to_detection_max = *std::max_element(seconds.begin(), seconds.end());
  }
  return tally;
}

FalseAlarms countFalseAlarms(
  const std::vector<ScoredFrame> & frames, const std::vector<std::string> & cameras)
{
  FalseAlarms alarms;
  for (const ScoredFrame & frame : frames) {
    if (frame.judged && frame.stains.empty() && wanted(cameras, frame.camera)) {
      ++alarms.stain_free_judged;
      alarms.alarms += frame.flagged ? 1 : 0;
      alarms.judged_by_vlm += frame.flagged && frame.vlm_judged ? 1 : 0;
    }
  }
  if (alarms.stain_free_judged > 0) {
    alarms.rate = static_cast<double>(alarms.alarms) / alarms.stain_free_judged;
  }
  return alarms;
}

StainScore scoreRun(
  const std::vector<StainLabel> & stains, const std::vector<ScoredFrame> & frames,
  TruthRule rule, const std::vector<std::string> & kinds,
  const std::vector<std::string> & cameras)
{
  StainScore score;
  score.rule = rule;
  score.stains = scoreStains(stains, frames, rule, cameras);
  score.overall = tallyStains(score.stains);
  for (const std::string & kind : kinds) {
    score.by_kind[kind] = tallyStains(score.stains, kind);
  }
  for (const std::string & camera : cameras) {
    score.by_camera[camera] = tallyStains(scoreStains(stains, frames, rule, {camera}));
  }
  return score;
}

}  // namespace velmora_sim
