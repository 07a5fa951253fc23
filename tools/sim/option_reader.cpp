#include "sim/option_reader.hpp"

#include <algorithm>
#include <sstream>
#include <stdexcept>

#include "sim/simulator.hpp"

namespace velmora_sim
{

OptionReader::OptionReader(const std::vector<std::string> & arguments)
: arguments_(arguments)
{
}

bool OptionReader::next()
{
  if (started_) {
    ++index_;
  }
  started_ = true;
  if (index_ >= arguments_.size()) {
    return false;
  }
  option_ = arguments_[index_];
  const std::size_t equals = option_.find('=');
  has_inline_value_ = option_.rfind("--", 0) == 0 && equals != std::string::npos;
  if (has_inline_value_) {
    inline_value_ = option_.substr(equals + 1);
    option_.resize(equals);
  }
  return true;
}

std::string OptionReader::value()
{
  if (has_inline_value_) {
    return inline_value_;
  }
  if (index_ + 1 >= arguments_.size()) {
    throw std::invalid_argument(option_ + " needs a value");
  }
  return arguments_[++index_];
}

std::vector<CameraId> parseCameras(const std::string & text)
{
  std::vector<CameraId> cameras;
  std::stringstream list(text);
  std::string name;
  while (std::getline(list, name, ',')) {
    const auto known = std::find_if(
      kAllCameras.begin(), kAllCameras.end(),
      [&name](CameraId camera) {return cameraDesign(camera).name == name;});
    if (known == kAllCameras.end()) {
      throw std::invalid_argument(
              "--cameras: unknown camera '" + name + "' (rear, front, fisheye)");
    }
    if (std::find(cameras.begin(), cameras.end(), *known) == cameras.end()) {
      cameras.push_back(*known);
    }
  }
  if (cameras.empty()) {
    throw std::invalid_argument("--cameras needs at least one of rear, front, fisheye");
  }
  return cameras;
}

std::string loopbackVlmUrl(const std::string & url)
{
  if (!isLoopbackUrl(url)) {
    throw std::invalid_argument(
            "--vlm-url must point at this machine (localhost, 127.x.x.x or [::1]), not '" + url +
            "'");
  }
  return url;
}

}  // namespace velmora_sim
