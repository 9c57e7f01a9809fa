// Reads text line by line through HBBufStream with small, uneven reads and "not yet" answers, and
// checks every line against a plain model of the cutting rule.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "hbstream.h"

namespace {

// Hands out `data` in reads of at most `chunk` bytes; every `stallEvery`-th read says -2.
class ChunkStream final : public HBObject<ChunkStream, IHBStream> {
 public:
  ChunkStream(const uint8_t *data, size_t size, int32_t chunk, int stallEvery)
      : m_data(data), m_size(size), m_chunk(chunk), m_stallEvery(stallEvery) {}
  int32_t getifc(int32_t ifc, void **out) override {
    if (ifc == HBIFC_OBJ || ifc == HBIFC_STREAM) return offer<IHBStream>(out);
    return BR_ENOENT;
  }
  int32_t read(void *buffer, int32_t length) override {
    if (m_stallEvery && ++m_reads % m_stallEvery == 0) return BR_EAGAIN;
    size_t n = m_size - m_pos;
    if (n > static_cast<size_t>(length)) n = static_cast<size_t>(length);
    if (n > static_cast<size_t>(m_chunk)) n = static_cast<size_t>(m_chunk);
    std::memcpy(buffer, m_data + m_pos, n);
    m_pos += n;
    return static_cast<int32_t>(n);
  }
  int32_t write(const void *, int32_t) override { return BR_EINVAL; }
  int64_t seek(int64_t, int32_t) override { return BR_EINVAL; }
  int32_t close() override { return 0; }

 private:
  const uint8_t *m_data;
  size_t m_size, m_pos = 0;
  int32_t m_chunk;
  int m_stallEvery, m_reads = 0;
};

// Each line keeps its end; one longer than `limit` keeps its first `limit` bytes.
std::vector<std::string> model(const uint8_t *data, size_t size, size_t limit) {
  std::vector<std::string> lines;
  size_t i = 0;
  while (i < size) {
    const void *nl = std::memchr(data + i, '\n', size - i);
    const size_t end = nl ? static_cast<size_t>(static_cast<const uint8_t *>(nl) - data) + 1 : size;
    const size_t len = end - i;
    lines.emplace_back(reinterpret_cast<const char *>(data + i), len > limit ? limit : len);
    i = end;
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 4) return 0;
  const int32_t lineSize = 2 + data[0];
  const int32_t bufSize = 1 + data[1] % 64;
  const int32_t chunk = 1 + data[2] % 32;
  const int stallEvery = data[3] % 4 ? 1 + data[3] % 4 : 0;  // 0: never, else every 2nd to 4th
  data += 4;
  size -= 4;

  HBRef<IHBStream> inner = HBRef<IHBStream>::adopt(new ChunkStream(data, size, chunk, stallEvery));
  HBRef<IHBBufStream> b;
  if (HBBufStream__new(b.out(), inner.get(), bufSize) < 0) __builtin_trap();
  const std::vector<std::string> expected = model(data, size, static_cast<size_t>(lineSize - 1));
  std::vector<char> line(static_cast<size_t>(lineSize));
  size_t got = 0;
  for (int guard = 0; guard < 100000; ++guard) {
    const int32_t n = b->readLine(line.data(), lineSize);
    if (n == BR_EAGAIN) continue;
    if (n < 0 || n >= lineSize || line[static_cast<size_t>(n)] != '\0') __builtin_trap();
    if (n == 0) break;
    if (got >= expected.size() || expected[got] != std::string(line.data(), static_cast<size_t>(n)))
      __builtin_trap();
    ++got;
  }
  if (got != expected.size()) __builtin_trap();
  return 0;
}
