// Helpers for the metadata parser tests: a source stream that hands out its bytes in chosen
// block sizes, and running the parser over bytes into a plain std::map.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "hbfmtparser.h"
#include "hbfmtparser_int.h"

namespace hbfmt_test {

// Reads come back in the sizes of `blocks`, used in turn (0: as much as asked).
class ChunkStream final : public HBObject<ChunkStream, IHBStream> {
 public:
  static HBRef<ChunkStream> make(std::string data, std::vector<int> blocks = {}) {
    auto *s = new ChunkStream();
    s->m_data = std::move(data);
    s->m_blocks = std::move(blocks);
    return HBRef<ChunkStream>::adopt(s);
  }
  int32_t getifc(int32_t ifc, void **out) override {
    if (ifc == HBIFC_OBJ || ifc == HBIFC_STREAM) return offer<IHBStream>(out);
    return BR_ENOENT;
  }
  int32_t read(void *buffer, int32_t length) override {
    ++reads;
    if (m_pos >= m_data.size()) return 0;
    size_t n = (size_t)length;
    if (!m_blocks.empty()) {
      const int b = m_blocks[m_next++ % m_blocks.size()];
      if (b > 0) n = std::min(n, (size_t)b);
    }
    n = std::min(n, m_data.size() - (size_t)m_pos);
    memcpy(buffer, m_data.data() + m_pos, n);
    m_pos += n;
    bytesRead += (int64_t)n;
    return (int32_t)n;
  }
  int32_t write(const void *, int32_t) override { return BR_EINVAL; }
  int64_t seek(int64_t offset, int32_t whence) override {
    int64_t base = whence == HBSTREAM_SEEK_CUR ? (int64_t)m_pos
                   : whence == HBSTREAM_SEEK_END ? (int64_t)m_data.size()
                                                 : 0;
    if (base + offset < 0) return BR_EINVAL;
    m_pos = (uint64_t)(base + offset);
    seeks.push_back((int64_t)m_pos);
    return (int64_t)m_pos;
  }
  int32_t close() override {
    closed = true;
    return 0;
  }

  int reads = 0;
  int64_t bytesRead = 0;
  bool closed = false;
  std::vector<int64_t> seeks;

 private:
  ChunkStream() = default;
  std::string m_data;
  std::vector<int> m_blocks;
  size_t m_next = 0;
  uint64_t m_pos = 0;
};

// A text item, or a picture as "<mime>:<bytes>" with its bytes in `pictures`.
struct Items {
  std::map<std::string, std::string> values;
  std::map<std::string, std::string> pictures;
  int32_t state = 0;
  bool has(const std::string &k) const { return values.count(k) != 0; }
  std::string operator[](const std::string &k) const {
    auto it = values.find(k);
    return it == values.end() ? std::string("<none>") : it->second;
  }
};

inline Items collect(IHBMap *map) {
  Items out;
  HBRef<IHBIter> it;
  if (map->iterate(it.out()) < 0) return out;
  for (;;) {
    hbtype_t t = HBTYPE_TEXT;
    void *key = nullptr;
    if (it->next(&t, &key) < 0) break;
    const std::string k = static_cast<const char *>(key);
    hbtype_t vt = HBTYPE_ANY;
    if (map->get(k.c_str(), &vt, nullptr) < 0) continue;
    if (vt == HBTYPE_TEXT) {
      out.values[k] = map->getString(k.c_str());
      continue;
    }
    HBRef<IHBStream> s;
    if (map->getAs(k.c_str(), HBIFC_STREAM, s.outv()) < 0) continue;
    HBRef<IHBObjWithMimeType> mime;
    std::string m = hb_query(s.get(), mime) == 0 ? mime->getMimeType() : "?";
    std::string bytes;
    char buf[4096];
    for (int32_t n; (n = s->read(buf, sizeof(buf))) > 0;) bytes.append(buf, (size_t)n);
    out.values[k] = m + ":" + std::to_string(bytes.size());
    out.pictures[k] = bytes;
  }
  return out;
}

// Runs the standard parser over `data`, read in `blocks` (see ChunkStream), with parseAll or,
// given `readSize`, by reading through the parser in reads of that size.
inline Items parseBytes(const std::string &data, std::vector<int> blocks = {}, int readSize = 0) {
  auto src = ChunkStream::make(data, std::move(blocks));
  HBRef<IHBFormatParser> p;
  if (hbfmtparser__new(p.out(), src.get()) < 0) return {};
  if (readSize > 0) {
    std::vector<char> buf((size_t)readSize);
    while (p->read(buf.data(), readSize) > 0) {
    }
  } else {
    (void)p->parseAll();
  }
  HBRef<IHBMap> map;
  Items out;
  if (p->getItems(map.out()) == 0) out = collect(map.get());
  out.state = p->getState();
  (void)p->releaseSource();
  (void)p->close();
  return out;
}

inline void put16(std::string &s, uint16_t v, bool big = true) {
  if (big) {
    s += (char)(v >> 8);
    s += (char)v;
  } else {
    s += (char)v;
    s += (char)(v >> 8);
  }
}
inline void put32(std::string &s, uint32_t v, bool big = true) {
  if (big) {
    put16(s, (uint16_t)(v >> 16));
    put16(s, (uint16_t)v);
  } else {
    put16(s, (uint16_t)v, false);
    put16(s, (uint16_t)(v >> 16), false);
  }
}

inline std::string fromHex(const std::string &hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out += (char)std::stoi(hex.substr(i, 2), nullptr, 16);
  return out;
}

}  // namespace hbfmt_test
