// The service's Range header reader: any text and any body size give the whole body, one range
// inside the body, or "not satisfiable", never a range outside the body.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "svchttp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  // The first two bytes choose the body size; sizes near the limits matter most.
  const int64_t sizes[] = {0, 1, 2, 100, 65536, INT64_MAX - 1, INT64_MAX};
  const int64_t body = (data[0] & 1) ? sizes[data[1] % 7] : int64_t{data[1]} * 1000;
  const std::string header(reinterpret_cast<const char *>(data + 2), size - 2);
  int64_t first = -1, last = -1;
  const int r = tessel::svc::svchttp__parseRange(&header, body, &first, &last);
  if (r == 1 && !(first >= 0 && first <= last && last < body)) abort();
  if (r < -1 || r > 1) abort();
  return 0;
}
