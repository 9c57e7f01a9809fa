// The photo pages' two readers of what a browser sends: the photo-list cursor ("TAKEN.ID") and
// the Cookie header. A cursor read is one the pages could have made (it reads back the same once
// written again); a cookie's value is a piece of the header without a separator in it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "svcweb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  using namespace tessel::svc;
  if (data[0] & 1) {
    int64_t taken = 0, id = 0;
    if (!svcweb__cursor(text, &taken, &id)) return 0;
    if (id < 0) abort();
    int64_t t2 = 0, i2 = 0;
    if (!svcweb__cursor(std::to_string(taken) + "." + std::to_string(id), &t2, &i2) ||
        t2 != taken || i2 != id)
      abort();
    return 0;
  }
  // The name is the text up to the first '=' (or a fixed one), the header is the rest.
  const size_t eq = text.find('=');
  const std::string name = eq == std::string::npos || eq > 32 ? "tesselweb" : text.substr(0, eq);
  const std::string header = eq == std::string::npos || eq > 32 ? text : text.substr(eq + 1);
  const std::string value = svcweb__cookie(&header, name);
  if (value.find(';') != std::string::npos || value.size() > header.size() ||
      (!value.empty() && header.find(name + "=" + value) == std::string::npos))
    abort();
  if (!svcweb__cookie(nullptr, name).empty()) abort();
  return 0;
}
