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

namespace {
// Length of the well-formed UTF-8 sequence at `p`, or 0 when it is not one.
size_t utf8Length(const unsigned char *p) {
  if (p[0] < 0x80) return 1;
  size_t n;
  unsigned int cp;
  if ((p[0] & 0xe0) == 0xc0) n = 2, cp = p[0] & 0x1f;
  else if ((p[0] & 0xf0) == 0xe0) n = 3, cp = p[0] & 0x0f;
  else if ((p[0] & 0xf8) == 0xf0) n = 4, cp = p[0] & 0x07;
  else return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xc0) != 0x80) return 0;  // also stops at the terminator
    cp = (cp << 6) | (p[i] & 0x3f);
  }
  static const unsigned int kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
  return n;
}
}  // namespace

// Bytes that are not UTF-8 (file metadata may hold anything) become U+FFFD, so the output is
// always valid JSON.
void printJsonString(const char *text) {
  std::putchar('"');
  for (const unsigned char *p = (const unsigned char *)text; p && *p;) {
    switch (*p) {
      case '"': std::fputs("\\\"", stdout); break;
      case '\\': std::fputs("\\\\", stdout); break;
      case '\n': std::fputs("\\n", stdout); break;
      case '\r': std::fputs("\\r", stdout); break;
      case '\t': std::fputs("\\t", stdout); break;
      case '\b': std::fputs("\\b", stdout); break;
      case '\f': std::fputs("\\f", stdout); break;
      default:
        if (*p < 0x20) {
          std::printf("\\u%04x", *p);
        } else if (size_t n = utf8Length(p)) {
          std::fwrite(p, 1, n, stdout);
          p += n;
          continue;
        } else {
          std::fputs("\\ufffd", stdout);
        }
    }
    ++p;
  }
  std::putchar('"');
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
