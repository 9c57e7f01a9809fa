// JSON output of value trees, shared by the commands that print maps.
#include <cstdint>
#include <cstdio>

#include "hbmap.h"
#include "hbstr.h"
#include "tesseltool.h"

namespace tesseltool {
namespace {

// Interface pointers handed out by getifc all start with their IHBObj part.
IHBObj *asObj(void *ifc) { return static_cast<IHBObj *>(ifc); }

// `owned`: an object value came with a reference for us to drop.
void printItem(hbtype_t type, void *value, bool owned) {
  if (type == HBTYPE_TEXT) {
    printJsonString(static_cast<const char *>(value));
  } else if (!hbtype__isRaw(type) && value) {
    printJsonValue(asObj(value));
    if (owned) asObj(value)->dnref();
  } else {
    std::fputs("null", stdout);
  }
}

}  // namespace

// Bytes that are not UTF-8 (file metadata may hold anything) become U+FFFD, so the output is
// always valid JSON.
void printJsonString(const char *text) {
  std::putchar('"');
  for (const unsigned char *p = (const unsigned char *)text; p && *p;) {
    switch (*p) {
      case '"': std::fputs("\\\"", stdout); break;
      case '\\': std::fputs("\\\\", stdout); break;
      case '\n': std::fputs("\\n", stdout); break;
      case '\r': std::fputs("\\r", stdout); break;
      case '\t': std::fputs("\\t", stdout); break;
      case '\b': std::fputs("\\b", stdout); break;
      case '\f': std::fputs("\\f", stdout); break;
      default:
        if (*p < 0x20) {
          std::printf("\\u%04x", *p);
        } else if (uint32_t cp; int n = brstr__utf8Sequence(p, &cp)) {
          std::fwrite(p, 1, n, stdout);
          p += n;
          continue;
        } else {
          std::fputs("\\ufffd", stdout);
        }
    }
    ++p;
  }
  std::putchar('"');
}

void printJsonValue(IHBObj *value) {
  if (!value) {
    std::fputs("null", stdout);
    return;
  }
  HBRef<IHBMap> map;
  HBRef<IHBIter> iter;
  HBRef<IHBStr> str;
  if (hb_query(value, map) == 0) {
    std::putchar('{');
    bool first = true;
    (void)hbmap__forEach(map.get(), [&](const char *key, hbtype_t type, void *item) -> int32_t {
      if (!first) std::putchar(',');
      first = false;
      printJsonString(key);
      std::putchar(':');
      printItem(type, item, false);
      return BR_OK;
    });
    std::putchar('}');
  } else if (hb_query(value, iter) == 0) {
    std::putchar('[');
    bool first = true;
    for (;;) {
      hbtype_t type = HBTYPE_ANY;
      void *item = nullptr;
      if (iter->next(&type, &item) != 0) break;
      if (!first) std::putchar(',');
      first = false;
      printItem(type, item, true);
    }
    std::putchar(']');
  } else if (hb_query(value, str) == 0) {
    printJsonString(str->getText());
  } else {
    std::fputs("null", stdout);
  }
}

}  // namespace tesseltool
