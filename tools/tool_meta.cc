// tesseltool meta FILE: the metadata items of a file, as the single-file import reads them.
#include <cstdio>

#include "hbfmtparser.h"
#include "tesseltool.h"

namespace {

// Counts the bytes of a picture stream by reading it to its end.
long long streamBytes(IHBStream *stream) {
  char buffer[4096];
  long long total = 0;
  for (;;) {
    const int32_t n = stream->read(buffer, sizeof(buffer));
    if (n <= 0) return total;
    total += n;
  }
}

void printValue(IHBMap *items, const char *key) {
  hbtype_t type = HBTYPE_ANY;
  if (items->get(key, &type, nullptr) < 0) {
    std::fputs("null", stdout);
    return;
  }
  if (type == HBTYPE_TEXT) {
    tesseltool::printJsonString(items->getString(key));
    return;
  }
  HBRef<IHBStream> stream;
  if (items->getAs(key, HBIFC_STREAM, stream.outv()) < 0) {
    std::printf("{\"hbtype\": %d}", (int)type);
    return;
  }
  HBRef<IHBObjWithMimeType> mime;
  const char *mimeType = nullptr;
  if (hb_query(stream.get(), mime) == 0) mimeType = mime->getMimeType();
  std::fputs("{\"mimetype\": ", stdout);
  if (mimeType) tesseltool::printJsonString(mimeType);
  else std::fputs("null", stdout);
  std::printf(", \"bytes\": %lld}", streamBytes(stream.get()));
}

int runMeta(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tesseltool meta FILE\n");
    return 64;
  }
  HBRef<IHBMap> items;
  const int32_t rc = hbfmtparser__parseFile(argv[1], items.out());
  if (rc < 0) {
    std::fprintf(stderr, "tesseltool meta: cannot read '%s': %d %s\n", argv[1], rc,
                 brerror__name(rc));
    return 1;
  }
  HBRef<IHBIter> keys;
  if (items->iterate(keys.out()) < 0) return 1;
  std::fputs("{", stdout);
  bool first = true;
  for (;;) {
    hbtype_t type = HBTYPE_TEXT;
    void *key = nullptr;
    if (keys->next(&type, &key) < 0) break;
    std::fputs(first ? "\n  " : ",\n  ", stdout);
    first = false;
    tesseltool::printJsonString(static_cast<const char *>(key));
    std::fputs(": ", stdout);
    printValue(items.get(), static_cast<const char *>(key));
  }
  std::fputs(first ? "}\n" : "\n}\n", stdout);
  return 0;
}

}  // namespace

TESSEL_TOOL_COMMAND(meta, "meta FILE", "print the metadata items of a file as JSON", runMeta);
