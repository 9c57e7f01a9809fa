// The drive helper's control messages: any bytes, in any pieces, give whole messages within the
// size limit or a refusal, and a message read back is the message written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tfsctl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string buf(reinterpret_cast<const char *>(data), size);
  // As the endpoint reads them: messages one after another from the start of what arrived.
  for (size_t at = 0; at < buf.size();) {
    TFSMessage m;
    const long used = tfsctl__parse(buf.data() + at, buf.size() - at, &m);
    if (used < 0 || used == 0) break;
    if (static_cast<size_t>(used) > buf.size() - at || m.data.size() > TFS_MAX_DATA) abort();
    if (tfsctl__encode(m) != buf.substr(at, static_cast<size_t>(used))) abort();
    at += static_cast<size_t>(used);
  }
  return 0;
}
