// EXIF reader: walks the TIFF structure of a JPEG's APP1 segment strictly forwards. The same
// walk reads TIFF files and the TIFF-based raws directly, and the EXIF blocks that the other
// containers (HEIF, WebP, CR3, RAF) hand it.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "brlog.h"
#include "hbfmtparser_int.h"

#define EXIF_TAG "EXIF"

namespace {

enum : uint16_t { kIfd0 = 0, kIfdExif = 0x8769, kIfdGps = 0x8825 };

// What a remembered offset points at; the order breaks ties between equal offsets.
enum Slot { kMake, kModel, kDto, kLat, kLon, kExifIfd, kGpsIfd, kSlots };

// Reads a decimal integer the way "%d" does (leading blanks, a sign), clamped instead of
// overflowing. Returns false when no digit follows.
bool scanInt(const char *&p, long long *out) {
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v') ++p;
  bool neg = false;
  if (*p == '+' || *p == '-') neg = *p++ == '-';
  if (*p < '0' || *p > '9') return false;
  long long v = 0;
  for (; *p >= '0' && *p <= '9'; ++p)
    if (v < 100000000000LL) v = v * 10 + (*p - '0');
  *out = neg ? -v : v;
  return true;
}

// Matches "%d:%d:%d %d:%d:%d"; returns the number of fields read.
int scanDateTime(const char *text, long long f[6]) {
  const char *p = text;
  static const char seps[] = {':', ':', ' ', ':', ':'};
  for (int i = 0; i < 6; ++i) {
    if (!scanInt(p, &f[i])) return i;
    if (i == 5) break;
    if (seps[i] == ' ') {
      while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v') ++p;
    } else if (*p++ != seps[i]) {
      return i + 1;
    }
  }
  return 6;
}

class HBFmtImplExif final : public HBObject<HBFmtImplExif, IHBFormatImpl> {
 public:
  HBFmtImplExif() = default;
  // A walk that starts at a TIFF header (step 2) whose first IFD is `firstIfd`.
  HBFmtImplExif(uint16_t firstIfd, uint32_t flags) : m_step(2), m_firstIfd(firstIfd), m_flags(flags) {}

  int32_t getifc(int32_t ifc, void **out) override {
    if (ifc == HBIFC_OBJ) return offer<IHBFormatImpl>(out);
    return BR_ENOENT;
  }

  int32_t parseSlice(HBFormatImplInfo_t *info) override;

