// JSON output of value trees, shared by the commands that print maps.
#include <cstdio>

#include "hbmap.h"
#include "hbstr.h"
#include "tesseltool.h"

namespace tesseltool {
namespace {

// Interface pointers handed out by getifc all start with their IHBObj part.
IHBObj *asObj(void *ifc) { return static_cast<IHBObj *>(ifc); }

void printItem(hbtype_t type, void *value) {
  if (type == HBTYPE_TEXT) {
    printJsonString(static_cast<const char *>(value));
  } else if (!hbtype__isRaw(type) && value) {
    printJsonValue(asObj(value));
    asObj(value)->dnref();
  } else {
    std::fputs("null", stdout);
  }
}

}  // namespace

void printJsonValue(IHBObj *value) {
  if (!value) {
    std::fputs("null", stdout);
    return;
  }
  HBRef<IHBMap> map;
  HBRef<IHBIter> iter;
  HBRef<IHBStr> str;
  if (hb_query(value, map) == 0) {
    HBRef<IHBIter> keys;
    if (map->iterate(keys.out()) < 0) {
      std::fputs("{}", stdout);
      return;
    }
    std::putchar('{');
    bool first = true;
    for (;;) {
      hbtype_t keyType = HBTYPE_TEXT;
      void *key = nullptr;
      if (keys->next(&keyType, &key) != 0) break;
      if (!first) std::putchar(',');
      first = false;
      printJsonString(static_cast<const char *>(key));
      std::putchar(':');
      hbtype_t type = HBTYPE_ANY;
      void *item = nullptr;
      if (map->get(static_cast<const char *>(key), &type, &item) < 0) {
        std::fputs("null", stdout);
        continue;
      }
      printItem(type, item);
    }
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
      printItem(type, item);
    }
    std::putchar(']');
  } else if (hb_query(value, str) == 0) {
    printJsonString(str->getText());
  } else {
    std::fputs("null", stdout);
  }
}

}  // namespace tesseltool
