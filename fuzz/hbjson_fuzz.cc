// Feeds the JSON parser a document whole and in pieces; both must agree, and neither may crash,
// hang or leak.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "hbjson.h"

namespace {

// Parses `doc` split at points drawn from a small generator seeded by the document itself.
int32_t parseInPieces(const char *doc, size_t size, int32_t *keys) {
  HBJSONParser p;
  if (p.reset() < 0) return BR_ENOMEM;
  uint32_t seed = static_cast<uint32_t>(size) * 2654435761u + (size ? static_cast<uint8_t>(doc[0]) : 0);
  std::string buf;
  size_t from = 0;
  int32_t rc = BR_OK;
  while (from < size) {
    seed = seed * 1103515245u + 12345u;
    const size_t piece = 1 + (seed >> 16) % 64;
    const size_t to = from + piece < size ? from + piece : size;
    buf.append(doc + from, to - from);
    from = to;
    int32_t len = static_cast<int32_t>(buf.size());
    rc = p.parse(buf.data(), &len);
    if (rc != BR_OK && rc != BR_EAGAIN) return rc;
    buf.resize(static_cast<size_t>(len));
  }
  if (rc == BR_OK && !p.finished()) rc = BR_EAGAIN;
  if (rc == BR_OK) *keys = p.root()->count();
  return rc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1u << 20)) return 0;
  const char *doc = reinterpret_cast<const char *>(data);
  HBMap *map = nullptr;
  const int32_t whole = hbjson__parseText(&map, doc, static_cast<int32_t>(size));
  int32_t wholeKeys = -1;
  if (whole >= 0) {
    wholeKeys = map->count();
    hbvalue__dump("FUZZ", 36, 0, nullptr, map->obj());
    map->dnref();
  }
  int32_t pieceKeys = -1;
  const int32_t pieces = parseInPieces(doc, size, &pieceKeys);
  if ((whole >= 0) != (pieces >= 0) || (whole < 0 && whole != pieces) || wholeKeys != pieceKeys)
    __builtin_trap();
  return 0;
}
