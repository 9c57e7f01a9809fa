// HBFmtParser: feeds every block read through it to the format reader chosen by its first bytes.
#include "hbfmtparser.h"

#include <openssl/sha.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "brlog.h"
#include "hbfmtparser_int.h"

#define FMT_TAG "HBFMT"

namespace {

constexpr uint32_t kCarry = 256;
// A reader that keeps succeeding without consuming anything is stuck, not thinking.
constexpr int kMaxIdleSlices = 64;

// Outcome of feeding one block.
enum Feed { kNeedMore, kDone, kFailed, kContinue };

class HBFmtParser final
    : public HBObject<HBFmtParser, IHBFormatParser, IHBFormatImplSink> {
 public:
  HBFmtParser(IHBStream *source, const IHBFormatImplFact *const *facts, int count)
      : m_src(HBRef<IHBStream>::retain(source)), m_facts(facts), m_factCount(count) {
    char path[4096];
    if (hbstream__getPath(source, path, sizeof(path)) >= 0) {
      m_name = path;
      m_info.name = m_name.c_str();
    }
    m_info.sink = this;
  }

  int32_t init() { return HBMap::create("FMTITEMS", 4096, 4096, m_items); }

  int32_t getifc(int32_t ifc, void **out) override {
    if (!out) return BR_EINVAL;
    if (ifc == HBIFC_OBJ || ifc == HBIFC_STREAM) return offer<IHBFormatParser>(out);
    if (ifc == HBIFC_MAP && m_items) {
      m_items->upref();
      *out = static_cast<IHBMap *>(m_items.get());
      return BR_OK;
    }
    return BR_ENOENT;
  }

  int32_t read(void *buffer, int32_t length) override {
    if (!m_src) return BR_EBADSTATE;
    const int32_t n = m_src->read(buffer, length);
    if (n > 0) feed(static_cast<const uint8_t *>(buffer), (uint32_t)n);
    return n;
  }
  int32_t write(const void *buffer, int32_t length) override {
    return m_src ? m_src->write(buffer, length) : BR_EBADSTATE;
  }
  int64_t seek(int64_t offset, int32_t whence) override;
  int32_t flush() override { return m_src ? m_src->flush() : BR_OK; }
  int32_t close() override {
    const int32_t rc = m_src ? m_src->close() : BR_OK;
    m_impl.reset();
    m_items.reset();
    return rc;
  }

  int32_t getState() override { return m_state; }
  int64_t getSeekRequest() override { return m_info.seekRequest; }
  int32_t getItems(IHBMap **out) override {
    if (!out) return BR_EINVAL;
    if (!m_items) return BR_EBADSTATE;
    m_items->upref();
    *out = m_items.get();
    return BR_OK;
  }
  int32_t parseAll() override;
  int32_t releaseSource() override {
    m_src.reset();
    return BR_OK;
  }

  int32_t notifyItemFound(const char *key, hbtype_t hbtype, const void *value) override;

 protected:
  ~HBFmtParser() override = default;

 private:
  void setState(int32_t to) {
    if (m_state == HBFMT_STATE_DONE || m_state == HBFMT_STATE_FAILED) {
      brlog(FMT_TAG, 16, "Invalid FP state change %d ==> %d\n", m_state, to);
      return;
    }
    if (to == m_state) return;
    brlog(FMT_TAG, 19, "FP state change %d ==> %d\n", m_state, to);
    m_state = to;
  }
  void feed(const uint8_t *data, uint32_t n);
  Feed process(const uint8_t *data, uint32_t n, uint64_t offset);
  bool locate(const uint8_t *data, uint32_t n, uint64_t offset);
  int32_t slice(const uint8_t *data, uint32_t avail, uint64_t offset);
  Feed carryPhase(uint32_t appended, uint32_t consumed, uint32_t *into);

  HBRef<IHBStream> m_src;
  const IHBFormatImplFact *const *m_facts;
  int m_factCount;
  std::string m_name;
  HBFormatImplInfo_t m_info;
  HBRef<IHBFormatImpl> m_impl;
  HBRef<HBMap> m_items;
  int32_t m_state = HBFMT_STATE_PARSING;
  uint8_t m_carry[kCarry];
  uint32_t m_carryLen = 0;
  uint64_t m_carryOff = 0;  // stream offset of m_carry[0]
  int64_t m_seekTarget = 0;
  uint64_t m_pos = 0;  // stream offset of the next byte from the source
  int m_idle = 0;
};

int64_t HBFmtParser::seek(int64_t offset, int32_t whence) {
  if (!m_src) return BR_EBADSTATE;
  const int64_t r = m_src->seek(offset, whence);
  if (r < 0) return r;
  if (m_state != HBFMT_STATE_DONE && m_state != HBFMT_STATE_FAILED) {
    // Without a request the reader still expects the bytes it has not consumed yet: those it
    // left in the carry buffer, or those a pending re-synchronisation waits for.
    int64_t target = m_info.seekRequest;
    if (!target)
      target = m_state == HBFMT_STATE_SYNCING ? m_seekTarget : (int64_t)(m_pos - m_carryLen);
    setState(HBFMT_STATE_SYNCING);
    m_seekTarget = target;
    m_carryLen = 0;
  }
  m_pos = (uint64_t)r;
  return r;
}

int32_t HBFmtParser::slice(const uint8_t *data, uint32_t avail, uint64_t offset) {
  m_info.data = data;
  m_info.avail = avail;
  m_info.offset = offset;
  m_info.used = 0;
  m_info.seekRequest = 0;
  int32_t rc = m_impl->parseSlice(&m_info);
  if (rc == 0) {
    if (m_info.used > avail) {
      rc = BR_EBADSTATE;
    } else if (m_info.used == 0) {
      if (++m_idle > kMaxIdleSlices) rc = BR_EBADSTATE;
    } else {
      m_idle = 0;
    }
  }
  return rc;
}

bool HBFmtParser::locate(const uint8_t *data, uint32_t n, uint64_t offset) {
  for (int i = 0; i < m_factCount; ++i) {
    m_info.data = data;
    m_info.avail = n;
    m_info.offset = offset;
    m_info.used = 0;
    m_info.seekRequest = 0;
    IHBFormatImpl *impl = nullptr;
    if (m_facts[i]->create(&m_info, &impl) == 0 && impl) {
      m_impl = HBRef<IHBFormatImpl>::adopt(impl);
      if (m_info.used > n) m_info.used = n;
      return true;
    }
  }
  return false;
}

// Parses the carry buffer, whose last `appended` bytes came from the current block, from
// `consumed` on until the bytes carried from earlier blocks are used up. *into receives where
// parsing goes on in the current block.
Feed HBFmtParser::carryPhase(uint32_t appended, uint32_t consumed, uint32_t *into) {
  const uint32_t original = m_carryLen - appended;
  while (consumed < original) {
    const int32_t rc = slice(m_carry + consumed, m_carryLen - consumed, m_carryOff + consumed);
    if (rc == 0) {
      brlog(FMT_TAG, 20, "[BUF] Used %u bytes\n", m_info.used);
      consumed += m_info.used;
    } else if (rc == BR_EAGAIN) {
      if (m_carryLen < kCarry) {
        // The whole block fitted behind the carried bytes: wait for the next one.
        memmove(m_carry, m_carry + consumed, m_carryLen - consumed);
        m_carryLen -= consumed;
        m_carryOff += consumed;
        return kNeedMore;
      }
      brlog(FMT_TAG, 1, "[BUF] Can't buffer enough!!\n");
      return kFailed;
    } else if (rc == BR_ERANGE) {
      return kDone;
    } else {
      brlog(FMT_TAG, 1, "[BUF] ERROR: %d\n", rc);
      return kFailed;
    }
  }
  *into = consumed - original;
  m_carryLen = 0;
  return kContinue;
}

Feed HBFmtParser::process(const uint8_t *data, uint32_t n, uint64_t offset) {
  uint32_t at = 0;
  if (!m_impl) {
    brlog(FMT_TAG, 16, "[FMT] Locating parser implementation\n");
    if (m_carryLen == 0) {
      if (locate(data, n, offset)) {
        at = m_info.used;
      } else if (n < kCarry - 1) {
        // A short first read: gather more before judging the format.
        memcpy(m_carry, data, n);
        m_carryLen = n;
        m_carryOff = offset;
        return kNeedMore;
      } else {
        return kFailed;
      }
    } else {
      const uint32_t appended = n < kCarry - m_carryLen ? n : kCarry - m_carryLen;
      memcpy(m_carry + m_carryLen, data, appended);
      m_carryLen += appended;
      if (locate(m_carry, m_carryLen, m_carryOff)) {
        const Feed f = carryPhase(appended, m_info.used, &at);
        if (f != kContinue) return f;
      } else if (n > appended && locate(data, n, offset)) {
        m_carryLen = 0;
        at = m_info.used;
      } else if (m_carryLen < kCarry) {
        return kNeedMore;
      } else {
        return kFailed;
      }
    }
  } else if (m_carryLen > 0) {
    const uint32_t appended = n < kCarry - m_carryLen ? n : kCarry - m_carryLen;
    memcpy(m_carry + m_carryLen, data, appended);
    m_carryLen += appended;
    const Feed f = carryPhase(appended, 0, &at);
    if (f != kContinue) return f;
  }

  while (at < n) {
    const int32_t rc = slice(data + at, n - at, offset + at);
    if (rc == 0) {
      brlog(FMT_TAG, 20, "[FMT] Used %u bytes\n", m_info.used);
      at += m_info.used;
    } else if (rc == BR_EAGAIN) {
      const uint32_t left = n - at;
      if (left >= kCarry) {
        brlog(FMT_TAG, 20, "[FMT] Can't buffer enough!!\n");
        return kFailed;
      }
      memcpy(m_carry, data + at, left);
      m_carryLen = left;
      m_carryOff = offset + at;
      return kNeedMore;
    } else if (rc == BR_ERANGE) {
      return kDone;
    } else {
      brlog(FMT_TAG, 1, "[FMT] ERROR: %d\n", rc);
      return kFailed;
    }
  }
  return kNeedMore;
}

void HBFmtParser::feed(const uint8_t *data, uint32_t n) {
  uint64_t offset = m_pos;
  m_pos += n;
  if (m_state == HBFMT_STATE_DONE || m_state == HBFMT_STATE_FAILED) return;
  if (m_state == HBFMT_STATE_SYNCING) {
    brlog(FMT_TAG, 16, "[FMT] Syncing after seek: %lld ...> %lld\n", (long long)offset,
          (long long)m_seekTarget);
    if (offset > (uint64_t)m_seekTarget) return;
    const uint64_t drop = (uint64_t)m_seekTarget - offset;
    if (drop > n) return;
    data += drop;
    n -= (uint32_t)drop;
    offset += drop;
    setState(HBFMT_STATE_PARSING);
    brlog(FMT_TAG, 16, "[FMT] Synced after seek: %lld\n", (long long)m_seekTarget);
    if (n == 0) return;
  }
  switch (process(data, n, offset)) {
    case kNeedMore:
      break;
    case kDone:
      setState(HBFMT_STATE_DONE);
      break;
    default:
      setState(HBFMT_STATE_FAILED);
      break;
  }
}

int32_t HBFmtParser::parseAll() {
  int64_t total = 0;
  int32_t rc = 0;
  uint8_t buffer[4096];
  while (m_state != HBFMT_STATE_DONE && m_state != HBFMT_STATE_FAILED) {
    const int64_t want = m_info.seekRequest;
    if (want > 0) {
      brlog("VFSBG", 16, "[FMT] Parser wants offset %lld\n", (long long)want);
      // Only forward jumps: a request for bytes already read could loop for ever.
      if ((uint64_t)want < m_pos || seek(want, HBSTREAM_SEEK_SET) < 0) {
        brlog(FMT_TAG, 1, "[FMT] ERROR: %d\n", BR_ERANGE);
        setState(HBFMT_STATE_FAILED);
        break;
      }
    }
    const int32_t n = read(buffer, sizeof(buffer));
    if (n <= 0) {
      rc = n;
      break;
    }
    total += n;
  }
  brlog(FMT_TAG, 16, "[FMT] Done pumping, fpstate=%d, tnr=%lld\n", m_state, (long long)total);
  return rc;
}

int32_t HBFmtParser::notifyItemFound(const char *key, hbtype_t hbtype, const void *value) {
  if (!m_items) {
    brlog(FMT_TAG, 2, "notifyItemFound: CLOSED\n");
    return BR_EBADSTATE;
  }
  if (!key || !value) return BR_EINVAL;
  if (hbtype == HBTYPE_TEXT) {
    // Every text leaves as valid UTF-8 without control characters: old cameras and taggers
    // write Latin-1 or stray bytes, which the service refuses.
    const std::string clean = hbfmt__cleanText(static_cast<const char *>(value));
    const char *text = clean.c_str();
    size_t b = 0, e = strlen(text);
    while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
    if (b == 0 && text[e] == 0) {
      brlog(FMT_TAG, 16, "notifyItemFound: '%s':'%s'\n", key, text);
      // An empty text is no value: it would only become an empty argument further on.
      return e == 0 ? BR_OK : m_items->putString(key, text);
    }
    const std::string trimmed(text + b, e - b);
    brlog(FMT_TAG, 16, "notifyItemFound: '%s':'%s'-->'%s'%s\n", key, text, trimmed.c_str(),
          trimmed.empty() ? " (EMPTY)" : "");
    if (trimmed.empty()) return BR_OK;
    return m_items->putString(key, trimmed.c_str());
  }
  brlog(FMT_TAG, 16, "notifyItemFound: '%s':%p (hbt:0x%08x)\n", key, value, (unsigned)hbtype);
  if (hbtype__isRaw(hbtype)) return m_items->put(key, hbtype, value);
  return m_items->putObject(key, hbtype, static_cast<IHBObj *>(const_cast<void *>(value)));
}

// The picture containers come first: each wants its magic at the very start, while ID3 and
// EXIF look for theirs anywhere in the first bytes and MP4 takes any "ftyp".
const IHBFormatImplFact *const kFactories[] = {
    &hbfmt__factTiff(), &hbfmt__factWebp(), &hbfmt__factCr3(), &hbfmt__factHeif(),
    &hbfmt__factRaf(),  &hbfmt__factId3(),  &hbfmt__factExif(), &hbfmt__factAac()};

}  // namespace

