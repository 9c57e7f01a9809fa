// Fuzz target: the EXIF metadata reader through the parser framework.
#include "hbfmt_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  return hbfmt_fuzz::run(hbfmt__factExif(), data, size);
}
