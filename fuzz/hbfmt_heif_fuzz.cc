// Fuzz target: the ISO base media picture readers (HEIF/AVIF items, CR3 Canon boxes).
#include "hbfmt_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  (void)hbfmt_fuzz::run(hbfmt__factHeif(), data, size);
  return hbfmt_fuzz::run(hbfmt__factCr3(), data, size);
}