int32_t hbfmtparser__newWith(IHBFormatParser **out, IHBStream *source,
                             const IHBFormatImplFact *const *facts, int count) {
  if (!out || !source) return BR_EINVAL;
  auto *p = new (std::nothrow) HBFmtParser(source, facts, count);
  if (!p) return BR_ENOMEM;
  const int32_t rc = p->init();
  if (rc < 0) {
    p->dnref();
    return rc;
  }
  *out = p;
  return BR_OK;
}

int32_t hbfmtparser__new(IHBFormatParser **out, IHBStream *source) {
  return hbfmtparser__newWith(out, source, kFactories,
                              (int)(sizeof(kFactories) / sizeof(kFactories[0])));
}

int32_t hbfmtparser__parseFile(const char *path, IHBMap **out) {
  if (!path || !out) return BR_EINVAL;
  HBRef<IHBStream> file;
  HB_RETURN_IF_FAILED(FMT_TAG, hbstream__openFile(file.out(), path, HBFILE_O_READ));
  HBRef<IHBFormatParser> parser;
  HB_RETURN_IF_FAILED(FMT_TAG, hbfmtparser__new(parser.out(), file.get()));
  const int32_t rc = parser->parseAll();
  HBRef<IHBMap> items;
  const int32_t got = parser->getItems(items.out());
  (void)parser->releaseSource();
  (void)parser->close();
  (void)file->close();
  if (rc < 0) return rc;
  if (got < 0) return got;
  *out = items.detach();
  return BR_OK;
}

