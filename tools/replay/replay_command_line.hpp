#ifndef REPLAY__REPLAY_COMMAND_LINE_HPP_
#define REPLAY__REPLAY_COMMAND_LINE_HPP_

#include <string>
#include <vector>

#include "replay/replay.hpp"

namespace velmora_replay
{

struct ReplayCommandLine
{
  ReplayOptions options;
  bool help{false};
};

// Parses the options ("--name value", "--name=value", "-p name:=value"); throws
// std::invalid_argument naming the offending option.
ReplayCommandLine parseReplayCommandLine(
  const std::vector<std::string> & arguments, const std::string & default_engine);

// A node parameter from "name:=value": true/false, whole numbers and decimals are typed, the
// rest is text.
rclcpp::Parameter parseParameter(const std::string & assignment);
// Every entry under "ros__parameters" of a ROS 2 parameters file.
std::vector<rclcpp::Parameter> readParametersFile(const std::string & path);

std::string replayUsage();

// The whole program; returns the exit status: 0 done, 2 the bag cannot be opened or the replay
// must not start (one line on standard error), 1 any other failure.
int runCommandLine(int argc, char ** argv);

}  // namespace velmora_replay

#endif  // REPLAY__REPLAY_COMMAND_LINE_HPP_
