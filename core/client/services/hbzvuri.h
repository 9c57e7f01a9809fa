// Drive URIs: "ytozv://DEVICE:SERVICE[:FIELD3[:FIELD4]][PATH]" names a drive (a service on a
// device), optionally a file on it and a path, and gives the file-access address of that place.
//
// Parsing (after "ytozv://" or "zv://"): each ":" closes one field, at most four; with fewer than
// four closed, the rest up to the first "/" is one more field and the rest from that "/" on is
// the path; with four closed, whatever follows is the path. Composing writes the fields while
// they are present and the path only after all four. Log tag "ZVURI".
#pragma once

#include <cstdint>
#include <string>

#include "brerror.h"
#include "hburl.h"

#define HBZVURI_SCHEME "ytozv"

struct IHBZVURI : IHBURI {
  static constexpr int32_t kIfc = HBIFC_ZVURI;
  // "ytozv".
  virtual const char *getScheme() = 0;
  // The fields (borrowed for the life of the object), null when absent.
  virtual const char *getDeviceID() = 0;
  virtual const char *getServiceID() = 0;
  // The third field: the service's identifier of a file or folder.
  virtual const char *getFileID() = 0;
  virtual const char *getFourthID() = 0;
  virtual const char *getPath() = 0;
  // The file-access address of this place on the drive whose API address is `base`: the base
  // text with its first "/api" made "/files", then "/DEVICE/SERVICE/FIELD3[/FIELD4]" and the path.
  // One reference in *out for the caller. -6 without a base, -7 when the address would pass
  // 1023 bytes, -1 when it does not parse.
  HB_NODISCARD virtual int32_t getFileURL(IHBURL *base, IHBURL **out) = 0;
};

// Parses `text`. One reference in *out for the caller; -6 (logged "Invalid URI: '%s'") for any
// other scheme or a null text.
HB_NODISCARD int32_t hbzvuri_new(IHBZVURI **out, const char *text);
HB_NODISCARD int32_t hbzvuri_new(HBRef<IHBZVURI> &out, const char *text);

// A drive URI from its parts (any may be null; texts are copied). One reference in *out.
HB_NODISCARD int32_t hbzvuri__create(IHBZVURI **out, const char *deviceId, const char *serviceId,
                                     const char *fileId, const char *fourthId, const char *path);

// The text form of any URI (a URL or a drive URI) into *out; false when it has none.
bool hburi__text(IHBURI *uri, std::string *out);
