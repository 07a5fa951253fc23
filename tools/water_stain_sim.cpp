#include "sim/command_line.hpp"

int main(int argc, char ** argv)
{
  return velmora_sim::runCommandLine(argc, argv);
}
