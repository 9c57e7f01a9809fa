#include "hbstr.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "brlog.h"

namespace {
constexpr const char *kTag = "STRALLOC";
// Keeps sizes and alignment slack inside int32 arithmetic.
constexpr int64_t kMaxAlloc = INT32_MAX - 4096;
}  // namespace

// ---------------------------------------------------------------------------------------------
// HBStringAllocator

HBStringAllocator::HBStringAllocator(int32_t growSize) : growsize(growSize > 0 ? growSize : 0) {
  brlist__init(&m_list, nullptr, nullptr);
}

int32_t HBStringAllocator::create(int32_t initialSize, int32_t growSize,
                                  HBStringAllocator **out) {
  auto *a = new (std::nothrow) HBStringAllocator(growSize);
  if (!a) return BR_ENOMEM;
  if (initialSize > 0) {
    a->m_buffer = static_cast<char *>(std::malloc(static_cast<size_t>(initialSize)));
    if (!a->m_buffer) {
      delete a;
      return BR_ENOMEM;
    }
    a->m_pos = a->m_buffer;
    a->m_size = initialSize;
    a->m_buffers = 1;
    a->m_total = initialSize;
  }
  *out = a;
  return BR_OK;
}

int32_t HBStringAllocator::create(int32_t initialSize, int32_t growSize,
                                  HBRef<HBStringAllocator> &out) {
  return create(initialSize, growSize, out.out());
}

int32_t HBStringAllocator::upref() {
  return hb_detail::refUp(m_refs, __PRETTY_FUNCTION__);
}

int32_t HBStringAllocator::dnref() {
  const int32_t n = hb_detail::refDown(m_refs, __PRETTY_FUNCTION__);
  if (n == 0) delete this;
  return n;
}

HBStringAllocator::~HBStringAllocator() {
  if (m_buffer) {
    std::free(m_buffer);
    m_buffers--;
  } else {
    brlog(kTag, BRLOG_ERROR, "m_buffer was null when it really ought not to be!\n");
  }
  while (void *b = brlist__pop(&m_list)) {
    std::free(b);
    m_buffers--;
  }
  if (m_buffers != 0) brlog(kTag, BRLOG_ERROR, "Too many allocs after destroy: %d\n", m_buffers);
}

void *HBStringAllocator::alloc(int32_t n) {
  if (n <= 0 || n > kMaxAlloc) return nullptr;
  const int64_t need = static_cast<int64_t>(n) + 7;
  if (!m_buffer || (m_pos - m_buffer) + need > m_size) {
    if (growsize == 0) return nullptr;
    const int64_t size = (need + growsize - 1) / growsize * growsize;
    if (size > kMaxAlloc) return nullptr;
    // The new buffer is had before the current one is retired, so a failure leaves the
    // allocator as it was.
    char *fresh = static_cast<char *>(std::malloc(static_cast<size_t>(size)));
    if (!fresh) return nullptr;
    if (m_buffer) {
      if (brlist__append(&m_list, m_buffer) < 0) {
        std::free(fresh);
        return nullptr;
      }
      if (m_list.count > 100)
        brlog(kTag, BRLOG_VERBOSE, "Allocated %d extra buffers. Maybe larger growsize?\n",
              m_list.count);
    } else {
      brlog(kTag, BRLOG_ERROR, "This is bad, why was m_buffer NULL?\n");
    }
    brlog(kTag, BRLOG_VERBOSE, "m_buffer newly alloced: %p\n", static_cast<void *>(fresh));
    m_buffer = m_pos = fresh;
    m_size = static_cast<int32_t>(size);
    m_buffers++;
    m_total += size;
  }
  const uintptr_t p = reinterpret_cast<uintptr_t>(m_pos);
  char *result = m_pos + (((p + 7) & ~static_cast<uintptr_t>(7)) - p);
  m_pos += need;
  return result;
}

