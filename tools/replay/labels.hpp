#ifndef REPLAY__LABELS_HPP_
#define REPLAY__LABELS_HPP_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/camera_rig.hpp"
#include "velmora_water_stain/classifier.hpp"

namespace velmora_replay
{

// One labelled stretch of a camera's frames, by header stamp, both ends included.
struct Label
{
  velmora_sim::CameraId camera{velmora_sim::CameraId::rear};
  int64_t from_ns{0};
  int64_t to_ns{0};
  velmora_water_stain::FloorClass floor_class{velmora_water_stain::FloorClass::clean};
};

// Reads "camera,from,to,class" lines (an optional header line, '#' comments): camera rear,
// front or fisheye; stamps in decimal seconds ("1749315324.5" is 1749315324 s 500000000 ns);
// class clean, dirty or stubborn. Throws std::invalid_argument naming the line.
std::vector<Label> readLabels(const std::string & path);

// Parses decimal seconds exactly into nanoseconds; throws std::invalid_argument.
int64_t parseStampNs(const std::string & text);

// The class of the first label covering the frame, if any.
std::optional<velmora_water_stain::FloorClass> labelFor(
  const std::vector<Label> & labels, velmora_sim::CameraId camera, int64_t stamp_ns);

}  // namespace velmora_replay

#endif  // REPLAY__LABELS_HPP_
