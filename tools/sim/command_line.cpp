#include "sim/command_line.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "sim/option_reader.hpp"

namespace velmora_sim
{

namespace
{

namespace fs = std::filesystem;

const char kEngineInRepository[] = "models/floor_mobilenet.onnx";
constexpr int kBarWidth = 30;
// As a shell reports a program that a Ctrl-C ended.
constexpr int kInterruptedStatus = 130;

double parseNumber(const std::string & option, const std::string & text)
{
  std::size_t used = 0;
  double value = 0.0;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception &) {
    used = 0;
  }
  if (used != text.size() || !std::isfinite(value)) {
    throw std::invalid_argument(option + " needs a number, not '" + text + "'");
  }
  return value;
}

long long parseWhole(const std::string & option, const std::string & text, long long minimum)
{
  std::size_t used = 0;
  long long value = 0;
  try {
    value = std::stoll(text, &used);
  } catch (const std::exception &) {
    used = 0;
  }
  if (used != text.size() || text.empty() || value < minimum) {
    throw std::invalid_argument(
            option + " needs a whole number of at least " + std::to_string(minimum) + ", not '" +
            text + "'");
  }
  return value;
}

// For options kept in an int: a larger number must be refused, not wrapped round.
int parseWholeInt(const std::string & option, const std::string & text, int minimum)
{
  const long long value = parseWhole(option, text, minimum);
  if (value > std::numeric_limits<int>::max()) {
    throw std::invalid_argument(option + " is too large: '" + text + "'");
  }
  return static_cast<int>(value);
}

std::string oneDecimal(double value)
{
  std::ostringstream text;
  text << std::fixed << std::setprecision(1) << value;
  return text.str();
}

// Only a real-time run has the node on a thread of its own, whose CPU time can be told apart.
std::string cpuLine(const RunInfo & info)
{
  if (!info.realtime) {
    return "";
  }
  return "CPU: node thread " + oneDecimal(info.node_thread_cpu_s) + " s, whole process " +
         oneDecimal(info.process_cpu_s) + " s; load average " +
         oneDecimal(info.load_average_at_start) + " at start, " +
         oneDecimal(info.load_average_at_end) + " at the end\n";
}

}  // namespace

CommandLine parseCommandLine(
  const std::vector<std::string> & arguments, const std::string & default_engine)
{
  CommandLine command;
  SimOptions & options = command.options;
  options.engine_path = default_engine;
  bool frames_given = false;
  long long frames = 0;
  bool duration_given = false;
  OptionReader reader(arguments);
  while (reader.next()) {
    const std::string & option = reader.option();
    if (option == "--help" || option == "-h") {
      command.help = true;
    } else if (option == "--seed") {
      options.seed = static_cast<uint64_t>(parseWhole(option, reader.value(), 0));
    } else if (option == "--frames") {
      frames = parseWhole(option, reader.value(), 1);
      frames_given = true;
    } else if (option == "--duration") {
      options.duration_s = parseNumber(option, reader.value());
      if (options.duration_s <= 0.0) {
        throw std::invalid_argument("--duration needs a positive number of seconds");
      }
      duration_given = true;
    } else if (option == "--scenario") {
      const std::string name = reader.value();
      const auto kind = scenarioFromName(name);
      if (!kind) {
        throw std::invalid_argument(
                "--scenario: unknown scenario '" + name + "' (default, realistic, hard)");
      }
      options.scenario = *kind;
    } else if (option == "--out") {
      options.out_dir = reader.value();
    } else if (option == "--cameras") {
      options.cameras = parseCameras(reader.value());
    } else if (option == "--realtime") {
      options.realtime = true;
    } else if (option == "--vlm-url") {
      options.vlm_url = loopbackVlmUrl(reader.value());
    } else if (option == "--vlm-answers") {
      const std::string name = reader.value();
      const auto answers = vlmAnswersFromName(name);
      if (!answers) {
        throw std::invalid_argument(
                "--vlm-answers: unknown way '" + name + "' (rule, truth, no)");
      }
      options.vlm_answers = *answers;
    } else if (option == "--vlm-false-yes") {
      options.vlm_false_yes = parseNumber(option, reader.value());
      if (!(options.vlm_false_yes >= 0.0 && options.vlm_false_yes <= 1.0)) {
        throw std::invalid_argument("--vlm-false-yes needs a share from 0 to 1");
      }
    } else if (option == "--engine") {
      options.engine_path = reader.value();
    } else if (option == "--camera-rate") {
      options.camera_rate_hz = parseWholeInt(option, reader.value(), 1);
      if (options.camera_rate_hz > 50 || 150 % options.camera_rate_hz != 0) {
        throw std::invalid_argument(
                "--camera-rate needs a rate in Hz that divides 150, at most 50 (e.g. 30, 25, 15)");
      }
    } else if (option == "--record") {
      options.record_path = reader.value();
      if (options.record_path.empty()) {
        throw std::invalid_argument("--record needs a path");
      }
    } else if (option == "--record-compressed") {
      options.record_compressed = true;
    } else if (option == "--clean-interval") {
      options.clean_interval_s = parseWholeInt(option, reader.value(), 0);
    } else {
      throw std::invalid_argument("unknown option '" + option + "'");
    }
  }
  if (options.vlm_answers != VlmAnswers::rule && !options.vlm_url.empty()) {
    throw std::invalid_argument("--vlm-answers sets the in-process stand-in; not with --vlm-url");
  }
  if (options.vlm_false_yes > 0.0 && options.vlm_answers != VlmAnswers::truth) {
    throw std::invalid_argument("--vlm-false-yes needs --vlm-answers truth");
  }
  if (options.record_compressed && options.record_path.empty()) {
    throw std::invalid_argument("--record-compressed needs --record PATH");
  }
  if (frames_given && duration_given) {
    throw std::invalid_argument("give either --frames or --duration, not both");
  }
  if (frames_given) {
    options.duration_s = static_cast<double>(frames) / options.camera_rate_hz;
  } else if (!duration_given) {
    options.duration_s = scenarioDuration(options.scenario, kDefaultDurationS);
  }
  if (options.duration_s > kMaxDurationS) {
    throw std::invalid_argument(
            "--duration or --frames: at most a day of simulated time (" +
            std::to_string(static_cast<int>(kMaxDurationS)) + " s)");
  }
  return command;
}

