// water_stain_review ARCHIVE [--labels DIR] [--port N]: a local web page for reviewing what the
// node archived, relabelling it and summarising where the reviewer disagreed.

#include <signal.h>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

#include "review/review_server.hpp"

#ifndef VELMORA_REVIEW_WEB_DIR
#define VELMORA_REVIEW_WEB_DIR "tools/review/web"
#endif

namespace
{

constexpr int kDefaultPort = 8765;

struct CommandLine
{
  velmora_review::ReviewOptions options;
  int port{kDefaultPort};
  bool help{false};
};

void printUsage(std::ostream & out)
{
  out <<
    "usage: water_stain_review ARCHIVE [--labels DIR] [--port N] [--web DIR]\n"
    "  ARCHIVE       the node's archive root (its twelve category folders), e.g. ./images\n"
    "  --labels DIR  where labels go: clean/, dirty/, stubborn/ and decisions.csv\n"
    "                (default: ARCHIVE_labels beside the archive); a review resumes from it\n"
    "  --port N      listen on 127.0.0.1:N (default 8765; 0 picks a free port)\n"
    "  --web DIR     folder of the page's files (default " VELMORA_REVIEW_WEB_DIR ")\n"
    "Keys on the page: 1 clean, 2 dirty, 3 stubborn, 0 unusable; arrows move, Enter enlarges.\n";
}

std::optional<int> parsePort(const std::string & text)
{
  try {
    std::size_t used = 0;
    const int value = std::stoi(text, &used);
    if (used == text.size() && value >= 0 && value <= 65535) {
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
  command_line.options.web_dir = VELMORA_REVIEW_WEB_DIR;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      command_line.help = true;
    } else if (argument.rfind("--", 0) != 0 && command_line.options.archive.empty()) {
      command_line.options.archive = argument;
    } else if (i + 1 < argc && argument == "--labels") {
      command_line.options.labels = argv[++i];
    } else if (i + 1 < argc && argument == "--web") {
      command_line.options.web_dir = argv[++i];
    } else if (i + 1 < argc && argument == "--port" && parsePort(argv[i + 1])) {
      command_line.port = *parsePort(argv[++i]);
    } else {
      std::cerr << "water_stain_review: bad option or missing value: " << argument << "\n";
      return std::nullopt;
    }
  }
  if (command_line.options.archive.empty() && !command_line.help) {
    std::cerr << "water_stain_review: give the archive folder\n";
    return std::nullopt;
  }
  if (command_line.options.labels.empty()) {
    command_line.options.labels = velmora_review::defaultLabelsDir(command_line.options.archive);
  }
  return command_line;
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
  // Blocked before the server's threads exist, so that only sigwait below receives them.
  sigset_t termination;
  sigemptyset(&termination);
  sigaddset(&termination, SIGINT);
  sigaddset(&termination, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &termination, nullptr);

  velmora_review::ReviewServer server(command_line->options);
  const std::string problem = server.start(command_line->port);
  if (!problem.empty()) {
    std::cerr << "water_stain_review: " << problem << "\n";
    return EXIT_FAILURE;
  }
  const auto snapshot = server.index().snapshot();
  std::cout << "water_stain_review: " << command_line->options.archive.string() << ": " <<
    (snapshot->root_exists ? std::to_string(snapshot->patches.size()) + " patches" :
    std::string("no archive there (yet)")) << ", " << server.labels().size() <<
    " reviewed; labels in " << command_line->options.labels.string() << "\n" <<
    "water_stain_review: open http://127.0.0.1:" << server.port() << "/ (Ctrl-C stops)" <<
    std::endl;
  int signal_number = 0;
  sigwait(&termination, &signal_number);
  server.stop();
  return EXIT_SUCCESS;
}
