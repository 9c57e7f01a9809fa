#include "hbjson.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "brlog.h"
#include "hbstream.h"

namespace {

constexpr const char *kTag = "HBJSON";
constexpr int32_t kStreamBuffer = 4096;

inline bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

inline bool isWord(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

inline bool isQuote(char c) { return c == '"' || c == '\''; }

void releaseValue(hbtype_t hbtype, void *value) {
  if (value && !hbtype__isRaw(hbtype)) static_cast<IHBObj *>(value)->dnref();
}

}  // namespace

const char *hbjson__stateName(int32_t state) {
  static const char *const kNames[] = {"TOP",        "MAPSTART", "MAPKEY",   "MAPKEYSEP",
                                       "MAPVAL",     "MAPSEP",   "ARRAYSTART", "ARRAYVAL",
                                       "ARRAYSEP",   "TOKEN",    "QSTRING",  "FINISHED"};
  if (state < 0 || state > HBJSON_FINISHED) return "UNKNOWN";
  return kNames[state];
}

HBJSONParser::~HBJSONParser() {
  clearStack();
  if (m_root) m_root->dnref();
}

void HBJSONParser::clearFrame(Frame &f) {
  releaseValue(f.hbtype, f.value);
  f = Frame{};
}

void HBJSONParser::clearStack() {
  for (int32_t i = m_top; i >= 0; --i) clearFrame(m_stack[i]);
  m_top = 0;
}

int32_t HBJSONParser::reset() {
  clearStack();
  if (m_root) {
    m_root->dnref();
    m_root = nullptr;
  }
  HBMap *root;
  if (HBMap::create(nullptr, 1024, 1024, &root) < 0) return BR_ENOMEM;
  root->setFlags(HBMAP_ORDERED);
  m_root = root;
  m_stack[0].state = HBJSON_TOP;
  m_quote = '"';
  return BR_OK;
}

int32_t HBJSONParser::fail(int32_t rc, const char *what, char c, int32_t offset) {
  // A byte from the wire goes into the log only when printable: a NUL would cut the line and a
  // line break would forge a new one.
  const char shown = (c >= 32 && c <= 126) ? c : '.';
  brlog(kTag, BRLOG_WARNING, "%s IN STATE %d - '%s': '%c' @ %d\n", what, m_top,
        hbjson__stateName(m_stack[m_top].state), shown, offset);
  return rc;
}

int32_t HBJSONParser::push(int32_t state, char c, int32_t offset) {
  if (m_top >= kStackSize - 1) return fail(BR_ENOMEM, "DEPTH EXCEEDED", c, offset);
  Frame &f = m_stack[++m_top];
  f = Frame{};
  f.state = state;
  if (state == HBJSON_MAPSTART) {
    if (m_root->newChild(nullptr, &f.map) < 0) return BR_ENOMEM;
    f.hbtype = HBIFC_MAP;
    f.value = static_cast<IHBObj *>(f.map);
  } else if (state == HBJSON_ARRAYSTART) {
    if (HBListIterator::create(nullptr, HBIFC_OBJ, 0, nullptr, &f.list) < 0) return BR_ENOMEM;
    f.hbtype = HBIFC_ITER;
    f.value = static_cast<IHBObj *>(f.list);
  }
  return BR_OK;
}

int32_t HBJSONParser::popState() {
  if (m_top == 0) {
    m_stack[0].state = HBJSON_FINISHED;
    return BR_OK;
  }
  Frame &f = m_stack[m_top];
  const hbtype_t hbtype = f.hbtype;
  void *value = f.value;
  f = Frame{};
  Frame &below = m_stack[--m_top];
  int32_t rc = BR_OK;
  switch (below.state) {
    case HBJSON_MAPKEYSEP:
      if (hbtype != HBTYPE_TEXT) brabort(__PRETTY_FUNCTION__, 104);
      below.key = static_cast<const char *>(value);
      return BR_OK;
    case HBJSON_MAPSEP: {
      HBMap *map = m_top == 0 ? m_root : below.map;
      // Key and text already live in the allocator this map shares, so they are not copied
      // again.
      rc = map->put(below.key, hbtype, value, HBMAP_PUT_NOCOPY);
      below.key = nullptr;
      break;
    }
    case HBJSON_ARRAYSEP:
      if (hbtype == HBTYPE_TEXT) {
        HBStrSA *s;
        rc = HBStrSA::create(m_root->allocator(), static_cast<const char *>(value), -1, &s);
        if (rc < 0) return rc;
        rc = below.list->appendObject(s);
        s->dnref();
        return rc;
      }
      rc = below.list->append(value);
      break;
    default:
      rc = BR_EBADSTATE;
      break;
  }
  releaseValue(hbtype, value);  // the container took its own reference
  return rc;
}

int32_t HBJSONParser::parse(char *buffer, int32_t *length) {
  if (!length) return BR_EINVAL;
  const int32_t n = *length;
  if (!m_root || !buffer || n < 0) return BR_EBADSTATE;
  // Start of the string or word being read; one left unfinished by the previous call begins
  // at the front of the buffer.
  int32_t start = 0;
  int32_t i = 0;
  int32_t rc = BR_OK;
  auto leave = [&](int32_t keepFrom, int32_t result) {
    const int32_t left = n - keepFrom;
    if (left > 0 && keepFrom > 0) std::memmove(buffer, buffer + keepFrom, static_cast<size_t>(left));
    *length = left;
    return result;
  };
  while (i < n) {
    const char c = buffer[i];
    Frame &f = m_stack[m_top];
    if (f.state == HBJSON_TOKEN) {
      if (isWord(c)) {
        ++i;
        continue;
      }
      char *text = m_root->allocator()->copyText(buffer + start, i - start);
      if (!text) return leave(i, BR_ENOMEM);
      f.hbtype = HBTYPE_TEXT;
      f.value = text;
      if ((rc = popState()) < 0) return leave(i, rc);
      continue;  // the byte belongs to the frame below
    }
    if (f.state == HBJSON_QSTRING) {
      if (c == '\\') {
        if (i + 1 >= n) break;
        i += 2;
        continue;
      }
      if (c != m_quote) {
        ++i;
        continue;
      }
      char *text = m_root->allocator()->copyText(buffer + start, i - start);
      if (!text) return leave(i, BR_ENOMEM);
      char *w = text;
      for (const char *r = text; *r; ++r) {
        if (r[0] == '\\' && isQuote(r[1])) ++r;
        *w++ = *r;
      }
      *w = '\0';
      f.hbtype = HBTYPE_TEXT;
      f.value = text;
      ++i;
      if ((rc = popState()) < 0) return leave(i, rc);
      continue;
    }
    if (isSpace(c)) {
      ++i;
      continue;
    }
    switch (f.state) {
      case HBJSON_TOP:
        if (c != '{') return leave(i, fail(BR_EINVAL, "BAD CHARACTER", c, i));
        f.state = HBJSON_MAPKEY;
        ++i;
        break;
      case HBJSON_MAPSTART:
        if (c == '}') {
          ++i;
          if ((rc = popState()) < 0) return leave(i, rc);
        } else {
          f.state = HBJSON_MAPKEY;
        }
        break;
      case HBJSON_ARRAYSTART:
        if (c == ']') {
          f.list->reset();
          ++i;
          if ((rc = popState()) < 0) return leave(i, rc);
        } else {
          f.state = HBJSON_ARRAYVAL;
        }
        break;
      case HBJSON_MAPKEY:
        // Keys are double-quoted strings only: a bare word or a single-quoted key is not JSON,
        // and nothing we read writes one.
        if (c != '"') return leave(i, fail(BR_EINVAL, "BAD CHARACTER", c, i));
        f.state = HBJSON_MAPKEYSEP;
        if ((rc = push(HBJSON_QSTRING, c, i)) < 0) return leave(i, rc);
        m_quote = c;
        start = ++i;
        break;
      case HBJSON_MAPKEYSEP:
        // A key must be followed by its value: "}" here would drop the key silently.
        if (c != ':') return leave(i, fail(BR_EINVAL, "BAD CHARACTER", c, i));
        f.state = HBJSON_MAPVAL;
        ++i;
        break;
      case HBJSON_MAPVAL:
      case HBJSON_ARRAYVAL:
        f.state = f.state == HBJSON_MAPVAL ? HBJSON_MAPSEP : HBJSON_ARRAYSEP;
        if (isQuote(c)) {
          if ((rc = push(HBJSON_QSTRING, c, i)) < 0) return leave(i, rc);
          m_quote = c;
          start = ++i;
        } else if (isWord(c)) {
          if ((rc = push(HBJSON_TOKEN, c, i)) < 0) return leave(i, rc);
          start = i++;
        } else if (c == '[' || c == '{') {
          if ((rc = push(c == '[' ? HBJSON_ARRAYSTART : HBJSON_MAPSTART, c, i)) < 0)
            return leave(i, rc);
          ++i;
        } else {
          return leave(i, fail(BR_EINVAL, "BAD CHARACTER", c, i));
        }
        break;
      case HBJSON_MAPSEP:
        if (c == ',') {
          f.state = HBJSON_MAPKEY;
          ++i;
        } else if (c == '}') {
          ++i;
          if ((rc = popState()) < 0) return leave(i, rc);
        } else {
          return leave(i, fail(BR_EINVAL, "BAD CHARACTER", c, i));
        }
        break;
      case HBJSON_ARRAYSEP:
        if (c == ',') {
          f.state = HBJSON_ARRAYVAL;
          ++i;
        } else if (c == ']') {
          f.list->reset();
          ++i;
          if ((rc = popState()) < 0) return leave(i, rc);
        } else {
          return leave(i, fail(BR_EINVAL, "BAD CHARACTER", c, i));
        }
        break;
      case HBJSON_FINISHED:
        return leave(i, BR_EBADSTATE);
      default:
        return leave(i, fail(BR_EINVAL, "BAD CHARACTER", c, i));
    }
  }
  const int32_t top = m_stack[m_top].state;
  if (top == HBJSON_TOKEN || top == HBJSON_QSTRING) return leave(start, BR_EAGAIN);
  return leave(n, BR_OK);
}

namespace {

// The whole document must have been read: a root object left open is not a result.
int32_t finish(HBJSONParser &parser, int32_t rc, HBMap **out) {
  if (rc == BR_OK && !parser.finished()) rc = BR_EAGAIN;
  if (rc == BR_OK) {
    parser.root()->upref();
    *out = parser.root();
  }
  return rc;
}

}  // namespace

int32_t hbjson__parseText(HBMap **out, const char *text, int32_t length) {
  if (!out || !text) return BR_EINVAL;
  const size_t len = length < 0 ? std::strlen(text) : static_cast<size_t>(length);
  if (len > static_cast<size_t>(INT32_MAX)) return BR_EINVAL;
  // parse moves unconsumed bytes, so it works on a copy.
  char *copy = static_cast<char *>(std::malloc(len ? len : 1));
  if (!copy) return BR_ENOMEM;
  std::memcpy(copy, text, len);
  HBJSONParser parser;
  int32_t rc = parser.reset();
  int32_t left = static_cast<int32_t>(len);
  if (rc == BR_OK) rc = parser.parse(copy, &left);
  std::free(copy);
  rc = finish(parser, rc, out);
  return rc == BR_OK ? static_cast<int32_t>(len) - left : rc;
}

int32_t hbjson__parseText(HBRef<HBMap> &out, const char *text, int32_t length) {
  HBMap *m = nullptr;
  const int32_t rc = hbjson__parseText(&m, text, length);
  if (rc >= 0) out = HBRef<HBMap>::adopt(m);
  return rc;
}

int32_t hbjson__parseStream(HBMap **out, IHBStream *stream) {
  if (!out || !stream) return BR_EINVAL;
  HBJSONParser parser;
  int32_t rc = parser.reset();
  if (rc < 0) return rc;
  char *buffer = static_cast<char *>(std::malloc(kStreamBuffer));
  if (!buffer) return BR_ENOMEM;
  int32_t held = 0;
  int32_t got = stream->read(buffer, kStreamBuffer);
  while (got > 0) {
    int32_t length = held + got;
    rc = parser.parse(buffer, &length);
    if (rc != BR_OK && rc != BR_EAGAIN) break;
    held = length;
    if (held >= kStreamBuffer) {
      brlog(kTag, BRLOG_WARNING, "NOT ENOUGH BUFFER ROOM TO PARSE: %d\n", kStreamBuffer);
      rc = BR_ENOSPC;
      break;
    }
    got = stream->read(buffer + held, kStreamBuffer - held);
  }
  std::free(buffer);
  if (got < 0) rc = got;
  return finish(parser, rc, out);
}

int32_t hbjson__parseStream(HBRef<HBMap> &out, IHBStream *stream) {
  return hbjson__parseStream(out.out(), stream);
}

void hbjson__appendEscaped(std::string *out, const char *text, bool replaceInvalid) {
  static const char kHex[] = "0123456789abcdef";
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); p && *p;) {
    const unsigned char c = *p;
    const char *esc = nullptr;
    switch (c) {
      case '"': esc = "\\\""; break;
      case '\\': esc = "\\\\"; break;
      case '\n': esc = "\\n"; break;
      case '\r': esc = "\\r"; break;
      case '\t': esc = "\\t"; break;
      case '\b': esc = "\\b"; break;
      case '\f': esc = "\\f"; break;
      default: break;
    }
    if (esc) {
      out->append(esc);
      ++p;
    } else if (c < 0x20) {
      out->append("\\u00");
      out->push_back(kHex[c >> 4]);
      out->push_back(kHex[c & 15]);
      ++p;
    } else if (c < 0x80 || !replaceInvalid) {
      out->push_back(static_cast<char>(c));
      ++p;
    } else if (uint32_t cp; int n = brstr__utf8Sequence(p, &cp)) {
      out->append(reinterpret_cast<const char *>(p), static_cast<size_t>(n));
      p += n;
    } else {
      out->append("\\ufffd");
      ++p;
    }
  }
}

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hexadecimal digits at `p`, or -1.
int32_t hex4(const char *p) {
  int32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    const int d = hexValue(p[i]);
    if (d < 0) return -1;
    v = v * 16 + d;
  }
  return v;
}

