// The command-line client.

#include <iostream>

#include "client/CommandLine.h"
#include "platform/Terminal.h"

int main(int argc, char** argv) {
  return RunClient(argc, argv, std::cout, std::cerr, platform::StandardErrorIsTerminal());
}
