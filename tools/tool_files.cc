// tesseltool json, mime and walk: the file helpers and the JSON parser as the program uses them.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hbfile.h"
#include "hbjson.h"
#include "hbmap.h"
#include "hbstream.h"
#include "tesseltool.h"

namespace {

int runJson(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tesseltool json FILE\n");
    return 64;
  }
  HBRef<IHBStream> in;
  int32_t rc = hbfile__openRead(in.out(), argv[1], "json");
  HBRef<HBMap> map;
  if (rc >= 0) rc = hbjson__parseStream(map, in.get());
  if (rc < 0) {
    std::fprintf(stderr, "%d %s\n", rc, brerror__name(rc));
    return 1;
  }
  tesseltool::printJsonValue(map->obj());
  std::putchar('\n');
  return 0;
}
TESSEL_TOOL_COMMAND(json, "json FILE",
                    "parse a JSON file as the program does and print it (every scalar a string)",
                    runJson);

int runMime(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tesseltool mime PATH\n");
    return 64;
  }
  const char *type = hbfile__mimeType(argv[1]);
  if (!type) {
    std::fprintf(stderr, "no media type known for '%s'\n", argv[1]);
    return 1;
  }
  std::printf("%s\n", type);
  return 0;
}
TESSEL_TOOL_COMMAND(mime, "mime PATH", "print the media type the program gives a file name",
                    runMime);

int32_t printWalkEntry(const char *path, const HBFileStat *stat, int32_t type, HBFileWalk *walk) {
  std::printf("%d %d %lld %s\n", type, walk->depth, stat ? (long long)stat->size : 0LL, path);
  return HBWALK_CONTINUE;
}

int runWalk(int argc, char **argv) {
  const char *dir = nullptr;
  int32_t depth = -1;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--depth") && i + 1 < argc) {
      char *end = nullptr;
      long v = std::strtol(argv[++i], &end, 10);
      if (!end || *end || v < 0 || v > 4096) {
        std::fprintf(stderr, "tesseltool walk: bad depth '%s'\n", argv[i]);
        return 64;
      }
      depth = (int32_t)v;
    } else if (!dir) {
      dir = argv[i];
    } else {
      dir = nullptr;
      break;
    }
  }
  if (!dir) {
    std::fprintf(stderr, "usage: tesseltool walk DIR [--depth N]\n");
    return 64;
  }
  int32_t rc = hbfile__walk(dir, printWalkEntry, depth, 0, nullptr);
  if (rc < 0) {
    std::fprintf(stderr, "%d %s\n", rc, brerror__name(rc));
    return 1;
  }
  return 0;
}
TESSEL_TOOL_COMMAND(walk, "walk DIR [--depth N]",
                    "walk a folder as the import does: one line per callback (type depth size path)",
                    runWalk);

}  // namespace
