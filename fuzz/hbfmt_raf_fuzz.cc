// Fuzz target: the RAF header and its embedded JPEG's EXIF segment.
#include "hbfmt_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  return hbfmt_fuzz::run(hbfmt__factRaf(), data, size);
}