// ---- Helpers shared by the readers ----

HBFmtPicture::~HBFmtPicture() {
  if (m_mem)
    brlog(FMT_TAG, 2, "Picture cut short by the end of the file, skipped: %llu of %llu bytes\n",
          (unsigned long long)m_length, (unsigned long long)m_expected);
  reset();
}

void HBFmtPicture::reset() {
  if (m_mem) m_mem->dnref();
  m_mem = nullptr;
  m_length = 0;
}

bool HBFmtPicture::start(uint64_t size) {
  reset();
  if (size > kHBFmtMaxPicture) return false;
  m_expected = size;
  const int32_t capacity = size < 65536 ? (size ? (int32_t)size : 1) : 65536;
  IHBMemStream *mem = nullptr;
  if (hbstream__newMem(&mem, capacity) < 0 || !mem) return false;
  m_mem = mem;
  return true;
}

bool HBFmtPicture::append(const uint8_t *data, uint32_t length) {
  if (!m_mem || m_length + length > kHBFmtMaxPicture) return false;
  if (hbstream__writeAll(m_mem, data, (int32_t)length) != (int32_t)length) return false;
  m_length += length;
  return true;
}

void HBFmtPicture::report(IHBFormatImplSink *sink, const char *mime) {
  if (!m_mem) return;
  IHBStream *wrapped = nullptr;
  if (HBStreamWithMimeType__new(&wrapped, m_mem, mime) == 0 && wrapped) {
    (void)sink->notifyItemFound("yto-tn", HBIFC_STREAM, static_cast<IHBObj *>(wrapped));
    wrapped->dnref();
  }
  reset();
}

