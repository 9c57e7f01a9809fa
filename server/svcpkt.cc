// Packet message codec of the service.
#include "svcpkt.h"

namespace tessel::svc {

namespace {

constexpr size_t kMaxArgs = 256;

struct Reader {
  const uint8_t *p;
  const uint8_t *end;
  size_t *records;  // left for the whole message, nested ones included
  bool varint(uint64_t *v) {
    uint64_t r = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (p >= end) return false;
      uint8_t b = *p++;
      if (shift == 63 && (b & 0x7e)) return false;  // more than 64 bits
      r |= static_cast<uint64_t>(b & 0x7f) << shift;
      if (!(b & 0x80)) {
        *v = r;
        return true;
      }
    }
    return false;
  }
};

bool parseInto(Reader *r, PktMessage *out, int depth, std::string *err) {
  while (r->p < r->end) {
    uint64_t key;
    if (!r->varint(&key)) {
      *err = "truncated key";
      return false;
    }
    if ((key >> 3) > 0xffffffffull) {
      *err = "field number out of range";
      return false;
    }
    // Each record costs far more memory than its two bytes: a body holds only so many.
    if (*r->records == 0) {
      *err = "too many records";
      return false;
    }
    --*r->records;
    PktRecord rec;
    rec.field = static_cast<uint32_t>(key >> 3);
    rec.type = static_cast<int>(key & 7);
    switch (rec.type) {
      case kPktUint:
      case kPktSint:
        if (!r->varint(&rec.num)) {
          *err = "truncated number";
          return false;
        }
        if (rec.type == kPktSint) rec.num = (rec.num >> 1) ^ (~(rec.num & 1) + 1);
        break;
      case kPktFix:
      case kPktFix2:
        if (r->end - r->p < 8) {
          *err = "truncated fixed value";
          return false;
        }
        for (int i = 0; i < 8; i++) rec.num |= static_cast<uint64_t>(r->p[i]) << (8 * i);
        r->p += 8;
        break;
      case kPktStr:
      case kPktMsg: {
        uint64_t n;
        if (!r->varint(&n) || n > static_cast<uint64_t>(r->end - r->p)) {
          *err = "length beyond the message";
          return false;
        }
        if (rec.type == kPktStr) {
          rec.str.assign(reinterpret_cast<const char *>(r->p), n);
        } else {
          if (depth >= kPktMaxDepth) {
            *err = "nested too deep";
            return false;
          }
          Reader sub{r->p, r->p + n, r->records};
          rec.msg = std::make_unique<PktMessage>();
          if (!parseInto(&sub, rec.msg.get(), depth + 1, err)) return false;
        }
        r->p += n;
        break;
      }
      default:
        *err = "unknown record type";
        return false;
    }
    out->records.push_back(std::move(rec));
  }
  return true;
}

void encodeInto(std::string *out, const PktMessage &m) {
  for (const PktRecord &rec : m.records) {
    svcpkt__putVarint(out,
                      (static_cast<uint64_t>(rec.field) << 3) | static_cast<uint64_t>(rec.type));
    switch (rec.type) {
      case kPktUint:
        svcpkt__putVarint(out, rec.num);
        break;
      case kPktSint: {
        int64_t v = static_cast<int64_t>(rec.num);
        svcpkt__putVarint(out, (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63));
        break;
      }
      case kPktFix:
      case kPktFix2:
        for (int i = 0; i < 8; i++) out->push_back(static_cast<char>((rec.num >> (8 * i)) & 0xff));
        break;
      case kPktStr:
        svcpkt__putVarint(out, rec.str.size());
        *out += rec.str;
        break;
      case kPktMsg: {
        std::string sub;
        if (rec.msg) encodeInto(&sub, *rec.msg);
        svcpkt__putVarint(out, sub.size());
        *out += sub;
        break;
      }
    }
  }
}

PktMessage fromList(const SvcValue &list) {
  PktMessage m;
  m.addStr(0, "iter");
  uint32_t field = 1;
  for (const auto &item : list.entries) {
    if (item.second.kind == SvcValue::Kind::Text)
      m.addStr(field++, item.second.text);
    else if (item.second.kind == SvcValue::Kind::Map)
      m.addMsg(field++, svcpkt__fromValue(item.second));
    else
      m.addMsg(field++, fromList(item.second));
  }
  return m;
}

}  // namespace

const PktRecord *PktMessage::first(uint32_t field) const {
  for (const PktRecord &r : records)
    if (r.field == field) return &r;
  return nullptr;
}

void PktMessage::addStr(uint32_t field, std::string s) {
  PktRecord r;
  r.field = field;
  r.type = kPktStr;
  r.str = std::move(s);
  records.push_back(std::move(r));
}

void PktMessage::addMsg(uint32_t field, PktMessage m) {
  PktRecord r;
  r.field = field;
  r.type = kPktMsg;
  r.msg = std::make_unique<PktMessage>(std::move(m));
  records.push_back(std::move(r));
}

void PktMessage::addUint(uint32_t field, uint64_t v) {
  PktRecord r;
  r.field = field;
  r.type = kPktUint;
  r.num = v;
  records.push_back(std::move(r));
}

void PktMessage::addSint(uint32_t field, int64_t v) {
  PktRecord r;
  r.field = field;
  r.type = kPktSint;
  r.num = static_cast<uint64_t>(v);
  records.push_back(std::move(r));
}

void svcpkt__putVarint(std::string *out, uint64_t v) {
  while (v >= 0x80) {
    out->push_back(static_cast<char>((v & 0x7f) | 0x80));
    v >>= 7;
  }
  out->push_back(static_cast<char>(v));
}

bool svcpkt__parse(const uint8_t *data, size_t len, PktMessage *out, std::string *err) {
  out->records.clear();
  size_t records = kPktMaxRecords;
  Reader r{data, data + len, &records};
  return parseInto(&r, out, 0, err);
}

std::string svcpkt__encode(const PktMessage &m) {
  std::string out;
  encodeInto(&out, m);
  return out;
}

bool svcpkt__toArgs(const PktMessage &m, SvcArgs *args, std::string *err) {
  const PktRecord *kind = m.first(0);
  if (!kind || kind->type != kPktStr || kind->str != "map") {
    *err = "not a map message";
    return false;
  }
  args->clear();
  for (uint32_t field = 1;; field += 2) {
    if (field > 2 * kMaxArgs) {
      *err = "too many arguments";
      return false;
    }
    const PktRecord *key = m.first(field);
    if (!key) return true;
    if (key->type != kPktStr || key->str.empty()) {
      *err = "map key is not a text";
      return false;
    }
    const PktRecord *val = m.first(field + 1);
    if (!val || (val->type != kPktStr && val->type != kPktMsg)) {
      *err = "map key without a value";
      return false;
    }
    if (val->type == kPktStr) args->emplace_back(key->str, val->str);
  }
}

PktMessage svcpkt__fromValue(const SvcValue &map) {
  PktMessage m;
  m.addStr(0, "map");
  uint32_t field = 1;
  for (const auto &[k, v] : map.entries) {
    m.addStr(field, k);
    if (v.kind == SvcValue::Kind::Text)
      m.addStr(field + 1, v.text);
    else if (v.kind == SvcValue::Kind::Map)
      m.addMsg(field + 1, svcpkt__fromValue(v));
    else
      m.addMsg(field + 1, fromList(v));
    field += 2;
  }
  return m;
}

}  // namespace tessel::svc
