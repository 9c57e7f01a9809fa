// tesseltool --version: the release the tools belong to (the package's version).
#include <cstdio>

#include "tesseltool.h"

#ifndef TESSEL_VERSION
#define TESSEL_VERSION "unknown"
#endif

namespace {

int run(int, char **) {
  std::printf("tesseltool %s\n", TESSEL_VERSION);
  return 0;
}

// Registered by hand: the command's name is the option people expect, not an identifier.
const bool registered =
    tesseltool::registerCommand({"--version", "--version", "print the version of the tools", run});

}  // namespace
