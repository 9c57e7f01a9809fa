// The metadata parser: a stream wrapped around a source stream that reads the metadata of the
// bytes passing through it (ID3 tags, MP4 boxes, and EXIF in JPEG, TIFF and the TIFF-based raws,
// HEIF/AVIF, WebP, CR3 and RAF) into an item map.
//
// Items: texts (HBTYPE_TEXT, always valid UTF-8 without control characters) such as "title",
// "artist", "album", "genre", "originalTrackNumber", "yto-UniqueAlbumID", "EXIF-Make",
// "EXIF-Model", "EXIF-DateTimeOriginal" (milliseconds since 1970, UTC), "EXIF-GPSCoordinates"
// ("lat,lon") and "EXIF-Orientation" ("1" to "8"), and "yto-tn", an embedded picture as a
// stream object (HBIFC_STREAM) that also offers IHBObjWithMimeType.
//
// Typical use: hbfmtparser__new over an open file stream, parseAll, getItems, releaseSource,
// close, then drop the reference. Or hbfmtparser__parseFile for all of that at once.
#pragma once

#include <cstdint>

#include "hbmap.h"
#include "hbstream.h"

// Parser states.
enum : int32_t {
  HBFMT_STATE_PARSING = 1,
  HBFMT_STATE_SYNCING = 2,  // re-synchronising after a seek
  HBFMT_STATE_DONE = 3,
  HBFMT_STATE_FAILED = 4,
};

// getifc: HBIFC_OBJ and HBIFC_STREAM give the parser, HBIFC_MAP its item map.
struct IHBFormatParser : IHBStream {
  static constexpr int32_t kIfc = HBIFC_STREAM;
  // One of HBFMT_STATE_*.
  virtual int32_t getState() = 0;
  // The absolute offset the format reader last asked to continue at; 0 for none.
  virtual int64_t getSeekRequest() = 0;
  // The item map with one reference for the caller; -5 after close.
  HB_NODISCARD virtual int32_t getItems(IHBMap **out) = 0;
  // Reads the whole source through the parser in 4096-byte blocks, following the reader's seek
  // requests, until the source ends or parsing is done or failed. Returns 0, or the failing
  // read's code. Items found before a failure stay.
  HB_NODISCARD virtual int32_t parseAll() = 0;
  // Drops the parser's reference on the source stream (which it does not close).
  virtual int32_t releaseSource() = 0;
};

// A parser over `source` (the parser takes its own reference), which should be positioned at
// its start. Hands one reference to *out; -6 without a source.
HB_NODISCARD int32_t hbfmtparser__new(IHBFormatParser **out, IHBStream *source);

// Opens `path`, reads its metadata and hands the item map (one reference) to *out. Returns 0
// also when nothing was found (an empty map), or the failure of opening or reading the file.
HB_NODISCARD int32_t hbfmtparser__parseFile(const char *path, IHBMap **out);
