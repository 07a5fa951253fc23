#include "replay/labels.hpp"

#include <fstream>
#include <limits>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace velmora_replay
{

namespace
{

std::string trimmed(const std::string & text)
{
  const std::size_t first = text.find_first_not_of(" \t\r");
  return first == std::string::npos ? "" :
         text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

velmora_sim::CameraId cameraNamed(const std::string & name)
{
  for (velmora_sim::CameraId camera : velmora_sim::kAllCameras) {
    if (velmora_sim::cameraDesign(camera).name == name) {
      return camera;
    }
  }
  throw std::invalid_argument("unknown camera '" + name + "' (rear, front, fisheye)");
}

velmora_water_stain::FloorClass classNamed(const std::string & name)
{
  if (name == "clean") {
    return velmora_water_stain::FloorClass::clean;
  }
  if (name == "dirty") {
    return velmora_water_stain::FloorClass::dirty;
  }
  if (name == "stubborn") {
    return velmora_water_stain::FloorClass::stubborn;
  }
  throw std::invalid_argument("unknown class '" + name + "' (clean, dirty, stubborn)");
}

}  // namespace

int64_t parseStampNs(const std::string & text)
{
  static const std::regex decimal(R"((\d{1,10})(?:\.(\d{1,9}))?)");
  std::smatch match;
  if (!std::regex_match(text, match, decimal)) {
    throw std::invalid_argument("'" + text + "' is not a stamp in decimal seconds");
  }
  std::string fraction = match[2].str();
  fraction.resize(9, '0');
  const int64_t seconds = std::stoll(match[1].str());
  const int64_t nanoseconds = std::stoll(fraction);
  if (seconds > (std::numeric_limits<int64_t>::max() - nanoseconds) / 1000000000LL) {
    throw std::invalid_argument("'" + text + "' is later than a stamp in nanoseconds can be");
  }
  return seconds * 1000000000LL + nanoseconds;
}

std::vector<Label> readLabels(const std::string & path)
{
  std::ifstream in(path);
  if (!in) {
    throw std::invalid_argument(path + ": cannot be read");
  }
  std::vector<Label> labels;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    line = trimmed(line.substr(0, line.find('#')));
    if (line.empty()) {
      continue;
    }
    std::vector<std::string> cells;
    std::stringstream row(line);
    std::string cell;
    while (std::getline(row, cell, ',')) {
      cells.push_back(trimmed(cell));
    }
    if (labels.empty() && !cells.empty() && cells[0] == "camera") {
      continue;
    }
    try {
      if (cells.size() != 4) {
        throw std::invalid_argument("needs camera,from,to,class");
      }
      Label label{cameraNamed(cells[0]), parseStampNs(cells[1]), parseStampNs(cells[2]),
        classNamed(cells[3])};
      if (label.to_ns < label.from_ns) {
        throw std::invalid_argument("the range ends before it starts");
      }
      labels.push_back(label);
    } catch (const std::invalid_argument & error) {
      throw std::invalid_argument(path + " line " + std::to_string(number) + ": " + error.what());
    }
  }
  return labels;
}

std::optional<velmora_water_stain::FloorClass> labelFor(
  const std::vector<Label> & labels, velmora_sim::CameraId camera, int64_t stamp_ns)
{
  for (const Label & label : labels) {
    if (label.camera == camera && stamp_ns >= label.from_ns && stamp_ns <= label.to_ns) {
      return label.floor_class;
    }
  }
  return std::nullopt;
}

}  // namespace velmora_replay
