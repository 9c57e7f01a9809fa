// Reads a packet message from arbitrary bytes, converts it to a map, dumps it and writes it
// back. Nothing may crash, hang or leak, and a message read must write as many bytes as its
// computed size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "hbmap.h"
#include "hbpktmessage.h"
#include "hbstream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1u << 20)) return 0;
  HBRef<HBPKTMessage> msg;
  if (HBPKTMessage::create(nullptr, msg) < 0) return 0;
  if (msg->readBytes(data, int64_t(size)) < 0) return 0;
  HBRef<HBMap> map;
  if (HBMap::create(nullptr, 4096, 4096, map) == 0) (void)msg->toMap(map.get());
  (void)msg->dump("FUZZ", 1);
  HBRef<IHBMemStream> mem;
  if (hbstream__newMem(mem.out(), 4096) < 0) return 0;
  const int64_t expect = msg->encodedSize();
  const int64_t wrote = msg->write(mem.get());
  if (expect >= 0 && wrote != expect) abort();
  return 0;
}
