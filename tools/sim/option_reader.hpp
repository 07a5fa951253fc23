#ifndef SIM__OPTION_READER_HPP_
#define SIM__OPTION_READER_HPP_

#include <cstddef>
#include <string>
#include <vector>

#include "sim/camera_rig.hpp"

namespace velmora_sim
{

// Walks a command line whose options come as "--name value" or "--name=value". An argument
// that is not an option is handed out as it is, for the caller to take as a positional one.
class OptionReader
{
public:
  explicit OptionReader(const std::vector<std::string> & arguments);

  // Moves to the next argument; false once all are read.
  bool next();
  // The current option's name ("--name" of "--name=value"), or the argument itself.
  const std::string & option() const {return option_;}
  // The current option's value: what follows its "=", else the next argument, which is then
  // used up. Throws std::invalid_argument naming the option when there is none.
  std::string value();

private:
  const std::vector<std::string> & arguments_;
  std::size_t index_{0};
  bool started_{false};
  std::string option_;
  std::string inline_value_;
  bool has_inline_value_{false};
};

// "rear,front,fisheye" or any part of it, in the order given, each once. Throws
// std::invalid_argument for an unknown name or an empty list.
std::vector<CameraId> parseCameras(const std::string & text);

// `url` when it points at this machine; throws std::invalid_argument otherwise, so that a run
// never sends its images off this machine.
std::string loopbackVlmUrl(const std::string & url);

}  // namespace velmora_sim

#endif  // SIM__OPTION_READER_HPP_
