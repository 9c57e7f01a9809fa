// ISO base media readers for pictures: HEIF/HEIC/AVIF (the "Exif" item that meta/iinf names and
// meta/iloc places) and Canon CR3 (the TIFF blocks CMT1, CMT2 and CMT4 in the Canon box of
// moov). Top-level boxes that do not matter are skipped with seek requests, and the few boxes
// that do are collected whole (at most kHBFmtMaxBlock) and parsed in memory.
#include <cstring>
#include <new>

#include "brlog.h"
#include "hbfmtparser_int.h"

#define HEIF_TAG "HEIF"

namespace {

// Far more boxes than a picture has at one level; the walk ends there.
constexpr int kMaxBoxes = 4096;
constexpr size_t kMaxExtents = 16;
// The Canon box of a CR3's moov.
const uint8_t kCanonUuid[16] = {0x85, 0xc0, 0xb6, 0x87, 0x82, 0x0f, 0x11, 0xe0,
                                0x81, 0x11, 0xf4, 0xce, 0x46, 0x2b, 0x6a, 0x48};

// A box inside a block in memory.
struct Box {
  char type[4];
  const uint8_t *body;
  size_t size;  // of the body
};

// Reads the box at `p` (before `end`) into *box and moves `p` behind it. False at the end, or
// for a box whose size is smaller than its header or runs past `end`.
bool nextBox(const uint8_t *&p, const uint8_t *end, Box *box) {
  const size_t left = (size_t)(end - p);
  if (left < 8) return false;
  uint64_t size = hbfmt__be32(p);
  size_t header = 8;
  if (size == 1) {
    if (left < 16) return false;
    size = hbfmt__be64(p + 8);
    header = 16;
  } else if (size == 0) {
    size = left;
  }
  if (size < header || size > left) return false;
  memcpy(box->type, p + 4, 4);
  box->body = p + header;
  box->size = (size_t)size - header;
  p += size;
  return true;
}

// Big-endian unsigned integer of `n` bytes (0, 4 or 8; 2 for counts) at `p`, if within `end`.
bool readN(const uint8_t *&p, const uint8_t *end, unsigned n, uint64_t *out) {
  if ((size_t)(end - p) < n) return false;
  uint64_t v = 0;
  for (unsigned i = 0; i < n; ++i) v = (v << 8) | p[i];
  p += n;
  *out = v;
  return true;
}

struct Extent {
  uint64_t offset;
  uint64_t length;
};

// Where the "Exif" item of a meta box body lies: in the file (method 0) or in the box's idat
// (method 1, offsets relative to the idat body). False when there is none or it is malformed.
struct ExifPlace {
  bool inIdat = false;
  std::vector<Extent> extents;
  uint64_t total = 0;
};

bool exifItemId(const Box &iinf, uint32_t *id) {
  const uint8_t *p = iinf.body, *end = iinf.body + iinf.size;
  if (iinf.size < 4) return false;
  const uint8_t version = p[0];
  p += 4;
  uint64_t count;
  if (!readN(p, end, version == 0 ? 2 : 4, &count)) return false;
  Box infe;
  for (uint64_t i = 0; i < count && nextBox(p, end, &infe); ++i) {
    if (memcmp(infe.type, "infe", 4) != 0 || infe.size < 4) continue;
    const uint8_t v = infe.body[0];
    if (v < 2) continue;  // no item type before version 2
    const uint8_t *q = infe.body + 4, *qe = infe.body + infe.size;
    uint64_t itemId, protection;
    if (!readN(q, qe, v == 2 ? 2 : 4, &itemId) || !readN(q, qe, 2, &protection) || qe - q < 4)
      continue;
    if (memcmp(q, "Exif", 4) == 0) {
      *id = (uint32_t)itemId;
      return true;
    }
  }
  return false;
}

bool exifPlace(const Box &iloc, uint32_t id, ExifPlace *place) {
  const uint8_t *p = iloc.body, *end = iloc.body + iloc.size;
  if (iloc.size < 6) return false;
  const uint8_t version = p[0];
  if (version > 2) return false;
  const unsigned offSize = p[4] >> 4, lenSize = p[4] & 15, baseSize = p[5] >> 4;
  const unsigned idxSize = version >= 1 ? (p[5] & 15) : 0;
  for (unsigned s : {offSize, lenSize, baseSize, idxSize})
    if (s != 0 && s != 4 && s != 8) return false;
  p += 6;
  uint64_t count;
  if (!readN(p, end, version < 2 ? 2 : 4, &count)) return false;
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t itemId, method = 0, dataRef, base, extents;
    if (!readN(p, end, version < 2 ? 2 : 4, &itemId)) return false;
    if (version >= 1) {
      if (!readN(p, end, 2, &method)) return false;
      method &= 15;
    }
    if (!readN(p, end, 2, &dataRef) || !readN(p, end, baseSize, &base) ||
        !readN(p, end, 2, &extents))
      return false;
    const bool mine = itemId == id;
    for (uint64_t e = 0; e < extents; ++e) {
      uint64_t index, off, len;
      if (!readN(p, end, idxSize, &index) || !readN(p, end, offSize, &off) ||
          !readN(p, end, lenSize, &len))
        return false;
      if (!mine) continue;
      // Data of another file, another item, or "to the end": not followed.
      if (dataRef != 0 || method > 1 || len == 0 || place->extents.size() >= kMaxExtents)
        return false;
      if (off > UINT64_MAX - base || len > kHBFmtMaxBlock - place->total) return false;
      place->extents.push_back({base + off, len});
      place->total += len;
    }
    if (mine) {
      place->inIdat = method == 1;
      return !place->extents.empty();
    }
  }
  return false;
}

