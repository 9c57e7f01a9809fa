// ID3v2 reader: walks the frames of a tag at the start of an audio file.
#include <cstdio>
#include <cstring>
#include <string>

#include "brlog.h"
#include "hbfmtparser_int.h"
#include "hbstr.h"

#define ID3_TAG "ID3"

namespace {

constexpr size_t kTextMax = 4095;

uint32_t syncsafe(const uint8_t *p) {
  return ((uint32_t)(p[0] & 0x7F) << 21) | ((uint32_t)(p[1] & 0x7F) << 14) |
         ((uint32_t)(p[2] & 0x7F) << 7) | (p[3] & 0x7F);
}

// The tag header checks shared by the factory and the reader: 0 when acceptable.
int32_t checkHeader(const uint8_t *h, bool log) {
  if (memcmp(h, "ID3", 3) != 0 || h[3] == 0xFF || h[4] == 0xFF) return BR_EINVAL;
  for (int i = 6; i < 10; ++i)
    if (h[i] >= 0x80) return BR_EINVAL;
  if (h[3] < 2 || h[3] > 4) {
    if (log) brlog(ID3_TAG, 2, "ID3v2.%d.%d unsupported!\n", h[3], h[4]);
    return BR_EINVAL;
  }
  return 0;
}

void putUtf8(std::string &out, uint32_t cp) {
  char b[4];
  size_t n;
  if (cp < 0x80) {
    b[0] = (char)cp;
    n = 1;
  } else if (cp < 0x800) {
    b[0] = (char)(0xC0 | (cp >> 6));
    b[1] = (char)(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    b[0] = (char)(0xE0 | (cp >> 12));
    b[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
    b[2] = (char)(0x80 | (cp & 0x3F));
    n = 3;
  } else {
    b[0] = (char)(0xF0 | (cp >> 18));
    b[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
    b[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
    b[3] = (char)(0x80 | (cp & 0x3F));
    n = 4;
  }
  // Texts are cut to kTextMax bytes, never inside a character.
  if (out.size() + n <= kTextMax) out.append(b, n);
}

// UTF-16 code units from `p` (length `n` bytes) until a zero unit; returns the bytes taken,
// including the terminator when there is one.
size_t utf16(const uint8_t *p, size_t n, bool big, std::string &out) {
  size_t i = 0;
  auto unit = [&](size_t at) -> uint32_t {
    return big ? (uint32_t)((p[at] << 8) | p[at + 1]) : (uint32_t)(p[at] | (p[at + 1] << 8));
  };
  while (i + 2 <= n) {
    uint32_t u = unit(i);
    i += 2;
    if (u == 0) return i;
    if (u >= 0xD800 && u < 0xDC00 && i + 2 <= n) {
      const uint32_t lo = unit(i);
      if (lo >= 0xDC00 && lo < 0xE000) {
        i += 2;
        putUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
        continue;
      }
    }
    if (u >= 0xD800 && u < 0xE000) u = 0xFFFD;
    putUtf8(out, u);
  }
  return n;  // an odd trailing byte belongs to the field too
}

// Decodes one string of encoding `enc` from a field; returns the bytes it took, or -6 for an
// encoding or byte-order mark the reader does not know.
int64_t decodeText(uint8_t enc, const uint8_t *p, size_t n, std::string &out) {
  out.clear();
  switch (enc) {
    case 0: {
      size_t i = 0;
      for (; i < n && p[i]; ++i) putUtf8(out, p[i]);
      return i < n ? (int64_t)i + 1 : (int64_t)n;
    }
    case 1: {
      if (n < 2) return (int64_t)n;
      bool big;
      if (p[0] == 0xFF && p[1] == 0xFE) {
        big = false;
      } else if (p[0] == 0xFE && p[1] == 0xFF) {
        big = true;
      } else {
        brlog(ID3_TAG, 2, "ID3 Str-Err: (UNK UNI BOM: 0x%x)\n", (unsigned)hbfmt__be16(p));
        return BR_EINVAL;
      }
      return 2 + (int64_t)utf16(p + 2, n - 2, big, out);
    }
    case 2:
      return (int64_t)utf16(p, n, true, out);
    case 3: {
      size_t i = 0;
      while (i < n && p[i]) ++i;
      size_t keep = i < kTextMax ? i : kTextMax;
      while (keep > 0 && keep < i && (p[keep] & 0xC0) == 0x80) --keep;
      out.assign((const char *)p, keep);
      return i < n ? (int64_t)i + 1 : (int64_t)n;
    }
    default:
      brlog(ID3_TAG, 2, "ID3 Str-Err: (UNK ENC BYTE: 0x%x)\n", enc);
      return BR_EINVAL;
  }
}

// Reads "(%d)" at the start of a genre text.
bool genreNumber(const char *t, int *out) {
  if (*t++ != '(') return false;
  while (*t == ' ' || *t == '\t' || *t == '\n' || *t == '\r' || *t == '\f' || *t == '\v') ++t;
  bool neg = false;
  if (*t == '+' || *t == '-') neg = *t++ == '-';
  if (*t < '0' || *t > '9') return false;
  long long v = 0;
  for (; *t >= '0' && *t <= '9'; ++t)
    if (v < 1000000) v = v * 10 + (*t - '0');
  *out = (int)(neg ? -v : v);
  return true;
}

enum Kind { kIgnore, kTitle, kArtist, kAlbum, kGenre, kTrack, kComment, kCdId, kPicture };

struct FrameName {
  const char *v22;
  const char *v23;
  Kind kind;
  const char *key;
};
constexpr FrameName kFrames[] = {
    {"TT2", "TIT2", kTitle, "title"},        {"TP1", "TPE1", kArtist, "artist"},
    {"TAL", "TALB", kAlbum, "album"},        {"TCO", "TCON", kGenre, "genre"},
    {"TRK", "TRCK", kTrack, "originalTrackNumber"},
    {"COM", "COMM", kComment, nullptr},      {"MCI", "MCDI", kCdId, nullptr},
    {"PIC", "APIC", kPicture, nullptr},
};

class HBFmtImplId3 final : public HBObject<HBFmtImplId3, IHBFormatImpl> {
 public:
  int32_t getifc(int32_t ifc, void **out) override {
    if (ifc == HBIFC_OBJ) return offer<IHBFormatImpl>(out);
    return BR_ENOENT;
  }
  int32_t parseSlice(HBFormatImplInfo_t *info) override;

 protected:
  ~HBFmtImplId3() override = default;

 private:
  enum Step { kHeader, kExtHeader, kFrameLoop, kSkip, kFrameBody, kPictureData, kDone };

  int32_t frameHeader(HBFormatImplInfo_t *info);
  int32_t frameBody(HBFormatImplInfo_t *info);
  void textFrame(HBFormatImplInfo_t *info, const uint8_t *p, uint32_t n);
  void commentFrame(HBFormatImplInfo_t *info, const uint8_t *p, uint32_t n);
  void cdIdFrame(HBFormatImplInfo_t *info, const uint8_t *p, uint32_t n);
  // Returns the bytes of picture header consumed, or 0 to skip the frame.
  uint32_t pictureHeader(HBFormatImplInfo_t *info, const uint8_t *p, uint32_t n);
  const char *tagName() const { return m_version == 2 ? "PIC" : "APIC"; }
  void idText(char out[5]) const {
    const int n = m_version == 2 ? 3 : 4;
    for (int i = 0; i < n; ++i) out[i] = (char)(m_frameId >> (8 * (n - 1 - i)));
    out[n] = 0;
  }

  Step m_step = kHeader;
  uint64_t m_headerOff = 0;
  uint8_t m_version = 0;
  uint8_t m_flags = 0;
  uint32_t m_size = 0;
  uint64_t m_tagEnd = 0;
  uint64_t m_frameStart = 0;  // offset of the frame's body
  uint32_t m_frameId = 0;
  uint32_t m_frameSize = 0;
  uint16_t m_frameFlags = 0;
  const FrameName *m_frame = nullptr;
  uint64_t m_skipEnd = 0;
  std::string m_text;
  std::string m_desc;
  std::string m_mime;
  HBFmtPicture m_picture;
  uint64_t m_pictureEnd = 0;
  bool m_pictureTaken = false;
};

int32_t HBFmtImplId3::frameHeader(HBFormatImplInfo_t *info) {
  const uint8_t *d = info->data;
  const uint32_t hdr = m_version == 2 ? 6 : 10;
  if (info->avail < hdr) return BR_EAGAIN;
  if (d[0] == 0) {
    brlog(ID3_TAG, 17, "ID3 Pad: 0x00 x %u\n", (unsigned)(m_tagEnd - info->offset));
    m_skipEnd = m_tagEnd;
    m_step = kSkip;
    return 0;
  }
  if (m_version == 2) {
    m_frameId = ((uint32_t)d[0] << 16) | ((uint32_t)d[1] << 8) | d[2];
    m_frameSize = ((uint32_t)d[3] << 16) | ((uint32_t)d[4] << 8) | d[5];
    m_frameFlags = 0;
    brlog(ID3_TAG, 16, "ID3 Frm: %c%c%c (0x%06x) %u @ %lld\n", d[0], d[1], d[2], m_frameId,
          m_frameSize, (long long)info->offset);
  } else {
    m_frameId = hbfmt__be32(d);
    m_frameSize = m_version == 3 ? hbfmt__be32(d + 4) : syncsafe(d + 4);
    m_frameFlags = hbfmt__be16(d + 8);
    brlog(ID3_TAG, 16, "ID3 Frm: %c%c%c%c (0x%08x) %u 0x%x @ %lld\n", d[0], d[1], d[2], d[3],
          m_frameId, m_frameSize, m_frameFlags, (long long)info->offset);
  }
  brstr__hexdump(ID3_TAG, 32, d, info->avail < 32 ? info->avail : 32);
  info->used = hdr;
  m_frameStart = info->offset + hdr;
  m_skipEnd = m_frameStart + m_frameSize;
  char id[5];
  idText(id);
  m_frame = nullptr;
  for (const FrameName &f : kFrames)
    if (!strcmp(id, m_version == 2 ? f.v22 : f.v23)) m_frame = &f;
  if (!m_frame) {
    if (m_version == 2)
      brlog(ID3_TAG, 17, "ID3 Frm-Ign: %c%c%c (0x%06x) %u\n", d[0], d[1], d[2], m_frameId,
            m_frameSize);
    else
      brlog(ID3_TAG, 17, "ID3 Frm-Ign: %c%c%c%c (0x%08x) %u 0x%x\n", d[0], d[1], d[2], d[3],
            m_frameId, m_frameSize, m_frameFlags);
    m_step = kSkip;
    return 0;
  }
  if (m_frame->kind == kPicture && m_pictureTaken) {
    if (m_version == 2) brlog(ID3_TAG, 2, "ID3 Fld [PIC]: Skipping multiple PICs!\n");
    else brlog(ID3_TAG, 2, "ID3 Fld [APIC]: Skipping multiple APICs!\n");
    m_step = kSkip;
    return 0;
  }
  m_step = kFrameBody;
  return 0;
}

void HBFmtImplId3::textFrame(HBFormatImplInfo_t *info, const uint8_t *p, uint32_t n) {
  if (n < 1 || decodeText(p[0], p + 1, n - 1, m_text) < 0 || m_text.empty()) return;
  char id[5];
  idText(id);
  int g;
  if (m_frame->kind == kGenre && genreNumber(m_text.c_str(), &g)) {
    const char *name = hbfmt__genreName(g);
    brlog(ID3_TAG, 17, "ID3 Fld [%s]: '%s' --> '%s'\n", id, m_text.c_str(), name);
    (void)info->sink->notifyItemFound(m_frame->key, HBTYPE_TEXT, name);
    return;
  }
  brlog(ID3_TAG, 17, "ID3 Fld [%s]: '%s'\n", id, m_text.c_str());
  (void)info->sink->notifyItemFound(m_frame->key, HBTYPE_TEXT, m_text.c_str());
}

void HBFmtImplId3::commentFrame(HBFormatImplInfo_t *info, const uint8_t *p, uint32_t n) {
  if (n < 4) return;
  const uint8_t enc = p[0];
  const uint8_t *lang = p + 1;
  const int64_t took = decodeText(enc, p + 4, n - 4, m_desc);
  if (took < 0) return;
  const size_t rest = n - 4 - (size_t)took;
  if (decodeText(enc, p + 4 + took, rest, m_text) < 0) return;
  const char *name = m_version == 2 ? "COM" : "COMM";
  const bool printable = lang[0] >= 32 && lang[0] <= 126 && lang[1] >= 32 && lang[1] <= 126 &&
                         lang[2] >= 32 && lang[2] <= 126;
  if (m_text.empty() && m_version != 2) {
    brlog(ID3_TAG, 17, "ID3 Fld [%s]: 0x%x '%c%c%c' (0x%02x%02x%02x) '%s'.(empty)\n", name, enc,
          lang[0], lang[1], lang[2], lang[0], lang[1], lang[2], m_desc.c_str());
  } else if (printable) {
    brlog(ID3_TAG, 17, "ID3 Fld [%s]: 0x%x '%c%c%c' (0x%02x%02x%02x) '%s'.'%s'\n", name, enc,
          lang[0], lang[1], lang[2], lang[0], lang[1], lang[2], m_desc.c_str(), m_text.c_str());
  } else {
    brlog(ID3_TAG, 17, "ID3 Fld [%s]: 0x%x 0x%02x%02x%02x '%s'.'%s'\n", name, enc, lang[0],
          lang[1], lang[2], m_desc.c_str(), m_text.c_str());
  }
  if (m_text.empty() || (m_desc != "iTunes_CDDB_IDs" && m_desc != "iTunes_CDDB_1")) return;
  const std::string id = hbfmt__albumIdentity(m_text.data(), m_text.size());
  brlog(ID3_TAG, 17, "ID3 Fld [%s]: ==> '%s'\n", name, id.c_str());
  (void)info->sink->notifyItemFound("yto-UniqueAlbumID", HBTYPE_TEXT, id.c_str());
}

void HBFmtImplId3::cdIdFrame(HBFormatImplInfo_t *info, const uint8_t *p, uint32_t n) {
  if (n == 0) return;
  const std::string hex = hbfmt__hex(p, n);
  const std::string id = hbfmt__albumIdentity(hex.data(), hex.size());
  brlog(ID3_TAG, 17, "ID3 Fld [%s]: 0x%s ==> '%s'\n", m_version == 2 ? "MCI" : "MCDI",
        hex.c_str(), id.c_str());
  (void)info->sink->notifyItemFound("yto-UniqueAlbumID", HBTYPE_TEXT, id.c_str());
}

uint32_t HBFmtImplId3::pictureHeader(HBFormatImplInfo_t *info, const uint8_t *p, uint32_t n) {
  const bool v22 = m_version == 2;
  const char *name = tagName();
  uint32_t at;
  if (n < 1) return 0;
  const uint8_t enc = p[0];
  if (v22) {
    if (n < 5) return 0;
    if (!memcmp(p + 1, "PNG", 3)) {
      m_mime = "image/png";
    } else if (!memcmp(p + 1, "JPG", 3)) {
      m_mime = "image/jpeg";
    } else {
      brlog(ID3_TAG, 2, "ID3 Fld [PIC]: Unknown Image format: %c%c%c\n", p[1], p[2], p[3]);
      return 0;
    }
    at = 4;
  } else {
    at = 1;
    while (at < n && p[at]) ++at;
    if (at >= n) {
      brlog(ID3_TAG, 2, "ID3 Fld [APIC]: Truncated Field!\n");
      return 0;
    }
    if (p[1] == '-') {
      brlog(ID3_TAG, 2, "ID3 Fld [APIC]: Image Link Unsupported!\n");
      return 0;
    }
    m_mime.assign((const char *)p + 1, at - 1);
    ++at;
    if (at >= n) {
      brlog(ID3_TAG, 2, "ID3 Fld [APIC]: Truncated Field!\n");
      return 0;
    }
  }
  const uint8_t picType = p[at++];
  // The description ends at its terminator, which must lie inside the bytes at hand.
  uint32_t end = at;
  if (enc == 0) {
    while (end < n && p[end]) ++end;
    if (end >= n) {
      if (!v22) brlog(ID3_TAG, 2, "ID3 Fld [APIC]: Truncated Field!\n");
      return 0;
    }
    end += 1;
  } else if (enc == 1) {
    while (end + 2 <= n && (p[end] || p[end + 1])) end += 2;
    if (end + 2 > n) {
      if (!v22) brlog(ID3_TAG, 2, "ID3 Fld-Err [APIC]: Malformed Field!\n");
      return 0;
    }
    end += 2;
  } else {
    brlog(ID3_TAG, 2, "ID3 Fld-Err [%s]: (UNK ENC BYTE: 0x%x)\n", name, enc);
    return 0;
  }
  (void)decodeText(enc, p + at, end - at, m_desc);
  brlog(ID3_TAG, 16, "ID3 Fld [%s]: '%s' 0x%x '%s' [%u] @ %lld\n", name, m_mime.c_str(), picType,
        m_desc.c_str(), end, (long long)info->offset);
  return end;
}

int32_t HBFmtImplId3::frameBody(HBFormatImplInfo_t *info) {
  const uint8_t *d = info->data;
  const uint32_t avail = info->avail;
  switch (m_frame->kind) {
    case kTitle:
    case kArtist:
    case kAlbum:
    case kGenre:
    case kTrack:
    case kComment:
    case kCdId:
      if (avail < m_frameSize) return BR_EAGAIN;
      if (m_frame->kind == kComment) commentFrame(info, d, m_frameSize);
      else if (m_frame->kind == kCdId) cdIdFrame(info, d, m_frameSize);
      else textFrame(info, d, m_frameSize);
      info->used = m_frameSize;
      m_step = kFrameLoop;
      return 0;
    case kPicture: {
      const uint32_t window = m_version == 2 ? 133 : 165;
      const uint32_t need = m_frameSize < window ? m_frameSize : window;
      if (avail < need) return BR_EAGAIN;
      const uint32_t hdr = pictureHeader(info, d, need);
      m_step = kSkip;
      if (hdr == 0) return 0;
      const uint64_t size = m_frameSize - hdr;
      if (!m_picture.start(size)) {
        brlog(ID3_TAG, 2, "ID3 Fld [%s]: Picture too large, skipped: %llu\n", tagName(),
              (unsigned long long)size);
        return 0;
      }
      brlog(ID3_TAG, 17, "ID3 Fld [%s]: START\n", tagName());
      info->used = hdr;
      m_pictureEnd = m_frameStart + m_frameSize;
      m_step = kPictureData;
      return 0;
    }
    default:
      m_step = kSkip;
      return 0;
  }
}

int32_t HBFmtImplId3::parseSlice(HBFormatImplInfo_t *info) {
  const uint8_t *d = info->data;
  const uint32_t avail = info->avail;
  switch (m_step) {
    case kHeader:
      if (avail < 10) return BR_EAGAIN;
      if (checkHeader(d, false) != 0) return BR_ENOENT;
      m_headerOff = info->offset;
      m_version = d[3];
      m_flags = d[5];
      m_size = syncsafe(d + 6);
      // The size counts the bytes after the 10-byte header.
      m_tagEnd = m_headerOff + 10 + m_size;
      brlog(ID3_TAG, 16, "ID3 Hdr: ID3v2.%lld.%d 0x%x %u @ %lld\n", (long long)m_version, d[4],
            m_flags, m_size, (long long)m_headerOff);
      info->used = 10;
      if (m_flags & 0x40) {
        if (m_version == 2) return BR_ERANGE;
        m_step = kExtHeader;
      } else {
        m_step = kFrameLoop;
      }
      return 0;
    case kExtHeader: {
      if (avail < 6) return BR_EAGAIN;
      const uint32_t size = m_version == 3 ? hbfmt__be32(d) : syncsafe(d);
      brlog(ID3_TAG, 16, "ID3 Ext Hdr: %u 0x%x @ %lld\n", size, (unsigned)hbfmt__be16(d + 4),
            (long long)info->offset);
      m_skipEnd = info->offset + (m_version == 3 ? 4ull + size : (uint64_t)size);
      m_step = kSkip;
      return 0;
    }
    case kFrameLoop:
      if (info->offset >= m_tagEnd) {
        m_step = kDone;
        return BR_ERANGE;
      }
      return frameHeader(info);
    case kSkip: {
      if (info->offset >= m_skipEnd) {
        m_step = kFrameLoop;
        return 0;
      }
      const uint64_t left = m_skipEnd - info->offset;
      info->used = (uint32_t)(left < avail ? left : avail);
      return 0;
    }
    case kFrameBody:
      return frameBody(info);
    case kPictureData: {
      const uint64_t left = m_pictureEnd > info->offset ? m_pictureEnd - info->offset : 0;
      const uint32_t n = (uint32_t)(left < avail ? left : avail);
      if (n > 0) {
        brlog(ID3_TAG, 17, "ID3 Fld [%s]: WRITE %u\n", tagName(), n);
        brstr__hexdump(ID3_TAG, 17, d, n < 16 ? n : 16);
        if (!m_picture.append(d, n)) {
          m_picture.reset();
          m_skipEnd = m_pictureEnd;
          m_step = kSkip;
          return 0;
        }
        info->used = n;
        if (n < left) return 0;
      }
      brlog(ID3_TAG, 17, "ID3 Fld [%s]: DONE%s\n", tagName(),
            m_picture.length() ? "" : " (EMPTY)");
      m_picture.report(info->sink, m_mime.c_str());
      m_pictureTaken = true;
      m_step = kFrameLoop;
      return 0;
    }
    default:
      return BR_ERANGE;
  }
}

class HBFmtImplFactId3 final : public IHBFormatImplFact {
 public:
  const char *getName() const override { return "ID3"; }
  int32_t create(HBFormatImplInfo_t *info, IHBFormatImpl **out) const override {
    const uint8_t *d = info->data;
    for (uint32_t i = 0; i + 10 <= info->avail; ++i) {
      if (d[i] != 'I' || d[i + 1] != 'D' || d[i + 2] != '3') continue;
      const int32_t rc = checkHeader(d + i, true);
      if (rc != 0) return rc;
      info->used = i;
      *out = new HBFmtImplId3();
      return 0;
    }
    return BR_EINVAL;
  }
};

}  // namespace

const IHBFormatImplFact &hbfmt__factId3() {
  static const HBFmtImplFactId3 fact;
  return fact;
}