const char *hbfmt__genreName(int index) {
  static const char *const kGenres[148] = {
      "Blues", "Classic Rock", "Country", "Dance", "Disco", "Funk", "Grunge", "Hip-Hop", "Jazz",
      "Metal", "New Age", "Oldies", "Other", "Pop", "R&B", "Rap", "Reggae", "Rock", "Techno",
      "Industrial", "Alternative", "Ska", "Death Metal", "Pranks", "Soundtrack", "Euro-Techno",
      "Ambient", "Trip-Hop", "Vocal", "Jazz+Funk", "Fusion", "Trance", "Classical",
      "Instrumental", "Acid", "House", "Game", "Sound Clip", "Gospel", "Noise", "AlternRock",
      "Bass", "Soul", "Punk", "Space", "Meditative", "Instrumental Pop", "Instrumental Rock",
      "Ethnic", "Gothic", "Darkwave", "Techno-Industrial", "Electronic", "Pop-Folk", "Eurodance",
      "Dream", "Southern Rock", "Comedy", "Cult", "Gangsta", "Top 40", "Christian Rap",
      "Pop/Funk", "Jungle", "Native American", "Cabaret", "New Wave", "Psychadelic", "Rave",
      "Showtunes", "Trailer", "Lo-Fi", "Tribal", "Acid Punk", "Acid Jazz", "Polka", "Retro",
      "Musical", "Rock & Roll", "Hard Rock", "Folk", "Folk-Rock", "National Folk", "Swing",
      "Fast Fusion", "Bebob", "Latin", "Revival", "Celtic", "Bluegrass", "Avantgarde",
      "Gothic Rock", "Progressive Rock", "Psychedelic Rock", "Symphonic Rock", "Slow Rock",
      "Big Band", "Chorus", "Easy Listening", "Acoustic", "Humour", "Speech", "Chanson", "Opera",
      "Chamber Music", "Sonata", "Symphony", "Booty Bass", "Primus", "Porn Groove", "Satire",
      "Slow Jam", "Club", "Tango", "Samba", "Folklore", "Ballad", "Power Ballad",
      "Rhythmic Soul", "Freestyle", "Duet", "Punk Rock", "Drum Solo", "A capella", "Euro-House",
      "Dance Hall", "Goa", "Drum & Bass", "Club-House", "Hardcore", "Terror", "Indie", "BritPop",
      "Negerpunk", "Polsk Punk", "Beat", "Christian Gangsta Rap", "Heavy Metal", "Black Metal",
      "Crossover", "Contemporary Christian", "Christian Rock", "Merengue", "Salsa",
      "Thrash Metal", "Anime", "JPop", "Synthpop"};
  return index >= 0 && index < 148 ? kGenres[index] : "Unknown";
}