char *HBStringAllocator::copyText(const char *text, int32_t length) {
  if (!text || (!m_buffer && growsize == 0)) return nullptr;
  size_t len = length < 0 ? std::strlen(text) : static_cast<size_t>(length);
  if (len >= static_cast<size_t>(kMaxAlloc)) return nullptr;
  char *p = static_cast<char *>(alloc(static_cast<int32_t>(len) + 1));
  if (!p) return nullptr;
  std::memcpy(p, text, len);
  p[len] = '\0';
  return p;
}

void HBStringAllocator::flush() {
  const int32_t refs = refcount();
  if (refs > 1)
    brlog(kTag, BRLOG_WARNING, "You are flushing a string alocator that is multi-owned: %d\n",
          refs);
  while (void *b = brlist__pop(&m_list)) {
    std::free(b);
    m_buffers--;
  }
  m_pos = m_buffer;
  if (m_buffers != 1) brlog(kTag, BRLOG_ERROR, "Too many allocs after flush: %d\n", m_buffers);
}

// ---------------------------------------------------------------------------------------------
// Strings

int32_t HBStr::getifc(int32_t ifc, void **out) {
  if (!out) return BR_EINVAL;
  switch (ifc) {
    case HBIFC_OBJ:
    case HBIFC_STR:
      *out = static_cast<IHBStr *>(this);
      break;
    case HBIFC_RPCARGUMENTVALUE:
      *out = static_cast<IHBRPCArgumentValue *>(&m_argval);
      break;
    default:
      return BR_ENOENT;
  }
  upref();
  return BR_OK;
}

int32_t HBStr::ArgValue::getValue(hbtype_t *hbtype, void **out) {
  if (!hbtype) return BR_EINVAL;
  if (*hbtype == HBTYPE_ANY) *hbtype = HBTYPE_TEXT;
  if (*hbtype != HBTYPE_TEXT) return BR_EINVAL;
  if (out) *out = const_cast<char *>(m_owner->m_text);
  return BR_OK;
}

int32_t HBStrHeap::create(const char *text, HBStrHeap **out) {
  auto *s = new (std::nothrow) HBStrHeap;
  if (!s) return BR_ENOMEM;
  if (text) {
    s->m_text = strdup(text);
    if (!s->m_text) {
      s->dnref();
      return BR_ENOMEM;
    }
  }
  *out = s;
  return BR_OK;
}

int32_t HBStrHeap::create(const char *text, HBRef<HBStrHeap> &out) {
  return create(text, out.out());
}

int32_t HBStrHeap::adopt(char *buffer, HBStrHeap **out) {
  auto *s = new (std::nothrow) HBStrHeap;
  if (!s) {
    std::free(buffer);
    return BR_ENOMEM;
  }
  s->m_text = buffer;
  *out = s;
  return BR_OK;
}

int32_t HBStrHeap::adopt(char *buffer, HBRef<HBStrHeap> &out) { return adopt(buffer, out.out()); }

HBStrHeap::~HBStrHeap() { std::free(const_cast<char *>(m_text)); }

int32_t HBStrSA::create(HBStringAllocator *allocator, const char *text, int32_t length,
                        HBStrSA **out) {
  if (!allocator) return BR_EINVAL;
  auto *s = new (std::nothrow) HBStrSA;
  if (!s) return BR_ENOMEM;
  allocator->upref();
  s->m_allocator = allocator;
  if (text) {
    s->m_text = allocator->copyText(text, length);
    if (!s->m_text) {
      s->dnref();
      return BR_ENOMEM;
    }
  }
  *out = s;
  return BR_OK;
}

int32_t HBStrSA::create(HBStringAllocator *allocator, const char *text, int32_t length,
                        HBRef<HBStrSA> &out) {
  return create(allocator, text, length, out.out());
}

HBStrSA::~HBStrSA() {
  if (m_allocator) m_allocator->dnref();
}

// ---------------------------------------------------------------------------------------------
// Text helpers

