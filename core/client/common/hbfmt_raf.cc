// Fujifilm RAF reader: the header gives the place of the embedded JPEG preview, whose EXIF
// segment the JPEG reader then walks.
#include <cstring>
#include <new>

#include "brlog.h"
#include "hbfmtparser_int.h"

#define RAF_TAG "RAF"

namespace {

// The JPEG's offset and length sit at these bytes of the header (big-endian).
constexpr uint32_t kJpegOffsetAt = 84;
constexpr uint32_t kHeaderSize = 92;
// An EXIF segment is at most 64 KB and comes first: more of the JPEG is not needed.
constexpr uint64_t kJpegHead = 128 * 1024;

class HBFmtImplRaf final : public HBObject<HBFmtImplRaf, HBFmtBlockReader> {
 public:
  HBFmtImplRaf() { (void)want(0, kHeaderSize); }

  int32_t getifc(int32_t ifc, void **out) override {
    if (ifc == HBIFC_OBJ) return offer<IHBFormatImpl>(out);
    return BR_ENOENT;
  }

 private:
  int32_t block(HBFormatImplInfo_t *info, uint64_t offset, const uint8_t *data,
                size_t length) override {
    (void)offset;
    if (!m_header) {
      m_header = true;
      const uint32_t at = hbfmt__be32(data + kJpegOffsetAt);
      const uint32_t size = hbfmt__be32(data + kJpegOffsetAt + 4);
      brlog(RAF_TAG, 17, "Embedded JPEG: %u bytes @ %u\n", size, at);
      if (at < kHeaderSize || size < 4 || !want(at, size < kJpegHead ? size : kJpegHead))
        return BR_ERANGE;
      return 0;
    }
    if (data[0] != 0xFF || data[1] != 0xD8) return BR_ERANGE;
    // The JPEG reader looks for its segment in the first bytes it is shown.
    HBFormatImplInfo_t first;
    first.sink = info->sink;
    first.data = data;
    first.avail = (uint32_t)length;
    IHBFormatImpl *exif = nullptr;
    if (hbfmt__factExif().create(&first, &exif) != 0 || !exif) return BR_ERANGE;
    (void)hbfmt__feedMemory(exif, info->sink, data + first.used, length - first.used, first.used);
    exif->dnref();
    return BR_ERANGE;
  }

  bool m_header = false;
};

class HBFmtImplFactRaf final : public IHBFormatImplFact {
 public:
  const char *getName() const override { return "RAF"; }
  int32_t create(HBFormatImplInfo_t *info, IHBFormatImpl **out) const override {
    if (info->avail < 16 || memcmp(info->data, "FUJIFILMCCD-RAW ", 16) != 0) return BR_EINVAL;
    info->used = 0;
    auto *r = new (std::nothrow) HBFmtImplRaf();
    if (!r) return BR_ENOMEM;
    *out = r;
    return 0;
  }
};

}  // namespace

const IHBFormatImplFact &hbfmt__factRaf() {
  static const HBFmtImplFactRaf fact;
  return fact;
}
