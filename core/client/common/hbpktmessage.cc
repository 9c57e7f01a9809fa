// Packet messages: records, wire encoding, value conversion and the log dump.
#include "hbpktmessage.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "brlist.h"
#include "brlog.h"
#include "hbmap.h"
#include "hbstream.h"

namespace {

const char kTag[] = "HBPKT";
const char kConvTag[] = "PCONV";

bool isText(hbtype_t t) {
  return t == 0 || t == HBTYPE_TEXT;
}

}  // namespace

struct HBPKTMessage::Record {
  int32_t type;
  int32_t size;
  uint64_t value;
  uint32_t flags;
  Record *next;
};

struct HBPKTMessage::Field {
  uint32_t number;
  int32_t count;
  Field *next;
  Record *first;
  Record *last;
};

// A buffered byte source over the answer stream, counting what it hands out.
struct HBPKTMessage::Reader {
  IHBStream *stream = nullptr;
  const uint8_t *mem = nullptr;  // or a memory block
  int64_t memLen = 0;
  uint8_t buf[4096];
  int32_t pos = 0;
  int32_t fill = 0;
  int64_t total = 0;
  int32_t error = 0;  // the stream's failure, once met
  bool eof = false;

  bool refill() {
    if (eof || error) return false;
    if (mem) {
      eof = true;
      return false;
    }
    // Each read already waits the connection's full read time-out: an answer that stalls ends
    // at the first "not yet", as a failure, not after dozens of time-outs as a shorter answer.
    const int32_t n = stream->read(buf, sizeof buf);
    if (n > 0) {
      pos = 0;
      fill = n;
      return true;
    }
    if (n < 0) {
      error = n;
      return false;
    }
    eof = true;
    return false;
  }
  // 1 with a byte, 0 at the end.
  int get(uint8_t *b) {
    if (mem) {
      if (total >= memLen) return 0;
      *b = mem[total++];
      return 1;
    }
    if (pos >= fill && !refill()) return 0;
    *b = buf[pos++];
    ++total;
    return 1;
  }
  // Copies up to `n` bytes into `dst` (null: skips them); the count delivered.
  int64_t take(void *dst, int64_t n) {
    int64_t done = 0;
    while (done < n) {
      if (mem) {
        int64_t k = memLen - total;
        if (k > n - done) k = n - done;
        if (k <= 0) break;
        if (dst) std::memcpy(static_cast<uint8_t *>(dst) + done, mem + total, size_t(k));
        total += k;
        done += k;
        continue;
      }
      if (pos >= fill && !refill()) break;
      int64_t k = fill - pos;
      if (k > n - done) k = n - done;
      if (dst) std::memcpy(static_cast<uint8_t *>(dst) + done, buf + pos, size_t(k));
      pos += int32_t(k);
      total += k;
      done += k;
    }
    return done;
  }
  // 0 with the value and its byte count, 1 when nothing was there, -1 when cut or too long.
  int varint(int64_t room, uint64_t *v, int32_t *used) {
    uint64_t r = 0;
    for (int i = 0; i < 10; ++i) {
      if (room >= 0 && i >= room) return i == 0 ? 1 : -1;
      uint8_t b;
      if (!get(&b)) return i == 0 ? 1 : -1;
      r |= uint64_t(b & 0x7f) << (7 * i);
      if (!(b & 0x80)) {
        *v = r;
        *used = i + 1;
        return 0;
      }
    }
    return -1;
  }
};

int32_t hbpkt__putVarint(uint8_t *out, uint64_t v) {
  int32_t n = 0;
  while (v >= 0x80) {
    out[n++] = uint8_t(v | 0x80);
    v >>= 7;
  }
  out[n++] = uint8_t(v);
  return n;
}

