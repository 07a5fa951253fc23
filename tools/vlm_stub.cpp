// Stand-in for the VLM server, for runs on a desk: answers the node's yes/no questions by a
// fixed pixel rule (see sim/vlm_stub_rule.hpp), on the loopback interface only.

#include <signal.h>

#include <cstdlib>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>

#include "vlm_stub_rule.hpp"
#include "vlm_stub_server.hpp"

namespace
{

constexpr int kDefaultPort = 32771;
constexpr std::size_t kPromptShown = 40;

struct CommandLine
{
  int port{kDefaultPort};
  vlm_stub::VlmStubOptions options;
  bool help{false};
};

void printUsage(std::ostream & out)
{
  out <<
    "usage: vlm_stub [--port N] [--delay-ms N] [--answer TEXT] [--help]\n"
    "  --port N       listen on 127.0.0.1:N (default 32771; 0 picks a free port and prints it)\n"
    "  --delay-ms N   wait N milliseconds before each answer\n"
    "  --answer TEXT  always answer TEXT instead of applying the stain rule\n"
    "Answers POST / {\"image_url\": <Base64 JPEG>, \"prompt\": <text>} with {\"output\": ...}:\n"
    "  \"Yes, ...\" when at least " << vlm_stub::kStainedShare * 100.0 << " % of the pixels\n"
    "  are darker than " << vlm_stub::kDarkRatio << " x the median grey level or have an HSV\n"
    "  saturation of at least " << vlm_stub::kStrongSaturation << "; \"No, ...\" otherwise.\n"
    "A stand-in for the VLM server, not a model.\n";
}

std::optional<int> parseCount(const std::string & text, int max)
{
  try {
    std::size_t used = 0;
    const int value = std::stoi(text, &used);
    if (used == text.size() && value >= 0 && value <= max) {
      return value;
    }
  } catch (const std::exception &) {
  }
  return std::nullopt;
}

// The options, or nullopt after printing what is wrong.
std::optional<CommandLine> parseCommandLine(int argc, char ** argv)
{
  CommandLine command_line;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      command_line.help = true;
      continue;
    }
    if (i + 1 >= argc) {
      std::cerr << "vlm_stub: unknown option or missing value: " << option << "\n";
      return std::nullopt;
    }
    const std::string value = argv[++i];
    std::optional<int> count;
    if (option == "--answer") {
      command_line.options.fixed_answer = value;
    } else if (option == "--port" && (count = parseCount(value, 65535))) {
      command_line.port = *count;
    } else if (option == "--delay-ms" && (count = parseCount(value, 600000))) {
      command_line.options.delay = std::chrono::milliseconds(*count);
    } else {
      std::cerr << "vlm_stub: bad option or value: " << option << " " << value << "\n";
      return std::nullopt;
    }
  }
  return command_line;
}

std::string localTime(std::chrono::system_clock::time_point time)
{
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
    time.time_since_epoch()).count() % 1000;
  std::tm parts{};
  localtime_r(&seconds, &parts);
  std::ostringstream text;
  text << std::put_time(&parts, "%F %T") << "." << std::setw(3) << std::setfill('0') << millis;
  return text.str();
}

void printExchange(const vlm_stub::VlmStubExchange & exchange)
{
  static std::mutex output_mutex;
  std::string prompt = exchange.prompt.substr(0, kPromptShown);
  if (exchange.prompt.size() > kPromptShown) {
    prompt += "...";
  }
  std::lock_guard<std::mutex> lock(output_mutex);
  std::cout << localTime(exchange.received) << "  " << exchange.image_size.width << "x" <<
    exchange.image_size.height << "  prompt \"" << prompt << "\"  answer \"" << exchange.answer <<
    "\"  stain share " << std::fixed << std::setprecision(4) << exchange.stain_share << std::endl;
}

// Blocks until SIGINT or SIGTERM; the signals must already be blocked in every thread.
void waitForTermination(const sigset_t & signals)
{
  int signal_number = 0;
  sigwait(&signals, &signal_number);
}

}  // namespace

int main(int argc, char ** argv)
{
  const std::optional<CommandLine> command_line = parseCommandLine(argc, argv);
  if (!command_line) {
    printUsage(std::cerr);
    return EXIT_FAILURE;
  }
  if (command_line->help) {
    printUsage(std::cout);
    return EXIT_SUCCESS;
  }

  // Blocked before the server's threads exist, so that they inherit the mask and only
  // waitForTermination receives the signals.
  sigset_t termination;
  sigemptyset(&termination);
  sigaddset(&termination, SIGINT);
  sigaddset(&termination, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &termination, nullptr);

  vlm_stub::VlmStubOptions options = command_line->options;
  options.on_exchange = printExchange;
  vlm_stub::VlmStubServer server(options);
  if (!server.start(command_line->port)) {
    std::cerr << "vlm_stub: cannot listen on 127.0.0.1:" << command_line->port << "\n";
    return EXIT_FAILURE;
  }
  std::cout << "vlm_stub: a stand-in for the VLM server, NOT a model. It answers by a fixed "
    "pixel rule" << (options.fixed_answer ? " (overridden by --answer)" : "") << ".\n" <<
    "vlm_stub: listening on " << server.url() << "/ (port " << server.port() << ")" <<
    std::endl;
  waitForTermination(termination);
  server.stop();
  std::cout << "vlm_stub: stopped after " << server.requestCount() << " requests" << std::endl;
  return EXIT_SUCCESS;
}
