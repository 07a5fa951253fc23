#include "replay/replay_command_line.hpp"

#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <chrono>
#include <iomanip>
#include <cmath>
#include <iostream>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "bag/bag.hpp"
#include "replay/replay_report.hpp"
#include "sim/command_line.hpp"
#include "sim/option_reader.hpp"
#include "sim/simulator.hpp"

namespace velmora_replay
{

namespace
{

constexpr int kInterruptedStatus = 130;
// Far beyond any recording, and small enough that the window's nanoseconds fit an int64.
constexpr double kMaxSeconds = 1e9;

double parseSeconds(const std::string & option, const std::string & text)
{
  std::size_t used = 0;
  double value = -1.0;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception &) {
    used = 0;
  }
  if (used != text.size() || !(value >= 0.0 && value <= kMaxSeconds)) {
    throw std::invalid_argument(
            option + " needs a number of seconds from 0 to 1e9, not '" + text + "'");
  }
  return value;
}

std::pair<std::string, std::string> parseRemap(const std::string & text)
{
  const std::size_t arrow = text.find(":=");
  if (arrow == std::string::npos || arrow == 0 || arrow + 2 == text.size()) {
    throw std::invalid_argument("--remap needs /from:=/to, not '" + text + "'");
  }
  return {text.substr(0, arrow), text.substr(arrow + 2)};
}

rclcpp::Parameter typedParameter(const std::string & name, std::string value)
{
  static const std::regex whole(R"([-+]?\d+)");
  static const std::regex decimal(R"([-+]?(\d+\.\d*|\.\d+|\d+)([eE][-+]?\d+)?)");
  if (value == "true" || value == "false") {
    return rclcpp::Parameter(name, value == "true");
  }
  if (std::regex_match(value, whole)) {
    return rclcpp::Parameter(name, static_cast<int64_t>(std::stoll(value)));
  }
  if (std::regex_match(value, decimal)) {
    return rclcpp::Parameter(name, std::stod(value));
  }
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
    value.back() == value.front())
  {
    value = value.substr(1, value.size() - 2);
  }
  return rclcpp::Parameter(name, value);
}

// A bar redrawn in place on a terminal; on anything else a plain line every tenth of the window.
class ProgressReporter
{
public:
  ProgressReporter(std::ostream & out, bool terminal)
  : out_(out), terminal_(terminal), start_(std::chrono::steady_clock::now()) {}

  void update(const ReplayProgress & progress)
  {
    const double share = progress.window_s > 0.0 ?
      std::clamp(progress.bag_time_s / progress.window_s, 0.0, 1.0) : 1.0;
    const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::ostringstream line;
    line << std::fixed << std::setprecision(1) << progress.bag_time_s << " of " <<
      progress.window_s << " bag s, " << progress.frames_handled << '/' <<
      progress.frames_delivered << " frames handled, " << wall << " s";
    if (terminal_) {
      const int filled = static_cast<int>(share * kBarWidth);
      out_ << "\r[" << std::string(static_cast<std::size_t>(filled), '#') <<
        std::string(static_cast<std::size_t>(kBarWidth - filled), ' ') << "] " <<
        static_cast<int>(share * 100.0) << "%  " << line.str() << "   " << std::flush;
      drawn_ = true;
      return;
    }
    const int tenth = static_cast<int>(share * 10.0);
    if (tenth > last_tenth_) {
      last_tenth_ = tenth;
      out_ << "progress: " << tenth * 10 << "% (" << line.str() << ")\n";
    }
  }

  void finish()
  {
    if (drawn_) {
      out_ << '\n';
      drawn_ = false;
    }
  }

private:
  static constexpr int kBarWidth = 30;
  std::ostream & out_;
  bool terminal_;
  std::chrono::steady_clock::time_point start_;
  int last_tenth_{-1};
  bool drawn_{false};
};

}  // namespace

rclcpp::Parameter parseParameter(const std::string & assignment)
{
  const std::size_t arrow = assignment.find(":=");
  if (arrow == std::string::npos || arrow == 0) {
    throw std::invalid_argument("-p needs name:=value, not '" + assignment + "'");
  }
  return typedParameter(assignment.substr(0, arrow), assignment.substr(arrow + 2));
}

std::vector<rclcpp::Parameter> readParametersFile(const std::string & path)
{
  std::vector<rclcpp::Parameter> parameters;
  try {
    const YAML::Node root = YAML::LoadFile(path);
    for (const auto & node : root) {
      const YAML::Node values = node.second["ros__parameters"];
      for (const auto & entry : values) {
        if (!entry.second.IsScalar()) {
          throw std::invalid_argument(
                  path + ": parameter " + entry.first.as<std::string>() + " is not a single value");
        }
        parameters.push_back(
          typedParameter(entry.first.as<std::string>(), entry.second.as<std::string>()));
      }
    }
  } catch (const YAML::Exception & error) {
    throw std::invalid_argument(path + ": " + error.what());
  }
  return parameters;
}

