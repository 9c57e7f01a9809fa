// Feeds the rtnetlink dump reader of the network watcher arbitrary message buffers: it must
// neither crash nor read outside them, and a network it reports must come from what it read.
#include <cstddef>
#include <cstdint>

#include "vxnetevent_posix.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  VXNetState state;
  const int32_t rc = vxnetevent__parseDump(data, size, &state);
  if (rc < -1 || rc > 1) __builtin_trap();
  if (size == 0 && state.available()) __builtin_trap();
  return 0;
}
