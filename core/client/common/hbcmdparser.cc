// The XML side of the RPC transport: escaping, entity decoding, the tokenizer and the rules that
// turn the response element into a result map.
#include <cctype>
#include <cstring>
#include <new>

#include "brlog.h"
#include "hbsoap.h"
#include "hbstream.h"

namespace {

const char kTag[] = "BRCMND";
const int kTrace = BRLOG_VERBOSE4;   // 19
const int kSummary = BRLOG_VERBOSE;  // 16
const int32_t kMaxAttrs = 16;

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The name without its namespace prefix.
void stripPrefix(const char **name, int32_t *len) {
  const void *colon = std::memchr(*name, ':', size_t(*len));
  if (colon) {
    const char *after = static_cast<const char *>(colon) + 1;
    *len -= int32_t(after - *name);
    *name = after;
  }
}

int32_t putUtf8(char *out, uint32_t cp) {
  if (cp < 0x80) {
    out[0] = char(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = char(0xC0 | (cp >> 6));
    out[1] = char(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = char(0xE0 | (cp >> 12));
    out[1] = char(0x80 | ((cp >> 6) & 0x3F));
    out[2] = char(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = char(0xF0 | (cp >> 18));
  out[1] = char(0x80 | ((cp >> 12) & 0x3F));
  out[2] = char(0x80 | ((cp >> 6) & 0x3F));
  out[3] = char(0x80 | (cp & 0x3F));
  return 4;
}

}  // namespace

// ---- Escaping ----

int32_t hbsoap__xmlEscape(const char *text, IHBStream *stream, bool nameMode) {
  if (!text) {
    brlog("BRXML", BRLOG_ERROR, "NOT ESCAPING NULL STRING\n");
    return -1;
  }
  char out[1024];
  int32_t n = 0;
  for (const char *p = text;; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (n > int32_t(sizeof out) - 8 || !c) {
      if (n > 0) {
        const int32_t rc = hbstream__writeAll(stream, out, n);
        if (rc < 0) return rc;
      }
      n = 0;
      if (!c) break;
    }
    const char *rep = nullptr;
    switch (c) {
      case '&':
        rep = "&amp;";
        break;
      case '<':
        rep = "&lt;";
        break;
      case '>':
        rep = "&gt;";
        break;
      case '\'':
        rep = "&#x27;";
        break;
      case '"':
        rep = "&quot;";
        break;
      default:
        break;
    }
    if (rep) {
      const size_t l = std::strlen(rep);
      std::memcpy(out + n, rep, l);
      n += int32_t(l);
    } else if (c == '\n' || c == '\r') {
      out[n++] = char(c);
    } else if (c < 32 || (nameMode && c == ' ')) {
      out[n++] = '_';
    } else {
      out[n++] = char(c);
    }
  }
  return 0;
}

void hbsoap__xmlUnescape(char *text, int32_t *length) {
  const int32_t n = *length;
  int32_t r = 0, w = 0;
  while (r < n) {
    if (text[r] != '&') {
      text[w++] = text[r++];
      continue;
    }
    int32_t j = r + 1;
    while (j < n && text[j] != ';' && !isBlank(text[j]) && j - r < 16) ++j;
    if (j >= n || isBlank(text[j])) {
      // An entity that never finishes: the rest stays as it is.
      std::memmove(text + w, text + r, size_t(n - r));
      w += n - r;
      r = n;
      break;
    }
    if (text[j] != ';') {  // too long to be an entity
      text[w++] = text[r++];
      continue;
    }
    const char *ent = text + r + 1;
    const int32_t elen = j - r - 1;
    auto is = [&](const char *s) {
      return elen == int32_t(std::strlen(s)) && !std::memcmp(ent, s, size_t(elen));
    };
    char rep[4];
    int32_t replen = -1;
    if (is("amp"))
      rep[0] = '&', replen = 1;
    else if (is("apos"))
      rep[0] = '\'', replen = 1;
    else if (is("quot"))
      rep[0] = '"', replen = 1;
    else if (is("lt"))
      rep[0] = '<', replen = 1;
    else if (is("gt"))
      rep[0] = '>', replen = 1;
    else if (elen >= 2 && ent[0] == '#') {
      const bool hex = ent[1] == 'x' || ent[1] == 'X';
      uint32_t cp = 0;
      bool ok = elen > (hex ? 2 : 1);
      for (int32_t i = hex ? 2 : 1; ok && i < elen; ++i) {
        const char c = ent[i];
        int d = -1;
        if (c >= '0' && c <= '9')
          d = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
          d = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
          d = c - 'A' + 10;
        if (d < 0)
          ok = false;
        else
          cp = cp * (hex ? 16 : 10) + uint32_t(d);
        if (cp > 0x10FFFF) ok = false;
      }
      // NUL would cut the text and surrogate halves are not characters.
      if (ok && cp != 0 && (cp < 0xD800 || cp > 0xDFFF)) replen = putUtf8(rep, cp);
    }
    if (replen < 0) {
      brlog("BRXML", BRLOG_WARNING, "UNHANDLED ESCAPE SEQUENCE: %d at %.*s\n", int(j - r + 1),
            int(j - r + 1), text + r);
    } else {
      std::memcpy(text + w, rep, size_t(replen));
      w += replen;
    }
    r = j + 1;
  }
  text[w] = 0;
  *length = w;
}

// ---- The parser ----

struct HBCommandParserCore::Elem {
  const char *name = nullptr;  // in the result map's allocator
  int32_t nameLen = 0;
  uint32_t flags = 0;  // 0x1 received a value or child, 0x2 typed as a string
  HBRef<HBMap> map;
  HBRef<HBListIterator> list;
  // Where this element's map sits (a map entry under its name, or an item of a list), so that
  // only that entry is ever turned into this element's list.
  HBRef<HBMap> holder;
  HBRef<HBListIterator> holderList;
  IHBObj *placed = nullptr;  // the object stored there (borrowed)

  void clear() {
    name = nullptr;
    nameLen = 0;
    flags = 0;
    map.reset();
    list.reset();
    holder.reset();
    holderList.reset();
    placed = nullptr;
  }
};

HBCommandParserCore::HBCommandParserCore() : m_stack(new Elem[HBSOAP_MAX_DEPTH]) {
  m_method[0] = 0;
  m_first[0] = 0;
}

HBCommandParserCore::~HBCommandParserCore() {
  reset();
  delete[] m_stack;
}

void HBCommandParserCore::reset() {
  for (int32_t i = 0; i < HBSOAP_MAX_DEPTH; ++i) m_stack[i].clear();
  if (m_map) m_map->dnref();
  if (m_alloc) m_alloc->dnref();
  m_map = nullptr;
  m_alloc = nullptr;
  m_types = nullptr;
  m_inResponse = m_inError = m_started = m_ended = m_failed = false;
  m_first[0] = 0;
  m_count = m_depth = m_ignored = 0;
  m_method[0] = 0;
  m_methodLen = 0;
}

void HBCommandParserCore::initParser(const char *method, HBMap *map, const HBSoapListType *types) {
  if (m_map) brabort(__PRETTY_FUNCTION__, 514);
  reset();
  std::snprintf(m_method, sizeof m_method, "%s", method ? method : "");
  m_methodLen = int32_t(std::strlen(m_method));
  m_map = map;
  m_map->upref();
  m_alloc = map->allocator();
  m_alloc->upref();
  m_types = types;
}

void HBCommandParserCore::endParser() {
  if (!m_map) return;
  brlog(kTag, kSummary, "Full Response Arguments (MAP-MODE):\n");
  if (brlog__getLevel() > 15) hbvalue__dump(kTag, BRLOG_VERBOSE, 0, nullptr, m_map);
  reset();
}

bool HBCommandParserCore::isListType(const char *name, bool *fromTable) const {
  if (m_types) {
    *fromTable = true;
    for (const HBSoapListType *t = m_types; t->name; ++t)
      if (t->kind == 1 && !std::strcmp(t->name, name)) return true;
    return false;
  }
  *fromTable = false;
  return !std::strcmp(name, "messages") || !std::strcmp(name, "features");
}

// Turns the entry that holds element e's map into its list, or rewinds the list already there.
void HBCommandParserCore::placeList(int32_t e) {
  Elem &P = m_stack[e];
  if (!P.list) return;
  IHBObj *list = P.list.get();
  if (P.holder) {
    hbtype_t t = HBTYPE_ANY;
    void *v = nullptr;
    if (P.holder->get(P.name, &t, &v) < 0) return;
    HBRef<IHBObj> hold;
    if (!hbtype__isRaw(t)) hold = HBRef<IHBObj>::adopt(static_cast<IHBObj *>(v));
    if (t == HBTYPE_TEXT) {
      brlog("BRCMD", BRLOG_WARNING, "\n\nFound Primitive at %d: %s, Is this bad XML?\n\n\n", e,
            P.name);
    } else if (hold.get() == P.placed && P.placed == static_cast<IHBObj *>(P.map.get())) {
      brlog(kTag, BRLOG_VERBOSE2, "  -- LIST-CONV INISDE: %d %s\n", e, P.name);
      if (P.holder->putObject(P.name, HBIFC_ITER, list) == 0) P.placed = list;
    } else if (hold.get() == list) {
      brlog(kTag, kTrace, "  -- ITER-RESET: '%s' {%s}\n", P.name, P.list->name());
      P.list->reset();
    }
  } else if (P.holderList) {
    for (brlist_node *n = brlist__first(P.holderList->list()); n; n = n->next) {
      if (n->data != P.placed) continue;
      if (n->data == static_cast<IHBObj *>(P.map.get())) {
        brlog(kTag, BRLOG_VERBOSE2, "  -- LIST-CONV INISDE: %d %s\n", e, P.name);
        list->upref();
        static_cast<IHBObj *>(n->data)->dnref();
        n->data = list;
        P.placed = list;
      } else if (n->data == list) {
        P.list->reset();
      }
      break;
    }
  }
}

// Element `owner` received a second child named `child`: its children become a list.
int32_t HBCommandParserCore::convertToList(int32_t owner, const char *child, IHBObj *value) {
  Elem &O = m_stack[owner];
  if (!O.list) {
    if (HBListIterator::create(nullptr, HBIFC_OBJ, 0, child, O.list) < 0) return BR_ENOMEM;
    hbtype_t t = HBTYPE_ANY;
    void *v = nullptr;
    if (O.map && O.map->get(child, &t, &v) == 0) {
      if (t == HBTYPE_TEXT) {
        HBRef<HBStrSA> s;
        if (HBStrSA::create(m_alloc, static_cast<const char *>(v), -1, s) == 0)
          (void)O.list->appendObject(s->obj());
      } else if (!hbtype__isRaw(t) && v) {
        if (t != HBIFC_MAP) brlog(kTag, BRLOG_ERROR, "At Key[%s] Not a Map!\n", child);
        (void)O.list->appendObject(static_cast<IHBObj *>(v));
        static_cast<IHBObj *>(v)->dnref();
      }
    }
  }
  brlog(kTag, BRLOG_VERBOSE2, "  -- ADD %s: %d %s -> LIST-CONVERT: %d %s\n",
        value ? "MAP" : "VALUE", m_depth - 1, child, owner, O.name);
  const int32_t rc = O.list->appendObject(value);
  placeList(owner);
  return rc;
}

// Gives element p its map and hangs it where it belongs.
int32_t HBCommandParserCore::attachMap(int32_t p) {
  Elem &P = m_stack[p];
  if (m_map->newChild(P.name, P.map) < 0) return BR_ENOMEM;
  IHBObj *map = static_cast<IHBMap *>(P.map.get());
  bool fromTable = false;
  const bool special = isListType(P.name, &fromTable);
  for (int32_t i = p - 1; i >= 1; --i) {
    Elem &A = m_stack[i];
    if (A.list) {
      brlog(kTag, BRLOG_VERBOSE2, "  -- ADD MAP: %d %s -> LIST: %d %s\n", p, P.name, i, A.name);
      if (A.list->appendObject(map) < 0) return BR_ENOMEM;
      P.holderList = A.list;
      P.placed = map;
      return special ? 1 : 0;
    }
    if (A.map) {
      if (A.map->get(P.name, nullptr, nullptr) == 0) {
        const int32_t rc = convertToList(i, P.name, map);
        P.holderList = A.list;
        P.placed = map;
        return rc < 0 ? rc : (special ? 1 : 0);
      }
      brlog(kTag, BRLOG_VERBOSE2, "  -- ADD MAP: %d %s -> %d %s\n", p, P.name, i, A.name);
      if (A.map->putObject(P.name, HBIFC_MAP, map) < 0) return BR_ENOMEM;
      P.holder = A.map;
      P.placed = map;
      return special ? 1 : 0;
    }
  }
  brlog(kTag, BRLOG_VERBOSE2, "  -- ADD MAP: %d %s -> %d %s\n", p, P.name, 0, "ROOT");
  if (m_map->putObject(P.name, HBIFC_MAP, map) < 0) return BR_ENOMEM;
  P.holder = HBRef<HBMap>::retain(m_map);
  P.placed = map;
  return special ? 1 : 0;
}

void HBCommandParserCore::startElement(const char *raw, int32_t rawLen, const Attr *attrs,
                                       int32_t nattrs) {
  const char *name = raw;
  int32_t len = rawLen;
  stripPrefix(&name, &len);
  ++m_count;
  brlog(kTag, kTrace, "START-ELEMENT: <%.*s>\n", int(rawLen), raw);
  if (!m_inResponse && !m_inError) {
    const bool error = (len == 7 && !std::memcmp(name, "VXError", 7)) ||
                       (len == 13 && !std::memcmp(name, "CorvasseError", 13));
    bool response = false;
    if (!error && m_methodLen > 0 && len >= m_methodLen &&
        !std::memcmp(name, m_method, size_t(m_methodLen))) {
      const char *rest = name + m_methodLen;
      const int32_t rl = len - m_methodLen;
      response = rl == 0 || (rl == 8 && !strncasecmp(rest, "response", 8)) ||
                 (rl == 6 && !strncasecmp(rest, "result", 6));
    }
    if (!error && !response) return;
    m_inError = error;
    m_inResponse = response;
    m_stack[0].clear();
    m_stack[0].name = m_alloc->copyText(name, len);
    m_stack[0].nameLen = len;
    m_depth = m_stack[0].name ? 1 : 0;
    if (!m_depth) m_inError = m_inResponse = false;
    return;
  }
  if (m_depth >= HBSOAP_MAX_DEPTH) {
    brlog(kTag, BRLOG_WARNING,
          "WOW That is a deeply nested xml fragment. You will need to increase the size of the "
          "names array\n");
    return;
  }
  const int32_t p = m_depth - 1;
  Elem &P = m_stack[p];
  P.flags |= 0x1;
  const char *copy = m_alloc->copyText(name, len);
  if (!copy) return;
  int32_t special = 0;
  if (p > 0 && !P.map) {
    special = attachMap(p);
    if (special == 1) {
      bool fromTable = false;
      (void)isListType(P.name, &fromTable);
      if (HBListIterator::create(nullptr, HBIFC_OBJ, 0, copy, P.list) < 0)
        special = 0;
      else if (fromTable)
        brlog(kTag, BRLOG_VERBOSE2, "  -- SPECIAL LIST-CONVERT: %d %s {%s}\n", p, P.name, copy);
      else
        brlog(kTag, BRLOG_VERBOSE2, "  -- SPECIAL LIST-CONVERT: %d %s [%s]\n", p, P.name, copy);
    }
  }
  Elem &E = m_stack[m_depth++];
  E.clear();
  E.name = copy;
  E.nameLen = len;
  for (int32_t i = 0; i < nattrs; ++i) {
    if (attrs[i].nameLen >= 8 && !std::memcmp(attrs[i].name, "xsi:type", 8) &&
        attrs[i].valueLen >= 10 && !std::memcmp(attrs[i].value, "xsd:string", 10))
      E.flags |= 0x2;
  }
  if (special == 1) placeList(p);
  brlog(kTag, kTrace, "  -- ADD NAME[%d]: %s\n", m_depth - 1, copy);
}

void HBCommandParserCore::addValue(int32_t e, const char *text, int32_t len) {
  Elem &E = m_stack[e];
  E.flags |= 0x1;
  for (int32_t i = e - 1; i >= 1; --i) {
    Elem &A = m_stack[i];
    if (A.list) {
      HBRef<HBStrSA> s;
      if (HBStrSA::create(m_alloc, text, len, s) == 0) (void)A.list->appendObject(s->obj());
      return;
    }
    if (A.map) {
      // One lookup: an insert that collides means a second child of that name.
      if (A.map->putString(E.name, text, HBMAP_PUT_NOREPLACE) != BR_EEXISTS) {
        brlog(kTag, BRLOG_DEBUG, "    -- '%s' -> '%s'\n", E.name, text);
        return;
      }
      HBRef<HBStrSA> s;
      if (HBStrSA::create(m_alloc, text, len, s) == 0) (void)convertToList(i, E.name, s->obj());
      return;
    }
  }
  // Text beside the children of a top-level element: the result map cannot hold both under one
  // name, and the children are the answer.
  if (E.map) {
    brlog(kTag, BRLOG_WARNING, "  -- ADD VALUE: %d %s -> ROOT CAN'T BE LIST\n", e, E.name);
    return;
  }
  (void)m_map->putString(E.name, text);
}

void HBCommandParserCore::characters(char *text, int32_t len) {
  if ((!m_inResponse && !m_inError) || m_depth == 0) return;
  const int32_t e = m_depth - 1;
  Elem &E = m_stack[e];
  if (!(E.flags & 0x2)) {
    while (len > 0 && isBlank(text[0])) ++text, --len;
    while (len > 0 && isBlank(text[len - 1])) --len;
  }
  if (len <= 0) return;
  text[len] = 0;
  brlog(kTag, kTrace, "CHARACTERS:      '%s'\n", text);
  hbsoap__xmlUnescape(text, &len);
  addValue(e, text, len);
}

void HBCommandParserCore::endElement(const char *raw, int32_t rawLen) {
  brlog(kTag, kTrace, "END-ELEMENT:   <%.*s>\n", int(rawLen), raw);
  if ((!m_inResponse && !m_inError) || m_depth == 0) return;
  const char *name = raw;
  int32_t len = rawLen;
  stripPrefix(&name, &len);
  const int32_t top = m_depth - 1;
  Elem &E = m_stack[top];
  if (E.nameLen != len || std::memcmp(E.name, name, size_t(len)) != 0) {
    brlog(kTag, BRLOG_WARNING, " -- ACK We are in element: <%s> but end tag is <%.*s>\n", E.name,
          int(len), name);
    return;
  }
  if (!(E.flags & 0x1) && top > 0) {
    brlog(kTag, kTrace, "  -- ADD EMPTY VALUE\n");
    addValue(top, "", 0);
  }
  E.flags = 0;
  if (E.list) placeList(top);
  E.clear();
  m_depth = top;
  if (m_depth == 0) m_inResponse = m_inError = false;
}

// ---- The tokenizer ----

int32_t HBCommandParserCore::tokenize(char *p, char *end) {
  char *const start = p;
  while (p < end && !m_ended && !m_failed) {
    if (!m_started) {
      while (p < end && isBlank(*p)) ++p;
      if (p == end) break;
      if (*p != '<') {
        brlog("XML", BRLOG_ERROR, "Bad XML input: %.*s!\n", int(end - p < 64 ? end - p : 64), p);
        m_failed = true;
        return BR_EUNSUPPORTED;
      }
    }
    if (*p != '<') {
      char *lt = static_cast<char *>(std::memchr(p, '<', size_t(end - p)));
      if (!lt) break;  // the rest of the text comes with the next read
      // The text is decoded in place; its terminator goes where the "<" is, put back after.
      const char save = *lt;
      characters(p, int32_t(lt - p));
      *lt = save;
      p = lt;
      continue;
    }
    if (end - p < 2) break;
    char *gt = nullptr;
    if (p[1] == '!' || p[1] == '?' || p[1] == '/') {
      gt = static_cast<char *>(std::memchr(p, '>', size_t(end - p)));
    } else {
      char quote = 0;
      for (char *q = p + 1; q < end; ++q) {
        if (quote) {
          if (*q == quote) quote = 0;
        } else if (*q == '"' || *q == '\'') {
          quote = *q;
        } else if (*q == '>') {
          gt = q;
          break;
        }
      }
    }
    if (!gt) break;  // the tag is not complete yet
    if (p[1] == '!' || p[1] == '?') {
      p = gt + 1;
      continue;
    }
    if (p[1] == '/') {
      char *n = p + 2, *ne = gt;
      while (n < ne && isBlank(*n)) ++n;
      while (ne > n && isBlank(ne[-1])) --ne;
      endElement(n, int32_t(ne - n));
      if (m_started && int32_t(std::strlen(m_first)) == ne - n &&
          !std::memcmp(m_first, n, size_t(ne - n))) {
        m_ended = true;
        brlog(kTag, kTrace, "DOCUMENT-END\n");
      }
      p = gt + 1;
      continue;
    }
    char *q = p + 1, *te = gt;
    const bool selfClose = te > q && te[-1] == '/';
    if (selfClose) --te;
    char *n = q;
    while (q < te && !isBlank(*q)) ++q;
    const int32_t nlen = int32_t(q - n);
    Attr attrs[kMaxAttrs];
    int32_t nattrs = 0;
    while (q < te) {
      while (q < te && isBlank(*q)) ++q;
      if (q >= te) break;
      char *an = q;
      while (q < te && *q != '=' && !isBlank(*q)) ++q;
      Attr a{an, int32_t(q - an), "", 0};
      while (q < te && isBlank(*q)) ++q;
      if (q < te && *q == '=') {
        ++q;
        while (q < te && isBlank(*q)) ++q;
        if (q < te && (*q == '"' || *q == '\'')) {
          const char quote = *q++;
          char *v = q;
          while (q < te && *q != quote) ++q;
          a.value = v;
          a.valueLen = int32_t(q - v);
          if (q < te) ++q;
        } else {
          char *v = q;
          while (q < te && !isBlank(*q)) ++q;
          a.value = v;
          a.valueLen = int32_t(q - v);
        }
      }
      if (nattrs < kMaxAttrs) attrs[nattrs++] = a;
    }
    if (nlen <= 0) {
      p = gt + 1;
      continue;
    }
    if (!m_started) {
      m_started = true;
      const int32_t k = nlen < 49 ? nlen : 49;
      std::memcpy(m_first, n, size_t(k));
      m_first[k] = 0;
      brlog(kTag, kTrace, "DOCUMENT-START\n");
    }
    startElement(n, nlen, attrs, nattrs);
    if (selfClose) {
      endElement(n, nlen);
      if (int32_t(std::strlen(m_first)) == nlen && !std::memcmp(m_first, n, size_t(nlen)) &&
          m_count == 1) {
        m_ended = true;
        brlog(kTag, kTrace, "DOCUMENT-END\n");
      }
    }
    p = gt + 1;
  }
  if (m_ended || m_failed) return int32_t(end - start);
  return int32_t(p - start);
}

int32_t HBCommandParserCore::feed(char *buffer, int32_t *length) {
  if (!m_map || *length <= 0) {
    if (!m_map) *length = 0;
    return m_failed ? BR_EUNSUPPORTED : 0;
  }
  const int32_t used = tokenize(buffer, buffer + *length);
  if (used < 0) {
    *length = 0;
    return used;
  }
  if (used > 0 && used < *length) std::memmove(buffer, buffer + used, size_t(*length - used));
  *length -= used;
  return m_failed ? BR_EUNSUPPORTED : 0;
}