 private:
  uint16_t rd16(const uint8_t *p) const {
    return m_big ? hbfmt__be16(p) : (uint16_t)(p[0] | (p[1] << 8));
  }
  uint32_t rd32(const uint8_t *p) const {
    return m_big ? hbfmt__be32(p)
                 : (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
                       ((uint32_t)p[3] << 24);
  }
  double rational(const uint8_t *p) const {
    return (double)(int32_t)rd32(p) / (double)(int32_t)rd32(p + 4);
  }
  // Bytes from the slice's start to TIFF base + m_target; false when the target lies behind.
  bool distanceToTarget(const HBFormatImplInfo_t *info, uint64_t *out) const {
    const uint64_t abs = m_base + m_target;
    if (abs < info->offset) return false;
    *out = abs - info->offset;
    return true;
  }
  // Consumes up to `dist` bytes; a target beyond the slice becomes a seek request, so the image
  // data of a large TIFF is not read.
  static void skip(HBFormatImplInfo_t *info, uint64_t dist) {
    if (dist <= info->avail) {
      info->used = (uint32_t)dist;
      return;
    }
    info->used = info->avail;
    info->seekRequest = (int64_t)(info->offset + dist);
  }
  void entry(HBFormatImplInfo_t *info, const uint8_t *e);
  void reportText(HBFormatImplInfo_t *info, const char *key, const uint8_t *s, size_t n);
  void readValue(HBFormatImplInfo_t *info, const uint8_t *p);
  void reportGps(HBFormatImplInfo_t *info);
  void chooseNext(uint64_t position);

  int m_step = 1;
  uint16_t m_firstIfd = kIfd0;
  uint32_t m_flags = 0;
  bool m_big = false;
  uint64_t m_base = 0;
  uint32_t m_target = 0;
  uint16_t m_ifd = kIfd0;
  Slot m_value = kMake;  // what step 6 reads
  uint16_t m_count = 0;
  uint16_t m_read = 0;
  uint32_t m_offsets[kSlots] = {};
  uint32_t m_makeLen = 0, m_modelLen = 0;
  int m_latSign = 0, m_lonSign = 0;
  double m_lat = 0;
  bool m_haveLon = false;
  double m_lon = 0;
  char m_text[100] = {};
};

void HBFmtImplExif::reportText(HBFormatImplInfo_t *info, const char *key, const uint8_t *s,
                               size_t n) {
  size_t len = 0;
  while (len < n && len < sizeof(m_text) - 1 && s[len]) ++len;
  // A cut text does not end in the first bytes of a character: the parser would read them as
  // Latin-1 letters.
  if (len == sizeof(m_text) - 1 && len < n) {
    size_t lead = len;
    while (lead > 0 && len - lead < 3 && (s[lead - 1] & 0xC0) == 0x80) --lead;
    if (lead > 0 && (s[lead - 1] & 0xC0) == 0xC0) {
      const unsigned char c = s[lead - 1];
      const size_t want = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
      if (len - (lead - 1) < want) len = lead - 1;
    }
  }
  memcpy(m_text, s, len);
  m_text[len] = 0;
  (void)info->sink->notifyItemFound(key, HBTYPE_TEXT, m_text);
}

void HBFmtImplExif::entry(HBFormatImplInfo_t *info, const uint8_t *e) {
  const uint16_t tag = rd16(e), type = rd16(e + 2);
  const uint32_t count = rd32(e + 4), value = rd32(e + 8);
  brlog(EXIF_TAG, 17, "Exif Tag: [0x%04hx]0x%04hx 0x%hx %d\n", m_ifd, tag, type, (int)count);
  if (m_ifd == kIfd0) {
    switch (tag) {
      case 0x010F:
      case 0x0110: {
        const bool make = tag == 0x010F;
        if (type != 2) {
          brlog(EXIF_TAG, 2, make ? "EXIF Make: Tag Format: %x\n" : "EXIF Model: Tag Format: %x\n",
                type);
        } else if (count < 5) {
          reportText(info, make ? "EXIF-Make" : "EXIF-Model", e + 8, count);
        } else {
          m_offsets[make ? kMake : kModel] = value;
          (make ? m_makeLen : m_modelLen) = count;
        }
        break;
      }
      case 0x0112:
        // Orientation: one SHORT, inline; only the eight defined values are reported.
        if (type == 3 && count == 1) {
          const uint16_t v = rd16(e + 8);
          if (v >= 1 && v <= 8) {
            char text[8];
            snprintf(text, sizeof(text), "%u", (unsigned)v);
            (void)info->sink->notifyItemFound("EXIF-Orientation", HBTYPE_TEXT, text);
          }
        }
        break;
      case kIfdExif:
        if (type != 4) {
          brlog(EXIF_TAG, 2, "EXIF Sub-IFD: Tag Format: %x\n", type);
        } else {
          brlog(EXIF_TAG, 17, "Descending Exif Sub-IFD Tag: 0x%04hx\n", tag);
          m_offsets[kExifIfd] = value;
        }
        break;
      case kIfdGps:
        if (type != 4) {
          brlog(EXIF_TAG, 2, "EXIF GPS Sub-IFD: Tag Format: %x\n", type);
        } else {
          brlog(EXIF_TAG, 17, "Descending GPS Sub-IFD Tag: 0x%04hx\n", tag);
          m_offsets[kGpsIfd] = value;
        }
        break;
    }
  } else if (m_ifd == kIfdExif) {
    if (tag == 0x9003) {
      if (type != 2) brlog(EXIF_TAG, 2, "EXIF DateTimeOriginal: Tag Format: %x\n", type);
      else m_offsets[kDto] = value;
    } else if (tag == 0x882A && type != 8) {
      brlog(EXIF_TAG, 2, "EXIF TimeZoneOffset: Tag Format: %x\n", type);
    }
  } else if (m_ifd == kIfdGps) {
    switch (tag) {
      case 1:
        if (type != 2) brlog(EXIF_TAG, 2, "EXIF GPSLatitudeRef: Tag Format: %x\n", type);
        else m_latSign = e[8] == 'N' ? 1 : -1;
        break;
      case 2:
        if (type != 5) brlog(EXIF_TAG, 2, "EXIF GPSLatitude: Tag Format: %x\n", type);
        else m_offsets[kLat] = value;
        break;
      case 3:
        if (type != 2) brlog(EXIF_TAG, 2, "EXIF GPSLongitudeRef: Tag Format: %x\n", type);
        else m_lonSign = e[8] == 'E' ? 1 : -1;
        break;
      case 4:
        if (type != 5) brlog(EXIF_TAG, 2, "EXIF GPSLongitude: Tag Format: %x\n", type);
        else m_offsets[kLon] = value;
        break;
    }
  }
}

// Takes the nearest remembered offset at or after `position`; each offset is used once, so the
// walk cannot come back to the same place.
void HBFmtImplExif::chooseNext(uint64_t position) {
  int best = -1;
  for (int i = 0; i < kSlots; ++i) {
    if (!m_offsets[i] || m_base + m_offsets[i] < position) continue;
    if (best < 0 || m_offsets[i] < m_offsets[best]) best = i;
  }
  if (best < 0) {
    m_step = 7;
    return;
  }
  m_target = m_offsets[best];
  m_offsets[best] = 0;
  if (best == kExifIfd || best == kGpsIfd) {
    m_ifd = best == kExifIfd ? kIfdExif : kIfdGps;
    m_step = 3;
  } else {
    m_value = (Slot)best;
    m_step = 6;
  }
}

void HBFmtImplExif::reportGps(HBFormatImplInfo_t *info) {
  const double lat = m_lat * m_latSign, lon = m_lon * m_lonSign;
  // A zero denominator gives no position rather than "nan" or "inf".
  if (!std::isfinite(lat) || !std::isfinite(lon)) return;
  char text[96];
  snprintf(text, sizeof(text), "%lf,%lf", lat, lon);
  (void)info->sink->notifyItemFound("EXIF-GPSCoordinates", HBTYPE_TEXT, text);
}

void HBFmtImplExif::readValue(HBFormatImplInfo_t *info, const uint8_t *p) {
  switch (m_value) {
    case kMake:
      reportText(info, "EXIF-Make", p, m_makeLen);
      break;
    case kModel:
      reportText(info, "EXIF-Model", p, m_modelLen);
      break;
    case kDto: {
      memcpy(m_text, p, 20);
      m_text[20] = 0;
      long long f[6];
      int64_t ms;
      if (scanDateTime(m_text, f) == 6 && hbfmt__utcMs(f[0], (int)f[1], f[2], f[3], f[4], f[5], &ms)) {
        int d[6];
        hbfmt__splitMs(ms, d);
        brlog(EXIF_TAG, 18, "Exif DateTimeOriginal: '%s' --> %lld --> '%d-%d-%d %d:%d:%d'\n", m_text,
              (long long)ms, d[0], d[1], d[2], d[3], d[4], d[5]);
        char text[32];
        snprintf(text, sizeof(text), "%lld", (long long)ms);
        (void)info->sink->notifyItemFound("EXIF-DateTimeOriginal", HBTYPE_TEXT, text);
      }
      break;
    }
    case kLat:
      m_lat = rational(p) + rational(p + 8) / 60 + rational(p + 16) / 3600;
      // A longitude stored before its latitude was reported with latitude 0: report again.
      if (m_haveLon) reportGps(info);
      break;
    case kLon:
      m_lon = rational(p) + rational(p + 8) / 60 + rational(p + 16) / 3600;
      m_haveLon = true;
      reportGps(info);
      break;
    default:
      break;
  }
}

int32_t HBFmtImplExif::parseSlice(HBFormatImplInfo_t *info) {
  const uint8_t *d = info->data;
  const uint32_t avail = info->avail;
  switch (m_step) {
    case 1:
      if (avail < 10) return BR_EAGAIN;
      if (d[0] != 0xFF || d[1] != 0xE1 || memcmp(d + 4, "Exif\0\0", 6) != 0) return BR_ENOENT;
      info->used = 10;
      m_step = 2;
      return 0;
    case 2:
      if (avail < 8) return BR_EAGAIN;
      if (d[0] == 'M' && d[1] == 'M') {
        m_big = true;
      } else if (d[0] == 'I' && d[1] == 'I') {
        m_big = false;
      } else {
        brlog(EXIF_TAG, 1, "Exif TIFF header missing!\n");
        return BR_ENOENT;
      }
      if (!hbfmt__isTiffMagic(rd16(d + 2), m_flags)) {
        brlog(EXIF_TAG, 1, "Exif TIFF header corrupted!\n");
        return BR_ENOENT;
      }
      m_base = info->offset;
      m_target = rd32(d + 4);
      m_ifd = m_firstIfd;
      info->used = 8;
      m_step = 3;
      return 0;
    case 3: {
      uint64_t dist;
      if (!distanceToTarget(info, &dist)) return BR_ERANGE;  // IFD0 behind its own header
      if (dist > 0) {
        skip(info, dist);
        return 0;
      }
      m_step = 4;
      return 0;
    }
    case 4:
      if (avail < 2) return BR_EAGAIN;
      m_count = rd16(d);
      m_read = 0;
      info->used = 2;
      m_step = 5;
      return 0;
    case 5:
      if (m_read >= m_count) {
        if (avail < 4) return BR_EAGAIN;
        chooseNext(info->offset);
        return 0;
      }
      if (avail < 12) return BR_EAGAIN;
      info->used = 12;
      ++m_read;
      entry(info, d);
      return 0;
    case 6: {
      uint64_t dist;
      if (!distanceToTarget(info, &dist)) {
        chooseNext(info->offset);
        return 0;
      }
      if (dist > 0) {
        skip(info, dist);
        return 0;
      }
      uint32_t need = 24;
      if (m_value == kMake || m_value == kModel) {
        // Only the first 99 characters are kept, so a long string need not fit the carry.
        const uint32_t len = m_value == kMake ? m_makeLen : m_modelLen;
        need = len < sizeof(m_text) - 1 ? len : (uint32_t)sizeof(m_text) - 1;
      } else if (m_value == kDto) {
        need = 20;
      }
      if (avail < need) return BR_EAGAIN;
      readValue(info, d);
      chooseNext(info->offset);
      return 0;
    }
    default:
      return BR_ERANGE;
  }
}

class HBFmtImplFactExif final : public IHBFormatImplFact {
 public:
  const char *getName() const override { return "EXIF"; }
  int32_t create(HBFormatImplInfo_t *info, IHBFormatImpl **out) const override {
    const uint8_t *d = info->data;
    for (uint32_t i = 0; i + 10 <= info->avail; ++i) {
      if (d[i] != 0xFF || d[i + 1] != 0xE1) continue;
      if (memcmp(d + i + 4, "Exif\0\0", 6) != 0) return BR_EINVAL;
      info->used = i;
      *out = new HBFmtImplExif();
      return 0;
    }
    return BR_EINVAL;
  }
};

}  // namespace

bool hbfmt__isTiffMagic(uint16_t magic, uint32_t flags) {
  if (magic == 42) return true;
  // Olympus ("IIRO", "IIRS", "MMOR") and Panasonic ("IIU\0") raws.
  return (flags & HBFMT_TIFF_RAW) && (magic == 0x4F52 || magic == 0x5352 || magic == 0x0055);
}

int32_t hbfmt__newTiffReader(IHBFormatImpl **out, uint16_t firstIfd, uint32_t flags) {
  if (!out) return BR_EINVAL;
  if (firstIfd != kIfd0 && firstIfd != kIfdExif && firstIfd != kIfdGps) return BR_EINVAL;
  auto *r = new (std::nothrow) HBFmtImplExif(firstIfd, flags);
  if (!r) return BR_ENOMEM;
  *out = r;
  return BR_OK;
}

const IHBFormatImplFact &hbfmt__factExif() {
  static const HBFmtImplFactExif fact;
  return fact;
}