static int32_t varintSize(uint64_t v) {
  int32_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

int32_t HBPKTMessage::create(HBPKTMessage *parent, HBPKTMessage **out) {
  auto *m = new (std::nothrow) HBPKTMessage;
  if (!m) return BR_ENOMEM;
  if (parent) {
    m->m_alloc = parent->m_alloc;
    m->m_alloc->upref();
    m->m_nested = true;
  } else if (HBStringAllocator::create(4096, 4096, &m->m_alloc) < 0) {
    m->dnref();
    return BR_ENOMEM;
  }
  *out = m;
  return BR_OK;
}

int32_t HBPKTMessage::create(HBPKTMessage *parent, HBRef<HBPKTMessage> &out) {
  return create(parent, out.out());
}

void HBPKTMessage::releaseRecord(Record *r) {
  if (!(r->flags & HBPKT_OWNED) || !r->value) return;
  void *p = reinterpret_cast<void *>(static_cast<uintptr_t>(r->value));
  if (r->flags & HBPKT_OWNED_DNREF) {
    brlog(kTag, BRLOG_DEBUG3, "---- RECURSION DELETE %p!\n", p);
    static_cast<IHBObj *>(p)->dnref();
  } else if (r->flags & HBPKT_OWNED_FREE) {
    std::free(p);
  }
  r->value = 0;
}

HBPKTMessage::~HBPKTMessage() {
  for (Field *f : m_buckets)
    for (; f; f = f->next)
      for (Record *r = f->first; r; r = r->next) releaseRecord(r);
  if (m_alloc) m_alloc->dnref();
}

int32_t HBPKTMessage::getifc(int32_t ifc, void **out) {
  if (!out) return BR_EINVAL;
  if (ifc == HBIFC_OBJ) return offer<IHBObj>(out);
  return BR_ENOENT;
}

HBPKTMessage::Field *HBPKTMessage::findField(uint32_t field) const {
  for (Field *f = m_buckets[field % 32]; f; f = f->next)
    if (f->number == field) return f;
  return nullptr;
}

int32_t HBPKTMessage::addRecord(uint32_t field, int32_t type, int32_t size, uint64_t value,
                                uint32_t flags) {
  auto *r = static_cast<Record *>(m_alloc->alloc(sizeof(Record)));
  Field *f = r ? findField(field) : nullptr;
  if (r && !f) {
    f = static_cast<Field *>(m_alloc->alloc(sizeof(Field)));
    if (f) {
      *f = Field{field, 0, m_buckets[field % 32], nullptr, nullptr};
      m_buckets[field % 32] = f;
    }
  }
  if (!r || !f) {
    Record tmp{type, size, value, flags, nullptr};
    releaseRecord(&tmp);
    return BR_ENOMEM;
  }
  *r = Record{type & 7, size, value, flags, nullptr};
  if (f->last)
    f->last->next = r;
  else
    f->first = r;
  f->last = r;
  ++f->count;
  return BR_OK;
}

int32_t HBPKTMessage::setRecord(uint32_t field, int32_t type, int32_t size, uint64_t value,
                                uint32_t flags) {
  if (Field *f = findField(field)) {
    for (Record *r = f->first; r; r = r->next) releaseRecord(r);
    f->first = f->last = nullptr;
    f->count = 0;
  }
  return addRecord(field, type, size, value, flags);
}

int32_t HBPKTMessage::addText(uint32_t field, const char *text, int32_t length) {
  if (!text) return addRecord(field, HBPKT_STR, 0, 0, 0);
  if (length < 0) length = int32_t(std::strlen(text));
  char *copy = m_alloc->copyText(text, length);
  if (!copy) return BR_ENOMEM;
  return addRecord(field, HBPKT_STR, length, reinterpret_cast<uintptr_t>(copy), 0);
}

int32_t HBPKTMessage::setText(uint32_t field, const char *text) {
  if (Field *f = findField(field)) {
    for (Record *r = f->first; r; r = r->next) releaseRecord(r);
    f->first = f->last = nullptr;
    f->count = 0;
  }
  return addText(field, text, -1);
}

int32_t HBPKTMessage::addMessage(uint32_t field, HBPKTMessage *child) {
  child->upref();
  return addRecord(field, HBPKT_MSG, 0, reinterpret_cast<uintptr_t>(child),
                   HBPKT_OWNED | HBPKT_OWNED_DNREF);
}

int32_t HBPKTMessage::getRecord(uint32_t field, int32_t index, int32_t *type, int32_t *size,
                                uint64_t *value) const {
  Field *f = findField(field);
  Record *r = f ? f->first : nullptr;
  for (int32_t i = 0; r && i < index; ++i) r = r->next;
  if (!r) return BR_ENOENT;
  if (type) *type = r->type;
  if (size) *size = r->size;
  if (value) *value = r->value;
  return BR_OK;
}

int32_t HBPKTMessage::recordCount(uint32_t field) const {
  Field *f = findField(field);
  return f ? f->count : 0;
}

int32_t HBPKTMessage::getKind(char *buffer, int32_t size) const {
  int32_t type, len;
  uint64_t value;
  if (size <= 0 || getRecord(0, 0, &type, &len, &value) < 0 || type != HBPKT_STR || !value)
    return BR_ENOENT;
  int32_t n = len < 31 ? len : 31;
  if (n > size - 1) n = size - 1;
  std::memcpy(buffer, reinterpret_cast<const char *>(uintptr_t(value)), size_t(n));
  buffer[n] = 0;
  return n;
}

// ---- Writing ----

int64_t HBPKTMessage::sizeAt(int depth) {
  if (depth > HBPKT_MAX_DEPTH) return BR_ENOSPC;
  int64_t total = 0;
  for (Field *f : m_buckets) {
    for (; f; f = f->next) {
      const uint64_t key = (uint64_t(f->number) << 3);
      for (Record *r = f->first; r; r = r->next) {
        total += varintSize(key | uint32_t(r->type));
        switch (r->type) {
          case HBPKT_UINT:
            total += varintSize(r->value);
            break;
          case HBPKT_SINT:
            total += varintSize(hbpkt__zigzag(int64_t(r->value)));
            break;
          case HBPKT_FIX:
          case HBPKT_FIX2:
            total += 8;
            break;
          case HBPKT_STR: {
            const int32_t n = r->value ? r->size : 0;
            total += varintSize(uint64_t(n)) + n;
            break;
          }
          case HBPKT_MSG: {
            auto *child = reinterpret_cast<HBPKTMessage *>(uintptr_t(r->value));
            const int64_t n = child ? child->sizeAt(depth + 1) : 0;
            if (n < 0) return n;
            r->size = int32_t(n);
            total += varintSize(uint64_t(n)) + n;
            break;
          }
          default:
            break;
        }
      }
    }
  }
  return total;
}

int64_t HBPKTMessage::encodedSize() {
  return sizeAt(0);
}

int64_t HBPKTMessage::write(IHBStream *stream) {
  const int64_t size = sizeAt(0);  // also fills the MSG sizes
  if (size < 0) return size;
  int64_t written = 0;
  auto put = [&](const void *p, int32_t n) -> int32_t {
    const int32_t rc = hbstream__writeAll(stream, p, n);
    if (rc < 0) return rc;
    written += n;
    return 0;
  };
  uint8_t tmp[10];
  for (Field *f : m_buckets) {
    for (; f; f = f->next) {
      for (Record *r = f->first; r; r = r->next) {
        if (r->type > HBPKT_MSG) continue;
        int32_t rc =
            put(tmp, hbpkt__putVarint(tmp, (uint64_t(f->number) << 3) | uint32_t(r->type)));
        if (rc < 0) return rc;
        switch (r->type) {
          case HBPKT_UINT:
            rc = put(tmp, hbpkt__putVarint(tmp, r->value));
            break;
          case HBPKT_SINT:
            rc = put(tmp, hbpkt__putVarint(tmp, hbpkt__zigzag(int64_t(r->value))));
            break;
          case HBPKT_FIX:
          case HBPKT_FIX2: {
            uint8_t le[8];
            for (int i = 0; i < 8; ++i) le[i] = uint8_t(r->value >> (8 * i));
            rc = put(le, 8);
            break;
          }
          case HBPKT_STR: {
            const int32_t n = r->value ? r->size : 0;
            rc = put(tmp, hbpkt__putVarint(tmp, uint64_t(n)));
            if (rc == 0 && n > 0) rc = put(reinterpret_cast<const void *>(uintptr_t(r->value)), n);
            break;
          }
          case HBPKT_MSG: {
            auto *child = reinterpret_cast<HBPKTMessage *>(uintptr_t(r->value));
            rc = put(tmp, hbpkt__putVarint(tmp, uint64_t(r->size)));
            if (rc == 0 && child && r->size > 0) {
              const int64_t n = child->write(stream);
              if (n < 0) return n;
              written += n;
            }
            break;
          }
          default:
            break;
        }
        if (rc < 0) return rc;
      }
    }
  }
  return written;
}

// ---- Reading ----

namespace {

// A record cut short: the stream's own failure when it had one, else malformed data.
template <class R>
int64_t cutShort(const R &rd) {
  if (rd.error) return rd.error;
  brlog(kTag, BRLOG_ERROR, "Message cut short after %lld bytes\n", (long long)rd.total);
  return BR_EINVAL;
}

}  // namespace

int64_t HBPKTMessage::parse(Reader &rd, int64_t limit, int depth) {
  int64_t consumed = 0;
  while (limit < 0 || consumed < limit) {
    if (rd.total > HBPKT_MAX_BODY) {
      brlog(kTag, BRLOG_ERROR, "Message larger than %d bytes refused\n", HBPKT_MAX_BODY);
      return BR_ENOSPC;
    }
    const int64_t room = limit < 0 ? -1 : limit - consumed;
    uint64_t key = 0;
    int32_t used = 0;
    const int k = rd.varint(room, &key, &used);
    if (k == 1) break;  // the end of the message
    if (k < 0) return cutShort(rd);
    consumed += used;
    const uint64_t number = key >> 3;
    const int32_t type = int32_t(key & 7);
    if (number > UINT32_MAX) {
      brlog(kTag, BRLOG_ERROR, "Field number %" PRIu64 " out of range\n", number);
      return BR_EINVAL;
    }
    const uint32_t field = uint32_t(number);
    if (type == 6 || type == 7) {
      brlog(kTag, BRLOG_ERROR, "Did not recognize type: %lld\n", (long long)(number & 0x7f));
      continue;
    }
    if (type == HBPKT_UINT || type == HBPKT_SINT) {
      uint64_t v = 0;
      if (rd.varint(limit < 0 ? -1 : limit - consumed, &v, &used) != 0) return cutShort(rd);
      consumed += used;
      if (type == HBPKT_SINT) v = uint64_t(hbpkt__unzigzag(v));
      if (addRecord(field, type, 8, v, 0) < 0) return BR_ENOMEM;
      continue;
    }
    if (type == HBPKT_FIX || type == HBPKT_FIX2) {
      if (limit >= 0 && limit - consumed < 8) return cutShort(rd);
      uint8_t le[8];
      if (rd.take(le, 8) < 8) return cutShort(rd);
      consumed += 8;
      uint64_t v = 0;
      for (int i = 0; i < 8; ++i) v |= uint64_t(le[i]) << (8 * i);
      if (addRecord(field, type, 8, v, 0) < 0) return BR_ENOMEM;
      continue;
    }
    uint64_t len = 0;
    if (rd.varint(limit < 0 ? -1 : limit - consumed, &len, &used) != 0) return cutShort(rd);
    consumed += used;
    const int64_t left = limit < 0 ? INT64_MAX : limit - consumed;
    if (len > uint64_t(left) || len > uint64_t(HBPKT_MAX_BODY)) {
      brlog(kTag, BRLOG_ERROR, "Record length %" PRIu64 " passes the message\n", len);
      return BR_EINVAL;
    }
    if (type == HBPKT_STR) {
      if (len > HBPKT_MAX_STR) {
        brlog("PKTM", BRLOG_ERROR, "Cowardly refusing to allocate more than 4k in a shot!\n");
        // Skip the bytes so the records after it still line up.
        const int64_t skipped = rd.take(nullptr, int64_t(len));
        consumed += skipped;
        if (addRecord(field, HBPKT_STR, int32_t(len), 0, 0) < 0) return BR_ENOMEM;
        if (skipped < int64_t(len)) return cutShort(rd);
        continue;
      }
      char *bytes = static_cast<char *>(m_alloc->alloc(int32_t(len) + 1));
      if (!bytes) return BR_ENOMEM;
      const int64_t got = rd.take(bytes, int64_t(len));
      consumed += got;
      if (got < int64_t(len)) return cutShort(rd);
      bytes[len] = 0;
      if (addRecord(field, HBPKT_STR, int32_t(len), reinterpret_cast<uintptr_t>(bytes), 0) < 0)
        return BR_ENOMEM;
      continue;
    }
    // HBPKT_MSG
    if (depth + 1 >= HBPKT_MAX_DEPTH) {
      brlog(kTag, BRLOG_ERROR, "Messages nested deeper than %d refused\n", HBPKT_MAX_DEPTH);
      return BR_EINVAL;
    }
    HBRef<HBPKTMessage> child;
    if (create(this, child) < 0) return BR_ENOMEM;
    const int64_t n = len ? child->parse(rd, int64_t(len), depth + 1) : 0;
    if (n < 0) return n;
    consumed += n;
    if (n < int64_t(len)) return cutShort(rd);
    if (n > 0 && addMessage(field, child.get()) < 0) return BR_ENOMEM;
  }
  if (rd.error) return rd.error;
  return consumed;
}

int64_t HBPKTMessage::read(IHBStream *stream, int64_t limit, uint32_t) {
  auto rd = std::make_unique_for_overwrite<Reader>();
  rd->stream = stream;
  const int64_t n = parse(*rd, limit, 0);
  if (n == 0 && rd->total > 0)
    brlog(kTag, BRLOG_ERROR, "Got some bytes but could not parse anything!\n");
  return n;
}

int64_t HBPKTMessage::readBytes(const void *data, int64_t length) {
  auto rd = std::make_unique_for_overwrite<Reader>();
  rd->mem = static_cast<const uint8_t *>(data);
  rd->memLen = length;
  const int64_t n = parse(*rd, length, 0);
  if (n == 0 && length > 0)
    brlog(kTag, BRLOG_ERROR, "Got some bytes but could not parse anything!\n");
  return n;
}

// ---- Conversion to maps ----

int32_t HBPKTMessage::toMap(HBMap *map) {
  char kind[32];
  if (getKind(kind, sizeof kind) < 0 || std::strcmp(kind, "map") != 0) return BR_EINVAL;
  return toMapAt(map, 0);
}

namespace {

// Converts a nested value message into a new object for `parent`'s allocator.
int32_t convertMessage(HBPKTMessage *msg, HBMap *parent, const char *name, hbtype_t *type,
                       IHBObj **out, int depth);

}  // namespace

int32_t HBPKTMessage::toMapAt(HBMap *map, int depth) {
  for (uint32_t k = 1;; k += 2) {
    int32_t type, size;
    uint64_t value;
    if (getRecord(k, 0, &type, &size, &value) < 0) return BR_OK;
    if (type != HBPKT_STR || size <= 0 || !value) {
      brlog(kConvTag, BRLOG_ERROR,
            "Supposedly parsing a map-message, but I have not key at field: %d\n", int(k));
      return BR_EINVAL;
    }
    const char *key = reinterpret_cast<const char *>(uintptr_t(value));
    if (getRecord(k + 1, 0, &type, &size, &value) == 0 && type == HBPKT_MSG && value) {
      auto *child = reinterpret_cast<HBPKTMessage *>(uintptr_t(value));
      hbtype_t t = HBIFC_OBJ;
      IHBObj *obj = nullptr;
      const int32_t rc = convertMessage(child, map, key, &t, &obj, depth + 1);
      if (rc < 0) return rc;
      brlog(kConvTag, BRLOG_VERBOSE2, "Setting map from msg key: %s val: %p\n", key,
            static_cast<void *>(obj));
      const int32_t prc = map->putObject(key, t, obj);
      obj->dnref();
      if (prc < 0) return prc;
      continue;
    }
    if (getRecord(k + 1, 0, &type, &size, &value) == 0 && type == HBPKT_STR && size == 0) {
      brlog(kConvTag, BRLOG_WARNING,
            "Parsing map out of message, no value specified for field: %d key: %s, assuming "
            "empty string\n",
            int(k + 1), key);
      HB_RETURN_IF_FAILED(kConvTag, map->putString(key, ""));
      continue;
    }
    if (getRecord(k + 1, 0, &type, &size, &value) < 0 || type != HBPKT_STR || !value) {
      brlog(kConvTag, BRLOG_WARNING,
            "Parsing map out of message, no entry specified for field: %d key: %s!!!\n", int(k + 1),
            key);
      return BR_EINVAL;
    }
    const char *text = reinterpret_cast<const char *>(uintptr_t(value));
    brlog(kConvTag, BRLOG_VERBOSE2, "Setting map from msg key: %s val: %s\n", key, text);
    HB_RETURN_IF_FAILED(kConvTag, map->putString(key, text));
  }
}

namespace {

int32_t convertMessage(HBPKTMessage *msg, HBMap *parent, const char *name, hbtype_t *type,
                       IHBObj **out, int depth) {
  char kind[32];
  if (depth > HBPKT_MAX_DEPTH || msg->getKind(kind, sizeof kind) < 0) return BR_EINVAL;
  if (!std::strcmp(kind, "map")) {
    HBRef<HBMap> child;
    if (parent->newChild(name, child) < 0) return BR_ENOMEM;
    // toMap checks the kind again; that is cheap and keeps one entry point.
    const int32_t rc = msg->toMap(child.get());
    if (rc < 0) return rc;
    *type = HBIFC_MAP;
    *out = static_cast<IHBMap *>(child.detach());
    return BR_OK;
  }
  if (std::strcmp(kind, "iter") != 0) return BR_EINVAL;
  brlist *list = nullptr;
  if (brlist__create(&list) < 0) return BR_ENOMEM;
  hbtype_t common = 0;
  for (uint32_t f = 1;; ++f) {
    int32_t t, size;
    uint64_t value;
    if (msg->getRecord(f, 0, &t, &size, &value) < 0) break;
    if (t != HBPKT_MSG || !value) continue;
    hbtype_t it = HBIFC_OBJ;
    IHBObj *obj = nullptr;
    int32_t rc = convertMessage(reinterpret_cast<HBPKTMessage *>(uintptr_t(value)), parent, name,
                                &it, &obj, depth + 1);
    if (rc == 0 && brlist__append(list, obj) < 0) {
      obj->dnref();
      rc = BR_ENOMEM;
    }
    if (rc < 0) {
      HBRef<HBObjIter> drop;
      (void)HBObjIter::create(HBIFC_OBJ, list, drop);  // releases the items
      return rc;
    }
    common = common == 0 ? it : (common == it ? common : HBIFC_OBJ);
  }
  if (common == 0) common = HBIFC_OBJ;
  HBObjIter *iter = nullptr;
  const int32_t rc = HBObjIter::create(common, list, &iter);
  if (rc < 0) return rc;
  *type = HBIFC_ITER;
  *out = static_cast<IHBIter *>(iter);
  return BR_OK;
}

}  // namespace

// ---- Conversion from values ----

int32_t HBPKTMessage::fromPairs(const char *const *pairs) {
  HB_RETURN_IF_FAILED(kTag, setText(0, "map"));
  uint32_t f = 1;
  for (size_t i = 0; pairs && pairs[i]; i += 2, f += 2) {
    HB_RETURN_IF_FAILED(kTag, addText(f, pairs[i], -1));
    HB_RETURN_IF_FAILED(kTag, addText(f + 1, pairs[i + 1], -1));
  }
  return BR_OK;
}

int32_t HBPKTMessage::fromArguments(int32_t count, const HBRPCArgument *args) {
  HB_RETURN_IF_FAILED(kTag, setText(0, "map"));
  uint32_t f = 1;
  for (int32_t i = 0; i < count; ++i) {
    const HBRPCArgument &a = args[i];
    if (!isText(a.hbtype) && a.hbtype != HBIFC_MAP && a.hbtype != HBIFC_ITER) continue;
    HB_RETURN_IF_FAILED(kTag, addText(f, a.name, -1));
    HB_RETURN_IF_FAILED(kTag,
                        addValueAt(f + 1, isText(a.hbtype) ? HBTYPE_TEXT : a.hbtype, a.value, 0));
    f += 2;
  }
  return BR_OK;
}

int32_t HBPKTMessage::addValue(uint32_t field, hbtype_t hbtype, const void *value) {
  return addValueAt(field, hbtype, value, 0);
}

int32_t HBPKTMessage::fromMap(IHBObj *obj, int depth) {
  HBRef<IHBMap> map;
  if (hb_query(obj, map) < 0) return BR_EINVAL;
  HB_RETURN_IF_FAILED(kTag, setText(0, "map"));
  uint32_t f = 1;
  HB_RETURN_IF_FAILED(kTag, hbmap__forEach(map.get(), [&](const char *key, hbtype_t vt,
                                                          void *value) -> int32_t {
                        HB_RETURN_IF_FAILED(kTag, addText(f, key, -1));
                        HB_RETURN_IF_FAILED(kTag, addValueAt(f + 1, vt, value, depth + 1));
                        f += 2;
                        return BR_OK;
                      }));
  return BR_OK;
}

int32_t HBPKTMessage::addValueAt(uint32_t field, hbtype_t hbtype, const void *value, int depth) {
  if (depth > HBPKT_MAX_DEPTH) return BR_ENOSPC;
  if (hbtype == HBTYPE_TEXT) return addText(field, static_cast<const char *>(value), -1);
  if (hbtype == HBTYPE_BIN16) return addText(field, static_cast<const char *>(value), 16);
  if (hbtype == HBTYPE_INT || hbtype == HBTYPE_SINT)
    return addRecord(field, HBPKT_SINT, 8, uint64_t(int64_t(intptr_t(value))), 0);
  if (hbtype__isRaw(hbtype)) return BR_EUNSUPPORTED;
  auto *obj = static_cast<IHBObj *>(const_cast<void *>(value));
  if (!obj) return addText(field, nullptr, 0);

  HBRef<IHBMap> map;
  HBRef<IHBIter> iter;
  HBRef<IHBStr> str;
  HBRef<IHBRPCSerializable> ser;
  HBRef<IHBRPCArgumentValue> av;
  HBRef<HBPKTMessage> child;
  if (hb_query(obj, map) == 0) {
    HB_RETURN_IF_FAILED(kTag, create(this, child));
    HB_RETURN_IF_FAILED(kTag, child->fromMap(map.get(), depth));
    return addMessage(field, child.get());
  }
  if (hb_query(obj, iter) == 0) {
    HB_RETURN_IF_FAILED(kTag, create(this, child));
    HB_RETURN_IF_FAILED(kTag, child->setText(0, "iter"));
    uint32_t f = 1;
    for (;;) {
      hbtype_t types[32];
      void *items[32];
      for (auto &t : types) t = HBTYPE_ANY;
      const int32_t n = iter->nextN(types, items, 32);
      if (n <= 0) break;
      int32_t rc = 0;
      for (int32_t i = 0; i < n; ++i) {
        if (rc == 0) rc = child->addValueAt(f++, types[i], items[i], depth + 1);
        if (!hbtype__isRaw(types[i]) && items[i]) static_cast<IHBObj *>(items[i])->dnref();
      }
      if (rc < 0) return rc;
    }
    return addMessage(field, child.get());
  }
  if (hb_query(obj, str) == 0) return addText(field, str->getText(), -1);
  if (hb_query(obj, ser) == 0) {
    HB_RETURN_IF_FAILED(kTag, create(this, child));
    HB_RETURN_IF_FAILED(kTag, child->setText(0, "map"));
    const HBRPCPropertyEntry *table = ser->getPropertyTable();
    uint32_t f = 1;
    char text[513];
    for (int32_t i = 0; table && table[i].name; ++i) {
      const HBRPCPropertyEntry &p = table[i];
      if (p.hbtype == HBTYPE_TEXT) {
        if (ser->getPropertyText(i, text, sizeof text) < 1) continue;
        HB_RETURN_IF_FAILED(kTag, child->addText(f, p.name, -1));
        HB_RETURN_IF_FAILED(kTag, child->addText(f + 1, text, -1));
      } else if (hbtype__isRaw(p.hbtype)) {
        HB_RETURN_IF_FAILED(kTag, child->addText(f, p.name, -1));
        HB_RETURN_IF_FAILED(kTag, child->addText(f + 1, "___UNSUPPORTED_TYPE___", -1));
      } else {
        hbtype_t t = HBTYPE_ANY;
        void *o = nullptr;
        if (ser->getPropertyObject(i, &t, &o) < 0) continue;
        HBRef<IHBObj> hold = HBRef<IHBObj>::adopt(static_cast<IHBObj *>(o));
        HB_RETURN_IF_FAILED(kTag, child->addText(f, p.name, -1));
        HB_RETURN_IF_FAILED(kTag, child->addValueAt(f + 1, HBIFC_OBJ, o, depth + 1));
      }
      f += 2;
    }
    return addMessage(field, child.get());
  }
  if (hb_query(obj, av) == 0) {
    hbtype_t t = HBTYPE_ANY;
    void *v = nullptr;
    if (av->getValue(&t, &v) < 0) return BR_EINVAL;
    if (t == HBIFC_RPCARGUMENTVALUE) return BR_EINVAL;
    return addValueAt(field, t, v, depth + 1);
  }
  return BR_EUNSUPPORTED;
}

// ---- Dump ----

int32_t HBPKTMessage::dumpAt(const char *tag, int level, int depth) {
  if (!brlog__enabled(level)) return 0;
  char ind[64];
  const int n = depth * 3 < 63 ? depth * 3 : 63;
  std::memset(ind, ' ', size_t(n));
  ind[n] = 0;
  if (depth > 20) {
    brlog(tag, level, "---- RECURSION TERMINATED AT 20 DEEP!\n");
    return BR_ENOSPC;
  }
  brlog(tag, level, "%s+++ HGPKTMESSAGE +++\n", ind);
  brlog(tag, level, "%s FID  IDX  TYPE  SIZE  VALUE\n", ind);
  int32_t rc = 0;
  for (Field *f : m_buckets) {
    for (; f; f = f->next) {
      int idx = 0;
      for (Record *r = f->first; r; r = r->next, ++idx) {
        const int fid = int(f->number);
        switch (r->type) {
          case HBPKT_UINT:
            brlog(tag, level, "%s %3d  %3d  %-4.4s  %4d  %5llu (0x%llx)\n", ind, fid, idx, "UINT",
                  r->size, (unsigned long long)r->value, (unsigned long long)r->value);
            break;
          case HBPKT_SINT:
            brlog(tag, level, "%s %3d  %3d  %-4.4s  %4d  %5lld\n", ind, fid, idx, "SINT", r->size,
                  (long long)r->value);
            break;
          case HBPKT_STR: {
            char esc[48];
            int e = 0;
            const auto *p = reinterpret_cast<const uint8_t *>(uintptr_t(r->value));
            for (int i = 0; p && i < r->size && e < 40; ++i) {
              char one[8];
              const uint8_t c = p[i];
              if (c == 0)
                std::strcpy(one, "\\0");
              else if (c == '\n')
                std::strcpy(one, "\\n");
              else if (c == '\r')
                std::strcpy(one, "\\r");
              else if (c == '\\')
                std::strcpy(one, "\\\\");
              else if (c < 32 || c >= 127)
                std::snprintf(one, sizeof one, "\\x%02x", c);
              else
                one[0] = char(c), one[1] = 0;
              const int l = int(std::strlen(one));
              if (e + l > 40) break;
              std::memcpy(esc + e, one, size_t(l));
              e += l;
            }
            esc[e] = 0;
            // The value after a "password" key stays out of the log, as in the SOAP log.
            int32_t kt = 0, ks = 0;
            uint64_t kv = 0;
            if (fid > 0 && getRecord(uint32_t(fid - 1), 0, &kt, &ks, &kv) == 0 && kt == HBPKT_STR &&
                kv && ks == 8 &&
                (!std::memcmp(reinterpret_cast<const char *>(uintptr_t(kv)), "password", 8) ||
                 !std::memcmp(reinterpret_cast<const char *>(uintptr_t(kv)), "valtoken", 8)))
              std::strcpy(esc, "XXXXXXXXXXXX");
            brlog(tag, level, "%s %3d  %3d  %-4.4s  %4d  %-40.40s\n", ind, fid, idx, "STR", r->size,
                  esc);
            break;
          }
          case HBPKT_MSG:
            brlog(tag, level, "%s %3d  %3d  %-4.4s  %4d\n", ind, fid, idx, "MSG", r->size);
            if (r->value) {
              const int32_t c = reinterpret_cast<HBPKTMessage *>(uintptr_t(r->value))
                                    ->dumpAt(tag, level, depth + 1);
              if (c < 0) rc = c;
            }
            break;
          default:
            brlog(tag, level, "%s %3d  %3d  %-4.4s  %4d  0x%03llx\n", ind, fid, idx, "FIX", r->size,
                  (unsigned long long)r->value);
            break;
        }
        if (rc < 0) return rc;
      }
    }
  }
  brlog(tag, level, "%s--- HGPKTMESSAGE ---\n", ind);
  return rc;
}
