// Feeds the XML answer parser a document in pieces of random size through the transport's
// 4096-byte buffer, the way answers arrive from the network. Nothing may crash, hang or leak.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "hbmap.h"
#include "hbsoap.h"

namespace {

const HBSoapListType kTypes[] = {{"files", 1}, {"services", 1}, {nullptr, 0}};

void run(const char *doc, size_t size, uint32_t seed, bool table) {
  HBRef<HBMap> map;
  if (HBMap::create(nullptr, 4096, 4096, map) < 0) return;
  map->setFlags(HBMAP_ORDERED);
  HBCommandParserCore parser;
  parser.initParser("m", map.get(), table ? kTypes : nullptr);
  char buf[HBSOAP_BUFSIZE];
  int32_t fill = 0;
  size_t from = 0;
  while (from < size) {
    seed = seed * 1103515245u + 12345u;
    size_t piece = 1 + (seed >> 16) % 700;
    if (piece > size - from) piece = size - from;
    if (piece > size_t(HBSOAP_BUFSIZE - fill)) piece = size_t(HBSOAP_BUFSIZE - fill);
    std::memcpy(buf + fill, doc + from, piece);
    from += piece;
    fill += int32_t(piece);
    (void)parser.feed(buf, &fill);
    if (fill >= HBSOAP_BUFSIZE) break;  // the transport throws the rest away
  }
  parser.endParser();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > (1u << 18)) return 0;
  const char *doc = reinterpret_cast<const char *>(data + 1);
  run(doc, size - 1, data[0], data[0] & 1);
  run(doc, size - 1, 4096u * 1103515245u, false);
  return 0;
}
