#include "replay/replay_command_line.hpp"

int main(int argc, char ** argv)
{
  return velmora_replay::runCommandLine(argc, argv);
}