std::string usage()
{
  std::ostringstream text;
  text <<
    "Usage: water_stain_sim [options]\n"
    "\n"
    "Drives the water-stain node through a simulated cleaning run: a room with stains, a robot\n"
    "driving lanes with turns and a pause in work, its three cameras, tf,\n"
    "camera calibration and task status. The node judges with the shipped classifier and a VLM\n"
    "on loopback; its archive, report.json, map.png and node.log are written to the output\n"
    "directory and a summary (per frame and per stain) is printed.\n"
    "\n"
    "Options:\n"
    "  --scenario NAME      default: one lane and a turn past a few large stains on light\n"
    "                       floors; realistic: a whole room in lanes, 30-40 stains of 3-40 cm,\n"
    "                       mostly small, light and dark floors, changing light and glare;\n"
    "                       hard: that room with dark floors and mostly small, translucent\n"
    "                       stains\n"
    "  --seed N             stains and floor from this seed (default 7)\n"
    "  --frames N           run for N frames per camera\n"
    "  --camera-rate HZ     frames per second of each camera (default 30; divides 150)\n"
    "  --duration S         run for S simulated seconds (default " << oneDecimal(
    kDefaultDurationS) << ";\n"
    "                       realistic and hard: " << oneDecimal(
    scenarioDuration(ScenarioKind::realistic, kDefaultDurationS)) << ", the whole room)\n"
    "  --out DIR            output directory (default .): DIR/images, DIR/report.json,\n"
    "                       DIR/map.png, DIR/node.log\n"
    "  --cameras LIST       comma-separated: rear,front,fisheye (default all three)\n"
    "  --realtime           pace the run to the wall clock; slow judging then loses frames\n"
    "                       (default: as fast as the node judges, nothing lost)\n"
    "  --vlm-url URL        use a VLM server already running on loopback instead of the\n"
    "                       stand-in started in-process\n"
    "  --vlm-answers HOW    how that stand-in answers: rule (default: its pixel rule), truth\n"
    "                       (yes when a stain covers 1% of the judged frame's region: a VLM\n"
    "                       that is always right about what is in view), no (always: only\n"
    "                       the classifier's sure verdicts flag stains)\n"
    "  --vlm-false-yes R    with truth answers: yes also on floor without a visible stain in a\n"
    "                       share R (0-1) of the map's 0.5 m squares, chosen per camera, as a\n"
    "                       model fooled by the look of a floor stays fooled there (default 0)\n"
    "  --engine PATH        classifier model (default models/floor_mobilenet.onnx)\n"
    "  --clean-interval S   keep the node's clean-archive throttle of S seconds (default 0:\n"
    "                       every clean verdict is archived)\n"
    "  --record PATH        record what the drivers publish (cameras, camera infos, /tf,\n"
    "                       /tf_static, /fsm_status) as a rosbag2 bag: PATH.mcap is one MCAP\n"
    "                       file, any other PATH a sqlite3 bag directory as Humble writes it;\n"
    "                       the ground truth goes beside it (PATH.truth.json, PATH/truth.json)\n"
    "  --record-compressed  record the cameras as JPEG CompressedImage (<topic>/compressed)\n"
    "  -h, --help           this text\n";
  return text.str();
}

std::string defaultEnginePath(const std::string & executable)
{
  std::error_code error;
  if (fs::exists(kEngineInRepository, error)) {
    return fs::absolute(kEngineInRepository, error).string();
  }
  fs::path program = fs::read_symlink("/proc/self/exe", error);
  if (error) {
    program = fs::absolute(executable, error);
  }
  // The program lives in the repository's build directory.
  const fs::path candidate = program.parent_path().parent_path() / kEngineInRepository;
  return candidate.lexically_normal().string();
}

