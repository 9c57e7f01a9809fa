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
  if (zvres__pageName(text.c_str(), &name) &&
      (name.empty() || name.find("..") == 0 || name.find("/../") != std::string::npos))
    __builtin_trap();
  (void)zvres__mimeType(text);
  return 0;
}
