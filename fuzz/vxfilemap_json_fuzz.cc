// Feeds the migration of the old JSON file map arbitrary files: whatever they hold, the map
// stays usable and gets only entries with a key, a time and a size.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "vxfilemap.h"

namespace {

std::string folder() {
  static std::string dir = [] {
    const char *t = std::getenv("TMPDIR");
    std::string templ = std::string(t && *t ? t : "/tmp") + "/vxfilemap-fuzz-XXXXXX";
    if (!mkdtemp(templ.data())) std::abort();
    return templ;
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string json = folder() + "/ZVFileMap_fuzz";
  const std::string db = json + ".db";
  FILE *f = std::fopen(json.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  {
    VXFileMap map;
    if (map.load(db.c_str(), "fuzz") != 0) std::abort();
    const int32_t added = map.migrateJSON(json.c_str(), "fuzz");
    if (added > 0 && map.count() != added) std::abort();
    ZVFileMapNode node;
    if (map.lookup("absent", &node) != BR_ENOENT) std::abort();
    if (map.closeAndDelete() != 0) std::abort();
  }
  std::remove(json.c_str());
  std::remove((json + ".migrated").c_str());
  return 0;
}