class HBFmtImplBmff final : public HBObject<HBFmtImplBmff, HBFmtBlockReader> {
 public:
  explicit HBFmtImplBmff(bool cr3) : m_cr3(cr3) { (void)want(0, 8); }

  int32_t getifc(int32_t ifc, void **out) override {
    if (ifc == HBIFC_OBJ) return offer<IHBFormatImpl>(out);
    return BR_ENOENT;
  }

 private:
  enum What { kHeader, kLargeSize, kMeta, kExif, kUuid };

  int32_t block(HBFormatImplInfo_t *info, uint64_t offset, const uint8_t *data,
                size_t length) override;
  int32_t box(uint64_t offset, uint64_t size, uint32_t header);
  void next(uint64_t offset) {
    m_what = kHeader;
    if (++m_boxes < kMaxBoxes && offset <= m_end - 8) (void)want(offset, 8);
  }
  void meta(HBFormatImplInfo_t *info, const uint8_t *data, size_t length);
  void canon(HBFormatImplInfo_t *info, const uint8_t *data, size_t length);
  static void exifItem(HBFormatImplInfo_t *info, const uint8_t *data, size_t length);

  const bool m_cr3;
  What m_what = kHeader;
  uint64_t m_end = UINT64_MAX;  // end of the box whose children are walked
  uint64_t m_boxOffset = 0;
  char m_type[4] = {};
  int m_boxes = 0;
  std::vector<Extent> m_extents;
  size_t m_extent = 0;
  std::vector<uint8_t> m_exif;
};

int32_t HBFmtImplBmff::box(uint64_t offset, uint64_t size, uint32_t header) {
  brlog(HEIF_TAG, 17, "Box '%.4s' %llu @ %llu\n", m_type, (unsigned long long)size,
        (unsigned long long)offset);
  if (size < header || size > m_end - offset) return BR_ERANGE;
  const uint64_t body = offset + header, end = offset + size;
  if (!m_cr3 && m_end == UINT64_MAX && memcmp(m_type, "meta", 4) == 0) {
    if (want(body, size - header)) {
      m_what = kMeta;
      return 0;
    }
    brlog(HEIF_TAG, 2, "Box 'meta' of %llu bytes skipped\n", (unsigned long long)size);
    return BR_ERANGE;
  }
  if (m_cr3 && m_end == UINT64_MAX && memcmp(m_type, "moov", 4) == 0) {
    m_end = end;
    next(body);
    return 0;
  }
  if (m_cr3 && m_end != UINT64_MAX && memcmp(m_type, "uuid", 4) == 0 && size - header >= 16 &&
      want(body, size - header)) {
    m_what = kUuid;
    return 0;
  }
  next(end);
  return 0;
}

int32_t HBFmtImplBmff::block(HBFormatImplInfo_t *info, uint64_t offset, const uint8_t *data,
                             size_t length) {
  switch (m_what) {
    case kHeader: {
      const uint32_t size = hbfmt__be32(data);
      memcpy(m_type, data + 4, 4);
      if (size == 1) {
        m_boxOffset = offset;
        m_what = kLargeSize;
        (void)want(offset + 8, 8);
        return 0;
      }
      // A size of 0 (to the end of the file) or below the header ends the walk.
      if (size < 8) return BR_ERANGE;
      return box(offset, size, 8);
    }
    case kLargeSize:
      return box(m_boxOffset, hbfmt__be64(data), 16);
    case kMeta:
      meta(info, data, length);
      return 0;
    case kExif:
      m_exif.insert(m_exif.end(), data, data + length);
      if (++m_extent < m_extents.size()) {
        if (!want(m_extents[m_extent].offset, m_extents[m_extent].length))
          brlog(HEIF_TAG, 2, "Exif item extents out of order\n");
        return 0;
      }
      exifItem(info, m_exif.data(), m_exif.size());
      return BR_ERANGE;
    case kUuid:
      if (memcmp(data, kCanonUuid, 16) == 0) {
        canon(info, data + 16, length - 16);
        return BR_ERANGE;
      }
      next(offset + length);
      return 0;
  }
  return BR_ERANGE;
}