ProgressReporter::ProgressReporter(std::ostream & out, bool terminal)
: out_(out), terminal_(terminal), start_(std::chrono::steady_clock::now()) {}

void ProgressReporter::update(const SimProgress & progress)
{
  const double share = progress.duration_s > 0.0 ?
    std::clamp(progress.sim_time_s / progress.duration_s, 0.0, 1.0) : 1.0;
  const double wall =
    std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  if (terminal_) {
    const int filled = static_cast<int>(share * kBarWidth);
    out_ << "\r[" << std::string(static_cast<std::size_t>(filled), '#') <<
      std::string(static_cast<std::size_t>(kBarWidth - filled), ' ') << "] " << std::setw(3) <<
      static_cast<int>(share * 100.0) << "%  sim " << oneDecimal(progress.sim_time_s) << '/' <<
      oneDecimal(progress.duration_s) << " s  frames " << progress.frames_handled << '/' <<
      progress.frames_published << "  wall " << oneDecimal(wall) << " s " << std::flush;
    drawn_ = true;
    return;
  }
  const int tenth = static_cast<int>(share * 10.0);
  if (tenth > last_tenth_) {
    last_tenth_ = tenth;
    out_ << "progress: " << tenth * 10 << "% (" << oneDecimal(progress.sim_time_s) << " of " <<
      oneDecimal(progress.duration_s) << " simulated s, " << progress.frames_handled <<
      " frames handled, " << oneDecimal(wall) << " s)" << std::endl;
  }
}

void ProgressReporter::finish()
{
  if (drawn_) {
    out_ << '\n' << std::flush;
    drawn_ = false;
  }
}

int runCommandLine(int argc, char ** argv)
{
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  CommandLine command;
  try {
    command = parseCommandLine(arguments, defaultEnginePath(argc > 0 ? argv[0] : ""));
  } catch (const std::invalid_argument & error) {
    std::cerr << "water_stain_sim: " << error.what() << "\n(see --help)\n";
    return 2;
  }
  if (command.help) {
    std::cout << usage();
    return 0;
  }
  const SimOptions & options = command.options;
  if (!fs::exists(options.engine_path)) {
    std::cerr << "water_stain_sim: warning: no classifier at " << options.engine_path <<
      "; the node will run without one (see node.log)\n";
  }
  ProgressReporter reporter(std::cerr, isatty(STDERR_FILENO) == 1);
  SimOutcome outcome;
  try {
    outcome = runSimulation(
      options, [&reporter](const SimProgress & progress) {reporter.update(progress);});
  } catch (const std::exception & error) {
    reporter.finish();
    std::cerr << "water_stain_sim: " << error.what() << '\n';
    return 1;
  }
  reporter.finish();
  if (outcome.stale_archive_files_removed > 0) {
    std::cout << "removed " << outcome.stale_archive_files_removed <<
      " archive images of an earlier run\n";
  }
  if (outcome.tf_waits_timed_out > 0) {
    std::cout << "warning: the node's tf buffer lagged behind " << outcome.tf_waits_timed_out <<
      " times\n";
  }
  std::cout << summaryTable(outcome.report) << "\nsimulated " <<
    oneDecimal(outcome.report.info.duration_s) << " s in " <<
    oneDecimal(outcome.report.info.wall_time_s) << " s" <<
    (options.realtime ? " (real time)" : "") << "\nnode resident memory: " <<
    oneDecimal(outcome.report.info.node_resident_at_start_mb) << " MB at start, " <<
    oneDecimal(outcome.report.info.node_resident_at_end_mb) << " MB at the end (process peak " <<
    oneDecimal(outcome.report.info.process_peak_resident_mb) << " MB)\n" <<
    cpuLine(outcome.report.info) << "archive: " <<
    (fs::path(options.out_dir) / "images").string() << "\nreport:  " << outcome.report_path <<
    "\nmap:     " << outcome.map_path << "\nnode log: " << outcome.log_path << '\n';
  if (outcome.recording) {
    const RecordingStats & recording = *outcome.recording;
    std::cout << "recording: " << recording.path << " (" << recording.storage << ", " <<
      recording.messages << " messages, " <<
      oneDecimal(static_cast<double>(recording.bytes) / 1e6) << " MB; writer busy " <<
      oneDecimal(recording.writer_busy_s) << " s, run held up " <<
      oneDecimal(recording.run_waited_s) << " s)\nground truth: " << outcome.truth_path << '\n';
  }
  if (outcome.report.info.interrupted) {
    // Not a finished run: a sweep must not count its report as one.
    std::cerr << "water_stain_sim: interrupted; the report covers only the first " <<
      oneDecimal(outcome.report.info.duration_s) << " of " << oneDecimal(options.duration_s) <<
      " simulated s\n";
    return kInterruptedStatus;
  }
  return 0;
}

}  // namespace velmora_sim