char *putUtf8(char *w, uint32_t cp) {
  if (cp < 0x80) {
    *w++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *w++ = static_cast<char>(0xc0 | (cp >> 6));
    *w++ = static_cast<char>(0x80 | (cp & 0x3f));
  } else if (cp < 0x10000) {
    *w++ = static_cast<char>(0xe0 | (cp >> 12));
    *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    *w++ = static_cast<char>(0x80 | (cp & 0x3f));
  } else {
    *w++ = static_cast<char>(0xf0 | (cp >> 18));
    *w++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
    *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    *w++ = static_cast<char>(0x80 | (cp & 0x3f));
  }
  return w;
}

}  // namespace

char *hbjson__decodeEscapes(char *text) {
  if (!text) return text;
  char *w = text;
  // Every escape is at least as long as what it stands for, so the text shrinks in place.
  for (const char *r = text; *r;) {
    if (r[0] != '\\' || !r[1]) {
      *w++ = *r++;
      continue;
    }
    const char e = r[1];
    static const char kIn[] = "\\/bfnrt";
    static const char kOut[] = "\\/\b\f\n\r\t";
    if (const char *simple = strchr(kIn, e)) {
      *w++ = kOut[simple - kIn];
      r += 2;
      continue;
    }
    const int32_t u = e == 'u' ? hex4(r + 2) : -1;
    if (u < 0) {
      *w++ = *r++;
      *w++ = *r++;
      continue;
    }
    r += 6;
    uint32_t cp = static_cast<uint32_t>(u);
    if (cp >= 0xd800 && cp < 0xdc00 && r[0] == '\\' && r[1] == 'u') {
      const int32_t lo = hex4(r + 2);
      if (lo >= 0xdc00 && lo < 0xe000) {
        cp = 0x10000 + ((cp - 0xd800) << 10) + static_cast<uint32_t>(lo - 0xdc00);
        r += 6;
      }
    }
    if (cp >= 0xd800 && cp < 0xe000) cp = 0xfffd;
    w = putUtf8(w, cp);
  }
  *w = '\0';
  return text;
}

void hbjson__appendQuoted(std::string *out, const char *text, bool replaceInvalid) {
  out->push_back('"');
  hbjson__appendEscaped(out, text, replaceInvalid);
  out->push_back('"');
}

bool hbjson__getText(IHBMap *map, const char *key, std::string *out) {
  const char *t = map ? map->getString(key) : nullptr;
  if (!t) return false;
  std::string s(t);
  s.resize(std::strlen(hbjson__decodeEscapes(s.data())));
  *out = std::move(s);
  return true;
}