void HBFmtImplBmff::meta(HBFormatImplInfo_t *info, const uint8_t *data, size_t length) {
  if (length < 4) return;
  const uint8_t *p = data + 4, *end = data + length;
  Box b, iinf{}, iloc{}, idat{};
  bool haveIinf = false, haveIloc = false, haveIdat = false;
  while (nextBox(p, end, &b)) {
    if (!haveIinf && memcmp(b.type, "iinf", 4) == 0) haveIinf = (iinf = b, true);
    else if (!haveIloc && memcmp(b.type, "iloc", 4) == 0) haveIloc = (iloc = b, true);
    else if (!haveIdat && memcmp(b.type, "idat", 4) == 0) haveIdat = (idat = b, true);
  }
  uint32_t id = 0;
  ExifPlace place;
  if (!haveIinf || !haveIloc || !exifItemId(iinf, &id) || !exifPlace(iloc, id, &place)) {
    brlog(HEIF_TAG, 17, "No Exif item\n");
    return;
  }
  brlog(HEIF_TAG, 17, "Exif item %u: %zu extents, %llu bytes%s\n", id, place.extents.size(),
        (unsigned long long)place.total, place.inIdat ? " in idat" : "");
  if (place.inIdat) {
    if (!haveIdat) return;
    std::vector<uint8_t> bytes;
    for (const Extent &e : place.extents) {
      if (e.offset > idat.size || e.length > idat.size - e.offset) return;
      bytes.insert(bytes.end(), idat.body + e.offset, idat.body + e.offset + e.length);
    }
    exifItem(info, bytes.data(), bytes.size());
    return;
  }
  m_extents = std::move(place.extents);
  m_extent = 0;
  if (want(m_extents[0].offset, m_extents[0].length)) {
    m_what = kExif;
    return;
  }
  // Stored before the meta box: the walk does not go back.
  brlog(HEIF_TAG, 2, "Exif item at %llu lies behind the reader\n",
        (unsigned long long)m_extents[0].offset);
}

void HBFmtImplBmff::exifItem(HBFormatImplInfo_t *info, const uint8_t *data, size_t length) {
  // The item starts with the offset of the TIFF header behind this field.
  if (length < 4) return;
  const uint32_t skip = hbfmt__be32(data);
  if (skip > length - 4) return;
  walkTiff(info, data + 4 + skip, length - 4 - skip);
}

void HBFmtImplBmff::canon(HBFormatImplInfo_t *info, const uint8_t *data, size_t length) {
  const uint8_t *p = data, *end = data + length;
  Box b;
  while (nextBox(p, end, &b)) {
    if (memcmp(b.type, "CMT1", 4) == 0) walkTiff(info, b.body, b.size, 0);
    else if (memcmp(b.type, "CMT2", 4) == 0) walkTiff(info, b.body, b.size, 0x8769);
    else if (memcmp(b.type, "CMT4", 4) == 0) walkTiff(info, b.body, b.size, 0x8825);
  }
}

// The ftyp box's major and compatible brands (those within the bytes at hand).
bool hasBrand(const HBFormatImplInfo_t *info, bool (*match)(const uint8_t *brand)) {
  const uint8_t *d = info->data;
  if (info->avail < 16 || memcmp(d + 4, "ftyp", 4) != 0) return false;
  uint64_t size = hbfmt__be32(d);
  if (size < 16) return false;
  if (size > info->avail) size = info->avail;
  if (match(d + 8)) return true;
  for (uint64_t at = 16; at + 4 <= size; at += 4)
    if (match(d + at)) return true;
  return false;
}

bool heifBrand(const uint8_t *b) {
  static const char *const kBrands[] = {"heic", "heix", "heim", "heis", "hevc", "hevx", "hevm",
                                        "hevs", "mif1", "mif2", "msf1", "avif", "avis"};
  for (const char *k : kBrands)
    if (memcmp(b, k, 4) == 0) return true;
  return false;
}

bool cr3Brand(const uint8_t *b) { return memcmp(b, "crx ", 4) == 0; }

class HBFmtImplFactHeif final : public IHBFormatImplFact {
 public:
  const char *getName() const override { return "HEIF"; }
  int32_t create(HBFormatImplInfo_t *info, IHBFormatImpl **out) const override {
    // A CR3 lists no HEIF brand, but its own reader must have it even if one did.
    if (info->avail >= 12 && cr3Brand(info->data + 8)) return BR_EINVAL;
    if (!hasBrand(info, heifBrand)) return BR_EINVAL;
    info->used = 0;
    auto *r = new (std::nothrow) HBFmtImplBmff(false);
    if (!r) return BR_ENOMEM;
    *out = r;
    return 0;
  }
};

class HBFmtImplFactCr3 final : public IHBFormatImplFact {
 public:
  const char *getName() const override { return "CR3"; }
  int32_t create(HBFormatImplInfo_t *info, IHBFormatImpl **out) const override {
    if (info->avail < 16 || memcmp(info->data + 4, "ftyp", 4) != 0 || !cr3Brand(info->data + 8))
      return BR_EINVAL;
    info->used = 0;
    auto *r = new (std::nothrow) HBFmtImplBmff(true);
    if (!r) return BR_ENOMEM;
    *out = r;
    return 0;
  }
};

}  // namespace

const IHBFormatImplFact &hbfmt__factHeif() {
  static const HBFmtImplFactHeif fact;
  return fact;
}

const IHBFormatImplFact &hbfmt__factCr3() {
  static const HBFmtImplFactCr3 fact;
  return fact;
}
