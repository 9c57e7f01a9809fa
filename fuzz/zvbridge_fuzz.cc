// What a page can send the desktop program: the bridge's argument bodies and the paths of res://
// addresses, on arbitrary bytes.
#include <cstdint>
#include <string>
#include <vector>

#include "zvbridge.h"
#include "zvres.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  std::vector<nlohmann::json> args;
  if (zvbridge__decodeArgs(text, &args) && args.size() > 64) __builtin_trap();
  std::string name;
  if (zvres__pageName(text.c_str(), &name)) {
    // A page name never climbs out of the folder: no empty, "." or ".." part, no leading '/'.
    if (name.empty() || name[0] == '/') __builtin_trap();
    size_t start = 0;
    while (start <= name.size()) {
      size_t end = name.find('/', start);
      if (end == std::string::npos) end = name.size();
      const std::string part = name.substr(start, end - start);
      if (part.empty() || part == "." || part == "..") __builtin_trap();
      start = end + 1;
    }
  }
  (void)zvres__mimeType(text);
  return 0;
}
