// The service's HTTP request reader: request lines, header fields, body framing and chunked
// bodies, over a stream of requests delivered in small pieces. Any bytes are read or refused,
// never crash, and a body never yields more bytes than its framing allows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "svchttp.h"

using namespace tessel::svc;

namespace {

class MemSource final : public HttpSource {
 public:
  MemSource(const uint8_t *data, size_t size) : m_p(data), m_end(data + size) {}
  bool writeAll(const char *, size_t) override { return true; }
  size_t left() const { return static_cast<size_t>(m_end - m_p); }

 protected:
  long rawRead(char *buf, size_t n) override {
    // Pieces of at most 7 bytes, so that every split point of lines and chunks is crossed.
    size_t k = std::min<size_t>({n, 7, static_cast<size_t>(m_end - m_p)});
    std::memcpy(buf, m_p, k);
    m_p += k;
    return static_cast<long>(k);
  }

 private:
  const uint8_t *m_p;
  const uint8_t *m_end;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  MemSource src(data, size);
  for (int i = 0; i < 16; i++) {
    HttpRequest req;
    if (svchttp__readHead(&src, &req) != 0) break;
    // What the event loop decides from the bytes at hand must hold for the decoder: a body it
    // calls whole decodes from those bytes alone, within the limit it was scanned against.
    const char *rest = reinterpret_cast<const char *>(data) + (size - src.left()) - src.buffered();
    size_t restLen = src.left() + src.buffered();
    HttpBodyScan scan;
    int whole = svchttp__scanBody(req, rest, restLen, 4096, &scan);
    HttpBody body(&src, req);
    std::string content;
    bool ok = body.readAll(&content, 1 << 20);
    if (whole == 1 && (!ok || content.size() > 4096)) abort();
    if (!ok) break;
    if (req.contentLength >= 0 && content.size() != static_cast<size_t>(req.contentLength)) abort();
    if (body.received() != static_cast<int64_t>(content.size())) abort();
  }
  return 0;
}