std::string hbfmt__albumIdentity(const char *text, size_t length) {
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char *>(text), length, digest);
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-";
  std::string out;
  for (size_t i = 0; i < sizeof(digest); i += 3) {
    const uint32_t b0 = digest[i];
    const uint32_t b1 = i + 1 < sizeof(digest) ? digest[i + 1] : 0;
    const uint32_t b2 = i + 2 < sizeof(digest) ? digest[i + 2] : 0;
    const uint32_t v = (b0 << 16) | (b1 << 8) | b2;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < sizeof(digest) ? kAlphabet[(v >> 6) & 63] : '=';
    out += i + 2 < sizeof(digest) ? kAlphabet[v & 63] : '=';
  }
  return out;
}

std::string hbfmt__hex(const uint8_t *data, size_t length) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    out += kHex[data[i] >> 4];
    out += kHex[data[i] & 15];
  }
  return out;
}

bool hbfmt__utcMs(long long year, int month, long long day, long long hour, long long minute,
                  long long second, int64_t *out) {
  static const int kDaysBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  if (month < 1 || month > 12) return false;
  // Far beyond any camera's clock, and far enough from overflowing the milliseconds.
  for (long long v : {year, day, hour, minute, second})
    if (v < -1000000 || v > 1000000) return false;
  // Days from 1970-01-01 to January 1st of `year`, by the Gregorian rule.
  const long long y = year - 1;
  const long long days =
      365 * (year - 1970) + (y / 4 - y / 100 + y / 400) - (1969 / 4 - 1969 / 100 + 1969 / 400);
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const long long yday = kDaysBefore[month - 1] + (leap && month > 2 ? 1 : 0) + day - 1;
  *out = (int64_t)((((days + yday) * 24 + hour) * 60 + minute) * 60 + second) * 1000;
  return true;
}

void hbfmt__splitMs(int64_t ms, int fields[6]) {
  time_t secs = (time_t)(ms / 1000);
  struct tm tm;
  if (!gmtime_r(&secs, &tm)) {
    memset(fields, 0, 6 * sizeof(int));
    return;
  }
  fields[0] = tm.tm_year + 1900;
  fields[1] = tm.tm_mon + 1;
  fields[2] = tm.tm_mday;
  fields[3] = tm.tm_hour;
  fields[4] = tm.tm_min;
  fields[5] = tm.tm_sec;
}