ReplayCommandLine parseReplayCommandLine(
  const std::vector<std::string> & arguments, const std::string & default_engine)
{
  ReplayCommandLine command;
  ReplayOptions & options = command.options;
  options.engine_path = default_engine;
  velmora_sim::OptionReader reader(arguments);
  while (reader.next()) {
    const std::string & option = reader.option();
    if (option == "--help" || option == "-h") {
      command.help = true;
    } else if (option == "--out") {
      options.out_dir = reader.value();
    } else if (option == "--remap" || option == "-r") {
      options.remaps.push_back(parseRemap(reader.value()));
    } else if (option == "--cameras") {
      options.cameras = velmora_sim::parseCameras(reader.value());
    } else if (option == "--start") {
      options.start_s = parseSeconds(option, reader.value());
    } else if (option == "--duration") {
      options.duration_s = parseSeconds(option, reader.value());
    } else if (option == "--realtime") {
      options.realtime = true;
    } else if (option == "-p" || option == "--param") {
      options.parameters.push_back(parseParameter(reader.value()));
    } else if (option == "--params-file") {
      for (const rclcpp::Parameter & parameter : readParametersFile(reader.value())) {
        options.parameters.push_back(parameter);
      }
    } else if (option == "--vlm-url") {
      options.vlm_url = velmora_sim::loopbackVlmUrl(reader.value());
    } else if (option == "--engine") {
      options.engine_path = reader.value();
    } else if (option == "--status-msg") {
      options.status_definition_file = reader.value();
    } else if (option == "--always-working") {
      options.always_working = true;
    } else if (option == "--labels") {
      options.labels_file = reader.value();
    } else if (option == "--truth") {
      options.truth_file = reader.value();
    } else if (option.rfind("-", 0) == 0 && option.size() > 1) {
      throw std::invalid_argument("unknown option " + option + " (see --help)");
    } else if (options.bag.empty()) {
      options.bag = option;
    } else {
      throw std::invalid_argument("only one bag at a time ('" + option + "')");
    }
  }
  if (options.bag.empty() && !command.help) {
    throw std::invalid_argument("no bag given (see --help)");
  }
  return command;
}

std::string replayUsage()
{
  return
    "usage: water_stain_replay BAG [options]\n"
    "Feeds a recorded rosbag2 bag (a directory with metadata.yaml, a .db3 or an .mcap file)\n"
    "through the node in-process and writes images/, report.json, map.png and node.log.\n"
    "  --out DIR             output directory (default: the working directory)\n"
    "  --remap /from:=/to    feed a bag topic to a node topic (repeatable)\n"
    "  --cameras LIST        cameras to judge: rear,front,fisheye (default all)\n"
    "  --start S             window start, seconds after the bag's first message\n"
    "  --duration S          window length (default: to the bag's end)\n"
    "  --realtime            pace by bag time; frames the node cannot keep up with are dropped\n"
    "  -p NAME:=VALUE        node parameter (repeatable); --params-file FILE for a params YAML\n"
    "  --vlm-url URL         a VLM server on loopback (default: the stand-in, started here)\n"
    "  --engine PATH         classifier engine (default: models/floor_mobilenet.onnx)\n"
    "  --status-msg FILE     .msg of the /fsm_status type when the bag carries no definition\n"
    "  --always-working      open the working gate instead of reading /fsm_status\n"
    "  --labels FILE.csv     camera,from,to,class rows (stamps in decimal seconds) for scoring\n"
    "  --truth FILE          ground truth of a simulated recording (default: the sidecar that\n"
    "                        water_stain_sim --record wrote beside the bag, when present)\n"
    "Exit status: 0 done, 130 interrupted (the report covers the messages sent before), 2 the\n"
    "bag cannot be opened or the replay cannot start, 1 failure.\n";
}

int runCommandLine(int argc, char ** argv)
{
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  ReplayCommandLine command;
  try {
    command = parseReplayCommandLine(arguments, velmora_sim::defaultEnginePath(argv[0]));
  } catch (const std::invalid_argument & error) {
    std::cerr << "water_stain_replay: " << error.what() << '\n';
    return 2;
  }
  if (command.help) {
    std::cout << replayUsage();
    return 0;
  }
  ProgressReporter reporter(std::cerr, isatty(STDERR_FILENO) == 1);
  try {
    const ReplayOutcome outcome = runReplay(
      command.options, [&reporter](const ReplayProgress & progress) {reporter.update(progress);});
    reporter.finish();
    std::cout << replaySummary(outcome);
    std::cout << "report: " << outcome.report_path << ", map: " << outcome.map_path <<
      ", log: " << outcome.log_path << '\n';
    if (outcome.report.info.interrupted) {
      // Not a finished replay: whoever runs it must not take the report for a whole one.
      std::cerr << "water_stain_replay: interrupted; the report covers only the first " <<
        outcome.window_s << " s of the window\n";
      return kInterruptedStatus;
    }
  } catch (const velmora_bag::BagError & error) {
    reporter.finish();
    std::cerr << "water_stain_replay: cannot open the bag: " << error.what() << '\n';
    return 2;
  } catch (const ReplayError & error) {
    reporter.finish();
    std::cerr << "water_stain_replay: " << error.what() << '\n';
    return 2;
  } catch (const std::exception & error) {
    reporter.finish();
    std::cerr << "water_stain_replay: failed: " << error.what() << '\n';
    return 1;
  }
  return 0;
}

}  // namespace velmora_replay
