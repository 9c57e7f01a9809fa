// Shared driver of the metadata reader fuzz targets: the input is a file that reaches the
// reader in block sizes derived from its own bytes, pumped by parseAll (with seeks) or read
// straight through, sometimes with a rewind in the middle.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "hbfmtparser.h"
#include "hbfmtparser_int.h"

namespace hbfmt_fuzz {

class BlockStream final : public HBObject<BlockStream, IHBStream> {
 public:
  BlockStream(const uint8_t *data, size_t size, uint64_t seed)
      : m_data(data), m_size(size), m_rng(seed | 1) {}
  int32_t getifc(int32_t ifc, void **out) override {
    if (ifc == HBIFC_OBJ || ifc == HBIFC_STREAM) return offer<IHBStream>(out);
    return BR_ENOENT;
  }
  int32_t read(void *buffer, int32_t length) override {
    if (m_pos >= m_size) return 0;
    size_t n = std::min<size_t>((size_t)length, m_size - m_pos);
    n = std::min<size_t>(n, next() % 3 == 0 ? 1 + next() % 16 : 1 + next() % 5000);
    memcpy(buffer, m_data + m_pos, n);
    m_pos += n;
    return (int32_t)n;
  }
  int32_t write(const void *, int32_t) override { return BR_EINVAL; }
  int64_t seek(int64_t offset, int32_t whence) override {
    const int64_t base = whence == HBSTREAM_SEEK_CUR ? (int64_t)m_pos
                         : whence == HBSTREAM_SEEK_END ? (int64_t)m_size
                                                       : 0;
    if (offset < 0 || base > INT64_MAX - offset) return BR_EINVAL;
    m_pos = (uint64_t)(base + offset);
    return (int64_t)m_pos;
  }
  int32_t close() override { return 0; }
  uint64_t next() {
    m_rng ^= m_rng << 13;
    m_rng ^= m_rng >> 7;
    m_rng ^= m_rng << 17;
    return m_rng;
  }

 private:
  const uint8_t *m_data;
  size_t m_size;
  uint64_t m_pos = 0;
  uint64_t m_rng;
};

inline void drain(IHBMap *map) {
  HBRef<IHBIter> keys;
  if (map->iterate(keys.out()) < 0) return;
  for (;;) {
    hbtype_t t = HBTYPE_TEXT;
    void *key = nullptr;
    if (keys->next(&t, &key) < 0) break;
    HBRef<IHBStream> s;
    if (map->getAs(static_cast<const char *>(key), HBIFC_STREAM, s.outv()) == 0) {
      char buf[4096];
      while (s->read(buf, sizeof(buf)) > 0) {
      }
    } else if (const char *text = map->getString(static_cast<const char *>(key))) {
      volatile size_t n = strlen(text);
      (void)n;
    }
  }
}

inline int run(const IHBFormatImplFact &fact, const uint8_t *data, size_t size) {
  uint64_t seed = 1469598103934665603ull;
  for (size_t i = 0; i < size; ++i) seed = (seed ^ data[i]) * 1099511628211ull;
  BlockStream *src = new BlockStream(data, size, seed);
  HBRef<IHBStream> holder = HBRef<IHBStream>::adopt(src);
  const IHBFormatImplFact *facts[] = {&fact};
  HBRef<IHBFormatParser> parser;
  if (hbfmtparser__newWith(parser.out(), src, facts, 1) != 0) return 0;
  const int mode = (int)(seed % 3);
  if (mode == 0) {
    (void)parser->parseAll();
  } else {
    std::vector<uint8_t> buf(8192);
    int reads = 0;
    for (;;) {
      const int32_t want = (int32_t)(1 + src->next() % buf.size());
      if (parser->read(buf.data(), want) <= 0) break;
      if (mode == 2 && ++reads == 3) (void)parser->seek(0, HBSTREAM_SEEK_SET);
    }
  }
  HBRef<IHBMap> items;
  if (parser->getItems(items.out()) == 0) drain(items.get());
  (void)parser->releaseSource();
  (void)parser->close();
  return 0;
}

}  // namespace hbfmt_fuzz
