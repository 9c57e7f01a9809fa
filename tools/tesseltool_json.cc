// JSON output of value trees, shared by the commands that print maps.
#include <cstdint>
#include <cstdio>
#include <string>

#include "hbjson.h"
#include "hbmap.h"
#include "hbstr.h"
#include "tesseltool.h"

namespace tesseltool {
namespace {

// Interface pointers handed out by getifc all start with their IHBObj part.
IHBObj *asObj(void *ifc) {
  return static_cast<IHBObj *>(ifc);
}

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
  std::string out;
  hbjson__appendQuoted(&out, text, true);
  std::fwrite(out.data(), 1, out.size(), stdout);
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
