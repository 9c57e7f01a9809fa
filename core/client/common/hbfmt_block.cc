// Pieces shared by the container readers: collecting blocks at offsets found along the way,
// running the EXIF walk over bytes in memory, and the TIFF file reader.
#include <cstring>
#include <new>

#include "brlog.h"
#include "hbfmtparser_int.h"
#include "hbstr.h"

#define TIFF_TAG "TIFF"

namespace {

// Slices without progress after which a reader fed from memory counts as stuck.
constexpr int kMaxIdle = 64;

}  // namespace

bool HBFmtBlockReader::want(uint64_t offset, uint64_t length) {
  if (offset < m_next || length == 0 || length > kHBFmtMaxBlock) return false;
  m_wanting = true;
  m_offset = offset;
  m_length = length;
  m_buffer.clear();
  return true;
}

int32_t HBFmtBlockReader::parseSlice(HBFormatImplInfo_t *info) {
  if (!m_wanting) return BR_ERANGE;
  const uint64_t start = m_offset + m_buffer.size();
  // Bytes it still waits for went by (a seek that skipped them): nothing sensible follows.
  if (info->offset > start) return BR_EBADSTATE;
  if (info->offset < start) {
    const uint64_t dist = start - info->offset;
    if (dist <= info->avail) {
      info->used = (uint32_t)dist;
    } else {
      info->used = info->avail;
      info->seekRequest = (int64_t)start;
    }
    m_next = info->offset + info->used;
    return 0;
  }
  if (info->avail == 0) return BR_EAGAIN;
  const uint64_t need = m_length - m_buffer.size();
  const uint32_t take = need < info->avail ? (uint32_t)need : info->avail;
  m_buffer.insert(m_buffer.end(), info->data, info->data + take);
  info->used = take;
  m_next = info->offset + take;
  if (m_buffer.size() < m_length) return 0;
  m_wanting = false;
  std::vector<uint8_t> got;
  got.swap(m_buffer);
  return block(info, m_offset, got.data(), got.size());
}

void HBFmtBlockReader::walkTiff(HBFormatImplInfo_t *info, const uint8_t *data, size_t length,
                                uint16_t firstIfd) {
  IHBFormatImpl *walk = nullptr;
  if (hbfmt__newTiffReader(&walk, firstIfd, 0) != 0) return;
  (void)hbfmt__feedMemory(walk, info->sink, data, length, 0);
  walk->dnref();
}

int32_t hbfmt__feedMemory(IHBFormatImpl *impl, IHBFormatImplSink *sink, const uint8_t *data,
                          size_t length, uint64_t offset) {
  HBFormatImplInfo_t info;
  info.sink = sink;
  size_t pos = 0;
  int idle = 0;
  for (;;) {
    if (pos >= length) return BR_EAGAIN;
    const size_t left = length - pos;
    info.data = data + pos;
    info.avail = left < UINT32_MAX ? (uint32_t)left : UINT32_MAX;
    info.offset = offset + pos;
    info.used = 0;
    info.seekRequest = 0;
    const int32_t rc = impl->parseSlice(&info);
    if (rc != 0) return rc;
    if (info.used > info.avail) return BR_EBADSTATE;
    if (info.used == 0 && ++idle > kMaxIdle) return BR_EBADSTATE;
    if (info.used) idle = 0;
    pos += info.used;
    if (info.seekRequest) {
      const uint64_t to = (uint64_t)info.seekRequest;
      if (to < offset + pos) return BR_ERANGE;
      if (to - offset >= length) return BR_EAGAIN;
      pos = (size_t)(to - offset);
    }
  }
}

std::string hbfmt__cleanText(std::string_view text) {
  const std::string valid = hbstr__validUTF8(text);
  std::string out;
  out.reserve(valid.size());
  for (size_t i = 0; i < valid.size(); ++i) {
    const unsigned char c = (unsigned char)valid[i];
    if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) continue;
    // U+0080 to U+009F, the C1 controls (what stray bytes 0x80 to 0x9F become).
    if (c == 0xC2 && i + 1 < valid.size() && (unsigned char)valid[i + 1] < 0xA0) {
      ++i;
      continue;
    }
    out.push_back((char)c);
  }
  return out;
}

namespace {

class HBFmtImplFactTiff final : public IHBFormatImplFact {
 public:
  const char *getName() const override { return "TIFF"; }
  int32_t create(HBFormatImplInfo_t *info, IHBFormatImpl **out) const override {
    const uint8_t *d = info->data;
    if (info->avail < 8) return BR_EINVAL;
    uint16_t magic;
    if (d[0] == 'I' && d[1] == 'I') magic = (uint16_t)(d[2] | (d[3] << 8));
    else if (d[0] == 'M' && d[1] == 'M') magic = hbfmt__be16(d + 2);
    else return BR_EINVAL;
    if (!hbfmt__isTiffMagic(magic, HBFMT_TIFF_RAW)) return BR_EINVAL;
    brlog(TIFF_TAG, 17, "TIFF header: %c%c magic 0x%04x\n", d[0], d[1], magic);
    info->used = 0;
    return hbfmt__newTiffReader(out, 0, HBFMT_TIFF_RAW);
  }
};

}  // namespace

const IHBFormatImplFact &hbfmt__factTiff() {
  static const HBFmtImplFactTiff fact;
  return fact;
}
