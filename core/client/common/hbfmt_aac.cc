// MP4 metadata reader: a streaming walk over the "moov" box tree.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "brlog.h"
#include "hbfmtparser_int.h"
#include "hbstr.h"

#define AAC_TAG "AAC"

namespace {

constexpr int kMaxLevels = 9;
constexpr uint32_t fourcc(const char *s) {
  return ((uint32_t)(uint8_t)s[0] << 24) | ((uint32_t)(uint8_t)s[1] << 16) |
         ((uint32_t)(uint8_t)s[2] << 8) | (uint8_t)s[3];
}
constexpr uint32_t kNam = 0xA96E616D, kArt = 0xA9415254, kAlb = 0xA9616C62, kGen = 0xA967656E;

// Four printable characters of a box type for the log, 0xA9 as a blank.
struct Cc {
  explicit Cc(uint32_t t) {
    for (int i = 0; i < 4; ++i) {
      const uint8_t c = (uint8_t)(t >> (24 - 8 * i));
      s[i] = c == 0xA9 ? ' ' : (char)c;
    }
  }
  char s[4];
};
#define CC4(t) Cc(t).s[0], Cc(t).s[1], Cc(t).s[2], Cc(t).s[3]

struct Level {
  uint64_t start = 0;
  uint64_t size = 0;
  uint32_t type = 0;
  uint32_t flags = 0;  // of "----" items: 1 mean is com.apple.iTunes, 2 name is iTunes_CDDB_IDs
  uint64_t end() const { return start + size; }
};

class HBFmtImplAac final : public HBObject<HBFmtImplAac, IHBFormatImpl> {
 public:
  int32_t getifc(int32_t ifc, void **out) override {
    if (ifc == HBIFC_OBJ) return offer<IHBFormatImpl>(out);
    return BR_ENOENT;
  }
  int32_t parseSlice(HBFormatImplInfo_t *info) override;

 protected:
  ~HBFmtImplAac() override = default;

 private:
  enum Step { kStart, kHeader, kDispatch, kSkip, kMvhd, kMetaFlags, kData, kDataInt, kDataText,
              kImage, kImageData, kMean, kName };

  int32_t header(HBFormatImplInfo_t *info);
  int32_t dispatch(HBFormatImplInfo_t *info);
  int32_t skipTo(HBFormatImplInfo_t *info);
  int32_t pop(HBFormatImplInfo_t *info);
  void push();
  void skip(uint64_t end) {
    m_skipEnd = end;
    m_step = kSkip;
  }
  const char *textKey(uint32_t item) const;
  uint64_t enclosingEnd() const { return m_depth ? m_levels[m_depth - 1].end() : UINT64_MAX; }
  uint32_t item() const { return m_depth ? m_levels[m_depth - 1].type : 0; }
  uint64_t dataLeft(const HBFormatImplInfo_t *info) const {
    return m_box.end() > info->offset ? m_box.end() - info->offset : 0;
  }

