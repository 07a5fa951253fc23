#ifndef SIM__COMMAND_LINE_HPP_
#define SIM__COMMAND_LINE_HPP_

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "sim/simulator.hpp"

namespace velmora_sim
{

struct CommandLine
{
  SimOptions options;
  bool help{false};
};

// Parses the simulator's options ("--name value" or "--name=value"); throws
// std::invalid_argument naming the offending option. `default_engine` is used without --engine.
CommandLine parseCommandLine(
  const std::vector<std::string> & arguments, const std::string & default_engine);

std::string usage();

// The shipped classifier: models/floor_mobilenet.onnx of the working directory when it is the
// repository, otherwise of the repository holding the build directory of `executable`.
std::string defaultEnginePath(const std::string & executable);

// A bar redrawn in place on a terminal; on anything else a plain line every tenth of the run.
class ProgressReporter
{
public:
  ProgressReporter(std::ostream & out, bool terminal);
  void update(const SimProgress & progress);
  void finish();

private:
  std::ostream & out_;
  bool terminal_;
  int last_tenth_{-1};
  std::chrono::steady_clock::time_point start_;
  bool drawn_{false};
};

// The whole program: parse, run, print the summary; returns the exit status.
int runCommandLine(int argc, char ** argv);

}  // namespace velmora_sim

#endif  // SIM__COMMAND_LINE_HPP_
