// Fuzz target: TIFF files and TIFF-based raws through the EXIF walk.
#include "hbfmt_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  return hbfmt_fuzz::run(hbfmt__factTiff(), data, size);
}
