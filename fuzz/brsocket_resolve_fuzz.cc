// Host texts: dotted quads, ports, pipe names, the hexadecimal scan and the name fallback (with
// a stub lookup, so the fuzzer never waits on a resolver).
#include <cstdint>
#include <cstring>
#include <string>

#include "brsocket.h"
#include "brsocket_int.h"

namespace {
int32_t stubLookup(const char *name, uint32_t *addr) {
  if (!name[0] || strlen(name) > 253) return -1;
  *addr = 0x0100007f;
  return 0;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  g_brsocket__lookup = stubLookup;
  const std::string text(reinterpret_cast<const char *>(data), size);
  brsockaddr a;
  memset(&a, 0, sizeof(a));
  int32_t len = 0;
  if (brsocket_resolve(text.c_str(), &a, &len) == 0) {
    char buf[BRSOCKADDR_FORMAT_LEN];
    brsockaddr_format(&a, buf);
  }
  return 0;
}
