// Fuzzes the fast-start atom walk and the chunk offset patching with untrusted MP4 files.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "hbfaststart.h"

namespace {

// A private folder for the input and output files, removed at exit.
struct WorkDir {
  std::string path;
  WorkDir() {
    const char *tmp = getenv("TMPDIR");
    std::string t = std::string(tmp && *tmp ? tmp : "/tmp") + "/hbfaststart_fuzz_XXXXXX";
    if (mkdtemp(t.data())) path = t;
  }
  ~WorkDir() {
    if (!path.empty()) rmdir(path.c_str());
  }
};

const std::string &workDir() {
  static WorkDir dir;
  return dir.path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<uint8_t> index(data, data + size);
  (void)hbfaststart__patchIndex(index.data(), index.size(), 0x12345678u);

  if (workDir().empty()) return 0;
  const std::string in = workDir() + "/in.mp4", out = workDir() + "/out.mp4";
  FILE *f = std::fopen(in.c_str(), "wb");
  if (!f) return 0;
  const bool ok = std::fwrite(data, 1, size, f) == size;
  std::fclose(f);
  if (ok) {
    bool written = false;
    (void)hbfaststart__rewrite(in.c_str(), out.c_str(), &written);
  }
  unlink(out.c_str());
  unlink(in.c_str());
  return 0;
}
