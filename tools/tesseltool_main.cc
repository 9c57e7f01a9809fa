// tesseltool: looks after an installation (settings, calls, uploads, metadata, transcodes).
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "tesseltool.h"

namespace tesseltool {
namespace {
std::map<std::string, Command> &commands() {
  static std::map<std::string, Command> table;
  return table;
}

void usage(FILE *to) {
  std::fprintf(to, "usage: tesseltool COMMAND [ARGS...]\n\ncommands:\n");
  for (const auto &[name, c] : commands()) std::fprintf(to, "  %-40s %s\n", c.usage, c.summary);
}
}  // namespace

bool registerCommand(const Command &command) {
  commands()[command.name] = command;
  return true;
}

}  // namespace tesseltool

int main(int argc, char **argv) {
  using namespace tesseltool;
  if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
    usage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 64 : 0;
  }
  auto it = commands().find(argv[1]);
  if (it == commands().end()) {
    std::fprintf(stderr, "tesseltool: unknown command '%s'\n", argv[1]);
    usage(stderr);
    return 64;
  }
  return it->second.run(argc - 1, argv + 1);
}