int32_t brstr__toInt(const char *text, int base) {
  if (!text) return 0;
  const auto *p = reinterpret_cast<const unsigned char *>(text);
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '-') {
    negative = true;
    ++p;
  } else if (*p == '+') {
    ++p;
  }
  const bool hexPrefix = p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
  if (base == 0) {
    if (hexPrefix)
      base = 16;
    else if (p[0] == '0')
      return 0;  // octal is not read
    else
      base = 10;
  }
  uint32_t value = 0;
  if (base == 16) {
    if (hexPrefix) p += 2;
    for (int i = 0; i < 8; ++i, ++p) {
      unsigned d;
      if (*p >= '0' && *p <= '9')
        d = *p - '0';
      else if (*p >= 'a' && *p <= 'f')
        d = *p - 'a' + 10;
      else if (*p >= 'A' && *p <= 'F')
        d = *p - 'A' + 10;
      else
        break;
      value = value * 16 + d;
    }
  } else if (base == 10) {
    for (int i = 0; i < 10 && *p >= '0' && *p <= '9'; ++i, ++p) value = value * 10 + (*p - '0');
  } else {
    return 0;
  }
  if (negative) value = 0u - value;
  return static_cast<int32_t>(value);
}

void brstr__hexdump(const char *tag, int level, const void *data, int32_t length) {
  if (length <= 0 || !data || !brlog__enabled(level)) return;
  const auto *bytes = static_cast<const unsigned char *>(data);
  static const char kHex[] = "0123456789abcdef";
  for (int32_t off = 0; off < length; off += 16) {
    char line[128];
    int n = std::snprintf(line, sizeof line, "%04x: ", static_cast<unsigned>(off));
    const int32_t count = length - off < 16 ? length - off : 16;
    for (int i = 0; i < 16; ++i) {
      if (i < count) {
        line[n++] = kHex[bytes[off + i] >> 4];
        line[n++] = kHex[bytes[off + i] & 15];
      } else {
        line[n++] = ' ';
        line[n++] = ' ';
      }
      line[n++] = ' ';
    }
    line[n++] = ' ';
    line[n++] = ' ';
    for (int i = 0; i < count; ++i) {
      const unsigned char c = bytes[off + i];
      line[n++] = (c < 32 || c > 126 || c == '%') ? '.' : static_cast<char>(c);
    }
    line[n] = '\0';
    brlog(tag, level, "%s\n", line);
  }
}

int brstr__utf8Sequence(const unsigned char *p, uint32_t *cp) {
  const unsigned char c = p[0];
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  int n;
  uint32_t v;
  if ((c & 0xE0) == 0xC0) {
    n = 2;
    v = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3;
    v = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4;
    v = c & 0x07;
  } else {
    return 0;
  }
  for (int i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    v = (v << 6) | (p[i] & 0x3F);
  }
  static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (v < kMin[n] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return n;
}

int32_t brstr__utf16Length(const char *text) {
  if (!text) return 0;
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  int32_t units = 0;
  while (*p) {
    uint32_t cp;
    const int n = brstr__utf8Sequence(p, &cp);
    if (n == 0) {
      ++units;
      ++p;
    } else {
      units += cp >= 0x10000 ? 2 : 1;
      p += n;
    }
  }
  return units;
}

size_t brstr__cutUtf8(const char *text, size_t maxBytes) {
  const size_t len = strlen(text);
  if (len <= maxBytes) return len;
  size_t n = maxBytes;
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return n;
}

std::string hbstr__validUTF8(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  const unsigned char *p = reinterpret_cast<const unsigned char *>(in.data());
  size_t i = 0;
  while (i < in.size()) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    // The sequence reader stops at a non-continuation byte; a zero-padded copy of what is left
    // keeps it inside the view.
    unsigned char seq[5] = {0, 0, 0, 0, 0};
    const size_t left = in.size() - i < 4 ? in.size() - i : 4;
    std::memcpy(seq, p + i, left);
    uint32_t cp = 0;
    const int n = brstr__utf8Sequence(seq, &cp);
    if (n > 0) {
      out.append(in.data() + i, static_cast<size_t>(n));
      i += static_cast<size_t>(n);
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      ++i;
    }
  }
  return out;
}