  Step m_step = kStart;
  int m_depth = 0;
  Level m_levels[kMaxLevels];
  Level m_box;  // the box whose header was read last
  uint64_t m_skipEnd = 0;
  uint32_t m_class = 0;
  char m_text[4096];
  std::string m_mime;
  HBFmtPicture m_picture;
  bool m_pictureTaken = false;
};

const char *HBFmtImplAac::textKey(uint32_t it) const {
  switch (it) {
    case kNam: return "title";
    case kArt: return "artist";
    case kAlb: return "album";
    case kGen: return "genre";
    case fourcc("trkn"): return "originalTrackNumber";
    default: return nullptr;
  }
}

void HBFmtImplAac::push() {
  if (m_depth + 2 > 10) {
    brlog(AAC_TAG, 2, "[%d]Box Push: Too deep!\n", m_depth);
    skip(m_box.end());
    return;
  }
  brlog(AAC_TAG, 16, "[%d]Box Push: '%c%c%c%c'\n", m_depth, CC4(m_box.type));
  m_levels[m_depth] = m_box;
  m_levels[m_depth].flags = 0;
  ++m_depth;
  m_step = kHeader;
}

int32_t HBFmtImplAac::pop(HBFormatImplInfo_t *) {
  if (m_depth == 0) {
    brlog(AAC_TAG, 2, "[%d]Box Pop: No more boxes!\n", m_depth);
    return BR_ENOENT;
  }
  const Level closed = m_levels[--m_depth];
  const uint32_t parent = m_depth ? m_levels[m_depth - 1].type : fourcc("    ");
  brlog(AAC_TAG, 16, "[%d]Box Pop: '%c%c%c%c' <<- '%c%c%c%c'\n", m_depth, CC4(parent),
        CC4(closed.type));
  if (m_depth == 0 && closed.type == fourcc("moov")) {
    brlog(AAC_TAG, 16, "[%d]Box-Done: '%c%c%c%c': No further interesting boxes!\n", m_depth,
          CC4(closed.type));
    return BR_ERANGE;
  }
  skip(closed.end());
  return 0;
}

int32_t HBFmtImplAac::skipTo(HBFormatImplInfo_t *info) {
  if (m_skipEnd < info->offset) {
    brlog(AAC_TAG, 1, "[%d]Box Skip: Out of bounds? Bytes used would be negative! %lld < %lld\n",
          m_depth, (long long)m_skipEnd, (long long)info->offset);
    return pop(info);
  }
  const uint64_t left = m_skipEnd - info->offset;
  if (left == 0) {
    m_step = kHeader;
    return 0;
  }
  if (left > info->avail) {
    info->used = info->avail;
    // Offsets beyond what a seek can name are left to the end of the stream.
    const uint64_t target = m_skipEnd > (uint64_t)INT64_MAX ? (uint64_t)INT64_MAX : m_skipEnd;
    info->seekRequest = (int64_t)target;
    brlog(AAC_TAG, 16, "[%d]Box Skip: Ask for offset %lld+%lld\n", m_depth,
          (long long)info->offset, (long long)(target - info->offset));
    return 0;
  }
  info->used = (uint32_t)left;
  m_step = kHeader;
  return 0;
}

int32_t HBFmtImplAac::header(HBFormatImplInfo_t *info) {
  if (info->offset >= enclosingEnd()) return pop(info);
  const uint8_t *d = info->data;
  if (info->avail < 8) return BR_EAGAIN;
  uint64_t size = hbfmt__be32(d);
  uint32_t hdr = 8;
  if (size == 1) {
    if (info->avail < 16) return BR_EAGAIN;
    size = hbfmt__be64(d + 8);
    hdr = 16;
  }
  m_box.start = info->offset;
  m_box.size = size > UINT64_MAX - info->offset ? UINT64_MAX - info->offset : size;
  m_box.type = hbfmt__be32(d + 4);
  m_box.flags = 0;
  brlog(AAC_TAG, 16, "[%d]Box Hdr: '%c%c%c%c' %lld @ %lld\n", m_depth, CC4(m_box.type),
        (long long)size, (long long)info->offset);
  if (brlog__enabled(32) && info->avail > hdr) {
    const uint32_t body = info->avail - hdr;
    brstr__hexdump(AAC_TAG, 32, d + hdr, body < 32 ? body : 32);
  }
  if (size == 0) return BR_ERANGE;
  info->used = hdr;
  if (m_box.end() > enclosingEnd()) return pop(info);
  m_step = kDispatch;
  return 0;
}

int32_t HBFmtImplAac::dispatch(HBFormatImplInfo_t *info) {
  const uint32_t t = m_box.type;
  const uint64_t end = m_box.end();
  // A box too small for its own header ends before the position; the skip rule handles it.
  const bool sane = end >= info->offset;
  switch (sane ? m_depth : -1) {
    case 0:
      if (t == fourcc("moov")) return push(), 0;
      break;
    case 1:
      if (t == fourcc("mvhd")) return m_step = kMvhd, 0;
      if (t == fourcc("udta")) return push(), 0;
      break;
    case 2:
      if (t == fourcc("meta")) return m_step = kMetaFlags, 0;
      break;
    case 3:
      if (t == fourcc("ilst")) return push(), 0;
      break;
    case 4:
      if (t == fourcc("----") || t == fourcc("covr") || t == fourcc("gnre") ||
          t == fourcc("trkn") || t == fourcc("plID") || t == kArt || t == kAlb || t == kGen ||
          t == kNam || brlog__getLevel() > 31)
        return push(), 0;
      skip(end);
      return 0;
    case 5:
      if (t == fourcc("data")) return m_step = kData, 0;
      if (t == fourcc("mean")) return m_step = kMean, 0;
      if (t == fourcc("name")) return m_step = kName, 0;
      break;
  }
  brlog(AAC_TAG, 16, "[%d]Box-Ign: '%c%c%c%c'\n", m_depth, CC4(t));
  skip(end);
  return 0;
}

int32_t HBFmtImplAac::parseSlice(HBFormatImplInfo_t *info) {
  const uint8_t *d = info->data;
  const uint32_t avail = info->avail;
  switch (m_step) {
    case kStart:
      if (avail < 8) return BR_EAGAIN;
      if (memcmp(d + 4, "ftyp", 4) != 0) return BR_ENOENT;
      m_step = kHeader;
      return 0;
    case kHeader:
      return header(info);
    case kDispatch:
      return dispatch(info);
    case kSkip:
      return skipTo(info);
    case kMetaFlags:
      if (avail < 4) return BR_EAGAIN;
      info->used = 4;
      push();
      return 0;
    case kMean:
    case kName: {
      const bool mean = m_step == kMean;
      const uint32_t len = mean ? 20 : 19;
      if (dataLeft(info) < len) {
        skip(m_box.end());
        return 0;
      }
      if (avail < len) return BR_EAGAIN;
      if (m_depth > 0 && !memcmp(d + 4, mean ? "com.apple.iTunes" : "iTunes_CDDB_IDs", len - 4))
        m_levels[m_depth - 1].flags |= mean ? 1 : 2;
      info->used = len;
      skip(m_box.end());
      return 0;
    }
    case kMvhd: {
      if (avail < 1) return BR_EAGAIN;
      const uint8_t version = d[0];
      if (version > 1) {
        brlog(AAC_TAG, 2, "[%d]Box 'mvhd': Skipping unknown version: %d\n", m_depth, version);
        skip(m_box.end());
        return 0;
      }
      const uint32_t need = version == 0 ? 12 : 20;
      if (avail < need) return BR_EAGAIN;
      const uint64_t ct = version == 0 ? hbfmt__be32(d + 4) : hbfmt__be64(d + 4);
      const uint64_t mt = version == 0 ? hbfmt__be32(d + 8) : hbfmt__be64(d + 12);
      info->used = need;
      skip(m_box.end());
      // Zero means "not set"; beyond the year 292 million the milliseconds do not fit.
      if (ct == 0 || ct > (uint64_t)INT64_MAX / 1000) return 0;
      const int64_t ms = (int64_t)ct * 1000 - 2082844800000LL;
      int f[6];
      hbfmt__splitMs(ms, f);
      brlog(AAC_TAG, 18,
            "Mac UTC crtime: %lld, mtime: %lld --> Exif DateTimeOriginal: %lld --> "
            "'%d-%d-%d %d:%d:%d'\n",
            (long long)ct, (long long)mt, (long long)ms, f[0], f[1], f[2], f[3], f[4], f[5]);
      char text[32];
      snprintf(text, sizeof(text), "%lld", (long long)ms);
      (void)info->sink->notifyItemFound("EXIF-DateTimeOriginal", HBTYPE_TEXT, text);
      return 0;
    }
    case kData: {
      if (avail < 8) return BR_EAGAIN;
      m_class = hbfmt__be32(d) & 0xFFFFFF;
      brlog(AAC_TAG, 16, "[%d]Box 'data' Hdr: 0x%x%s\n", m_depth, m_class,
            m_class == 1 ? " (TEXT)" : m_class == 13 ? " (IMG)" : "");
      info->used = 8;
      if (m_class == 0 || m_class == 21) m_step = kDataInt;
      else if (m_class == 1) m_step = kDataText;
      else if (m_class == 13 || m_class == 14) m_step = kImage;
      else {
        brlog(AAC_TAG, 16, "[%d]Box-Ign 'data'\n", m_depth);
        skip(m_box.end());
      }
      return 0;
    }
    case kDataInt: {
      const uint32_t it = item();
      const uint64_t left = dataLeft(info);
      char text[64];
      if (it == fourcc("gnre") && left >= 2) {
        if (avail < 2) return BR_EAGAIN;
        const int v = hbfmt__be16(d);
        const char *name = hbfmt__genreName(v - 1);
        brlog(AAC_TAG, 17, "[%d]Box 'data' Data '%c%c%c%c': %d --> '%s'\n", m_depth, CC4(it), v,
              name);
        (void)info->sink->notifyItemFound("genre", HBTYPE_TEXT, name);
        info->used = 2;
      } else if (it == fourcc("plID")) {
        if (left >= 8) {
          if (avail < 8) return BR_EAGAIN;
          const std::string hex = hbfmt__hex(d, 8);
          const std::string id = hbfmt__albumIdentity(hex.data(), hex.size());
          brlog(AAC_TAG, 17, "[%d]Box 'data' Data '%c%c%c%c': 0x%s ==> '%s'\n", m_depth, CC4(it),
                hex.c_str(), id.c_str());
          (void)info->sink->notifyItemFound("yto-UniqueAlbumID", HBTYPE_TEXT, id.c_str());
          info->used = 8;
        }
      } else if (it == fourcc("trkn")) {
        if (left < 6) {
          brlog(AAC_TAG, 2, "[%d]Box 'data' Data '%c%c%c%c': Malformed track number!\n",
                m_depth, CC4(it));
        } else {
          if (avail < 6) return BR_EAGAIN;
          snprintf(text, sizeof(text), "%hu/%hu", hbfmt__be16(d + 2), hbfmt__be16(d + 4));
          brlog(AAC_TAG, 17, "[%d]Box 'data' Data '%c%c%c%c': 0x%x 0x%x --> '%s'\n", m_depth,
                CC4(it), hbfmt__be16(d + 2), hbfmt__be16(d + 4), text);
          (void)info->sink->notifyItemFound("originalTrackNumber", HBTYPE_TEXT, text);
          info->used = 6;
        }
      } else {
        brlog(AAC_TAG, 16, "[%d]Box-Ign 'data' Data '%c%c%c%c'\n", m_depth, CC4(it));
      }
      skip(m_box.end());
      return 0;
    }
    case kDataText: {
      const uint32_t it = item();
      const uint64_t left = dataLeft(info);
      const uint32_t n = (uint32_t)(left < sizeof(m_text) - 1 ? left : sizeof(m_text) - 1);
      if (avail < n) return BR_EAGAIN;
      memcpy(m_text, d, n);
      m_text[n] = 0;
      if (it == fourcc("----")) {
        if (m_depth > 0 && m_levels[m_depth - 1].flags == 3) {
          const std::string id = hbfmt__albumIdentity(m_text, strlen(m_text));
          brlog(AAC_TAG, 17, "[%d]Box 'data' Text '%c%c%c%c': ==> '%s'\n", m_depth, CC4(it),
                id.c_str());
          (void)info->sink->notifyItemFound("yto-UniqueAlbumID", HBTYPE_TEXT, id.c_str());
        }
      } else {
        brlog(AAC_TAG, 17, "[%d]Box 'data' Text '%c%c%c%c': '%s'\n", m_depth, CC4(it), m_text);
        if (const char *key = textKey(it))
          (void)info->sink->notifyItemFound(key, HBTYPE_TEXT, m_text);
      }
      if (m_depth > 0 && m_box.end() != m_levels[m_depth - 1].end()) {
        brlog(AAC_TAG, 2, "[%d]Box 'data' Text '%c%c%c%c': Wrong text length? %lld left...\n",
              m_depth, CC4(it), (long long)(m_levels[m_depth - 1].end() - m_box.end()));
        return pop(info);
      }
      skip(m_box.end());
      return 0;
    }
    case kImage: {
      const uint32_t it = item();
      const uint64_t left = dataLeft(info);
      if (m_pictureTaken) {
        brlog(AAC_TAG, 16, "[%d]Box 'data' Img '%c%c%c%c': Skipping multiple Imgs!\n", m_depth,
              CC4(it));
        skip(m_box.end());
        return 0;
      }
      if (left <= 3) {
        brlog(AAC_TAG, 16, "[%d]Box 'data' Img '%c%c%c%c': Skipping empty Img!\n", m_depth,
              CC4(it));
        skip(m_box.end());
        return 0;
      }
      if (avail < 4) return BR_EAGAIN;
      static const uint8_t jpeg[4] = {0xFF, 0xD8, 0xFF, 0xE0}, png[4] = {0x89, 'P', 'N', 'G'};
      if (!memcmp(d, jpeg, 4)) {
        m_mime = "image/jpeg";
      } else if (!memcmp(d, png, 4)) {
        m_mime = "image/png";
      } else {
        brlog(AAC_TAG, 16, "[%d]Box 'data' Img '%c%c%c%c': Skipping Img with unknown magic:\n",
              m_depth, CC4(it));
        brstr__hexdump(AAC_TAG, 16, d, 4);
        skip(m_box.end());
        return 0;
      }
      brlog(AAC_TAG, 16, "[%d]Box 'data' Img '%c%c%c%c': '%s'\n", m_depth, CC4(it),
            m_mime.c_str());
      if (!m_picture.start(left)) {
        brlog(AAC_TAG, 2, "[%d]Box 'data' Img '%c%c%c%c': Picture too large, skipped: %llu\n",
              m_depth, CC4(it), (unsigned long long)left);
        skip(m_box.end());
        return 0;
      }
      brlog(AAC_TAG, 17, "[%d]Box 'data' Img '%c%c%c%c': START\n", m_depth, CC4(it));
      m_step = kImageData;
      return 0;
    }
    case kImageData: {
      const uint32_t it = item();
      const uint64_t left = dataLeft(info);
      const uint32_t n = (uint32_t)(left < avail ? left : avail);
      if (n > 0) {
        brlog(AAC_TAG, 17, "[%d]Box 'data' Img '%c%c%c%c': WRITE %u\n", m_depth, CC4(it), n);
        brstr__hexdump(AAC_TAG, 17, d, n < 16 ? n : 16);
        if (!m_picture.append(d, n)) {
          m_picture.reset();
          skip(m_box.end());
          return 0;
        }
        info->used = n;
        if (n < left) return 0;
      }
      brlog(AAC_TAG, 16, "[%d]Box 'data' Img '%c%c%c%c': DONE%s\n", m_depth, CC4(it),
            m_picture.length() ? "" : " (EMPTY)");
      m_picture.report(info->sink, m_mime.c_str());
      m_pictureTaken = true;
      m_step = kHeader;
      return 0;
    }
  }
  return BR_ERANGE;
}

class HBFmtImplFactAac final : public IHBFormatImplFact {
 public:
  const char *getName() const override { return "AAC"; }
  int32_t create(HBFormatImplInfo_t *info, IHBFormatImpl **out) const override {
    if (info->avail < 12 || memcmp(info->data + 4, "ftyp", 4) != 0) return BR_EINVAL;
    info->used = 0;
    *out = new HBFmtImplAac();
    return 0;
  }
};

}  // namespace

const IHBFormatImplFact &hbfmt__factAac() {
  static const HBFmtImplFactAac fact;
  return fact;
}
