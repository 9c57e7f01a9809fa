// Fast-start rewriting of MP4/QuickTime files.
//
// A file whose index atom ("moov") sits after the media data is copied into a new file laid out
// as "ftyp", the index, then everything else, with every chunk offset of the index ("stco" and
// "co64" entries) moved by the index's size, so a player streaming the file reads the index
// first. Whole files on disk; the input is never modified. Log tag "QTFS", level 8.
#pragma once

#include <cstdint>

#include "brerror.h"

// Rewrites `inPath` into `outPath`. Returns 0 when the output was written, and also when there
// was nothing to do (the last top-level atom is not the index, or the file holds a top-level atom
// that is not QuickTime): then no output is made. Returns 1 on failure; a partly written output
// is removed. `*written` (may be null) tells whether `outPath` was written.
HB_NODISCARD int hbfaststart__rewrite(const char *inPath, const char *outPath, bool *written);

// The same without the written flag.
HB_NODISCARD inline int hbfaststart__run(const char *inPath, const char *outPath) {
  return hbfaststart__rewrite(inPath, outPath, nullptr);
}

// Patches the chunk offset tables of an index held in memory (`moov`, `size` bytes, header
// included) by `delta`. Returns 0, or 1 when a table does not fit inside the index.
HB_NODISCARD int hbfaststart__patchIndex(uint8_t *moov, uint64_t size, uint64_t delta);
