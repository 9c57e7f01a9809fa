// WebP reader: walks the RIFF chunks to the "EXIF" chunk and runs the EXIF walk over it.
#include <cstring>
#include <new>

#include "brlog.h"
#include "hbfmtparser_int.h"

#define WEBP_TAG "WEBP"

namespace {

inline uint32_t le32(const uint8_t *p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

// VP8X flag: the file carries an EXIF chunk.
constexpr uint8_t kVp8xExif = 0x08;
// Far more chunks than any writer makes; the walk ends there.
constexpr int kMaxChunks = 4096;

class HBFmtImplWebp final : public HBObject<HBFmtImplWebp, HBFmtBlockReader> {
 public:
  explicit HBFmtImplWebp(uint64_t riffEnd) : m_end(riffEnd) { (void)want(12, 9); }

  int32_t getifc(int32_t ifc, void **out) override {
    if (ifc == HBIFC_OBJ) return offer<IHBFormatImpl>(out);
    return BR_ENOENT;
  }

 private:
  int32_t block(HBFormatImplInfo_t *info, uint64_t offset, const uint8_t *data,
                size_t length) override;
  // Asks for the header of the chunk at `offset` when it lies inside the RIFF data.
  void nextChunk(uint64_t offset) {
    if (++m_chunks < kMaxChunks && offset + 8 <= m_end) (void)want(offset, 8);
  }

  uint64_t m_end;
  bool m_inExif = false;
  int m_chunks = 0;
};

int32_t HBFmtImplWebp::block(HBFormatImplInfo_t *info, uint64_t offset, const uint8_t *data,
                             size_t length) {
  if (m_inExif) {
    // Some writers put the JPEG segment's identifier in front of the TIFF header.
    if (length >= 6 && memcmp(data, "Exif\0\0", 6) == 0) {
      data += 6;
      length -= 6;
    }
    walkTiff(info, data, length);
    return BR_ERANGE;
  }
  const uint32_t size = le32(data + 4);
  brlog(WEBP_TAG, 17, "Chunk '%c%c%c%c' %u @ %llu\n", data[0], data[1], data[2], data[3], size,
        (unsigned long long)offset);
  const uint64_t body = offset + 8, next = body + size + (size & 1);
  if (memcmp(data, "EXIF", 4) == 0) {
    if (size > 0 && body + size <= m_end && want(body, size)) {
      m_inExif = true;
      return 0;
    }
    brlog(WEBP_TAG, 2, "EXIF chunk of %u bytes skipped\n", size);
    return BR_ERANGE;
  }
  // The first chunk comes with the first byte of its body: an extended header whose flags say
  // there is no EXIF ends the walk.
  if (length > 8 && memcmp(data, "VP8X", 4) == 0 && !(data[8] & kVp8xExif)) return BR_ERANGE;
  nextChunk(next);
  return 0;
}

class HBFmtImplFactWebp final : public IHBFormatImplFact {
 public:
  const char *getName() const override { return "WEBP"; }
  int32_t create(HBFormatImplInfo_t *info, IHBFormatImpl **out) const override {
    const uint8_t *d = info->data;
    if (info->avail < 12 || memcmp(d, "RIFF", 4) != 0 || memcmp(d + 8, "WEBP", 4) != 0)
      return BR_EINVAL;
    info->used = 0;
    auto *r = new (std::nothrow) HBFmtImplWebp(8 + (uint64_t)le32(d + 4));
    if (!r) return BR_ENOMEM;
    *out = r;
    return 0;
  }
};

}  // namespace

const IHBFormatImplFact &hbfmt__factWebp() {
  static const HBFmtImplFactWebp fact;
  return fact;
}
