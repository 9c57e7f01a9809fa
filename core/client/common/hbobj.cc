#include "hbobj.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "brlog.h"

namespace {

struct ObjCounts {
  std::mutex lock;
  std::map<std::string, int64_t> perClass;
  int64_t total = 0;
};

ObjCounts &counts() {
  static ObjCounts *c = new ObjCounts;  // never destroyed: objects may die after main
  return *c;
}

}  // namespace

namespace hb_detail {
void objcount_add(const char *cls, int delta) {
  ObjCounts &c = counts();
  std::lock_guard<std::mutex> g(c.lock);
  c.perClass[cls] += delta;
  c.total += delta;
}
}  // namespace hb_detail

int64_t hbobj__liveCount() {
  ObjCounts &c = counts();
  std::lock_guard<std::mutex> g(c.lock);
  return c.total;
}

int64_t hbobj__reportLeaks() {
  ObjCounts &c = counts();
  std::lock_guard<std::mutex> g(c.lock);
  for (const auto &[cls, n] : c.perClass)
    if (n != 0) {
      brlog("HBOBJ", BRLOG_ERROR, "%lld live objects of %s\n", (long long)n, cls.c_str());
      std::fprintf(stderr, "%lld live objects of %s\n", (long long)n, cls.c_str());
    }
  return c.total;
}
