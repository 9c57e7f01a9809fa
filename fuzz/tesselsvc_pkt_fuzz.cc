// The service's packet message reader: any bytes are parsed or refused, never crash, and what
// parses re-encodes to a message that parses the same way.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "svcpkt.h"

using namespace tessel::svc;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  PktMessage m;
  std::string err;
  if (!svcpkt__parse(data, size, &m, &err)) return 0;
  std::string again = svcpkt__encode(m);
  PktMessage m2;
  if (!svcpkt__parse(reinterpret_cast<const uint8_t *>(again.data()), again.size(), &m2, &err))
    abort();
  if (svcpkt__encode(m2) != again) abort();
  SvcArgs args;
  if (svcpkt__toArgs(m, &args, &err)) {
    SvcValue v = SvcValue::map();
    for (const auto &[k, val] : args) v.set(k, val);
    std::string answer = svcpkt__encode(svcpkt__fromValue(v));
    if (!svcpkt__parse(reinterpret_cast<const uint8_t *>(answer.data()), answer.size(), &m2, &err))
      abort();
  }
  return 0;
}
