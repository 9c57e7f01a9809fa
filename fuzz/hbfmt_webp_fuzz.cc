// Fuzz target: the WebP chunk walk to the EXIF chunk.
#include "hbfmt_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  return hbfmt_fuzz::run(hbfmt__factWebp(), data, size);
}
